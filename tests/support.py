"""Helpers shared by the cross-cutting test files."""

import math


def same(a, b):
    """Equality that takes NaN as equal to NaN and also compares types, all the
    way down lists, tuples and dicts (dict keys in order)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b
