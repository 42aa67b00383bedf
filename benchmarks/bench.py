"""Times gapweave against numpy.sort on the same tables and plots the result.

For rows 10^3 ... 10^6 (x 10 columns, alpha 0.2) it times MNARrs and MAR
under GM and MAX, numpy.sort(data, axis=0), and, up to 20 000 rows, the
pass-by-pass reference algorithm (through the engine benchmark binary). It
prints a table of times and ratios, the peak extra memory of a call relative
to the table's size, and writes a log-log plot to benchmarks/results.png.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import gapweave

ALPHA = 0.2
COLS = 10


def best_of(repeats: int, fn) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def peak_rss_bytes() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return 0


def reset_peak_rss() -> None:
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass


def extra_memory_ratio(gen, data: np.ndarray) -> float:
    reset_peak_rss()
    before = peak_rss_bytes()
    gen(data, ALPHA)
    return (peak_rss_bytes() - before) / data.nbytes


def reference_times(binary: Path, rows: int) -> dict[str, float]:
    out = subprocess.run([str(binary), str(rows), str(COLS), str(ALPHA), "reference"],
                         capture_output=True, text=True, check=True).stdout
    times = {}
    for line in out.splitlines():
        m = re.match(r"(\w+)\s+(\w+)\s+reference\s+([\d.]+) s", line)
        if m:
            times[f"{m.group(1)} {m.group(2)}"] = float(m.group(3))
    return times


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-rows", type=int, default=10**6)
    parser.add_argument("--engine-bench", type=Path, default=None,
                        help="engine_bench binary for the pass-by-pass reference")
    parser.add_argument("--plot", type=Path, default=Path(__file__).with_name("results.png"))
    args = parser.parse_args()
    warnings.simplefilter("ignore")

    sizes = [n for n in (10**3, 3 * 10**3, 10**4, 2 * 10**4, 10**5, 3 * 10**5, 10**6) if n <= args.max_rows]
    variants = [(gapweave.MNARrs, "GM"), (gapweave.MNARrs, "MAX"), (gapweave.MAR, "GM"), (gapweave.MAR, "MAX")]
    names = [f"{cls.__name__} {mode}" for cls, mode in variants]
    results: dict[str, list[float]] = {name: [] for name in names}
    results["numpy.sort"] = []
    references: dict[str, list[tuple[int, float]]] = {name: [] for name in names}
    memory: dict[str, float] = {}

    header = f"{'rows':>9} {'numpy.sort':>11} " + " ".join(f"{n:>16}" for n in names)
    print(header)
    for rows in sizes:
        data = np.random.default_rng(rows).normal(size=(rows, 1)) + np.random.default_rng(rows + 1).normal(
            scale=np.linspace(0.5, 3.0, COLS), size=(rows, COLS))
        repeats = 7 if rows <= 10**5 else 5
        generators = {}
        for (cls, mode), name in zip(variants, names):
            kwargs = {"max_missing_per_column": 0.5} if cls is gapweave.MAR else {}
            generators[name] = cls(mode=mode, variance=0.3, seed=1, n_workers=2, **kwargs)
        # Rounds alternate the sort and every generator, so that a slow spell
        # of a shared machine weighs on all of them alike; each keeps its best.
        best = {name: float("inf") for name in ["numpy.sort", *names]}
        for _ in range(repeats):
            best["numpy.sort"] = min(best["numpy.sort"], best_of(1, lambda: np.sort(data, axis=0)))
            for name, gen in generators.items():
                best[name] = min(best[name], best_of(1, lambda: gen(data, ALPHA)))
        sort_time = best["numpy.sort"]
        results["numpy.sort"].append(sort_time)
        cells = []
        for (cls, mode), name in zip(variants, names):
            t = best[name]
            results[name].append(t)
            cells.append(f"{t:9.4f}s {t / sort_time:5.1f}x")
            if rows == sizes[-1]:
                kwargs = {"max_missing_per_column": 0.5} if cls is gapweave.MAR else {}
                memory[name] = extra_memory_ratio(cls(mode=mode, variance=0.3, seed=1, n_workers=2, **kwargs), data)
        print(f"{rows:>9} {sort_time:10.4f}s " + " ".join(f"{c:>16}" for c in cells))
        if args.engine_bench and rows <= 2 * 10**4:
            for name, t in reference_times(args.engine_bench, rows).items():
                if name in references:
                    references[name].append((rows, t))

    if any(references.values()):
        print("\npass-by-pass reference (engine, same algorithm results):")
        for name, points in references.items():
            for rows, t in points:
                planned = results[name][sizes.index(rows)]
                print(f"  {name:<12} {rows:>7} rows: {t:8.3f}s  planned is {t / planned:7.1f}x faster")
    print(f"\npeak extra memory of one call at {sizes[-1]} rows, relative to the table's {data.nbytes / 1e6:.0f} MB:")
    for name, ratio in memory.items():
        print(f"  {name:<12} {ratio:4.2f}x")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed; no plot written", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(7, 5))
    for name, times in results.items():
        ax.loglog(sizes, times, marker="o", label=name)
    for name, points in references.items():
        if points:
            ax.loglog([p[0] for p in points], [p[1] for p in points], linestyle="--", marker="x",
                      label=f"{name} (pass by pass)")
    ax.set_xlabel(f"rows (x {COLS} columns)")
    ax.set_ylabel("seconds")
    ax.set_title(f"gapweave, alpha {ALPHA}, {COLS} columns")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(args.plot, dpi=120)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
