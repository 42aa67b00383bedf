"""What gapweave_tools.punch costs over the module's own call.

Prints, at 10**6 x 10 normal values (best of --repeat alternating rounds):
punch on a float64 array and on a float64 frame over the module's call on
the same table, and punch's MCAR over the NumPy threshold (argpartition, a
copy and put_along_axis) at the same alpha.

    python benchmarks/tools_bench.py [--rows N] [--repeat R]
"""

import argparse
import time

import numpy as np
import pandas as pd

import gapweave
import gapweave_tools


def best_of(calls, repeat):
    """Best time of each callable, the callables run in alternating rounds."""
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for slot, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[slot] = min(best[slot], time.perf_counter() - start)
    return best


def threshold(table, alpha):
    k = int(np.ceil(alpha * table.shape[0]))
    rows = np.argpartition(table, k - 1, axis=0)[:k]
    out = table.copy()
    np.put_along_axis(out, rows, np.nan, axis=0)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    table = np.random.default_rng(0).normal(size=(args.rows, 10))
    frame = pd.DataFrame(table, columns=[f"c{i}" for i in range(10)])
    print(f"{args.rows} x 10, best of {args.repeat}")
    print("| setting | alpha | table | module | punch | ratio |")
    print("|---|---:|---|---:|---:|---:|")
    for name, settings in [("MNAR GM v0", {}), ("MNAR GM v0.1", {"variance": 0.1}),
                           ("MAR MAX", {"mode": "MAX"})]:
        mechanism = name.split()[0]
        make = gapweave.MNARrs if mechanism == "MNAR" else gapweave.MAR
        for alpha in (0.1, 0.5):
            for kind, data in (("array", table), ("frame", frame)):
                module, layer = best_of([
                    lambda: make(seed=1, n_workers=2, **settings)(data, alpha),
                    lambda: gapweave_tools.punch(data, alpha, mechanism, seed=1, n_workers=2, **settings),
                ], args.repeat)
                print(f"| {name} | {alpha} | {kind} | {module * 1e3:.0f} ms | {layer * 1e3:.0f} ms "
                      f"| {layer / module:.2f}x |")
    for alpha in (0.1, 0.5):
        numpy, mcar = best_of([lambda: threshold(table, alpha),
                               lambda: gapweave_tools.punch(table, alpha, "MCAR", seed=1)], args.repeat)
        print(f"| MCAR vs NumPy threshold | {alpha} | array | {numpy * 1e3:.0f} ms | {mcar * 1e3:.0f} ms "
              f"| {mcar / numpy:.2f}x |")


if __name__ == "__main__":
    main()
