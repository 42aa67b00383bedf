"""Scoring imputers on holes of known mechanisms.

``score_imputers`` blanks a table with each mechanism, rate and seed, fills
it with each imputer and measures the error on the blanked cells, in each
column's standard deviations; ``plot_scores`` draws the result. Needs pandas
(for the result), and matplotlib for the plot.
"""

import copy
import textwrap

import numpy as np

from . import punch

SCORE_COLUMNS = ["mechanism", "alpha", "seed", "imputer", "column", "holes", "rmse", "mae"]


def _fresh(imputer):
    """An unfitted copy, as scikit-learn's clone makes one."""
    if hasattr(imputer, "get_params"):
        from sklearn.base import clone
        return clone(imputer)
    return copy.deepcopy(imputer)


def _as_floats(table, what):
    try:
        return np.asarray(table, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{what} must be numeric to be scored: {error}") from None


def score_imputers(data, imputers, mechanisms=("MCAR", "MAR", "MNAR"), alphas=(0.1, 0.2, 0.3),
                   seeds=(0, 1, 2), *, columns=None, **settings):
    """A tidy DataFrame of each imputer's error on each mechanism's holes.

    ``data``: a numeric array or frame (it may hold holes of its own; they
    are neither scored nor counted). ``imputers``: a mapping of names to
    objects with ``fit_transform`` (scikit-learn estimators are cloned for
    each fill). ``mechanisms``: names for ``punch``, or a mapping of row
    labels to dicts of ``punch`` settings that include ``mechanism``, for
    example ``{"MNAR GM v0.1": {"mechanism": "MNAR", "variance": 0.1}}``.
    ``settings`` go to every ``punch`` call (``mean``, ``variance``,
    ``mode``, ``max_missing_per_column``, ``n_workers``).

    One row per (mechanism, alpha, seed, imputer, column) with holes: the
    number of holes, and the RMSE and MAE on them divided by the column's
    standard deviation (over its present cells, ``ddof=0``).
    """
    import pandas as pd

    if not isinstance(mechanisms, dict):
        mechanisms = {name: {"mechanism": name} for name in mechanisms}
    truth = _as_floats(data, "data")
    scale = np.nanstd(truth, axis=0)
    scale[scale == 0] = np.nan  # a constant column has no scale: its scores are NaN
    names = list(data.columns) if hasattr(data, "columns") else list(range(truth.shape[1]))
    rows = []
    for label, chosen in mechanisms.items():
        call = dict(settings, **chosen)
        mechanism = call.pop("mechanism")
        for alpha in alphas:
            for seed in seeds:
                holed = punch(data, alpha, mechanism, columns=columns, seed=seed, **call)
                mask = np.asarray(holed.mask, dtype=bool)
                for imputer_name, imputer in imputers.items():
                    filled = _as_floats(_fresh(imputer).fit_transform(holed.table), "an imputer's output")
                    for column in np.flatnonzero(mask.any(axis=0)):
                        error = filled[mask[:, column], column] - truth[mask[:, column], column]
                        rows.append((label, alpha, seed, imputer_name, names[column], error.size,
                                     float(np.sqrt(np.mean(error**2)) / scale[column]),
                                     float(np.mean(np.abs(error)) / scale[column])))
    return pd.DataFrame(rows, columns=SCORE_COLUMNS)


def plot_scores(scores, metric="rmse", ax=None):
    """Bars of ``metric`` per mechanism and imputer, averaged over seeds and columns,
    one group of bars per rate. Returns the matplotlib axes."""
    import matplotlib.pyplot as plt

    if ax is None:
        ax = plt.subplots(figsize=(8, 3.5), layout="constrained")[1]
    means = scores.groupby(["mechanism", "imputer", "alpha"], sort=False)[metric].mean().unstack("alpha")
    # Long settings in a label break at their spaces and "=" signs, so that
    # neighbouring labels don't run together.
    labels = ["\n".join(textwrap.wrap(f"{mechanism.replace('=', '= ')} / {imputer}", 16))
              for mechanism, imputer in means.index]
    width = 0.8 / max(1, means.shape[1])
    for slot, alpha in enumerate(means.columns):
        ax.bar(np.arange(len(labels)) + slot * width, means[alpha], width, label=f"alpha {alpha:g}")
    ax.set_xticks(np.arange(len(labels)) + width * (means.shape[1] - 1) / 2, labels, fontsize=7)
    ax.set_ylabel(f"{metric.upper()} (column standard deviations)")
    ax.legend(fontsize=8)
    return ax
