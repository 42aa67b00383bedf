"""Everyday jobs on top of gapweave: your own table in, your own table out.

``punch`` blanks a NumPy array or a pandas DataFrame with MNAR, MAR or MCAR
holes and returns the table with the caller's index, labels and dtypes,
together with the mask of the new holes. The engine (the module ``gapweave``)
decides which cells; this layer reads the table into the values that decide
and puts the holes into a copy of the caller's own table, each as the
missing value of its column's dtype. ``gapweave_tools.sklearn.Amputer`` is
the same as a scikit-learn transformer, and ``score_imputers`` scores
imputers on the holes. pandas, scikit-learn and matplotlib are imported only
when they are used.
"""

from typing import Any, NamedTuple

import numpy as np

from ._columns import UnsupportedColumn
from ._holes import engine_holes, mcar_holes
from ._settings import MECHANISMS, check_settings
from ._tables import wrap


class Punched(NamedTuple):
    """The caller's table with the new holes, and the mask of those holes."""

    table: Any
    mask: Any


def punch(table, alpha, mechanism="MNAR", *, columns=None, seed=None, mean=None, variance=None,
          mode="GM", max_missing_per_column=None, n_workers=None):
    """Blank a fraction ``alpha`` of a table's cells; returns ``Punched(table, mask)``.

    See docs/tools.md for what each mechanism does with tables that already
    hold holes, how each dtype is ranked and blanked, and the errors.
    """
    settings = check_settings(mechanism, alpha, seed=seed, mean=mean, variance=variance, mode=mode,
                              max_missing_per_column=max_missing_per_column, n_workers=n_workers)
    adapter = wrap(table)
    positions = adapter.positions(columns)
    if not positions:
        raise ValueError("columns selects no column; name at least one")
    try:
        deciding = adapter.deciding(positions)
    except UnsupportedColumn as error:
        raise TypeError(str(error)) from None
    if settings.mechanism == "MCAR":
        sub_mask, result = mcar_holes(deciding.present, deciding.values.shape, settings), None
    else:
        deciding.check_finite()
        sub_mask, result = engine_holes(deciding, settings)
    if len(positions) == adapter.cols:
        mask = sub_mask
    else:
        mask = np.zeros((adapter.rows, adapter.cols), dtype=bool)
        mask[:, positions] = sub_mask
        result = None
    return Punched(adapter.with_holes(mask, result), adapter.mask_like(mask))


def score_imputers(*args, **kwargs):
    """See ``gapweave_tools.evaluation.score_imputers``."""
    from .evaluation import score_imputers as score
    return score(*args, **kwargs)


__all__ = ["MECHANISMS", "Punched", "punch", "score_imputers"]
