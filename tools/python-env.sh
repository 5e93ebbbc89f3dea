# Sourced by the instrumented test runs: sets PYTHON (absolute path) to an
# interpreter with pytest and hypothesis: $PYTHON if given, else .venv's,
# else a venv made in "$build/venv". Expects $build.
if [ -z "${PYTHON:-}" ]; then
  if [ -x .venv/bin/python ] && .venv/bin/python -c "import pytest, hypothesis" 2>/dev/null; then
    PYTHON=.venv/bin/python
  else
    if [ ! -x "$build/venv/bin/python" ]; then
      python3 -m venv "$build/venv"
      "$build/venv/bin/python" -m pip install -q pytest hypothesis
    fi
    PYTHON=$build/venv/bin/python
  fi
fi
PYTHON=$(cd "$(dirname "$PYTHON")" && pwd)/$(basename "$PYTHON")
