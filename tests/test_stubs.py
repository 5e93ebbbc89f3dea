"""The shipped type stubs match the modules, and the examples and ovila_dsm type-check."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run(*args: str) -> subprocess.CompletedProcess[str]:
    # Run outside the source tree so that the installed stubs are the ones found.
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT / "tests", capture_output=True, text=True, timeout=600
    )


def test_stubs_match_the_runtime_module():
    result = run("mypy.stubtest", "ovila_genetic_py", "ovila_dsm._order")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_type_checking():
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    result = run("mypy", "--strict", "--no-incremental", *examples)
    assert result.returncode == 0, result.stdout + result.stderr


def test_ovila_dsm_passes_strict_type_checking():
    result = run("mypy", "--strict", "--no-incremental", "-p", "ovila_dsm")
    assert result.returncode == 0, result.stdout + result.stderr
