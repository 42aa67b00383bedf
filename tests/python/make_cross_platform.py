"""Seeded calls whose results must be the same on every platform.

The cases below run both generators in all three modes, with several means
and variances, on float tables, an object array with text columns and data
frames with and without a text column. Their results (hole masks, the texts
of text columns, the rate-cap warnings) are stored in
data/cross_platform.json and compared by test_cross_platform.py.

The input tables are built from Python integer arithmetic only, never from
NumPy's random generators, so that every NumPy version builds the same
tables.

Regenerate the stored results (on x86-64, the reference platform) with

    python tests/python/make_cross_platform.py

and commit data/cross_platform.json with a note saying why they changed.
"""

import json
import math
import pathlib
import warnings

import numpy as np
import pandas as pd

import gapweave

EXPECTATIONS = pathlib.Path(__file__).with_name("data") / "cross_platform.json"


# ---------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------


def integers(seed):
    """An endless stream of 31-bit integers from a 64-bit LCG (Knuth's MMIX constants)."""
    state = seed
    while True:
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        yield state >> 33


def float_rows(rows, cols, seed):
    """Rows of exactly representable doubles with varied correlations.

    Every column mixes a shared latent value with its own noise, with its own
    weight, so the MAR drivers differ in strength; one column holds only six
    distinct values (ties), one is divided by 3 (values with no short binary
    form, still correctly rounded on every platform).
    """
    draw = integers(seed)
    weights = [3, -2, 0, 1, 5, -1, 2, 4, -3, 1]
    out = []
    for _ in range(rows):
        latent = next(draw) % 1001 - 500
        row = []
        for c in range(cols):
            spread = 100 * (c % 4 + 1)
            noise = next(draw) % (2 * spread + 1) - spread
            if c % 8 == 7:
                row.append(float(next(draw) % 6))
            elif c % 8 == 5:
                row.append((weights[c % 10] * latent + noise) / 3)
            else:
                row.append((weights[c % 10] * latent + noise) / 32)
        out.append(row)
    return out


WORDS = ["alpha", "beta", "Gamma", "delta", "10", "9", "épée", "", "zeta", "Beta"]


def float_table(rows, cols, seed):
    return np.array(float_rows(rows, cols, seed), dtype=np.float64)


def object_table(seed):
    """30 x 4 object array: floats, texts, Python ints, and a column that
    turns to text part way down (its earlier numbers become texts too)."""
    draw = integers(seed)
    cells = []
    for r in range(30):
        number = (next(draw) % 2001 - 1000) / 16
        text = WORDS[next(draw) % len(WORDS)]
        whole = next(draw) % 50 - 25
        if r < 7:
            mixed = [1.5, 2.0, 0.1, 1e21, -0.0, 3.25, 1e-7][r]
        else:
            mixed = WORDS[next(draw) % 5]
        cells.append([number, text, whole, mixed])
    array = np.empty((30, 4), dtype=object)
    for r, row in enumerate(cells):
        for c, value in enumerate(row):
            array[r, c] = value
    return array


def text_frame(seed):
    """36 rows: an integer, a float and a text column, labelled by texts."""
    draw = integers(seed)
    ids, scores, cities, weights = [], [], [], []
    towns = ["Oslo", "Lima", "Kyiv", "Bern", "Quito", "Riga", "oslo"]
    for r in range(36):
        latent = next(draw) % 201 - 100
        ids.append(r * 3 - 40)
        scores.append((2 * latent + next(draw) % 41 - 20) / 8)
        cities.append(towns[(latent + 100) * len(towns) // 201])
        weights.append((next(draw) % 1000) / 4)
    return pd.DataFrame({"id": ids, "score": scores, "city": cities, "weight": weights})


def numeric_frame(seed):
    """A frame of float and integer columns with the integer labels 0 ... 4."""
    rows = float_rows(24, 5, seed)
    frame = pd.DataFrame(rows)
    frame[2] = [int(row[2] * 32) for row in rows]
    return frame


def infinite_table():
    """10 x 2 floats with +inf in column 0 and -inf in column 1: with a
    positive variance the spread is infinite, so GM targets are infinite too
    and a cell equal to its target meets it in inf - inf, a NaN."""
    rows = [[float(r), float(10 - r)] for r in range(10)]
    rows[7][0] = math.inf
    rows[2][1] = -math.inf
    return np.array(rows, dtype=np.float64)


TABLES = {
    "float": lambda: float_table(48, 8, 101),
    "float10": lambda: float_table(40, 10, 202),
    "wide": lambda: float_table(20, 40, 303),
    "object": lambda: object_table(404),
    "text_frame": lambda: text_frame(505),
    "numeric_frame": lambda: numeric_frame(606),
    "infinite": infinite_table,
}


# ---------------------------------------------------------------------------
# Cases: (name, class, settings, table, alphas of successive calls)
# ---------------------------------------------------------------------------

MNAR_CASES = [
    ("mnar_gm_default", {"seed": 0}, "float", [0.1, 0.1]),
    ("mnar_gm_mean_variance", {"mean": 0.3, "variance": 0.2, "seed": 42, "n_workers": 2}, "float", [0.27]),
    ("mnar_max", {"mode": "MAX", "seed": 7, "n_workers": 1}, "float", [0.15]),
    ("mnar_min_top_seed", {"mode": "min", "seed": 2**64 - 1}, "float", [0.35]),
    ("mnar_reservoir", {"mean": 0.7, "variance": 0.05, "seed": 9}, "wide", [0.02, 0.05]),
    ("mnar_gm_object", {"mean": 0.9, "variance": 1.0, "seed": 3}, "object", [0.2]),
    ("mnar_max_object", {"mode": "Max", "seed": 4, "n_workers": 3}, "object", [0.3]),
    ("mnar_min_text_frame", {"mode": "MIN", "seed": 5}, "text_frame", [0.25]),
    ("mnar_gm_text_frame", {"variance": 0.5, "seed": 55}, "text_frame", [0.4]),
    ("mnar_gm_numeric_frame", {"seed": 6, "variance": 0.3}, "numeric_frame", [0.1]),
    ("mnar_gm_infinite_target", {"variance": 1.0, "seed": 3, "n_workers": 1}, "infinite", [0.3]),
]

# Cases whose GM comparisons square inf - inf. The sign of that NaN is the
# processor's (negative on x86-64, positive on Arm), and the total order
# puts a negative NaN first and a positive one last, so these results
# depend on the processor until the comparison fixes the sign itself.
MADE_NAN_CASES = {"mnar_gm_infinite_target"}

MAR_CASES = [
    ("mar_gm_default", {"max_missing_per_column": 0.5, "seed": 0}, "float", [0.1, 0.1]),
    ("mar_max_mean_variance", {"mean": 0.3, "variance": 0.2, "mode": "MAX", "seed": 11}, "float", [0.2]),
    ("mar_min", {"max_missing_per_column": 0.6, "mode": "MIN", "seed": 12, "n_workers": 1}, "float", [0.3]),
    ("mar_rate_cap_warning", {"max_missing_per_column": 0.5, "seed": 21}, "float10", [0.6]),
    ("mar_wide_sampling", {"max_missing_per_column": 0.5, "variance": 0.1, "seed": 31}, "wide", [0.41]),
    ("mar_gm_object", {"max_missing_per_column": 0.5, "variance": 0.3, "seed": 13}, "object", [0.15]),
    ("mar_max_text_frame", {"max_missing_per_column": 0.7, "mode": "max", "seed": 14}, "text_frame", [0.2]),
    ("mar_gm_text_frame", {"mean": 0.9, "variance": 1.0, "seed": 15, "n_workers": 2}, "text_frame", [0.1]),
    ("mar_min_numeric_frame", {"mode": "MIN", "seed": 16}, "numeric_frame", [0.3]),
]

CASES = [(name, "MNARrs", *rest) for name, *rest in MNAR_CASES] + [
    (name, "MAR", *rest) for name, *rest in MAR_CASES
]


# ---------------------------------------------------------------------------
# Running a case and describing its results
# ---------------------------------------------------------------------------


def _is_hole(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def describe(result):
    """What is stored of one result: its hole mask (one text of 0s and 1s per
    row), the texts of its text columns, and for frames the column labels."""
    if isinstance(result, pd.DataFrame):
        labels = [str(label) for label in result.columns]
        columns = [result[label].tolist() for label in result.columns]
        texts = {
            str(label): values
            for label, values in zip(result.columns, columns)
            if result[label].dtype == object
        }
        rows = len(result)
        holes = [
            "".join("1" if _is_hole(column[r]) else "0" for column in columns) for r in range(rows)
        ]
        return {"kind": "DataFrame", "labels": labels, "holes": holes, "texts": texts}

    assert isinstance(result, np.ndarray) and result.ndim == 2
    if result.dtype == object:
        text_columns = [c for c in range(result.shape[1]) if any(isinstance(v, str) for v in result[:, c])]
        holes = [
            "".join(
                "1" if (value == "NaN" if c in text_columns else _is_hole(value)) else "0"
                for c, value in enumerate(row)
            )
            for row in result.tolist()
        ]
        texts = {str(c): result[:, c].tolist() for c in text_columns}
        return {"kind": "object", "holes": holes, "texts": texts}

    assert result.dtype == np.float64
    holes = ["".join("1" if h else "0" for h in row) for row in np.isnan(result).tolist()]
    return {"kind": "float64", "holes": holes}


def run_case(case):
    """Runs one case on a fresh generator; returns (stored record, tables)."""
    name, class_name, settings, table_name, alphas = case
    generator = getattr(gapweave, class_name)(**settings)
    calls = []
    outputs = []
    for alpha in alphas:
        table = TABLES[table_name]()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = generator(table, alpha)
        record = describe(result)
        record["warnings"] = [str(w.message) for w in caught if w.category is UserWarning]
        calls.append(record)
        outputs.append((table, result))
    return {"calls": calls}, outputs


def run_all():
    return {case[0]: run_case(case)[0] for case in CASES}


def main():
    EXPECTATIONS.parent.mkdir(exist_ok=True)
    results = run_all()
    text = json.dumps(results, ensure_ascii=False, indent=1, sort_keys=True)
    EXPECTATIONS.write_text(text + "\n", encoding="utf-8")
    print(f"wrote {len(results)} cases to {EXPECTATIONS}")


if __name__ == "__main__":
    main()
