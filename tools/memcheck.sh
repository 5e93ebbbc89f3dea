#!/usr/bin/env bash
# Runs a representative subset of the Python tests under valgrind memcheck
# against the extension module built with debug information (build/memcheck),
# and fails on any definite leak or memory error whose stack passes through
# the module. The interpreter's own allocations are left out by that filter
# (no CPython suppression file is needed); PYTHONMALLOC=malloc makes every
# object allocation visible to valgrind.
#
# Usage: bash tools/memcheck.sh [pytest arguments, default: the subset below]
# Environment: PYTHON (interpreter with pytest and hypothesis; default
# .venv/bin/python when present, else a venv made in build/memcheck),
# BUILD_DIR (default build/memcheck).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build/memcheck}
mkdir -p "$build"

. tools/python-env.sh

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
echo "== build ($build)"
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -fno-omit-frame-pointer" \
  -DOVILA_BUILD_TESTS=OFF -DOVILA_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build "$build" -j "${JOBS:-2}"

if [ $# -eq 0 ]; then
  set -- tests/test_binding.py tests/test_records.py tests/test_module.py tests/test_resources.py \
    tests/test_run.py tests/test_fuzz.py tests/test_threads.py \
    -k "not random_configurations and not second_initialisation and not fresh_process"
fi

log=$root/$build/memcheck.log
echo "== pytest under valgrind (log: $log)"
status=0
OVILA_FUZZ_EXAMPLES=${OVILA_FUZZ_EXAMPLES:-25} \
  PYTHONMALLOC=malloc \
  PYTHONPATH="$root/$build/ovila-genetic-py" \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --num-callers=50 --log-file="$log" \
  "$PYTHON" -m pytest -q -p no:cacheprovider "$@" || status=$?

echo "== reports that pass through the module"
"$PYTHON" - "$log" <<'EOF'
import re
import sys

text = open(sys.argv[1]).read()
blocks, current = [], []
for line in text.splitlines():
    body = re.sub(r"^==\d+==\s?", "", line)
    if not body.strip():
        if current:
            blocks.append(current)
        current = []
    else:
        current.append(body)
if current:
    blocks.append(current)

kinds = ("definitely lost", "Invalid read", "Invalid write", "Invalid free", "Mismatched free",
         "uninitialised", "Source and destination overlap", "unaddressable")
found = [b for b in blocks
         if any(k in b[0] for k in kinds) and any("ovila" in line for line in b)]
summary = [line for b in blocks for line in b if "definitely lost:" in line or "ERROR SUMMARY" in line]
print("\n".join(summary))
for block in found:
    print("\n".join(block))
    print()
print(f"{len(found)} report(s) through the module")
sys.exit(1 if found else 0)
EOF
exit $status
