#!/usr/bin/env bash
# Builds and runs every test: the engine's GoogleTest suite through CTest and
# the Python suite through pytest, in a fresh virtual environment (.venv).
# Warnings are errors. Installs GoogleTest (Debian's libgtest-dev) when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest (libgtest-dev)"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libgtest-dev >/dev/null
fi

echo "== python environment"
python3 -m venv .venv
. .venv/bin/activate
python -m pip install -q --upgrade pip
CMAKE_ARGS="-DOVILA_WERROR=ON" python -m pip install -q ".[test]"

echo "== engine tests"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B build/engine "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DOVILA_BUILD_PYTHON=OFF -DOVILA_BUILD_TESTS=ON -DOVILA_WERROR=ON >/dev/null
cmake --build build/engine -j 2
ctest --test-dir build/engine --output-on-failure -j 2

echo "== python tests"
python -m pytest tests -q

# The Python suite once more with the portable kernels forced, so that the
# paths the processor would not take are checked from Python too.
echo "== python tests (OVILA_KERNELS=portable)"
OVILA_KERNELS=portable python -m pytest tests -q

# CI (or OVILA_SANITIZE=1) also runs both suites under AddressSanitizer and
# UndefinedBehaviorSanitizer.
if [ "${CI:-}" = "true" ] || [ "${OVILA_SANITIZE:-0}" = "1" ]; then
  echo "== sanitizers"
  bash tools/sanitize.sh
fi
