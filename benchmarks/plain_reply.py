"""The plain-Python reply cleaning that the insight and journal benchmarks
both measure against (str.strip, one ``` fence, one pair of double quotes):
the tests' own reference, tests/memory_prompts.py."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from memory_prompts import plain_clean  # noqa: E402

__all__ = ["plain_clean"]
