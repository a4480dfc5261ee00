import collections
import dataclasses

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


Triple = collections.namedtuple("Triple", "a b c")

odd_text = st.text(st.sampled_from("a Z\n\t'\"\\é€😀\x00\x7f\ud800\udbff\udc00\udfff"), max_size=8)
scalars = (st.integers() | st.floats() | st.text(max_size=6) | odd_text | st.binary(max_size=6)
           | st.none() | st.booleans())
keys = st.recursive(scalars | st.builds(Key, odd_text),
                    lambda inner: st.tuples(inner, inner) | st.frozensets(inner, max_size=3),
                    max_leaves=4)
leaves = scalars | st.builds(Shown, odd_text) | st.sets(keys, max_size=3) | st.builds(Key, odd_text)


def containers(children):
    small = st.lists(children, max_size=4)
    mapping = st.dictionaries(keys, children, max_size=4)
    return (small | small.map(tuple) | mapping
            | small.map(LyingList) | mapping.map(LyingDict)
            | mapping.map(collections.OrderedDict)
            | mapping.map(lambda m: collections.defaultdict(list, m))
            | st.builds(Triple, children, children, children)
            | st.builds(Pair, children, children) | st.builds(Pair, children))


graphs = st.recursive(leaves, containers, max_leaves=25)


@settings(max_examples=300, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(obj=graphs, indent=st.sampled_from([0, 1, 2, 4, 7]))
def test_matches_model(obj, indent):
    assert orrery.pretty_format(obj, indent=indent) == model_format(obj, indent)
