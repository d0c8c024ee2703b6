"""Benchmark runner: ns/op of every public operation against a plain-Python
equivalent written with the standard library, and the ratio between them.

    python3 benchmarks/run.py            # every module
    python3 benchmarks/run.py brevick    # modules whose name contains "brevick"

Each ``benchmarks/bench_<module>.py`` defines ``CASES``: a list of
``(label, ours, plain)`` where ``ours`` and ``plain`` are zero-argument
callables doing the same work (``plain`` may be None when Python has no
equivalent). Numbers are only meaningful for a Release build (``pip install .``).
"""

from __future__ import annotations

import importlib
import pathlib
import sys
import timeit

HERE = pathlib.Path(__file__).resolve().parent


def ns_per_op(fn, budget: float = 0.2, repeat: int = 5) -> float:
    timer = timeit.Timer(fn)
    number, elapsed = timer.autorange()
    number = max(1, int(number * budget / max(elapsed, 1e-9)))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main(argv: list[str]) -> int:
    sys.path.insert(0, str(HERE))
    wanted = argv[1:]
    modules = sorted(p.stem for p in HERE.glob("bench_*.py"))
    if wanted:
        modules = [m for m in modules if any(w in m for w in wanted)]
    print(f"{'case':<58} {'ours ns/op':>12} {'python ns/op':>13} {'ratio':>8}")
    for name in modules:
        mod = importlib.import_module(name)
        print(f"-- {name[len('bench_') :]}")
        for label, ours, plain in mod.CASES:
            t_ours = ns_per_op(ours)
            if plain is None:
                print(f"{label:<58} {t_ours:>12.0f} {'-':>13} {'-':>8}")
                continue
            t_plain = ns_per_op(plain)
            print(f"{label:<58} {t_ours:>12.0f} {t_plain:>13.0f} {t_plain / t_ours:>7.2f}x")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
