"""A short tour of gapweave on tables made here: MNAR and MAR holes."""

import warnings

import numpy as np

import gapweave


def make_table(rows: int = 1000) -> np.ndarray:
    """Six columns sharing a common factor, with more and more noise."""
    rng = np.random.default_rng(7)
    base = rng.normal(size=(rows, 1))
    noise = rng.normal(scale=[0.2, 0.5, 1.0, 1.5, 2.5, 4.0], size=(rows, 6))
    return base + noise


def likely_drivers(table: np.ndarray, holed: np.ndarray) -> dict[int, int]:
    """For each column that received holes, the untouched column most
    correlated with it (the rule MAR uses; column 0 when none correlates)."""
    hole_columns = [c for c in range(table.shape[1]) if np.isnan(holed[:, c]).any()]
    candidates = [c for c in range(table.shape[1]) if c not in hole_columns]
    corr = np.corrcoef(table, rowvar=False)
    drivers = {}
    for hole in hole_columns:
        best, driver = 0.0, 0
        for c in candidates:
            if abs(corr[hole, c]) > best:
                best, driver = abs(corr[hole, c]), c
        drivers[hole] = driver
    return drivers


def main() -> None:
    table = make_table()
    rows, cols = table.shape
    print(f"table: {rows} rows x {cols} columns, alpha 0.1 ({int(np.ceil(0.1 * table.size))} holes)\n")

    mnar = gapweave.MNARrs(mean=0.5, variance=0.05, mode="GM", seed=42, n_workers=2)
    mar = gapweave.MAR(variance=0.05, max_missing_per_column=0.3, mode="GM", seed=42, n_workers=2)
    mnar_table = mnar(table, 0.1)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mar_table = mar(table, 0.1)
    drivers = likely_drivers(table, mar_table)

    print(f"{'column':>6} {'MNARrs holes':>13} {'MAR holes':>10}  MAR driver")
    for c in range(cols):
        mnar_holes = int(np.isnan(mnar_table[:, c]).sum())
        mar_holes = int(np.isnan(mar_table[:, c]).sum())
        driver = f"column {drivers[c]}" if c in drivers else "-"
        print(f"{c:>6} {mnar_holes:>13} {mar_holes:>10}  {driver}")
    for w in caught:
        print(f"warning: {w.message}")

    # MNAR: the holes follow the column's own values. Under GM with the default
    # mean they cluster around each column's median.
    c = 0
    lost = table[np.isnan(mnar_table[:, c]), c]
    print(f"\nMNARrs column {c}: blanked values have median {np.median(lost):+.3f} and spread "
          f"{lost.std():.3f}; the column's median is {np.median(table[:, c]):+.3f}, spread {table[:, c].std():.3f}")

    # MAR: the holes follow the driver's values, not the column's own.
    hole, driver = next(iter(drivers.items()))
    mask = np.isnan(mar_table[:, hole])
    print(f"MAR column {hole}: in its blanked rows, driver column {driver} has median "
          f"{np.median(table[mask, driver]):+.3f} and spread {table[mask, driver].std():.3f} "
          f"(whole column: {np.median(table[:, driver]):+.3f}, {table[:, driver].std():.3f})")

    # The modes: MAX blanks the smallest values first, MIN the largest.
    low = gapweave.MNARrs(mode="MAX", seed=1, n_workers=2)(table, 0.05)
    print(f"MNARrs MAX, column 1: largest blanked value {table[np.isnan(low[:, 1]), 1].max():+.3f}, "
          f"smallest kept {np.nanmin(low[:, 1]):+.3f}")

    again = gapweave.MNARrs(mean=0.5, variance=0.05, mode="GM", seed=42, n_workers=6)(table, 0.1)
    print(f"\nsame seed with 6 workers instead of 2: identical holes = "
          f"{np.array_equal(np.isnan(again), np.isnan(mnar_table))}")
    print(f"caller's table untouched: {not np.isnan(table).any()}")

    try:
        import pandas as pd
    except ImportError:
        return
    frame = pd.DataFrame({"size": table[:12, 0].round(2), "colour": list("rgbrgbrgbrgb")})
    holed = gapweave.MNARrs(mode="MIN", seed=3, n_workers=2)(frame, 0.25)
    print("\na data frame with a text column, MIN mode (largest values and last labels go first):")
    print(holed.to_string())


if __name__ == "__main__":
    main()
