"""The README's Python examples, run as doctests."""
import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(not README.exists(), reason="README not present")
def test_readme_examples():
    # Examples whose text goes to file descriptor 1, which doctest does not
    # see, carry a SKIP directive in the README itself.
    text = README.read_text(encoding="utf-8")
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner()
    for block in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
        line = text.count("\n", 0, block.start(1))
        runner.run(parser.get_doctest(block[1], {}, "README.md", str(README), line))
    results = runner.summarize(verbose=False)
    assert results.failed == 0
    assert results.attempted >= 4
