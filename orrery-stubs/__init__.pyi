"""A module for pretty-printing Python objects."""

from typing import final

__all__ = [
    "Pretty",
    "format_escaped_bytes",
    "pretty_format",
    "pretty_print",
    "print_escaped_bytes",
]

@final
class Pretty:
    """A class for pretty-printing Python objects."""

    def __new__(cls, indent: int = 4) -> Pretty: ...
    @property
    def indent(self) -> int:
        """The number of spaces to use for indentation. Default is 4."""
    @indent.setter
    def indent(self, value: int) -> None: ...
    def format(self, obj: object) -> str:
        """Pretty-format the given object and return it as a string."""
    def print(self, obj: object) -> None:
        """Pretty-print the given object to standard output."""

def pretty_format(obj: object, indent: int = 4) -> str:
    """Pretty-format the given object and return it as a string."""

def pretty_print(obj: object, indent: int = 4) -> None:
    """Pretty-print the given object to standard output."""

def format_escaped_bytes(obj: bytes) -> str:
    """Return every byte of obj as a \\xNN escape."""

def print_escaped_bytes(obj: bytes) -> None:
    """Write every byte of obj as a \\xNN escape to standard output."""
