"""Whole-document rendering: orrery against other pretty-printers and serialisers.

Peers: orrery.pretty_format, repr(), pprint.pformat, json.dumps(indent=4),
orjson.dumps(OPT_INDENT_2), rich.pretty.pretty_repr, and orrery.pretty_print
with file descriptor 1 on /dev/null, on nine generated documents (seeded, so
every run renders the same data). Each call is timed three ways:
  - first call: in a fresh interpreter that builds the document and imports
    the peer (neither timed), one call, median of several processes;
  - interleaved: in this process, one call right after the other peers'
    calls on the same document, best of N rounds;
  - steady state: in the same rounds, repeated calls after as many untimed
    calls of the same peer, best of N rounds.
Minor page faults per call (getrusage) are counted beside each time. Peers
that are too slow for the full document are timed on a leading slice and
scaled linearly (marked with '*'); peers that cannot render a document show
'n/a'.

Then, in child processes:
  - write(2) calls per output line of pretty_print, counted with strace;
  - peak RSS growth of pretty_format and of pretty_print (to /dev/null) over
    the RSS after the document was built, against the size of the text,
    including a document whose text is several hundred MB.

Usage: python benchmarks/bench_documents.py [--quick] [--rounds N] [--procs N]
"""

import argparse
import contextlib
import dataclasses
import gc
import json
import math
import os
import pprint
import random
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# orrery and the third-party peers are imported where they are used, so that a
# first-call child loads only the peer it times.

STARTED = time.perf_counter()

# pprint, json's pure-Python indenting encoder and rich recurse several Python
# frames per nesting level; the deep chain needs far more than the default.
sys.setrecursionlimit(50_000)

# ---------------------------------------------------------------------------
# Documents
# ---------------------------------------------------------------------------

WORDS = (
    "account user order item price token session region quota status limit "
    "cursor page filter sort field value event metric label owner group role "
    "policy secret bucket object version tag image volume network route"
).split()
# Words with characters outside ASCII, mixed into names and descriptions.
INTL_WORDS = (
    "café naïve façade Zürich Ελλάδα данные запрос ответ 東京 データ 検索 "
    "서울 요청 مرحبا שלום señal año größe 🚀 ✓ €"
).split()


# Only characters of the basic multilingual plane beyond Latin-1: a document
# using these sparingly renders to a str of 2 bytes per character.
BMP_WORDS = "Ελλάδα данные 東京 € → ✓".split()
# How often a word is quoted or followed by an escaped path or pattern.
_DECOR = [(0.02, '"{}"'), (0.01, "'{}'"), (0.004, "{}\\d+"), (0.003, "C:\\{}\\data"),
          (0.002, "it's {}")]


class Text:
    """How sentences of a document mix in words beyond ASCII."""

    def __init__(self, share=0.1, words=INTL_WORDS):
        self.share, self.words = share, words

    def word(self, rng):
        w = rng.choice(self.words) if rng.random() < self.share else rng.choice(WORDS)
        r = rng.random()
        for p, form in _DECOR:
            if r < p:
                return form.format(w)
            r -= p
        return w

    def sentence(self, rng, words, boost=1.0):
        share, self.share = self.share, self.share * boost
        try:
            return " ".join(self.word(rng) for _ in range(words)).capitalize() + "."
        finally:
            self.share = share


def _schema(rng, depth=0):
    kind = rng.choice(["string", "integer", "number", "boolean", "array", "object"] if depth < 2
                      else ["string", "integer", "number", "boolean"])
    schema = {"type": kind}
    if kind == "string":
        schema["format"] = rng.choice([None, "date-time", "uuid", "email"])
        schema["maxLength"] = rng.randrange(8, 4096)
    elif kind == "integer":
        schema["minimum"] = rng.randrange(-1000, 0)
        schema["maximum"] = rng.randrange(1, 2**31)
    elif kind == "number":
        schema["default"] = round(rng.uniform(-1e4, 1e4), 6)
    elif kind == "boolean":
        schema["default"] = rng.random() < 0.5
    elif kind == "array":
        schema["items"] = _schema(rng, depth + 1)
    else:
        schema["properties"] = {rng.choice(WORDS) + str(i): _schema(rng, depth + 1)
                                for i in range(rng.randrange(1, 5))}
        schema["required"] = [k for k in schema["properties"] if rng.random() < 0.5]
    return schema


def _operation(rng, method, path, text):
    return {
        "operationId": f"{method}_{path.strip('/').replace('/', '_').replace('{', '').replace('}', '')}",
        "summary": text.sentence(rng, rng.randrange(3, 8)),
        "description": text.sentence(rng, rng.randrange(20, 80)),
        "deprecated": rng.random() < 0.1,
        "tags": [rng.choice(WORDS) for _ in range(rng.randrange(1, 4))],
        "parameters": [
            {
                "name": rng.choice(WORDS) + ("_id" if rng.random() < 0.3 else ""),
                "in": rng.choice(["query", "path", "header"]),
                "required": rng.random() < 0.4,
                "description": text.sentence(rng, rng.randrange(4, 15)),
                "schema": _schema(rng),
                "example": rng.choice([None, rng.randrange(100000), rng.choice(WORDS), 0.5]),
            }
            for _ in range(rng.randrange(0, 6))
        ],
        "responses": {
            str(code): {
                "description": text.sentence(rng, rng.randrange(2, 10)),
                "content": {"application/json": {"schema": _schema(rng)}},
            }
            for code in sorted(rng.sample([200, 201, 204, 400, 401, 403, 404, 409, 429, 500],
                                          rng.randrange(1, 5)))
        },
        "x-rate-limit": round(rng.uniform(0.5, 500.0), 3),
        "x-cost": rng.randrange(1, 100),
    }


def build_api(n, rng, text=None):
    """n JSON-like API descriptions: nested dicts and lists of mixed leaves."""
    text = text or Text()
    docs = []
    for s in range(n):
        paths = {}
        for _ in range(rng.randrange(3, 12)):
            path = "/" + "/".join(rng.choice(WORDS) + ("s/{id}" if rng.random() < 0.3 else "")
                                  for _ in range(rng.randrange(1, 4)))
            paths[path] = {m: _operation(rng, m, path, text)
                           for m in rng.sample(["get", "put", "post", "delete", "patch"],
                                               rng.randrange(1, 4))}
        docs.append({
            "openapi": "3.1.0",
            "info": {
                "title": f"{rng.choice(WORDS).title()} service {s}",
                "version": f"{rng.randrange(1, 9)}.{rng.randrange(20)}.{rng.randrange(50)}",
                "description": text.sentence(rng, rng.randrange(30, 120), boost=2.0),
                "contact": {"name": text.word(rng), "email": None},
            },
            "servers": [{"url": f"https://{rng.choice(WORDS)}.example/{v}"} for v in ("v1", "v2")],
            "paths": paths,
            "public": rng.random() < 0.5,
            "sla": round(rng.uniform(99.0, 99.999), 3),
        })
    return docs


def build_api_bmp(n, rng):
    """API descriptions as above, with a few dozen characters beyond Latin-1."""
    return build_api(n, rng, Text(share=0.0002, words=BMP_WORDS))


def build_api_late(n, rng):
    """API descriptions in ASCII whose only character beyond Latin-1 is in the
    last entry of the last one: the result starts at 1 byte per character and
    has to widen near its end."""
    docs = build_api(n, rng, Text(share=0.0))
    docs[-1]["x-note"] = "moved to /v2 \u2192 see the changelog"
    return docs


def build_ints(n, rng):
    """n ints, mostly small, some beyond 32 bits."""
    return [rng.randrange(-10**6, 10**6) if rng.random() < 0.8 else rng.randrange(-2**62, 2**62)
            for _ in range(n)]


# Letters outside ASCII from several scripts (Latin-1, Greek, Cyrillic, CJK,
# Hangul) plus a few characters outside the BMP, so str objects of every
# internal width occur.
_NON_ASCII = ("àéîõüßçñ" "αβγδεζηθλμπσω" "абвгдежзиклмнопрст" "東京大阪日本語文字"
              "한국어서울" "😀🚀🌍")


def build_strings(n, rng):
    """n non-ASCII strings of 5 to 40 characters."""
    pools = [_NON_ASCII[:8], _NON_ASCII[8:21], _NON_ASCII[21:39], _NON_ASCII[39:48],
             _NON_ASCII[48:53], _NON_ASCII]
    out = []
    for _ in range(n):
        pool = rng.choice(pools)
        out.append("".join(rng.choices(pool, k=rng.randrange(5, 41))))
    return out


def build_mixed(n, rng):
    """n short strings: most ASCII (some with quotes or backslashes), the rest
    from one or several scripts beyond ASCII."""
    text = Text(share=0.0)
    pools = [_NON_ASCII[:8], _NON_ASCII[8:21], _NON_ASCII[21:39], _NON_ASCII[39:48], _NON_ASCII[:48]]
    out = []
    for _ in range(n):
        if rng.random() < 0.7:
            out.append(" ".join(text.word(rng) for _ in range(rng.randrange(1, 5))))
        else:
            word = "".join(rng.choices(rng.choice(pools), k=rng.randrange(3, 12)))
            out.append(f"{rng.choice(WORDS)} {word}" if rng.random() < 0.5 else word)
    return out


# Words beyond ASCII within the basic multilingual plane: Latin-1 letters,
# other scripts and symbols (a str of 1 or 2 bytes per character).
_BMP_SHORT = "café naïve Zürich señal größe Ελλάδα данные запрос 東京 検索 서울 € → ✓".split()


def build_short_bmp(n, rng):
    """n strs of one to four short words; a third carry one word beyond ASCII
    from the basic multilingual plane, so the result takes 2 bytes per character."""
    out = []
    for _ in range(n):
        words = [rng.choice(WORDS) for _ in range(rng.randrange(1, 5))]
        if rng.random() < 1 / 3:
            words[rng.randrange(len(words))] = rng.choice(_BMP_SHORT)
        out.append(" ".join(words))
    return out


@dataclasses.dataclass
class Record:
    id: int
    name: str
    score: float
    active: bool
    tags: list
    parent: object = None


def build_dataclasses(n, rng):
    """n dataclass instances with mixed fields, a few pointing at a nested instance."""
    out = []
    for i in range(n):
        parent = Record(i - 1, "parent", 0.0, False, []) if rng.random() < 0.1 else None
        out.append(Record(i, rng.choice(WORDS) + "-" + str(i), rng.uniform(0, 100),
                          rng.random() < 0.5, [rng.choice(WORDS) for _ in range(rng.randrange(0, 4))],
                          parent))
    return out


def build_chain(depth, rng):
    """A chain of dicts and lists alternating, depth levels deep."""
    node = "leaf"
    for level in range(depth, 0, -1):
        node = {"level": level, "next": node} if level % 2 else [level, node]
    return node


def build_big_strings(n, rng):
    """n ASCII strings of 60 characters: text of about 68 bytes per element."""
    return [f"{i * 2654435761 % 10**30:030d}{i:030d}" for i in range(n)]


# name, builder, default size, --quick size, size for the strace child,
# whether the document takes part in the timing tables.
DOCS = [
    ("api", build_api, 60, 4, 30, True),
    ("api-bmp", build_api_bmp, 60, 4, 30, True),
    ("api-late", build_api_late, 60, 4, 30, True),
    ("ints", build_ints, 1_000_000, 50_000, 100_000, True),
    ("strings", build_strings, 200_000, 10_000, 100_000, True),
    ("mixed", build_mixed, 200_000, 10_000, 100_000, True),
    ("short-bmp", build_short_bmp, 200_000, 10_000, 100_000, True),
    ("dataclasses", build_dataclasses, 50_000, 2_500, 15_000, True),
    ("chain", build_chain, 400, 400, 400, True),
    ("big-strings", build_big_strings, 5_000_000, 200_000, 0, False),
]
DOC_INFO = {d[0]: d for d in DOCS}


def build(name, size):
    return DOC_INFO[name][1](size, random.Random(f"orrery-bench-{name}"))


def leading_slice(doc, k):
    """The first k top-level elements, or None if the document has no length."""
    return doc[:k] if isinstance(doc, list) and len(doc) > 1 else None


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

@contextlib.contextmanager
def stdout_fd_to_devnull():
    """Point file descriptor 1 at /dev/null for the block (the module writes to fd 1 directly)."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def _pretty_print_to_null():
    import orrery

    def print_to_null(obj):
        with stdout_fd_to_devnull():
            orrery.pretty_print(obj)
    return print_to_null


def _pretty_format():
    import orrery
    return orrery.pretty_format


def _orjson_dumps():
    import orjson
    return lambda o: orjson.dumps(o, option=orjson.OPT_INDENT_2)


def _rich_pretty_repr():
    import rich.pretty
    return rich.pretty.pretty_repr


# Each loader imports what its peer needs and returns the callable to time.
PEERS = {
    "pretty_format": _pretty_format,
    "pretty_print>null": _pretty_print_to_null,
    "repr": lambda: repr,
    "pprint.pformat": lambda: pprint.pformat,
    "json.dumps": lambda: (lambda o: json.dumps(o, indent=4)),
    "orjson.dumps": _orjson_dumps,
    "rich.pretty_repr": _rich_pretty_repr,
}
PEER_NAMES = list(PEERS)
OWN = ("pretty_format", "pretty_print>null")  # always render the whole document
# Timed on their first call in a fresh process, each process building its
# document anew. pprint and rich take seconds on the larger documents, and
# slicing them would take calls before the first; repr and json.dumps are left
# out to keep the run within minutes.
FIRST_CALL_PEERS = ("pretty_format", "pretty_print>null", "orjson.dumps")
# The order of each round: pretty_format comes right after repr and orjson right
# after json.dumps, each after a peer that walked the same document and released
# a result of about the same size.
ROUND_ORDER = ("pprint.pformat", "rich.pretty_repr", "repr", "pretty_format",
               "pretty_print>null", "json.dumps", "orjson.dumps")
# A call longer than this (s) is made once per round and counts as both the
# interleaved and the steady sample: warming up changes little of so long a call.
SLOW_CALL = 0.1


def progress(what):
    print(f"  {time.perf_counter() - STARTED:5.0f} s  {what}", file=sys.stderr, flush=True)


def why(exc):
    """Why a peer cannot render a document, for the notes."""
    return f"{type(exc).__name__}: {str(exc)[:60]}"


def load_peer(name):
    """The callable timed for a peer, or None if its module is not installed."""
    try:
        return PEERS[name]()
    except ImportError:
        return None


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


@contextlib.contextmanager
def gc_paused():
    """As timeit does: collections of unrelated garbage are not charged to a call."""
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def sample(fn, arg, reps=1):
    """Time `reps` calls in a row, each releasing its result before the next:
    (seconds per call, minor page faults per call)."""
    f0 = minor_faults()
    t0 = time.perf_counter()
    for _ in range(reps):
        fn(arg)
    t1 = time.perf_counter()
    return (t1 - t0) / reps, (minor_faults() - f0) / reps


def back_to_back(fns, arg, rounds=3, calls=7):
    """Best time per call of each function repeated on its own (`calls` calls
    after as many untimed ones, in `rounds` interleaved rounds): each call
    reuses the memory of its own previous result and finds the document and
    that result in the cache, the steady state of a program that formats
    similar data again and again."""
    best = [float("inf")] * len(fns)
    with gc_paused():
        for _ in range(rounds):
            for i, fn in enumerate(fns):
                for _ in range(calls):
                    fn(arg)
                for _ in range(calls):
                    best[i] = min(best[i], sample(fn, arg)[0])
    return best


class Plan:
    """How one peer is timed on one document, and its samples: (seconds,
    minor faults) per call, for the part of the document it renders."""

    def __init__(self, fn, arg, reps, scale, note, slow):
        self.fn, self.arg, self.reps, self.scale, self.note = fn, arg, reps, scale, note
        self.slow = slow
        self.interleaved = []  # one call each, right after the other peers' calls
        self.steady = []       # reps calls each, after as many calls of its own

    def best(self, kind):
        """Best time per call for the whole document (scaled from a slice)."""
        return min(t for t, _ in getattr(self, kind)) * self.scale

    def faults(self, kind):
        return statistics.median(f for _, f in getattr(self, kind))


def plan_peer(fn, doc, budget, min_sample, sliceable=True):
    """Decide input (full or a slice), repetitions and scale factor for one peer.

    Returns a Plan, or a string saying why the peer cannot render the document.
    """
    n = len(doc) if isinstance(doc, list) else 1
    probe = leading_slice(doc, max(1, n // 100)) if n >= 10 and sliceable else None
    try:
        with gc_paused():
            estimate = sample(fn, probe)[0] * n / len(probe) if probe is not None else None
            if estimate is None or estimate <= budget:
                t = sample(fn, doc)[0]  # also proves the peer handles the whole document
                reps = max(1, min(1000, math.ceil(min_sample / max(t, 1e-9))))
                return Plan(fn, doc, reps, 1.0, "", t > SLOW_CALL)
            k = max(1, int(n * budget / estimate))
            part = leading_slice(doc, k)
            t = sample(fn, part)[0]
        return Plan(fn, part, 1, n / k, f"{k:,} of {n:,} elements, x{n / k:.1f}", t > SLOW_CALL)
    except Exception as exc:  # TypeError for unsupported types, depth limits and the like
        return why(exc)


def run_timings(docs, rounds, budget, min_sample):
    """Interleaved and steady samples of every peer on every document, in
    `rounds` rounds of ROUND_ORDER. A short call is repeated after as many
    untimed calls (the interleaved one among them), so that its steady sample
    is charged neither for the pages the previous peer's garbage left the
    allocator to map afresh nor for the calls it takes to bring the document
    and a large result back into the cache after a peer that swept through
    memory."""
    fns = {p: load_peer(p) for p in PEER_NAMES}
    results = {}
    for name, doc in docs:
        plans = {p: "not installed" if fn is None else
                 plan_peer(fn, doc, budget, min_sample, sliceable=p not in OWN)
                 for p, fn in fns.items()}
        active = [plans[p] for p in ROUND_ORDER if isinstance(plans[p], Plan)]
        for _ in range(rounds):
            with gc_paused():
                for pl in active:
                    pl.interleaved.append(sample(pl.fn, pl.arg))
                    if pl.slow:
                        pl.steady.append(pl.interleaved[-1])
                        continue
                    for _ in range(pl.reps - 1):
                        pl.fn(pl.arg)
                    pl.steady.append(sample(pl.fn, pl.arg, pl.reps))
        results[name] = plans
        progress(f"timed {name}")
    return results


def run_first_calls(sizes, procs):
    """{(document, peer): [(seconds, faults), ...] or an error string}: each
    peer's first call in `procs` fresh interpreters per document, the processes
    of one pass taking every document and peer in turn."""
    peers = [p for p in FIRST_CALL_PEERS if load_peer(p) is not None]
    out = {}
    for i in range(procs):
        for d in DOCS:
            if not d[5]:
                continue
            for peer in peers:
                info = run_child(["first", d[0], str(sizes[d[0]]), peer])
                key = (d[0], peer)
                got = out.setdefault(key, [])
                if "error" in info:
                    out[key] = info["error"]
                elif isinstance(got, list):
                    got.append((info["time"], info["faults"]))
        progress(f"first calls, pass {i + 1} of {procs}")
    return out


# ---------------------------------------------------------------------------
# Child processes: write(2) count and peak RSS
# ---------------------------------------------------------------------------

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def _peak_rss_bytes():
    """Peak RSS of this process since the last reset.

    ru_maxrss is the maximum of this process's own high-water mark and one
    inherited at exec from the memory of the process that spawned it (the
    benchmark parent, which holds all documents), so in a child it can sit
    far above anything the child did. VmHWM is the child's own mark, the one
    that the reset below lowers; ru_maxrss is the fallback without /proc.
    """
    try:
        return _status_kib("VmHWM") * 1024
    except (OSError, LookupError):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _rss_bytes():
    try:
        return _status_kib("VmRSS") * 1024
    except (OSError, LookupError):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child_main(argv):
    """Entry of a child process. Prints one JSON line of results to stderr."""
    mode, name, size = argv[0], argv[1], int(argv[2])
    doc = build(name, size)
    if mode == "first":
        # The build and the import come before the timed call, and nothing
        # else of the peer's runs before it.
        fn = load_peer(argv[3])
        gc.disable()
        try:
            t, faults = sample(fn, doc)
            info = {"time": t, "faults": faults}
        except Exception as exc:  # reported as n/a, as in the parent's tables
            info = {"error": why(exc)}
        print(json.dumps(info), file=sys.stderr)
        return
    import orrery
    if mode == "write":
        text = orrery.pretty_format(doc)
        info = {"bytes": len(text.encode()) + 1, "lines": text.count("\n") + 1}
        del text
        orrery.pretty_print(doc)  # stdout is /dev/null; strace counts the writes
        print(json.dumps(info), file=sys.stderr)
        return
    op = argv[3] if len(argv) > 3 else "format"
    gc.collect()
    gc.freeze()
    # Reset the high-water mark to the current RSS so that temporaries of the
    # build do not mask the peak of the measured call (Linux >= 4.0).
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    base = _rss_bytes()
    peak_before = _peak_rss_bytes()
    if op == "format":
        text = orrery.pretty_format(doc)
        peak = _peak_rss_bytes()  # before encoding the text to count its bytes
        out_bytes, str_bytes = len(text.encode()), sys.getsizeof(text)
    else:
        orrery.pretty_print(doc)
        peak = _peak_rss_bytes()
        out_bytes = str_bytes = None
    print(json.dumps({"base": base, "peak": peak, "out_bytes": out_bytes, "str_bytes": str_bytes,
                      "masked": (not reset) and peak <= peak_before}), file=sys.stderr)


def run_child(args, prefix=()):
    cmd = [*prefix, sys.executable, os.path.abspath(__file__), "--child", *args]
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"child {args} failed:\n{proc.stderr[-2000:]}")
    return json.loads(proc.stderr.strip().splitlines()[-1])


def count_writes(name, size):
    strace = shutil.which("strace")
    if strace is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "trace")
        info = run_child(["write", name, str(size)],
                         prefix=(strace, "-f", "-qq", "-e", "trace=write", "-e", "signal=none",
                                 "-s", "0", "-o", log))
        pattern = re.compile(r"^(\d+\s+)?write\(1,")
        with open(log) as f:
            info["writes"] = sum(1 for line in f if pattern.match(line))
    return info


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def fmt_ms(seconds, scaled=False):
    ms = seconds * 1e3
    return (f"{ms:.2f}" if ms < 10 else f"{ms:.0f}") + ("*" if scaled else "")


def fmt_faults(n):
    return f"{n:,.0f}" if n >= 10 or n == int(n) else f"{n:.1f}"


def print_table(headers, rows):
    widths = [max(len(str(r[i])) for r in [headers, *rows]) for i in range(len(headers))]
    line = "  ".join(h.ljust(widths[0]) if i == 0 else h.rjust(widths[i]) for i, h in enumerate(headers))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join(str(c).ljust(widths[0]) if i == 0 else str(c).rjust(widths[i])
                        for i, c in enumerate(r)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="small documents, two rounds, two processes per first call (smoke run)")
    parser.add_argument("--rounds", type=int, default=None, help="timing rounds (default 7)")
    parser.add_argument("--procs", type=int, default=None,
                        help="fresh processes per first call (default 5)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # keep order with progress lines on stderr
    if args.child:
        child_main(args.child)
        return

    quick = args.quick
    rounds = args.rounds or (2 if quick else 7)
    procs = args.procs or (2 if quick else 5)
    budget = 0.05 if quick else 0.4        # longest single call of a peer before slicing (s)
    min_sample = 0.005 if quick else 0.02  # shortest timed sample; small documents repeat
    sizes = {d[0]: (d[3] if quick else d[2]) for d in DOCS}

    print(f"orrery document benchmark ({'quick' if quick else 'full'} run), Python "
          f"{sys.version.split()[0]}, {os.cpu_count()} CPUs")
    progress("building documents")
    docs = [(d[0], build(d[0], sizes[d[0]])) for d in DOCS if d[5]]
    gc.collect()
    gc.freeze()  # the documents stay alive; keep them out of every collection

    print()
    print("Documents (pretty_format output; pages = the result's size in 4 KiB pages, "
          "pretty_format's str / orjson's bytes):")
    pretty_format, orjson_dumps = load_peer("pretty_format"), load_peer("orjson.dumps")
    rows, pages = [], {}
    for name, doc in docs:
        text = pretty_format(doc)
        try:
            oj_pages = f"{len(orjson_dumps(doc)) / 4096:,.0f}" if orjson_dumps else "n/a"
        except Exception:  # the orjson column says why
            oj_pages = "n/a"
        pages[name] = f"{sys.getsizeof(text) / 4096:,.0f}/{oj_pages}"
        n = len(doc) if isinstance(doc, list) and name != "chain" else 1
        rows.append([name, f"{n:,}" if name != "chain" else f"depth {sizes[name]}",
                     f"{len(text.encode()) / 1e6:.2f}", f"{text.count(chr(10)) + 1:,}",
                     pages[name]])
        del text
    print_table(["document", "elements", "MB", "lines", "pages"], rows)

    results = run_timings(docs, rounds, budget, min_sample)
    first = run_first_calls(sizes, procs)

    def first_ms(name, peer):
        got = first.get((name, peer), "not installed")
        return "n/a" if isinstance(got, str) else fmt_ms(statistics.median(t for t, _ in got))

    print()
    print(f"Time per call in ms, first call in a fresh process (median of {procs} processes; "
          "building the document and importing the peer not timed):")
    print_table(["document", *FIRST_CALL_PEERS],
                [[name, *(first_ms(name, p) for p in FIRST_CALL_PEERS)] for name, _ in docs])

    def plan_ms(plan, kind):
        return fmt_ms(plan.best(kind), plan.scale != 1.0) if isinstance(plan, Plan) else "n/a"

    for kind, title in (("interleaved", "interleaved: one call right after the other peers' calls "
                                        "on the same document"),
                        ("steady", "steady state: repeated calls after as many untimed ones")):
        print()
        print(f"Time per call in ms, {title}, best of {rounds} rounds "
              "(* = timed on a leading slice and scaled linearly):")
        print_table(["document", *PEER_NAMES],
                    [[name, *(plan_ms(results[name][p], kind) for p in PEER_NAMES)]
                     for name, _ in docs])

    print()
    print("Ratio: peer time / orrery.pretty_format time in steady state (above 1 = orrery faster):")
    rows = []
    for name, _ in docs:
        base = results[name]["pretty_format"]
        row = [name]
        for p in PEER_NAMES[1:]:
            pl = results[name][p]
            row.append("n/a" if not isinstance(pl, Plan) or not isinstance(base, Plan)
                       else f"{pl.best('steady') / base.best('steady'):.2f}"
                            f"{'*' if pl.scale != 1.0 else ''}")
        rows.append(row)
    print_table(["document", *PEER_NAMES[1:]], rows)

    print()
    print("pretty_format against orjson.dumps(OPT_INDENT_2): time ratio pretty_format / orjson "
          "(below 1 = orrery faster, parity = 1.00) and minor page faults per call, "
          "pretty_format/orjson (median over the processes or rounds); back to back = each "
          "repeated on its own, best call:")
    rows = []
    for name, doc in docs:
        base, peer = results[name]["pretty_format"], results[name]["orjson.dumps"]
        fb, fp = first.get((name, "pretty_format"), "n/a"), first.get((name, "orjson.dumps"), "n/a")
        row = [name]
        if isinstance(fb, str) or isinstance(fp, str):
            row += ["n/a", "n/a"]
        else:
            row += [f"{statistics.median(t for t, _ in fb) / statistics.median(t for t, _ in fp):.2f}",
                    f"{fmt_faults(statistics.median(f for _, f in fb))}/"
                    f"{fmt_faults(statistics.median(f for _, f in fp))}"]
        if not isinstance(base, Plan) or not isinstance(peer, Plan):
            rows.append(row + ["n/a"] * 5 + [pages[name]])
            continue
        for kind in ("interleaved", "steady"):
            row += [f"{base.best(kind) / peer.best(kind):.2f}",
                    f"{fmt_faults(base.faults(kind))}/{fmt_faults(peer.faults(kind))}"]
        together = "n/a"
        if peer.scale == 1.0:
            fmt_s, orjson_s = back_to_back([base.fn, peer.fn], doc)
            together = f"{fmt_s / orjson_s:.2f}"
        rows.append(row + [together, pages[name]])
    print_table(["document", "first call", "faults", "interleaved", "faults", "steady", "faults",
                 "back to back", "pages"], rows)

    notes = []
    for name, _ in docs:
        for p in PEER_NAMES:
            pl = results[name][p]
            if isinstance(pl, Plan) and pl.note:
                notes.append(f"  {name} / {p}: slice of {pl.note}")
            elif not isinstance(pl, Plan):
                notes.append(f"  {name} / {p}: n/a ({pl})")
        for p in FIRST_CALL_PEERS:
            got = first.get((name, p))
            if isinstance(got, str) and isinstance(results[name].get(p), Plan):
                notes.append(f"  {name} / {p} first call: n/a ({got})")
    notes.append("  orjson returns bytes indented by 2; json.dumps escapes non-ASCII; "
                 "rich packs short containers into 80 columns")
    notes.append(f"  peers slower than {SLOW_CALL * 1e3:.0f} ms per call are called once per "
                 "round: that call is both their interleaved and their steady sample")
    print("Notes:")
    print("\n".join(notes))
    del docs, results
    gc.unfreeze()
    gc.collect()

    print()
    if shutil.which("strace") is None:
        print("write(2) calls per output line: skipped (strace not found)")
    else:
        print("write(2) calls on fd 1 per output line of pretty_print (child under strace):")
        rows = []
        for d in DOCS:
            size = d[3] if quick else d[4]
            if not size:
                continue
            info = count_writes(d[0], size)
            progress(f"counted writes of {d[0]}")
            rows.append([d[0], f"{size:,}", f"{info['lines']:,}", f"{info['writes']:,}",
                         f"{info['writes'] / info['lines']:.3f}",
                         f"{info['bytes'] / max(info['writes'], 1):.0f}"])
        print_table(["document", "size", "lines", "writes", "writes/line", "bytes/write"], rows)
        print("(a line longer than the 1024-byte line buffer leaves in more than one write)")

    print()
    print("Peak RSS growth over the RSS after building the document (child processes):")
    rows = []
    for d in DOCS:
        name, size = d[0], sizes[d[0]]
        fmt = run_child(["mem", name, str(size), "format"])
        prt = run_child(["mem", name, str(size), "print"])
        out_mb = fmt["out_bytes"] / 2**20
        grow_f = (fmt["peak"] - fmt["base"]) / 2**20
        grow_p = (prt["peak"] - prt["base"]) / 2**20
        masked = "  (masked)" if fmt["masked"] or prt["masked"] else ""
        rows.append([name, f"{out_mb:.1f}", f"{grow_f:.1f}", f"{grow_f / out_mb:.2f}",
                     f"{grow_f * 2**20 / fmt['str_bytes']:.2f}",
                     f"{grow_p:.1f}", f"{grow_p / out_mb:.3f}{masked}"])
        progress(f"measured {name}")
    print_table(["document", "text MiB", "format +MiB", "format/text", "format/str", "print +MiB",
                 "print/text"], rows)
    print("(+MiB = peak RSS during the call minus RSS before it, as VmHWM after a reset; "
          "text MiB counts UTF-8 bytes, while the returned str takes 1, 2 or 4 bytes "
          "per character depending on its widest character: format/str divides by the "
          "size of that str)")
    print()
    print(f"total run time {time.perf_counter() - STARTED:.0f} s")


if __name__ == "__main__":
    main()
