"""Times gapweave against the NumPy threshold it competes with, and plots the result.

The NumPy threshold blanks the lowest ceil(alpha * rows) values of every
column: argpartition, a copy, put_along_axis. It gives no exact nearest-target
holes, but it is what a call should cost no more than. By default, on a seeded
table of normal values (10^6 x 10), for alpha 0.1, 0.2, 0.5, 0.8, this prints
the threshold's time and each generator setting's time as a ratio to it (best
of 3, rounds alternating every contender so that a slow spell of a shared
machine weighs on all alike), then the speed-up from 1 worker to 2, the peak
extra memory of one call, and a table whose every column holds +inf. It draws
the ratios to benchmarks/results.png.

--scaling prints the former table instead: rows 10^3 ... 10^6 next to
numpy.sort and, up to 20 000 rows, the pass-by-pass reference algorithm
(through the engine benchmark binary).
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import os
import platform
import re
import shlex
import subprocess
import sys
import time
import warnings
from importlib import metadata
from pathlib import Path

import numpy as np

import gapweave

COLS = 10
SEED = 1
ALPHAS = (0.1, 0.2, 0.5, 0.8)
SPEEDUP_ALPHA = 0.2  # the 1-worker row
MEMORY_ALPHA = 0.5  # the peak-memory row
INF_ALPHA = 0.2  # the table with +inf in every column

# (label, class or "threshold", settings). MAR keeps its default
# max_missing_per_column (0.8), so a call caps alpha at 0.8 - 0.8 / 10 = 0.72.
SETTINGS = [
    ("MNARrs GM v0", "MNARrs", {"mode": "GM", "variance": 0.0}),
    ("MNARrs GM v0.1", "MNARrs", {"mode": "GM", "variance": 0.1}),
    ("MNARrs MAX", "MNARrs", {"mode": "MAX"}),
    ("MNARrs MIN", "MNARrs", {"mode": "MIN"}),
    ("MAR GM v0", "MAR", {"mode": "GM", "variance": 0.0}),
    ("MAR GM v0.1", "MAR", {"mode": "GM", "variance": 0.1}),
    ("MAR MAX", "MAR", {"mode": "MAX"}),
]
INF_SETTING = ("MNARrs GM v0.1", "MNARrs", {"mode": "GM", "variance": 0.1})
THRESHOLD = ("NumPy threshold", "threshold", {})

# The former size-scaling table: its own table, settings and alpha.
SCALING_ALPHA = 0.2
SCALING_SETTINGS = [
    ("MNARrs GM", "MNARrs", {"mode": "GM", "variance": 0.3}),
    ("MNARrs MAX", "MNARrs", {"mode": "MAX", "variance": 0.3}),
    ("MAR GM", "MAR", {"mode": "GM", "variance": 0.3, "max_missing_per_column": 0.5}),
    ("MAR MAX", "MAR", {"mode": "MAX", "variance": 0.3, "max_missing_per_column": 0.5}),
]


# --- tables and contenders -------------------------------------------------

def make_table(kind: str, rows: int) -> np.ndarray:
    """A seeded rows x COLS table: "normal", "inf" (normal, one +inf per column) or "correlated"."""
    if kind == "correlated":
        return np.random.default_rng(rows).normal(size=(rows, 1)) + np.random.default_rng(rows + 1).normal(
            scale=np.linspace(0.5, 3.0, COLS), size=(rows, COLS))
    data = np.random.default_rng(SEED).normal(size=(rows, COLS))
    if kind == "inf":
        data[np.arange(COLS) * (rows // COLS), np.arange(COLS)] = np.inf
    return data


def numpy_threshold(data: np.ndarray, alpha: float) -> np.ndarray:
    """Blank the lowest ceil(alpha * rows) values of every column."""
    k = math.ceil(alpha * data.shape[0])
    idx = np.argpartition(data, k - 1, axis=0)[:k]
    out = data.copy()
    np.put_along_axis(out, idx, np.nan, axis=0)
    return out


def build(kind: str, settings: dict, workers: int):
    """A callable fn(data, alpha): the NumPy threshold or a seeded generator."""
    if kind == "threshold":
        return numpy_threshold
    return getattr(gapweave, kind)(seed=SEED, n_workers=workers, **settings)


# --- measuring --------------------------------------------------------------

def race(calls: dict[str, callable], repeats: int) -> dict[str, float]:
    """Best wall time of each call; every round runs every call once, in turn."""
    best = dict.fromkeys(calls, math.inf)
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter()
            out = call()
            best[name] = min(best[name], time.perf_counter() - start)
            del out
    return best


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


def memory_probe(job: tuple) -> float:
    """Peak extra memory of one call (its result included), relative to the table's size.

    Runs in a fresh process, after a warm-up call on a few rows, so that no
    memory freed by earlier calls hides what this one needs.
    """
    (kind, settings), table, rows, alpha, workers = job
    warnings.simplefilter("ignore")
    data = make_table(table, rows)
    fn = build(kind, settings, workers)
    fn(data[:100].copy(), alpha)
    reset_peak_rss()
    before = peak_rss_bytes()
    out = fn(data, alpha)
    peak = peak_rss_bytes() - before
    del out
    return peak / data.nbytes


def memory_ratios(jobs: list[tuple]) -> list[float]:
    with multiprocessing.get_context("spawn").Pool(1, maxtasksperchild=1) as pool:
        return pool.map(memory_probe, jobs, chunksize=1)


# --- output -----------------------------------------------------------------

def others_cpu_share(seconds: float = 1.0) -> float:
    """Share of all cores busy over the next `seconds`, while this process sleeps."""
    def sample() -> tuple[int, int]:
        fields = [int(x) for x in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
        return sum(fields), fields[3] + fields[4]  # all, idle + iowait
    (total0, idle0), _, (total1, idle1) = sample(), time.sleep(seconds), sample()
    return 1 - (idle1 - idle0) / max(total1 - total0, 1)


def print_header(args: argparse.Namespace) -> None:
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor() or "unknown")
    try:
        version = metadata.version("gapweave")
    except metadata.PackageNotFoundError:
        version = "unknown"
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                                cwd=Path(__file__).parent, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    busy = others_cpu_share()
    print(f"machine: {cpu}, {os.cpu_count()} cores; other work used {busy:.0%} of them in the second before")
    if busy > 0.1:
        print("warning: other work shares the machine: the times, above all the 1-worker speed-up, "
              "are not those of a quiet machine")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, gapweave {version} (commit {commit})")
    print(f"command: {shlex.join([sys.executable, *sys.argv])}")


def markdown_table(head: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
    line = lambda cells: "| " + " | ".join(c.rjust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(head), "|" + "|".join("-" * (w + 1) + ":" for w in widths) + "|",
                      *map(line, rows)])


def plot(path: Path, draw) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed; no plot written", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(8, 5))
    draw(ax)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {path}")


# --- the threshold table ----------------------------------------------------

def threshold_table(args: argparse.Namespace) -> None:
    rows, workers = args.rows, args.workers
    labels = [label for label, _, _ in SETTINGS]
    cap = build("MAR", {}, 1)._adjust_alpha(COLS, max(ALPHAS))
    print(f"table: {rows} x {COLS} normal values (seed {SEED}); n_workers={workers}, seed={SEED}; "
          f"best of {args.repeats}, rounds alternating")
    print(f"ratio: a call's time / the NumPy threshold's at the same alpha (argpartition, copy, "
          f"put_along_axis); vX: variance X")
    print(f"MAR: default max_missing_per_column 0.8, so alpha above {cap:.2f} runs at {cap:.2f} "
          f"(its warning suppressed), still compared with the threshold at the alpha asked")
    print("targets: every ratio <= 1.0x; +inf table <= 1.5x; peak extra memory <= 2x the table; "
          "1 -> 2 workers >= 1.6x faster\n")

    data, inf_data = make_table("normal", rows), make_table("inf", rows)
    fns = {label: build(kind, settings, workers) for label, kind, settings in [THRESHOLD, *SETTINGS]}
    solo = {label: build(kind, settings, 1) for label, kind, settings in SETTINGS}
    inf_fn = build(INF_SETTING[1], INF_SETTING[2], workers)
    ratios: dict[str, list[float]] = {label: [] for label in labels}
    table_rows, speedups, inf_times = [], {}, {}
    for alpha in ALPHAS:
        calls = {label: (lambda f=fn: f(data, alpha)) for label, fn in fns.items()}
        if alpha == SPEEDUP_ALPHA:
            calls |= {f"1 worker {label}": (lambda f=fn: f(data, alpha)) for label, fn in solo.items()}
        if alpha == INF_ALPHA:
            calls["+inf threshold"] = lambda: numpy_threshold(inf_data, alpha)
            calls["+inf call"] = lambda: inf_fn(inf_data, alpha)
        best = race(calls, args.repeats)
        base = best[THRESHOLD[0]]
        for label in labels:
            ratios[label].append(best[label] / base)
        table_rows.append([f"{alpha:g}", f"{base * 1e3:.0f} ms", *(f"{ratios[l][-1]:.2f}x" for l in labels)])
        if alpha == SPEEDUP_ALPHA:
            speedups = {label: best[f"1 worker {label}"] / best[label] for label in labels}
        if alpha == INF_ALPHA:
            inf_times = {name: best[name] for name in ("+inf threshold", "+inf call")}

    memory = memory_ratios([((kind, settings), "normal", rows, MEMORY_ALPHA, workers)
                            for _, kind, settings in [THRESHOLD, *SETTINGS]])
    table_rows.append([f"1 -> {workers} workers ({SPEEDUP_ALPHA:g})", "",
                       *(f"{speedups[l]:.2f}x faster" for l in labels)])
    table_rows.append([f"peak memory ({MEMORY_ALPHA:g})", f"{memory[0]:.2f}x",
                       *(f"{m:.2f}x" for m in memory[1:])])
    print(markdown_table(["alpha", "NumPy threshold", *labels], table_rows))
    print(f"(peak memory: the extra resident memory of one call in a fresh process, its result included, "
          f"relative to the table's {data.nbytes / 1e6:.0f} MB)")
    inf_ratio = inf_times["+inf call"] / inf_times["+inf threshold"]
    print(f"\n+inf in every column (every GM target infinite, every finite value tied), {INF_SETTING[0]}, "
          f"alpha {INF_ALPHA:g}: {inf_times['+inf call'] * 1e3:.0f} ms, {inf_ratio:.2f}x the threshold "
          f"on the same table ({inf_times['+inf threshold'] * 1e3:.0f} ms)")

    def draw(ax):
        from matplotlib import ticker

        for label in labels:
            ax.plot(ALPHAS, ratios[label], marker="o", label=label)
        ax.plot([INF_ALPHA], [inf_ratio], marker="*", markersize=12, linestyle="none", color="black",
                label=f"{INF_SETTING[0]}, +inf in every column")
        ax.axhline(1.0, color="red", linestyle="--", label="NumPy threshold (1.0x)")
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(ticker.LogLocator(base=2))
        ax.yaxis.set_major_formatter(ticker.FormatStrFormatter("%gx"))
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_xticks(ALPHAS)
        ax.set_xlabel("alpha")
        ax.set_ylabel("time / NumPy threshold time")
        ax.set_title(f"gapweave vs the NumPy threshold, {rows} x {COLS}, n_workers={workers}")
    plot(args.plot, draw)


# --- the former size-scaling table ------------------------------------------

def reference_times(binary: Path, rows: int) -> dict[str, float]:
    out = subprocess.run([str(binary), str(rows), str(COLS), str(SCALING_ALPHA), "reference"],
                         capture_output=True, text=True, check=True).stdout
    times = {}
    for line in out.splitlines():
        m = re.match(r"(\w+)\s+(\w+)\s+reference\s+([\d.]+) s", line)
        if m:
            times[f"{m.group(1)} {m.group(2)}"] = float(m.group(3))
    return times


def scaling_table(args: argparse.Namespace) -> None:
    sizes = [n for n in (10**3, 3 * 10**3, 10**4, 2 * 10**4, 10**5, 3 * 10**5, 10**6) if n <= args.rows]
    names = [label for label, _, _ in SCALING_SETTINGS]
    results: dict[str, list[float]] = {name: [] for name in ["numpy.sort", *names]}
    references: dict[str, list[tuple[int, float]]] = {name: [] for name in names}
    print(f"alpha {SCALING_ALPHA}, {COLS} correlated columns, variance 0.3, MAR max_missing_per_column 0.5, "
          f"n_workers={args.workers}; times and ratios to numpy.sort(data, axis=0)\n")
    print(f"{'rows':>9} {'numpy.sort':>11} " + " ".join(f"{n:>16}" for n in names))
    for rows in sizes:
        data = make_table("correlated", rows)
        fns = {label: build(kind, settings, args.workers) for label, kind, settings in SCALING_SETTINGS}
        calls = {"numpy.sort": lambda: np.sort(data, axis=0)}
        calls |= {label: (lambda f=fn: f(data, SCALING_ALPHA)) for label, fn in fns.items()}
        best = race(calls, args.repeats or (7 if rows <= 10**5 else 5))
        for name, t in best.items():
            results[name].append(t)
        sort_time = best["numpy.sort"]
        cells = [f"{best[n]:9.4f}s {best[n] / sort_time:5.1f}x" for n in names]
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
    memory = memory_ratios([((kind, settings), "correlated", sizes[-1], SCALING_ALPHA, args.workers)
                            for _, kind, settings in SCALING_SETTINGS])
    print(f"\npeak extra memory of one call at {sizes[-1]} rows, relative to the table's "
          f"{sizes[-1] * COLS * 8 / 1e6:.0f} MB:")
    for name, ratio in zip(names, memory):
        print(f"  {name:<12} {ratio:4.2f}x")

    def draw(ax):
        for name, times in results.items():
            ax.loglog(sizes, times, marker="o", label=name)
        for name, points in references.items():
            if points:
                ax.loglog([p[0] for p in points], [p[1] for p in points], linestyle="--", marker="x",
                          label=f"{name} (pass by pass)")
        ax.set_xlabel(f"rows (x {COLS} columns)")
        ax.set_ylabel("seconds")
        ax.set_title(f"gapweave, alpha {SCALING_ALPHA}, {COLS} columns")
    plot(args.plot, draw)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10**6,
                        help="rows of the table (with --scaling: the largest size); default 10^6")
    parser.add_argument("--repeats", type=int, default=None,
                        help="rounds, each time the best of them; default 5 (--scaling: 7, 5 from 3x10^5 rows)")
    parser.add_argument("--workers", type=int, default=2, help="n_workers of every call; default 2")
    parser.add_argument("--scaling", action="store_true",
                        help="the size-scaling table against numpy.sort and the pass-by-pass reference")
    parser.add_argument("--engine-bench", type=Path, default=None,
                        help="engine_bench binary for the pass-by-pass reference (--scaling)")
    parser.add_argument("--plot", type=Path, default=Path(__file__).with_name("results.png"))
    args = parser.parse_args()
    if args.repeats is None and not args.scaling:
        args.repeats = 5
    warnings.simplefilter("ignore")
    print_header(args)
    (scaling_table if args.scaling else threshold_table)(args)
    print(f"other work used {others_cpu_share():.0%} of the cores in the second after")


if __name__ == "__main__":
    main()
