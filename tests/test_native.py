"""Builds and runs the native test program of the binders and the I/O-error table."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

NATIVE_DIR = pathlib.Path(__file__).parent / "native"


def _run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=600, **kwargs)


def test_native_program(tmp_path):
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    compilers = [os.environ.get("CXX"), "c++", "g++", "clang++"]
    if not any(c and shutil.which(c) for c in compilers):
        pytest.skip("no C++ compiler found")
    build = tmp_path / "build"
    configure = _run(["cmake", "-S", str(NATIVE_DIR), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}"])
    if configure.returncode != 0:
        if "Could NOT find Python" in configure.stdout + configure.stderr:
            pytest.skip("the Python library for embedding is not available")
        pytest.fail("cmake configure failed:\n" + configure.stdout + configure.stderr)
    built = _run(["cmake", "--build", str(build), "-j", str(os.cpu_count() or 2)])
    assert built.returncode == 0, built.stdout + built.stderr

    # The embedded interpreter must find the standard library of the one running us.
    env = dict(os.environ, PYTHONHOME=f"{sys.base_prefix}:{sys.base_exec_prefix}")
    env.pop("PYTHONPATH", None)
    run = _run([str(build / "binding_io_test")], env=env)
    summary = run.stdout.strip().splitlines()[-1:]
    assert run.returncode == 0, run.stdout + run.stderr
    assert summary and re.fullmatch(r"[1-9]\d* passed, 0 failed", summary[0]), run.stdout
