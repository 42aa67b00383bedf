"""A fixed corpus of seeded calls, one digest per call, for comparing the
holes that platforms make.

Every combination of generator (MNARrs, MAR), mode (GM, MAX, MIN), variance
(0, 0.05, 0.5) and table (floats, integer-valued floats full of ties, an
object array with text columns, a data frame with a text column, and a small table
that calls run dry on) is called with several seeds,
two calls per generator (on the small table the second asks for more
cells than it has). Each call's result is hashed hole by hole: the
(row, column) of every hole in row-major order, then for text columns the
texts of the result. The tables are built from Python integer arithmetic
only (make_cross_platform.integers), the same on every NumPy.

    python tests/python/corpus.py                        print the digests (JSON)
    python tests/python/corpus.py --out FILE             write them to FILE
    python tests/python/corpus.py --seeds 400 --out FILE a larger corpus, 400 seeds per group
    python tests/python/corpus.py --compare A B [C ...]  report the calls whose digests differ
    python tests/python/corpus.py --libm FILE            the Box-Muller inputs' log and cos, 2,000,000 of each
    python tests/python/corpus.py --compare-libm A B     how many of them differ between two platforms

data/corpus.json holds the digests made on x86-64 with glibc; test_corpus.py
replays the corpus wherever the suite runs and compares.
"""

import argparse
import hashlib
import json
import math
import pathlib
import sys
import warnings

import numpy as np
import pandas as pd

import gapweave
from make_cross_platform import WORDS, integers

STORED = pathlib.Path(__file__).with_name("data") / "corpus.json"

GENERATORS = ("MNARrs", "MAR")
MODES = ("GM", "MAX", "MIN")
VARIANCES = (0.0, 0.05, 0.5)
SEEDS = tuple(range(8))


def float_table(seed, rows=60, cols=6):
    """Doubles with no short binary form (divided by 7), columns correlated
    with a shared latent value in different strengths."""
    draw = integers(seed)
    out = []
    for _ in range(rows):
        latent = next(draw) % 2001 - 1000
        out.append([((c % 3 + 1) * latent * (-1) ** c + next(draw) % 801 - 400) / 7 for c in range(cols)])
    return np.array(out, dtype=np.float64)


def tie_table(seed, rows=60, cols=6):
    """Small integers: many cells share a value, and GM targets fall between
    equal neighbours, where a last-bit change of a target is most likely
    to matter."""
    draw = integers(seed)
    return np.array([[float(next(draw) % (4 + c)) for c in range(cols)] for _ in range(rows)])


def object_table(seed, rows=40):
    draw = integers(seed)
    array = np.empty((rows, 4), dtype=object)
    for r in range(rows):
        array[r, 0] = (next(draw) % 2001 - 1000) / 16
        array[r, 1] = WORDS[next(draw) % len(WORDS)]
        array[r, 2] = next(draw) % 50 - 25
        array[r, 3] = WORDS[next(draw) % 4]
    return array


def text_frame(seed, rows=48):
    draw = integers(seed)
    towns = ["Oslo", "Lima", "Kyiv", "Bern", "Quito", "Riga"]
    latent = [next(draw) % 201 - 100 for _ in range(rows)]
    return pd.DataFrame(
        {
            "id": [r * 3 - 40 for r in range(rows)],
            "score": [(2 * v + next(draw) % 41 - 20) / 8 for v in latent],
            "city": [towns[(v + 100) * len(towns) // 201] for v in latent],
            "weight": [(next(draw) % 1000) / 3 for _ in range(rows)],
        }
    )


TABLES = {
    "float": float_table,
    "ties": tie_table,
    "object": object_table,
    "text_frame": text_frame,
    "dry": lambda seed: float_table(seed, rows=12, cols=4),
}
# Two calls per generator; on "dry" the second asks for more cells than the
# table has, so its columns run out of cells (reported on standard error).
ALPHAS = {"dry": (0.6, 1.3)}


def cases(seeds=SEEDS):
    """(name, generator, settings, table) for every call group of the corpus."""
    for generator in GENERATORS:
        for mode in MODES:
            for variance in VARIANCES:
                for table in TABLES:
                    for seed in seeds:
                        settings = {"mode": mode, "variance": variance, "mean": 0.25 + seed % 8 / 16, "seed": seed * 7919 + 1}
                        if generator == "MAR":
                            settings["max_missing_per_column"] = 0.6
                        yield f"{generator}/{mode}/v{variance}/{table}/s{seed}", generator, settings, table


def _is_hole(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def digest(result):
    """sha256 over the result's holes, one by one, then its texts."""
    h = hashlib.sha256()
    if isinstance(result, pd.DataFrame):
        columns = [result[label].tolist() for label in result.columns]
        texts = [values for label, values in zip(result.columns, columns) if result[label].dtype == object]
        cells = [[column[r] for column in columns] for r in range(len(result))]
    else:
        cells = result.tolist()
        texts = [result[:, c].tolist() for c in range(result.shape[1])] if result.dtype == object else []
    for r, row in enumerate(cells):
        for c, value in enumerate(row):
            if _is_hole(value) or value == "NaN":
                h.update(b"%d,%d;" % (r, c))
    for values in texts:
        h.update(("|" + "\x1f".join(map(str, values))).encode())
    return h.hexdigest()[:20]


def run_case(case):
    """Digests of the case's calls, one per alpha, on one generator."""
    name, generator_name, settings, table_name = case
    generator = getattr(gapweave, generator_name)(n_workers=2, **settings)
    out = []
    for alpha in ALPHAS.get(table_name, (0.15, 0.3)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            out.append(digest(generator(TABLES[table_name](settings["seed"]), alpha)))
    return out


def run_all(seeds=SEEDS):
    return {case[0]: run_case(case) for case in cases(seeds)}


def compare(files):
    """Prints the calls whose digests differ between the files; returns how many."""
    loaded = {path: json.loads(pathlib.Path(path).read_text()) for path in files}
    first = loaded[files[0]]
    differing = 0
    for name in first:
        seen = {path: loaded[path].get(name) for path in files}
        if len({json.dumps(value) for value in seen.values()}) > 1:
            differing += 1
            print(name, *(f"{path}={value}" for path, value in seen.items()))
    calls = sum(len(value) for value in first.values())
    print(f"{len(first)} cases, {calls} calls, {len(files)} platforms: {differing} cases differ")
    return differing


def libm_values(count=2_000_000):
    """log(u1) and cos(2 pi u2) as the C library computes them (Python's math
    module calls it), for uniforms made as the random source makes them:
    53 random bits over 2^53."""
    from array import array

    draw = integers(12345)
    logs, coss = array("d"), array("d")
    for _ in range(count):
        u1 = ((next(draw) << 22 | next(draw) >> 9) & (2**53 - 1) or 1) / 2**53
        u2 = ((next(draw) << 22 | next(draw) >> 9) & (2**53 - 1)) / 2**53
        logs.append(math.log(u1))
        coss.append(math.cos(6.283185307179586 * u2))
    return logs, coss


def compare_libm(first, second):
    from array import array

    values = []
    for path in (first, second):
        data = array("d")
        data.frombytes(pathlib.Path(path).read_bytes())
        values.append(data)
    half = len(values[0]) // 2
    for name, part in (("log", slice(0, half)), ("cos", slice(half, None))):
        a, b = values[0][part], values[1][part]
        differ = sum(1 for x, y in zip(a, b) if x != y)
        ulps = max((abs(x - y) / math.ulp(x) for x, y in zip(a, b) if x != y), default=0)
        print(f"{name}: {differ} of {len(a)} differ ({100 * differ / len(a):.3f} %), by at most {ulps:g} ulp")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out")
    parser.add_argument("--compare", nargs="+")
    parser.add_argument("--seeds", type=int, help="a larger corpus: this many seeds per group (default 8)")
    parser.add_argument("--libm")
    parser.add_argument("--compare-libm", nargs=2)
    args = parser.parse_args(argv)
    if args.libm:
        logs, coss = libm_values()
        pathlib.Path(args.libm).write_bytes(logs.tobytes() + coss.tobytes())
        return 0
    if args.compare_libm:
        compare_libm(*args.compare_libm)
        return 0
    if args.compare:
        return 1 if compare(args.compare) else 0
    seeds = range(args.seeds) if args.seeds else SEEDS
    text = json.dumps(run_all(seeds), indent=0, sort_keys=True) + "\n"
    if args.out:
        pathlib.Path(args.out).write_text(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
