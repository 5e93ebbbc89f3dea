#!/usr/bin/env bash
# Builds the engine tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC) in build/sanitize, then runs the engine's
# GoogleTest suite (leak detection on) and the Python suite against the
# instrumented module (loaded into the ordinary interpreter with libasan
# preloaded; leak detection off there, as the interpreter itself keeps memory
# until exit). Any sanitizer report fails the run.
#
# Usage: bash tools/sanitize.sh [pytest arguments, default: all of tests/]
# Environment: PYTHON (interpreter with pytest and hypothesis; default
# .venv/bin/python when present, else a venv made in build/sanitize),
# BUILD_DIR (default build/sanitize).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build/sanitize}
mkdir -p "$build"

cxx=${CXX:-g++}
libasan=$("$cxx" -print-file-name=libasan.so)
# The interpreter is not a C++ program: libstdc++ must be loaded right after
# libasan, or ASan cannot intercept the module's C++ exceptions.
libstdcxx=$("$cxx" -print-file-name=libstdc++.so.6)
if [ ! -e "$libasan" ] || [ ! -e "$libstdcxx" ]; then
  echo "libasan.so or libstdc++.so.6 not found for $cxx" >&2
  exit 2
fi

. tools/python-env.sh

flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

echo "== configure and build ($build)"
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DOVILA_BUILD_TESTS=ON -DOVILA_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"

# Reports also go to files: pytest captures standard error, and a process
# stopped by a report would otherwise take its report with it.
reports=$root/$build/reports
rm -rf "$reports" && mkdir -p "$reports"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan
common_asan=halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:log_path=$reports/asan
check_reports() {
  if compgen -G "$reports/*" >/dev/null; then
    echo "== sanitizer reports" >&2
    cat "$reports"/* >&2
    exit 1
  fi
}

echo "== engine tests (ASan + UBSan, leak detection on)"
ASAN_OPTIONS=$common_asan:detect_leaks=1 \
  ctest --test-dir "$build" --output-on-failure -j "${JOBS:-2}" || { check_reports; exit 1; }
check_reports

echo "== python tests (ASan + UBSan module, leak detection off)"
module_dir=$root/$build/ovila-genetic-py
[ -d "$module_dir" ] || module_dir=$build/ovila-genetic-py
# ovila_dsm with its instrumented extension, ahead of the installed one.
package_dir=$root/$build/python
rm -rf "$package_dir" && mkdir -p "$package_dir"
cp -r python/ovila_dsm "$package_dir/"
cp "$root/$build"/ovila-order-py/_order*.so "$package_dir/ovila_dsm/"
LD_PRELOAD="$libasan $libstdcxx" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$module_dir:$package_dir" "$PYTHON" -c \
  "import ovila_genetic_py as og, ovila_dsm._order as o, sys; print('modules:', og.__file__, o.__file__); sys.exit(not (og.__file__.startswith('$module_dir') and o.__file__.startswith('$package_dir')))"
module_dir=$module_dir:$package_dir
# PYTHONMALLOC=malloc routes the interpreter's object allocations through
# ASan too, so overruns of the module's instances are caught. Subprocesses
# started by the tests inherit all of this.
python_tests() {
  ASAN_OPTIONS=$common_asan:detect_leaks=0${EXTRA_ASAN:+:$EXTRA_ASAN} \
    LD_PRELOAD="$libasan $libstdcxx" \
    PYTHONMALLOC=malloc \
    PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" \
    "$PYTHON" -m pytest -q -p no:cacheprovider "$@" || { check_reports; exit 1; }
  check_reports
}
if [ $# -gt 0 ]; then
  python_tests "$@"
else
  python_tests tests --ignore=tests/test_leaks.py
  # The memory-flatness tests measure the process's resident size, which
  # ASan's quarantine of freed blocks (256 MiB) would fill: they run with the
  # quarantine off, so freed memory is reused as in a normal build.
  echo "== python memory-flatness tests (quarantine off)"
  EXTRA_ASAN=quarantine_size_mb=0:thread_local_quarantine_size_kb=0 python_tests tests/test_leaks.py
fi

echo "== sanitizers: no report"
