"""Benchmark runner: ns/op of every public operation against a plain-Python
equivalent written with the standard library, and the ratio between them.

    python3 benchmarks/run.py                  # every module
    python3 benchmarks/run.py brevick          # modules whose name contains "brevick"
    python3 benchmarks/run.py --plot out.png   # size sweeps, drawn log-log (needs the
                                               # bench extra: matplotlib)

Each ``benchmarks/bench_<module>.py`` defines ``CASES``: a list of
``(label, ours, plain)`` where ``ours`` and ``plain`` are zero-argument
callables doing the same work (``plain`` may be None when Python has no
equivalent). A module may also define ``SWEEPS`` (see ``sweep.py``): the
same comparison over a range of input sizes, which only ``--plot`` runs; it
prints each point as it is measured and draws one panel per operation, time
per call against input size for both sides. Numbers are only meaningful for
a Release build (``pip install .``).
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import pathlib
import platform
import sys
import timeit

HERE = pathlib.Path(__file__).resolve().parent


def ns_per_op(fn, budget: float = 0.2, repeat: int = 5) -> float:
    timer = timeit.Timer(fn)
    number, elapsed = timer.autorange()
    number = max(1, int(number * budget / max(elapsed, 1e-9)))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def quick_ns_per_op(fn, budget: float = 0.04, repeat: int = 3) -> float:
    """A shorter measure for sweep points: a sweep has dozens of them, and a
    point's place on a log axis does not need the table's precision."""
    timer = timeit.Timer(fn)
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= budget / 10 or number >= 10**7:
            break
        number *= 10
    number = max(1, int(number * budget / max(elapsed, 1e-9)))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def load(wanted: list[str]):
    sys.path.insert(0, str(HERE))
    modules = sorted(p.stem for p in HERE.glob("bench_*.py"))
    if wanted:
        modules = [m for m in modules if any(w in m for w in wanted)]
    return [(name[len("bench_") :], importlib.import_module(name)) for name in modules]


def table(modules) -> None:
    print(f"{'case':<58} {'ours ns/op':>12} {'python ns/op':>13} {'ratio':>8}")
    for name, mod in modules:
        print(f"-- {name}")
        for label, ours, plain in mod.CASES:
            t_ours = ns_per_op(ours)
            if plain is None:
                print(f"{label:<58} {t_ours:>12.0f} {'-':>13} {'-':>8}")
                continue
            t_plain = ns_per_op(plain)
            print(f"{label:<58} {t_ours:>12.0f} {t_plain:>13.0f} {t_plain / t_ours:>7.2f}x")


def sweeps(modules) -> list[tuple[str, str, list[int], list[float], list[float]]]:
    """Measures every sweep point; returns (title, unit, sizes, ours, plain)."""
    results = []
    print(f"{'operation':<44} {'size':>9} {'ours ns/op':>13} {'python ns/op':>14} {'ratio':>8}")
    for name, mod in modules:
        for operation, unit, sizes, make in getattr(mod, "SWEEPS", ()):
            title = f"{name}.{operation}"
            ours_ns, plain_ns = [], []
            for n in sizes:
                ours, plain = make(n)
                t_ours, t_plain = quick_ns_per_op(ours), quick_ns_per_op(plain)
                del ours, plain  # the largest inputs are a few MB: free them now
                ours_ns.append(t_ours)
                plain_ns.append(t_plain)
                print(
                    f"{title:<44} {n:>9,} {t_ours:>13.0f} {t_plain:>14.0f}"
                    f" {t_plain / t_ours:>7.2f}x",
                    flush=True,
                )
            results.append((title, unit, list(sizes), ours_ns, plain_ns))
    return results


def pyplot():
    """matplotlib's pyplot on the Agg backend, or exit naming the bench extra."""
    try:
        import matplotlib
    except ImportError:
        sys.exit(
            "run.py --plot draws with matplotlib, which is not installed: install the"
            " bench extra (pip install 'quorvane[bench]') or matplotlib itself"
        )
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def plot(results, path: str) -> None:
    plt = pyplot()

    cols = 3
    rows = (len(results) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.1 * rows), squeeze=False)
    for ax, (title, unit, sizes, ours_ns, plain_ns) in zip(axes.flat, results, strict=False):
        ax.loglog(sizes, ours_ns, "o-", color="tab:blue", label="quorvane", markersize=3.5)
        ax.loglog(sizes, plain_ns, "s--", color="tab:orange", label="plain Python", markersize=3.5)
        ax.set_title(title, fontsize=9)
        ax.set_xlabel(unit, fontsize=8)
        ax.set_ylabel("ns per call", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(True, which="major", linewidth=0.4, alpha=0.5)
        ax.legend(fontsize=7, loc="upper left")
    for ax in axes.flat[len(results) :]:
        ax.set_visible(False)
    fig.suptitle(
        f"quorvane against plain Python: time per call by input size"
        f" (CPython {platform.python_version()}, {platform.machine()},"
        f" {datetime.date.today().isoformat()})",
        fontsize=10,
    )
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=72)
    plt.close(fig)
    print(f"wrote {path}")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("modules", nargs="*", help="run only modules whose name contains one")
    parser.add_argument(
        "--plot",
        metavar="FILE.png",
        help="run the size sweeps instead of the table and draw them into FILE.png",
    )
    args = parser.parse_args(argv[1:])
    if args.plot:
        pyplot()  # fail before measuring anything, not after minutes of sweeps
    modules = load(args.modules)
    if args.plot:
        plot(sweeps(modules), args.plot)
    else:
        table(modules)
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
