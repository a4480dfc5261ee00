"""Typed use of orrery: every call here type-checks with `mypy --strict`."""
from __future__ import annotations

import dataclasses

import orrery


@dataclasses.dataclass
class Point:
    x: int
    y: int


def render_all(items: list[object], indent: int = 2) -> list[str]:
    """Format each item on its own, reusing one printer."""
    printer = orrery.Pretty(indent)
    return [printer.format(item) for item in items]


def main() -> None:
    text: str = orrery.pretty_format({"origin": Point(0, 0)}, indent=2)
    escaped: str = orrery.format_escaped_bytes(b"\x00\xff")

    printer = orrery.Pretty(indent=1)
    printer.indent = printer.indent + 1
    printer.print([text, escaped])

    orrery.pretty_print(render_all([(1,), [[]], {}]))
    orrery.print_escaped_bytes(b"ABC")
    print(sorted(orrery.__all__), flush=True)


if __name__ == "__main__":
    main()
