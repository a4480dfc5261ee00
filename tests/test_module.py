"""Module surface: names, doc strings, the Pretty type object and the shared object."""
import gc
import importlib
import shutil
import subprocess
import sys
import weakref

import pytest

import orrery

NAMES = ["Pretty", "format_escaped_bytes", "pretty_format", "pretty_print", "print_escaped_bytes"]

ESCAPED_DOC = ('Formats a bytes object into a string of escaped hex bytes. For example, b"ABC" becomes '
               r'"\\x41\\x42\\x43".' "\n\nArgs:\n    obj: The bytes object to format.\n\nReturns:\n"
               "    A string containing the escaped representation of the bytes object.")
INDENT_ARG = "\n    indent: The number of spaces to use for indentation. Default is 4."
FORMAT_DOC = ("Pretty-format the given object and return it as a string.\n\nArgs:\n    obj: The object to "
              "pretty-format." + INDENT_ARG + "\n\nReturns:\n"
              "    A string containing the pretty-formatted representation of the object.")
PRINT_DOC = "Pretty-print the given object to standard output.\n\nArgs:\n    obj: The object to pretty-print." + INDENT_ARG


def test_module_doc_and_all():
    assert orrery.__doc__ == "A module for pretty-printing Python objects."
    assert type(orrery.__all__) is list and orrery.__all__ == NAMES
    ns = {}
    exec("from orrery import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == NAMES
    assert all(ns[name] is getattr(orrery, name) for name in NAMES)


@pytest.mark.parametrize("name, signature, doc", [
    ("format_escaped_bytes", "(obj)", ESCAPED_DOC), ("print_escaped_bytes", "(obj)", None),
    ("pretty_format", "(obj, indent=4)", FORMAT_DOC), ("pretty_print", "(obj, indent=4)", PRINT_DOC),
])
def test_function_objects(name, signature, doc):
    func = getattr(orrery, name)
    assert type(func) is type(len) and func.__name__ == func.__qualname__ == name
    assert func.__module__ == "orrery" and func.__self__ is orrery
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc


def test_pretty_type_surface():
    P = orrery.Pretty
    assert P.__name__ == P.__qualname__ == "Pretty"
    assert P.__module__ == "builtins"
    assert repr(P) == "<class 'Pretty'>"
    assert P.__bases__ == (object,)
    assert P.__text_signature__ == "(indent=4)"
    assert P.__doc__ == "A class for pretty-printing Python objects."
    assert P.indent.__doc__ == "The number of spaces to use for indentation. Default is 4."
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (P,), {})
    P.extra = 1  # the type is not immutable
    try:
        assert P().extra == 1
    finally:
        del P.extra
    p = P()
    assert not hasattr(p, "__dict__") and not gc.is_tracked(p)
    with pytest.raises(AttributeError):
        p.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(p)


def test_reimport_returns_same_module():
    first = sys.modules.pop("orrery")
    first.marker = "kept"
    try:
        again = importlib.import_module("orrery")
    finally:
        sys.modules["orrery"] = first
        assert first.__dict__.pop("marker") == "kept"
    assert again is first
    assert again.__all__ == NAMES
    assert again.Pretty is orrery.Pretty


@pytest.mark.skipif(not (shutil.which("nm") and shutil.which("readelf")), reason="binutils missing")
def test_shared_object_exports_and_needs():
    def run(*argv):
        return subprocess.run([*argv, orrery.__file__], capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1] for line in run("nm", "-D", "--defined-only").splitlines() if line.strip()}
    assert exported == {"PyInit_orrery"}
    needed = [line for line in run("readelf", "-d").splitlines() if "(NEEDED)" in line]
    assert needed and not [line for line in needed if "libpython" in line]


# One import attempt in the main interpreter and one in a (non-isolated)
# sub-interpreter, in the order MAIN_FIRST says; each writes one line to fd 1.
SUBINTERP_CHILD = r'''
import os, sys
ATTEMPT = """if 1:
    import os
    try:
        import orrery; msg = "imported"
    except ImportError as e:
        msg = "ImportError: %s" % e
    os.write(1, msg.encode("utf-8", "replace") + b"\\n")
"""
try:
    import _interpreters as mod
    new = lambda: mod.create("legacy")
except ImportError:
    try:
        import _xxsubinterpreters as mod
    except ImportError:
        os._exit(77)
    new = lambda: mod.create(isolated=False) if sys.version_info >= (3, 12) else mod.create()
steps = [lambda: exec(ATTEMPT), lambda: mod.run_string(new(), ATTEMPT)]
for step in steps if MAIN_FIRST else steps[::-1]:
    step()
os._exit(0)
'''


@pytest.mark.parametrize("main_first", [True, False])
def test_second_interpreter_refused(main_first):
    code = f"MAIN_FIRST = {main_first}\n" + SUBINTERP_CHILD
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    if proc.returncode == 77:
        pytest.skip("no sub-interpreter support in this Python")
    assert proc.returncode == 0, proc.stderr
    first, second = proc.stdout.splitlines()
    if not main_first and sys.version_info >= (3, 13):
        # From 3.13 the import system initialises a single-phase module in the
        # main interpreter before a sub-interpreter gets it, so the main
        # interpreter owns it and the sub-interpreter is the one refused.
        first, second = second, first
    assert first == "imported"
    assert second.startswith("ImportError: Tessel modules do not yet support subinterpreters, see "), second


@pytest.mark.parametrize("target, signature", [
    (orrery.pretty_format, "(obj, indent=4)"),
    (orrery.pretty_print, "(obj, indent=4)"),
    (orrery.format_escaped_bytes, "(obj)"),
    (orrery.print_escaped_bytes, "(obj)"),
    (orrery.Pretty, "(indent=4)"),
    (orrery.Pretty.format, "(self, /, obj)"),
    (orrery.Pretty.print, "(self, /, obj)"),
])
def test_introspection(target, signature):
    import inspect
    import pydoc

    assert str(inspect.signature(target)) == signature
    assert target.__name__ in pydoc.render_doc(target)
