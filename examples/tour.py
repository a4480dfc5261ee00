"""A short tour of orrery: a few structures, formatted and printed."""
import dataclasses
from collections import OrderedDict, namedtuple

import orrery


@dataclasses.dataclass
class Point:
    x: int
    y: int


@dataclasses.dataclass
class Route:
    name: str
    stops: list
    meta: dict = dataclasses.field(default_factory=dict)


Pair = namedtuple("Pair", "left right")

document = {
    "name": "orrery",
    "tags": ["fast", "exact", "native"],
    "origin": Point(0, 0),
    "routes": [
        Route("loop", [Point(1, 2), Point(3, 4)], {"closed": True}),
        Route("empty", []),
    ],
    "pair": Pair(1.5, None),
    "ordered": OrderedDict(b=2, a=1),
    "set": {1, 2, 3},
    "bytes": b"\x00\xff",
}

print("pretty_print(document, indent=2):", flush=True)
orrery.pretty_print(document, indent=2)

text = orrery.pretty_format([(1,), [[]], {}], indent=4)
print("pretty_format([(1,), [[]], {}]) returns", repr(text), flush=True)

printer = orrery.Pretty(indent=1)
print("Pretty(indent=1).print(Point(5, 6)):", flush=True)
printer.print(Point(5, 6))

print("format_escaped_bytes(b'ABC') ->", orrery.format_escaped_bytes(b"ABC"), flush=True)
