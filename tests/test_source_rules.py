"""Invariants of the C++ sources that the compiler cannot check."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp"})

# Each primitive may appear only in the file that wraps it in a scoped type.
OWNERS = {
    r"\bPy_(X?INCREF|X?DECREF|CLEAR)\b": {"boundary/ref.hpp"},
    r"\bPy_(Enter|Leave)RecursiveCall\b": {"engine/depth.hpp"},
    r"\bPyEval_(SaveThread|RestoreThread)\b": {"boundary/once.hpp"},
    r"\bstd::call_once\b": {"boundary/once.hpp"},
    # Compiler builtins, inline assembly and the processor's kernel choice.
    r"\b__(builtin_\w+|asm__|attribute__|int128|SSE2__|x86_64__)\b|\bmemrchr\b": {"engine/platform.hpp"},
    # Vector intrinsics live in the kernels; the choice between them is made once.
    r"\b_mm_\w+|\b__m128\w*|\bORRERY_KERNEL_SSE2\b|\b__SSE2__\b": {
        "engine/platform.hpp",
        "engine/kernel.hpp",
        "engine/kernel_sse2.hpp",
    },
    # CPython's private names and layouts, and its version differences.
    r"\b_Py\w+|\bob_digit\b|\bma_version_tag\b|\bwstr\w*": {"boundary/cpython_compat.hpp"},
    r"\bPY_VERSION_HEX\b": {"boundary/cpython_compat.hpp", "boundary/pyerr.cpp", "module/pretty_type.cpp"},
}


@pytest.mark.skipif(not SOURCES, reason="sources not present")
@pytest.mark.parametrize("pattern", sorted(OWNERS))
def test_primitive_used_only_by_its_wrapper(pattern):
    users = {str(p.relative_to(SRC)) for p in SOURCES if re.search(pattern, p.read_text())}
    assert users <= OWNERS[pattern]


@pytest.mark.skipif(not SOURCES, reason="sources not present")
def test_every_entry_runs_inside_a_boundary():
    # Functions handed to the interpreter return through a boundary wrapper.
    for path in SRC.rglob("module/*.cpp"):
        text = path.read_text()
        for match in re.finditer(r"\n(?:PyObject\*|int|void) (\w+)\((?:PyObject|PyTypeObject)\*[^)]*\) \{\n(.*?)\n\}", text, re.S):
            name, body = match.groups()
            assert "boundary_" in body, f"{path.name}: {name} does not run inside a boundary"
