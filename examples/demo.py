"""A short tour of gapweave on a table made here: MNAR and MAR holes."""

import numpy as np

import gapweave


def make_table(rows: int = 1000) -> np.ndarray:
    """Five correlated numeric columns."""
    rng = np.random.default_rng(7)
    base = rng.normal(size=(rows, 1))
    noise = rng.normal(scale=[0.1, 0.5, 1.0, 2.0, 4.0], size=(rows, 5))
    return base + noise


def report(title: str, table: np.ndarray) -> None:
    holes = np.isnan(table).sum(axis=0)
    print(f"{title}: {int(holes.sum())} holes of {table.size} cells")
    for column, count in enumerate(holes):
        print(f"  column {column}: {int(count):4d} blanked")


def main() -> None:
    table = make_table()
    print(f"table: {table.shape[0]} rows x {table.shape[1]} columns\n")

    mnar = gapweave.MNARrs(mean=0.5, variance=0.2, mode="GM", seed=42, n_workers=2)
    print(f"{mnar!r}: missing not at random, each column blanked by its own values")
    mnar_table = mnar(table, 0.1)
    report("MNARrs(alpha=0.1)", mnar_table)

    mar = gapweave.MAR(max_missing_per_column=0.4, seed=42, n_workers=2)
    print(f"\n{mar!r}: missing at random, hole columns blanked by their driver's values")
    mar_table = mar(table, 0.1)
    report("MAR(alpha=0.1)", mar_table)

    again = gapweave.MNARrs(mean=0.5, variance=0.2, mode="GM", seed=42, n_workers=6)(table, 0.1)
    same = np.array_equal(np.isnan(again), np.isnan(mnar_table))
    print(f"\nsame seed, 6 workers instead of 2: identical holes = {same}")
    print(f"caller's table untouched: {not np.isnan(table).any()}")


if __name__ == "__main__":
    main()
