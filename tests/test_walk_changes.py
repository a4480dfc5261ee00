"""Changes made to a document while it is printed, and documents that contain themselves."""
import dataclasses
import gc
import os
import tempfile
import weakref

import pytest

import orrery
from test_stdout_blocking import child_report

# ---------------------------------------------------------------------------
# fd 1 a pipe that fills at a chosen write; another thread changes the
# document while that write waits. Freed memory is poisoned in the child, so
# a value read after its release shows up as a crash or as wrong text.
# ---------------------------------------------------------------------------

FULL_PIPE = r"""
import fcntl
def fresh(c):  # a str that only the document holds
    return c * 40 + str(os.getpid())
V1, V2 = fresh("v"), fresh("w")
doc = DOC
r, saved = pipe_on_stdout()
os.write(1, b"x" * (fcntl.fcntl(1, 1032) - ROOM))  # F_GETPIPE_SZ: room for ROOM bytes
chunks = []
def mutate():
    time.sleep(0.3)  # the print waits by then
    MUTATION
    drain(r, chunks)
def printed(obj):  # the name of what pretty_print raised, or None
    try:
        orrery.pretty_print(obj)
    except BaseException as e:
        return type(e).__name__
t = threading.Thread(target=mutate)
t.start()
raised = printed(doc)
os.dup2(saved, 1)
t.join()
report(raised=raised, got=b"".join(chunks).decode().lstrip("x"), v1=V1, v2=V2)
"""

# (document, room left in the pipe, change, what is raised, the text with
# the values' reprs as {v1} and {v2}).
FULL_PIPE_CASES = {
    # The line start after the first entry waits: the second entry was read
    # before it and is written whole, then the walk sees the change.
    "dict cleared": ('{"k1": fresh("v"), "k2": fresh("w")}', 2, "doc.clear()", "PanicException",
                     "{{\n    'k1': {v1},\n    'k2': {v2},\n"),
    "dict value replaced": ('{"k1": fresh("v"), "k2": fresh("w")}', 2, 'doc["k2"] = 0', None,
                            "{{\n    'k1': {v1},\n    'k2': {v2},\n}}\n"),
    # A list emptied while the line start after element 0 waits, or while
    # its opening waits: the elements taken are written, and the list closed.
    "list cleared at a line": ('[fresh("v"), fresh("w")]', 2, "doc.clear()", None, "[\n    {v1},\n    {v2},\n]\n"),
    "list cleared at the opening": ('[fresh("v"), fresh("w")]', 0, "doc.clear()", None, "[\n    {v1},\n]\n"),
}


@pytest.mark.parametrize("case", FULL_PIPE_CASES)
def test_change_while_a_write_waits_on_a_full_pipe(case, monkeypatch):
    doc, room, mutation, raised, text = FULL_PIPE_CASES[case]
    monkeypatch.setenv("PYTHONMALLOC", "debug")
    rep = child_report(FULL_PIPE.replace("DOC", doc).replace("ROOM", str(room)).replace("MUTATION", mutation), 30)
    assert rep["raised"] == raised, rep
    assert rep["got"] == text.format(v1=repr(rep["v1"]), v2=repr(rep["v2"])), rep


# ---------------------------------------------------------------------------
# Documents that contain themselves.
# ---------------------------------------------------------------------------


@dataclasses.dataclass(eq=False)  # hashable: can be a key
class Node:
    name: str
    next: object


def chain(depth, end):
    """Lists nested `depth` deep around `end`; returns (outermost, list at each level)."""
    levels = [[end]]
    for _ in range(depth - 1):
        levels.insert(0, [levels[0]])
    return levels[0], levels


def cyclic(form):
    if form == "list":
        a = [1]
        a.append(a)
        return a
    if form == "dict":
        d = {"k": 1}
        d["self"] = {"inner": [d]}
        return d
    if form == "tuple":
        inner = []
        t = (1, inner)
        inner.append(t)
        return t
    if form == "dataclass":
        n = Node("a", None)
        n.next = [Node("b", n)]
        return n
    if form == "dict key":
        d = {}
        d[Node("k", [d])] = 1
        return d
    # A container met again far below the first levels of the path.
    top, levels = chain(60, None)
    levels[-1][0] = levels[45]
    return top


@pytest.mark.parametrize("form", ["list", "dict", "tuple", "dataclass", "dict key", "deep"])
def test_a_document_that_contains_itself_ends_at_once(form):
    doc = cyclic(form)
    with pytest.raises(RecursionError, match="contains itself"):
        # Indented too deep for the text long before the recursion limit.
        orrery.pretty_format(doc, indent=100)


@pytest.mark.parametrize("depth", [3, 40])
def test_a_container_met_twice_off_its_own_path_is_written_twice(depth):
    # The same list under two branches, at the first levels of the path and
    # beyond them: a repeat, not a cycle.
    shared = [1, 2]
    left, _ = chain(depth, shared)
    right, _ = chain(depth, shared)
    doc = [left, (right, shared), {"a": shared, "b": Node("n", shared)}]
    assert orrery.pretty_format(doc, indent=0).count("1,\n2,\n") == 5


# ---------------------------------------------------------------------------
# Every yield point of the printing path (test builds only): the hook runs
# at each write that could wait, and there changes the document.
# ---------------------------------------------------------------------------

hooked = pytest.mark.skipif(not hasattr(orrery, "_set_yield_hook"), reason="a build without test hooks")


class Leaf:
    """A leaf whose repr() runs Python code."""

    def __repr__(self):
        return "<leaf>"


@dataclasses.dataclass
class Box:
    items: list
    meta: dict
    name: str


def fresh(tag):
    # Made at run time, so that nothing else holds it.
    return "r" * 12 + str(tag)


def leaves():
    return [fresh(1), 12345, 2.5, None, True, 10**30, Leaf(), "\u00e9" + fresh(2), "x" * 5000]


DOCUMENTS = {
    "list": lambda: leaves(),
    "long list": lambda: leaves() + leaves(),
    "tuple": lambda: tuple(leaves()) + ([fresh(3)],),
    "dict": lambda: {"a": fresh(4), 1: [1, fresh(5)], ("t", 1): 3.5, Leaf(): None, "d": {"x": fresh(6)}},
    "dataclass": lambda: Box([1, fresh(7), Leaf()], {"k": (None, fresh(8))}, fresh(9)),
    "nested": lambda: [{"k": [Box([fresh(10)], {}, "n"), (1, [2, fresh(11)])]}, [[]], {}, (fresh(12),)],
}


def containers(root, also=()):
    """The lists, dicts and dataclass instances reachable from `root`, inner
    ones before outer ones, and the objects of the types `also`."""
    found, seen, todo = [], set(), [root]
    while todo:
        obj = todo.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        if isinstance(obj, (list, tuple)):
            todo += obj
        elif isinstance(obj, dict):
            todo += obj.values()
        elif dataclasses.is_dataclass(obj):
            todo += [getattr(obj, f.name) for f in dataclasses.fields(obj)]
        elif not isinstance(obj, also):
            continue
        if not isinstance(obj, tuple):
            found.append(obj)
    return found[::-1]


def change_each(root, on_list, on_dict, on_box):
    for c in containers(root):
        if isinstance(c, list):
            on_list(c)
        elif isinstance(c, dict):
            on_dict(c)
        else:
            for f in dataclasses.fields(c):
                setattr(c, f.name, on_box(getattr(c, f.name)))


def replace_all(d):
    for k in list(d):
        d[k] = fresh(k)


MUTATIONS = {
    "clear": lambda root: change_each(root, list.clear, dict.clear, lambda v: None),
    "shrink": lambda root: change_each(root, lambda l: l.__delitem__(slice(len(l) // 2, None)),
                                       lambda d: d and d.popitem(), lambda v: []),
    "grow": lambda root: change_each(root, lambda l: l.append(fresh(20)), lambda d: d.__setitem__(fresh(21), 0),
                                     lambda v: [v, fresh(22)]),
    "replace": lambda root: change_each(root, lambda l: l.__setitem__(slice(None), [fresh(i) for i in range(len(l))]),
                                        replace_all, lambda v: fresh(23)),
    "collect": lambda root: gc.collect(),
}


def print_to_file(doc, hook):
    """pretty_print(doc) with fd 1 on a file and `hook` set; (text, the
    exception's class name or None)."""
    with tempfile.TemporaryFile() as f:
        saved = os.dup(1)
        os.dup2(f.fileno(), 1)
        raised = None
        orrery._set_yield_hook(hook)
        try:
            orrery.pretty_print(doc)
        except BaseException as e:
            raised = type(e).__name__  # not the exception: its frames hold the document
            orrery._set_yield_hook(None)
            orrery.print_escaped_bytes(b"")  # a line feed: pushes out what the print left buffered
        finally:
            orrery._set_yield_hook(None)
            os.dup2(saved, 1)
            os.close(saved)
        f.seek(0)
        return f.read().decode(), raised


def whole(text):
    """Whether `text` is one printed document: every opening closed at its own margin, in order."""
    if not text.endswith("\n"):
        return False
    open_lines = []
    pairs = {"[": "]", "{": "}", "(": ")"}
    for line in text[:-1].split("\n"):
        margin = len(line) - len(line.lstrip(" "))
        body = line.strip()
        if body[:1] in ")]}":
            if not open_lines or open_lines[-1] != (margin, body[0]):
                return False
            open_lines.pop()
        if body[-1:] in pairs and not body.endswith(("[]", "{}", "()")):
            open_lines.append((margin, pairs[body[-1]]))
    return not open_lines and text[:-1].split("\n")[-1].strip() in ("]", "}", ")")


@hooked
@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("form", DOCUMENTS)
def test_a_change_at_each_yield_point_leaves_a_whole_document(form, mutation):
    calls = [0]

    def count():
        calls[0] += 1

    expected = orrery.pretty_format(DOCUMENTS[form]()) + "\n"
    text, raised = print_to_file(DOCUMENTS[form](), count)
    assert (text, raised) == (expected, None)
    for point in range(calls[0]):
        doc = DOCUMENTS[form]()
        watched = [weakref.ref(c) for c in containers(doc, Leaf) if isinstance(c, (Box, Leaf))]
        seen = [0]

        def hook():
            seen[0] += 1
            if seen[0] == point + 1:
                MUTATIONS[mutation](doc)

        text, raised = print_to_file(doc, hook)
        where = (form, mutation, point, text, raised)
        if raised is not None:
            assert raised == "PanicException", where
        else:
            assert whole(text), where
            if mutation == "collect":
                assert text == expected, where
        del doc  # the documents hold no cycles: what is left is leaked
        assert all(w() is None for w in watched), where
