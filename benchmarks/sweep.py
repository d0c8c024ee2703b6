"""Input sizes for the size sweeps that ``run.py --plot`` draws.

A bench module lists its sweeps in ``SWEEPS``: ``(operation, unit, sizes,
make)``, where ``make(n)`` builds an input of size ``n`` and returns the pair
``(ours, plain)`` of zero-argument callables, like a row of ``CASES``. Inputs
are built only when the sweep runs, so importing a bench module for the
table stays as cheap as before.
"""

# Counts of records: memories, proposals, insights, turns, rows, jobs.
COUNTS = (1, 10, 100, 1_000, 10_000)
# Lengths of texts (characters) and vectors (elements).
LENGTHS = (10, 100, 1_000, 10_000, 100_000, 1_000_000)
VECTOR_LENGTHS = (1, 10, 100, 1_000, 10_000, 100_000)


def repeat_to(unit: str, length: int) -> str:
    """``unit`` repeated and cut to exactly ``length`` characters."""
    return (unit * (length // len(unit) + 1))[:length]


def pair(ours, plain, *args):
    """The (ours, plain) callables of one sweep point: both called on ``args``."""
    return (lambda: ours(*args)), (lambda: plain(*args))
