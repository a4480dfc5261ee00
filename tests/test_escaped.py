"""format_escaped_bytes: every byte becomes a lowercase \\xNN escape."""
import pytest
from hypothesis import given, strategies as st

from orrery import format_escaped_bytes, print_escaped_bytes


def reference(data):
    return "".join(f"\\x{b:02x}" for b in data)


@pytest.mark.parametrize("data, text", [
    (b"", ""),
    (b"\x00\xff", r"\x00\xff"),
    (b"ABC", r"\x41\x42\x43"),
    (b" \n\\\xAB", r"\x20\x0a\x5c\xab"),
])
def test_examples(data, text):
    result = format_escaped_bytes(data)
    assert type(result) is str and result == text
    assert format_escaped_bytes(obj=data) == text


def test_long_input_layout():
    data = bytes(range(256)) * 20
    text = format_escaped_bytes(data)
    assert len(text) == 4 * len(data)
    assert set(text[::4]) == {"\\"} and set(text[1::4]) == {"x"}
    assert text == reference(data)


class Boom(bytes):
    """A bytes subclass whose Python-level methods must never run."""


for _name in ("__len__", "__iter__", "__getitem__", "__bytes__", "__str__", "__repr__",
              "__getattribute__", "__buffer__", "hex", "decode"):
    setattr(Boom, _name, lambda self, *a, _n=_name: pytest.fail(f"{_n} called"))


def test_bytes_subclass_read_from_contents():
    assert format_escaped_bytes(Boom(b"\x01z")) == r"\x01\x7a"


@pytest.mark.parametrize("func", [format_escaped_bytes, print_escaped_bytes])
@pytest.mark.parametrize("obj, name", [
    (bytearray(b"A"), "bytearray"), (memoryview(b"A"), "memoryview"),
    ("A", "str"), (None, "NoneType"), (65, "int"), ([65], "list"),
])
def test_non_bytes_refused(func, obj, name):
    with pytest.raises(TypeError) as info:
        func(obj)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'obj': '{name}' object cannot be cast as 'bytes'"


@given(st.binary(max_size=3000))
def test_matches_reference(data):
    assert format_escaped_bytes(data) == reference(data)
