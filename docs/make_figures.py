"""Draws every figure of the user guide from the installed gapweave module and gapweave_tools.

    python docs/make_figures.py               # writes docs/images/*.png
    python docs/make_figures.py --out /tmp/f  # somewhere else
    python docs/make_figures.py --small       # the imputer figure at the example's small size

Needs the docs extra (pip install ".[docs]": matplotlib and scikit-learn) and pandas.
Every table and every generator has a fixed seed, so a run redraws the
committed figures; the test suite runs this script into a temporary folder.
"""

import argparse
import importlib.util
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402

import gapweave  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
KEPT, BLANKED = "#8da0b6", "#e0622a"
DPI = 100


def normal_table(rows=2000, cols=4, seed=0):
    return np.random.default_rng(seed).normal(size=(rows, cols))


def factor_table(rows=2000, seed=7):
    """Six columns sharing a common factor, with more and more noise (as in examples/demo.py)."""
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(rows, 1))
    return base + rng.normal(scale=[0.2, 0.5, 1.0, 1.5, 2.5, 4.0], size=(rows, 6))


def pair_table(rows=1500, seed=3):
    """Two columns with correlation about 0.7: under MAR one takes the holes, the other drives them."""
    rng = np.random.default_rng(seed)
    driver = rng.normal(size=rows)
    return np.column_stack([driver, 0.7 * driver + 0.71 * rng.normal(size=rows)])


def split_histogram(ax, values, blanked, bins, title):
    """A column's histogram, kept and blanked values stacked in two colours."""
    ax.hist([values[~blanked], values[blanked]], bins=bins, stacked=True, color=[KEPT, BLANKED],
            label=["kept", "blanked"])
    ax.set_title(title, fontsize=10)
    ax.set_yticks([])
    ax.text(0.02, 0.96, f"{blanked.sum()} of {len(values)} blanked", transform=ax.transAxes,
            va="top", fontsize=8)


def save(fig, out, name):
    path = out / name
    fig.tight_layout()
    fig.savefig(path, dpi=DPI)
    plt.close(fig)
    print(path)


def figure_overview(out):
    """The README's picture: one MNARrs column under GM and under MAX, and a MAR hole column."""
    table = normal_table()
    bins = np.linspace(-4, 4, 41)
    fig, axes = plt.subplots(1, 3, figsize=(11, 3.1))
    gm = gapweave.MNARrs(variance=0.1, seed=1, n_workers=2)(table, 0.2)
    split_histogram(axes[0], table[:, 0], np.isnan(gm[:, 0]), bins, 'MNARrs(variance=0.1): near the median')
    low = gapweave.MNARrs(mode="MAX", seed=1, n_workers=2)(table, 0.2)
    split_histogram(axes[1], table[:, 0], np.isnan(low[:, 0]), bins, 'MNARrs(mode="MAX"): the smallest values')
    pair = pair_table()
    holed = gapweave.MAR(variance=0.1, mode="MAX", seed=1, n_workers=2)(pair, 0.2)
    hole = int(np.isnan(holed).any(axis=0).argmax())
    driver = 1 - hole
    blanked = np.isnan(holed[:, hole])
    ax = axes[2]
    ax.scatter(pair[~blanked, driver], pair[~blanked, hole], s=4, color=KEPT, label="kept")
    ax.scatter(pair[blanked, driver], pair[blanked, hole], s=4, color=BLANKED, label="blanked")
    ax.set_xlabel(f"driver (column {driver})")
    ax.set_ylabel(f"hole column (column {hole})")
    ax.set_title('MAR(mode="MAX"): the driver decides', fontsize=10)
    axes[0].legend(loc="upper right", fontsize=8)
    save(fig, out, "overview.png")


def figure_gm(out):
    table = normal_table()
    bins = np.linspace(-4, 4, 49)
    settings = [(0.5, 0.0), (0.5, 0.1), (0.2, 0.05), (0.8, 0.2)]
    fig, axes = plt.subplots(1, len(settings), figsize=(12, 3), sharex=True)
    for ax, (mean, variance) in zip(axes, settings):
        holed = gapweave.MNARrs(mean=mean, variance=variance, seed=1, n_workers=2)(table, 0.2)
        blanked = np.isnan(holed[:, 0])
        split_histogram(ax, table[:, 0], blanked, bins, f"mean={mean}, variance={variance}")
        ax.axvline(np.quantile(table[:, 0], mean), color="k", lw=0.8, ls="--")
    axes[0].legend(loc="upper right", fontsize=8)
    fig.suptitle("MNARrs, mode GM, alpha 0.2: one column of 2000 normal values (dashed: the quantile `mean`)",
                 fontsize=10)
    save(fig, out, "mnar_gm.png")


def figure_max_min(out):
    table = normal_table()
    bins = np.linspace(-4, 4, 49)
    fig, axes = plt.subplots(1, 2, figsize=(9, 3), sharex=True)
    for ax, mode, what in zip(axes, ("MAX", "MIN"), ("smallest", "largest")):
        holed = gapweave.MNARrs(mode=mode, seed=1, n_workers=2)(table, 0.2)
        split_histogram(ax, table[:, 0], np.isnan(holed[:, 0]), bins, f'mode="{mode}": the {what} values')
    axes[0].legend(loc="upper right", fontsize=8)
    fig.suptitle("MNARrs, alpha 0.2: MAX blanks the smallest values, MIN the largest", fontsize=10)
    save(fig, out, "mnar_max_min.png")


def figure_mar(out):
    pair = pair_table()
    fig, axes = plt.subplots(1, 3, figsize=(12, 3.6), sharex=True, sharey=True)
    for ax, mode, variance in zip(axes, ("GM", "MAX", "MIN"), (0.1, 0.0, 0.0)):
        holed = gapweave.MAR(variance=variance, mode=mode, seed=1, n_workers=2)(pair, 0.2)
        hole = int(np.isnan(holed).any(axis=0).argmax())
        driver = 1 - hole
        blanked = np.isnan(holed[:, hole])
        ax.scatter(pair[~blanked, driver], pair[~blanked, hole], s=4, color=KEPT, label="kept")
        ax.scatter(pair[blanked, driver], pair[blanked, hole], s=4, color=BLANKED, label="blanked")
        setting = f'mode="{mode}"' + (f", variance={variance}" if variance else "")
        ax.set_title(f"{setting}: {blanked.sum()} of {len(blanked)} blanked", fontsize=10)
        ax.set_xlabel(f"driver (column {driver})")
    axes[0].set_ylabel("hole column")
    axes[0].legend(loc="upper left", fontsize=8, markerscale=3)
    fig.suptitle("MAR, alpha 0.2, two columns (correlation 0.7): holes follow the driver's values, "
                 "not the hole column's own", fontsize=10)
    save(fig, out, "mar_driver.png")


def figure_map(out):
    table = factor_table(rows=150)
    order = np.argsort(table.mean(axis=1))  # rows from the smallest row mean to the largest
    calls = [
        ("MNARrs(variance=0.1)", gapweave.MNARrs(variance=0.1, seed=2, n_workers=2)),
        ('MNARrs(mode="MAX")', gapweave.MNARrs(mode="MAX", seed=2, n_workers=2)),
        ("MAR(max_missing_per_column=0.5)", gapweave.MAR(max_missing_per_column=0.5, variance=0.1, seed=2,
                                                          n_workers=2)),
    ]
    fig, axes = plt.subplots(1, len(calls), figsize=(11, 4.2), sharey=True)
    for ax, (title, generator) in zip(axes, calls):
        mask = np.isnan(generator(table, 0.2))[order]
        ax.imshow(mask, aspect="auto", interpolation="nearest", cmap=ListedColormap(["#f2f2f2", BLANKED]))
        ax.vlines(np.arange(0.5, table.shape[1] - 1), -0.5, len(mask) - 0.5, color="white", lw=3)
        ax.set_xticks(range(table.shape[1]))
        ax.set_xlabel("column")
        ax.set_title(f"{title}\n{mask.sum()} holes, per column {mask.sum(axis=0).tolist()}", fontsize=9)
    axes[0].set_ylabel("row (ordered by the row's mean value)")
    fig.suptitle("Missingness maps of one call each, alpha 0.2, 150 rows × 6 correlated columns", fontsize=10)
    save(fig, out, "missingness_map.png")


def figure_mar_columns(out):
    table = factor_table(rows=1000)
    table = np.hstack([table, factor_table(rows=1000, seed=8)[:, :4]])  # ten columns
    caps = (0.3, 0.5, 0.8)
    fig, axes = plt.subplots(1, len(caps), figsize=(12, 3), sharey=True)
    for ax, cap in zip(axes, caps):
        holed = gapweave.MAR(max_missing_per_column=cap, variance=0.1, seed=4, n_workers=2)(table, 0.2)
        share = np.isnan(holed).mean(axis=0)
        ax.bar(range(table.shape[1]), share, color=BLANKED)
        ax.set_xticks(range(table.shape[1]))
        ax.set_xlabel("column")
        ax.set_title(f"max_missing_per_column={cap}: {(share > 0).sum()} hole columns", fontsize=9)
        ax.axhline(0.2, color="k", lw=0.8, ls="--")
    axes[0].set_ylabel("share of the column blanked")
    fig.suptitle("MAR, alpha 0.2 (dashed), 10 columns: the cap sets how many columns take the holes", fontsize=10)
    save(fig, out, "mar_columns.png")


def figure_imputers(out, small):
    """The example's scores (examples/evaluate_imputers.py), drawn with gapweave_tools' plot_scores."""
    module_spec = importlib.util.spec_from_file_location(
        "evaluate_imputers", HERE.parent / "examples" / "evaluate_imputers.py")
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    if small:
        tidy = example.scores(datasets=("diabetes",), alphas=(0.2,), seeds=(0,))
    else:
        tidy = example.scores()
    path = out / "imputer_rmse.png"
    example.plot(tidy, path)
    print(path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "images", help="folder for the PNG files")
    parser.add_argument("--small", action="store_true", help="evaluate the imputers at the example's small size")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    figure_overview(args.out)
    figure_gm(args.out)
    figure_max_min(args.out)
    figure_mar(args.out)
    figure_map(args.out)
    figure_mar_columns(args.out)
    figure_imputers(args.out, args.small)


if __name__ == "__main__":
    sys.exit(main())
