"""How well do imputers fill holes of a known mechanism?

Blanks two data sets that ship with scikit-learn (diabetes, breast cancer;
nothing is downloaded) with random holes and with gapweave's mechanisms,
fills them with three scikit-learn imputers through
gapweave_tools.score_imputers, and prints a Markdown table of the
root-mean-square error on the blanked cells, in units of each column's
standard deviation: for each (data set, mechanism, alpha, imputer) the mean
of the per-column errors over the columns that took holes and over the seeds.

    python examples/evaluate_imputers.py            # the table in docs/evaluating-imputers.md
    python examples/evaluate_imputers.py --small    # one data set, one rate, one seed: seconds

Needs scikit-learn and pandas (pip install ".[docs]"). docs/make_figures.py
draws the same scores with plot().
"""

import argparse
import sys
import warnings

import pandas as pd
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.exceptions import ConvergenceWarning
from sklearn.experimental import enable_iterative_imputer  # noqa: F401 - makes IterativeImputer importable
from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer
from threadpoolctl import threadpool_limits

from gapweave_tools import score_imputers

DATASETS = {"diabetes": load_diabetes, "breast cancer": load_breast_cancer}

# Each row label names every setting of its punch() call besides alpha and
# the seed; the others keep their defaults (mean 0.5, variance 0, mode GM).
MECHANISMS = {
    "MCAR": {"mechanism": "MCAR"},
    "MNAR GM variance=0.1": {"mechanism": "MNAR", "mode": "GM", "variance": 0.1},
    "MNAR MAX": {"mechanism": "MNAR", "mode": "MAX"},
    "MAR MAX max_missing_per_column=0.5": {"mechanism": "MAR", "mode": "MAX", "max_missing_per_column": 0.5},
}

IMPUTERS = {
    "mean": SimpleImputer(strategy="mean"),
    "KNN": KNNImputer(n_neighbors=5),
    "iterative": IterativeImputer(max_iter=10, random_state=0),
}


def standardised(loader):
    """The data set's features as a frame, each column at mean 0 and standard deviation 1.

    KNN's distances then weigh every column alike; the scores are in
    standard deviations either way.
    """
    frame = loader(as_frame=True).data.astype(float)
    return (frame - frame.mean()) / frame.std(ddof=0)


def scores(datasets=tuple(DATASETS), alphas=(0.1, 0.2, 0.3), seeds=(0, 1, 2)):
    """score_imputers' tidy frame for every data set, with a "data set" column in front."""
    parts = []
    # The tables are small: BLAS threads only fight over the cores here.
    with threadpool_limits(limits=1), warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)  # IterativeImputer's early-stopping notice
        for name in datasets:
            part = score_imputers(standardised(DATASETS[name]), IMPUTERS, MECHANISMS, alphas, seeds,
                                  n_workers=2)
            parts.append(part.assign(**{"data set": name}))
    tidy = pd.concat(parts, ignore_index=True)
    return tidy[["data set", *tidy.columns[:-1]]]


def summary(tidy):
    """The mean RMSE per (data set, mechanism, alpha), one column per imputer, in the input's order."""
    means = tidy.groupby(["data set", "mechanism", "alpha", "imputer"], sort=False)["rmse"].mean()
    return means.unstack("imputer")[list(tidy["imputer"].unique())]


def markdown_table(tidy):
    """One row per (data set, mechanism, alpha), one column per imputer."""
    table = summary(tidy)
    lines = ["| data set | mechanism | alpha | " + " | ".join(table.columns) + " |",
             "|---|---|---:|" + "---:|" * len(table.columns)]
    for (dataset, mechanism, alpha), row in table.iterrows():
        cells = " | ".join(f"{value:.2f}" for value in row)
        lines.append(f"| {dataset} | {mechanism} | {alpha:g} | {cells} |")
    return "\n".join(lines)


def plot(tidy, path):
    """One panel per data set, drawn by gapweave_tools.evaluation.plot_scores."""
    import matplotlib.pyplot as plt

    from gapweave_tools.evaluation import plot_scores

    datasets = list(tidy["data set"].unique())
    fig, axes = plt.subplots(len(datasets), 1, figsize=(15, 4 * len(datasets)), squeeze=False,
                             layout="constrained")
    for ax, dataset in zip(axes[:, 0], datasets):
        plot_scores(tidy[tidy["data set"] == dataset], ax=ax)
        ax.axhline(1.0, color="0.6", lw=0.8, zorder=0)
        ax.set_title(dataset, fontsize=10)
    fig.suptitle("Error on the blanked cells (mean over columns and seeds): "
                 "the mechanism decides which imputer looks good", fontsize=10)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true",
                        help="diabetes only, alpha 0.2, seed 0 (for a quick check)")
    args = parser.parse_args(argv)
    if args.small:
        tidy = scores(datasets=("diabetes",), alphas=(0.2,), seeds=(0,))
    else:
        tidy = scores()
    print(markdown_table(tidy))
    print()
    seeds = sorted(tidy["seed"].unique())
    print(f"RMSE in column standard deviations, averaged over the columns that took holes "
          f"and over seed{'s' if len(seeds) > 1 else ''} {', '.join(map(str, seeds))}.")


if __name__ == "__main__":
    sys.exit(main())
