import collections
import dataclasses
from typing import ClassVar

from hypothesis import HealthCheck, given, settings, strategies as st

import orrery
from model import model_format


class Shown:  # its repr may hold line breaks and lone surrogates
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class LyingList(list):  # claims to be empty; the real storage must be read
    __len__, __iter__ = (lambda self: 0), (lambda self: iter(()))


class LyingDict(dict):
    __len__, __iter__ = LyingList.__len__, LyingList.__iter__
    items = keys = LyingList.__iter__


@dataclasses.dataclass
class Pair:
    left: object
    right: object = None


@dataclasses.dataclass(frozen=True)
class Key:
    name: str


@dataclasses.dataclass
class WithPseudo(Pair):  # class-variable and init-only entries are never shown
    limit: ClassVar[int] = 3
    seed: dataclasses.InitVar[object] = None
    hidden: object = dataclasses.field(default=None, repr=False)


@dataclasses.dataclass
class OnlyPseudo:
    limit: ClassVar[int] = 3
    seed: dataclasses.InitVar[int] = 0


Triple = collections.namedtuple("Triple", "a b c")
classes = st.sampled_from([Pair, Key, WithPseudo, OnlyPseudo, Triple, LyingList, int])

odd_text = st.text(st.sampled_from("a Z\n\t'\"\\é€😀\x00\x7f\ud800\udbff\udc00\udfff"), max_size=8)
scalars = (st.integers() | st.floats() | st.text(max_size=6) | odd_text | st.binary(max_size=6)
           | st.none() | st.booleans())
keys = st.recursive(scalars | st.builds(Key, odd_text) | classes,
                    lambda inner: st.tuples(inner, inner) | st.frozensets(inner, max_size=3),
                    max_leaves=4)
leaves = (scalars | st.builds(Shown, odd_text) | st.sets(keys, max_size=3) | st.builds(Key, odd_text)
          | classes | st.builds(OnlyPseudo))


def containers(children):
    small = st.lists(children, max_size=4)
    mapping = st.dictionaries(keys, children, max_size=4)
    return (small | small.map(tuple) | mapping
            | small.map(LyingList) | mapping.map(LyingDict)
            | mapping.map(collections.OrderedDict)
            | mapping.map(lambda m: collections.defaultdict(list, m))
            | st.builds(Triple, children, children, children)
            | st.builds(Pair, children, children) | st.builds(Pair, children)
            | st.builds(WithPseudo, children, children, children, children))


graphs = st.recursive(leaves, containers, max_leaves=25)


@settings(max_examples=300, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(obj=graphs, indent=st.sampled_from([0, 1, 2, 4, 7]))
def test_matches_model(obj, indent):
    assert orrery.pretty_format(obj, indent=indent) == model_format(obj, indent)
