#!/usr/bin/env bash
# Builds once and runs every test: the engine's GoogleTest suite through
# CTest and the Python suite through pytest, in a virtual environment
# (.venv). The C++ is compiled once, with warnings as errors: the wheel's
# CMake build (in build/wheel) also builds the engine tests, which CTest
# then runs from that same build. Installs GoogleTest (Debian's libgtest-dev)
# and Chromium (for the report's browser test, which is skipped without it)
# with apt-get when they are missing. With CI=true or OVILA_SANITIZE=1 it
# then runs both suites under the sanitizers too (tools/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
step() { echo "== $* ($((SECONDS - started)) s so far)"; }

need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || need+=(chromium)
if [ ${#need[@]} -gt 0 ]; then
  step "installing ${need[*]} with apt-get"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq || true
  for package in "${need[@]}"; do
    if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$package" >/dev/null; then
      if [ "$package" = chromium ]; then
        echo "   chromium could not be installed: the report's browser test will be skipped"
      else
        echo "cannot install $package with apt-get" >&2
        exit 1
      fi
    fi
  done
fi

# The C++ build runs one job per core (two on the machines this was measured on).
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}

step "python environment (.venv): pip, the build tools"
python3 -m venv .venv
. .venv/bin/activate
python -m pip install -q --upgrade pip
python -m pip install -q "scikit-build-core>=0.10" "cmake>=3.21" ninja

# pip's own output is kept in build/install.log; shown here are the build's
# steps as they happen ([12/52] Building CXX object ...) and the outcome.
step "building the package and the engine tests once (build/wheel), installing it with the test tools"
mkdir -p build
log=build/install.log
if ! python -m pip install -v --no-build-isolation -Cbuild-dir=build/wheel \
    -Ccmake.define.OVILA_BUILD_TESTS=ON -Ccmake.define.OVILA_WERROR=ON ".[test]" 2>&1 \
    | tee "$log" | { grep --line-buffered -E '^\*\*\* |^ *\[[0-9]+/[0-9]+\] |^Successfully installed|error:' || true; }; then
  echo "installing failed; the end of $log:" >&2
  tail -n 60 "$log" >&2
  exit 1
fi

step "engine tests (CTest, from the same build)"
ctest --test-dir build/wheel --output-on-failure -j 2

step "python tests"
python -m pytest tests -q -rs  # -rs: why a test was skipped (no Chromium, say)

# The tests of the genetic module's scoring and runs once more with the
# portable kernels forced, so that the paths the processor would not take are
# checked from Python too (the ordering engine has no such variants).
step "python tests of the kernels (OVILA_KERNELS=portable)"
OVILA_KERNELS=portable python -m pytest -q tests/test_kernels.py tests/test_run.py tests/test_module.py \
  tests/test_records.py tests/test_fuzz.py

# CI (or OVILA_SANITIZE=1) also runs both suites under AddressSanitizer and
# UndefinedBehaviorSanitizer (a build of its own, instrumented).
if [ "${CI:-}" = "true" ] || [ "${OVILA_SANITIZE:-0}" = "1" ]; then
  step "sanitizers"
  bash tools/sanitize.sh
fi
step "done"
