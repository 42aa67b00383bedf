"""How well do imputers fill holes of a known mechanism?

Blanks cells of two data sets that ship with scikit-learn (diabetes, breast
cancer; nothing is downloaded) with random holes and with gapweave's
mechanisms, fills them with three scikit-learn imputers and prints the
root-mean-square error on the blanked cells as a Markdown table, in units of
each column's standard deviation (the columns are standardised first).

    python examples/evaluate_imputers.py            # the table in docs/evaluating-imputers.md
    python examples/evaluate_imputers.py --small    # one data set, one rate, one seed: seconds

Needs scikit-learn (pip install ".[docs]"). docs/make_figures.py draws the
same results as a figure with plot_rmse().
"""

import argparse
import sys
import warnings

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.exceptions import ConvergenceWarning
from sklearn.experimental import enable_iterative_imputer  # noqa: F401 - makes IterativeImputer importable
from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer
from threadpoolctl import threadpool_limits

import gapweave

DATASETS = {"diabetes": load_diabetes, "breast cancer": load_breast_cancer}


def standardised(loader):
    """The data set's features, each column shifted to mean 0 and scaled to deviation 1."""
    table = loader(return_X_y=True)[0].astype(float)
    return (table - table.mean(axis=0)) / table.std(axis=0)


def random_holes(table, alpha, seed):
    """The baseline: ceil(alpha * cells) cells chosen uniformly at random (MCAR)."""
    rng = np.random.default_rng(seed)
    holed = table.copy()
    count = int(np.ceil(alpha * table.size))
    holed.flat[rng.choice(table.size, count, replace=False)] = np.nan
    return holed


# Each mechanism is a function (table, alpha, seed) -> table with holes. The
# generators are built inside, from their settings and the seed, so every
# (mechanism, alpha, seed) cell of the table can be reproduced on its own.
MECHANISMS = {
    "random (MCAR)": random_holes,
    "MNARrs GM": lambda table, alpha, seed: gapweave.MNARrs(variance=0.1, seed=seed, n_workers=2)(table, alpha),
    "MNARrs MAX": lambda table, alpha, seed: gapweave.MNARrs(mode="MAX", seed=seed, n_workers=2)(table, alpha),
    "MAR MAX": lambda table, alpha, seed: gapweave.MAR(
        max_missing_per_column=0.5, mode="MAX", seed=seed, n_workers=2
    )(table, alpha),
}
SETTINGS = {
    "random (MCAR)": "cells drawn uniformly by NumPy",
    "MNARrs GM": "MNARrs(variance=0.1): values near each column's median",
    "MNARrs MAX": 'MNARrs(mode="MAX"): each column\'s smallest values',
    "MAR MAX": 'MAR(max_missing_per_column=0.5, mode="MAX"): rows where the driver is smallest',
}

IMPUTERS = {
    "mean": lambda: SimpleImputer(strategy="mean"),
    "KNN": lambda: KNNImputer(n_neighbors=5),
    "iterative": lambda: IterativeImputer(max_iter=10, random_state=0),
}


def rmse_on_holes(truth, holed, filled):
    """Root-mean-square error over the cells that the mechanism blanked."""
    blanked = np.isnan(holed) & ~np.isnan(truth)
    return float(np.sqrt(np.mean((filled[blanked] - truth[blanked]) ** 2)))


def evaluate(datasets=tuple(DATASETS), alphas=(0.1, 0.2, 0.3), seeds=(0, 1, 2)):
    """RMSE per (data set, mechanism, alpha, imputer), averaged over the seeds.

    Returns a list of dicts with the keys dataset, mechanism, alpha, imputer, rmse.
    """
    results = []
    # The tables are small: BLAS threads only fight over the cores here.
    with threadpool_limits(limits=1), warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)  # IterativeImputer's early-stopping notice
        for name in datasets:
            truth = standardised(DATASETS[name])
            for mechanism, blank in MECHANISMS.items():
                for alpha in alphas:
                    errors = {imputer: [] for imputer in IMPUTERS}
                    for seed in seeds:
                        holed = blank(truth, alpha, seed)
                        for imputer, make in IMPUTERS.items():
                            filled = make().fit_transform(holed)
                            errors[imputer].append(rmse_on_holes(truth, holed, filled))
                    for imputer, values in errors.items():
                        results.append(
                            {"dataset": name, "mechanism": mechanism, "alpha": alpha,
                             "imputer": imputer, "rmse": float(np.mean(values))}
                        )
    return results


def markdown_table(results):
    """One row per (data set, mechanism, alpha), one column per imputer."""
    imputers = list(IMPUTERS)
    lines = ["| data set | mechanism | alpha | " + " | ".join(imputers) + " |",
             "|---|---|---:|" + "---:|" * len(imputers)]
    rows = {}
    for r in results:
        rows.setdefault((r["dataset"], r["mechanism"], r["alpha"]), {})[r["imputer"]] = r["rmse"]
    for (dataset, mechanism, alpha), by_imputer in rows.items():
        cells = " | ".join(f"{by_imputer[i]:.2f}" for i in imputers)
        lines.append(f"| {dataset} | {mechanism} | {alpha:g} | {cells} |")
    return "\n".join(lines)


def plot_rmse(results, path):
    """One panel per (data set, mechanism): RMSE against alpha, a line per imputer."""
    import matplotlib.pyplot as plt

    datasets = list(dict.fromkeys(r["dataset"] for r in results))
    mechanisms = list(dict.fromkeys(r["mechanism"] for r in results))
    fig, axes = plt.subplots(len(datasets), len(mechanisms), figsize=(11, 2.6 * len(datasets) + 0.6),
                             sharex=True, sharey=True, squeeze=False)
    for row, dataset in enumerate(datasets):
        for col, mechanism in enumerate(mechanisms):
            ax = axes[row][col]
            for imputer, marker in zip(IMPUTERS, "osD"):
                points = [(r["alpha"], r["rmse"]) for r in results
                          if (r["dataset"], r["mechanism"], r["imputer"]) == (dataset, mechanism, imputer)]
                ax.plot(*zip(*points), marker=marker, label=imputer)
            ax.axhline(1.0, color="0.75", lw=0.8, zorder=0)
            ax.grid(alpha=0.3)
            if row == 0:
                ax.set_title(mechanism, fontsize=10)
            if col == 0:
                ax.set_ylabel(f"{dataset}\nRMSE (column sd)")
            if row == len(datasets) - 1:
                ax.set_xlabel("alpha")
    axes[0][0].set_ylim(bottom=0)
    axes[0][-1].legend(title="imputer", fontsize=8)
    fig.suptitle("Error on the blanked cells: the mechanism decides which imputer looks good")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true",
                        help="diabetes only, alpha 0.2, seed 0 (for a quick check)")
    args = parser.parse_args(argv)
    if args.small:
        results = evaluate(datasets=("diabetes",), alphas=(0.2,), seeds=(0,))
    else:
        results = evaluate()
    print(markdown_table(results))
    print()
    for mechanism, setting in SETTINGS.items():
        print(f"- {mechanism}: {setting}")


if __name__ == "__main__":
    sys.exit(main())
