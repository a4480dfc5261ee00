"""The installed type stubs agree with the module and type-check real use."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

import orrery  # noqa: E402

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "typed_usage.py"

# Each line must be rejected with the given error code: stubs that fall back to
# Any, or lose a parameter, a return type or @final, would let it through.
MISUSE = [
    ('orrery.pretty_format([], indent="2")', "arg-type"),
    ("orrery.pretty_print([], 2, 3)", "call-arg"),
    ('orrery.format_escaped_bytes("text")', "arg-type"),
    ("orrery.print_escaped_bytes(obj=None)", "arg-type"),
    ("count: int = orrery.pretty_format(1)", "assignment"),
    ("orrery.Pretty().indent = None", "assignment"),
    ('orrery.Pretty(indent="4")', "arg-type"),
    ("orrery.Pretty().format()", "call-arg"),
    ("class Sub(orrery.Pretty): ...", "misc"),
]


def run(args, cwd):
    # An empty working directory: no project configuration, no cache left in the
    # tree, and the stubs can only come from the installed distribution.
    proc = subprocess.run([sys.executable, "-m", *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=300)
    return proc.returncode, proc.stdout + proc.stderr


def test_stubs_match_runtime(tmp_path):
    code, out = run(["mypy.stubtest", "orrery"], tmp_path)
    assert code == 0, out


def test_typed_example_checks_and_runs(tmp_path):
    code, out = run(["mypy", "--strict", "--cache-dir", os.devnull, str(EXAMPLE)], tmp_path)
    assert code == 0, out
    proc = subprocess.run([sys.executable, str(EXAMPLE)], cwd=tmp_path, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert proc.stdout.rstrip().endswith(repr(sorted(orrery.__all__)))


def test_misuse_is_rejected(tmp_path):
    (tmp_path / "misuse.py").write_text("import orrery\n" + "".join(f"{line}\n" for line, _ in MISUSE))
    code, out = run(["mypy", "--cache-dir", os.devnull, "misuse.py"], tmp_path)
    assert code == 1, out
    errors = {}
    for lineno, rule in re.findall(r"^misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", out, re.M):
        errors.setdefault(int(lineno), set()).add(rule)
    assert errors == {n: {rule} for n, (_, rule) in enumerate(MISUSE, start=2)}, out
