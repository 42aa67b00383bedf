"""Which cells become holes: the engine's choice, or uniform random for MCAR.

On a complete deciding matrix MNAR and MAR are one call of the module, so
the holes are exactly the module's. A matrix that already holds holes is
blanked column by column instead, with the rate applied to each column's
present cells:

- MNAR: each column is blanked as the module blanks a table holding that
  column's present cells alone, ``ceil(alpha * present)`` of them, the
  columns in order from one generator (one stream).
- MAR: the rate is capped as the module caps it (with its warning), the hole
  columns are drawn at random and each is driven by the other column whose
  values, over the rows both hold, correlate most with it. The table's
  ``ceil(rate * present cells)`` new holes are shared evenly among the hole
  columns (the first ones in hole-column order take one more), never more
  than a column's present cells. In each hole column the module's MNAR
  generator picks the rows from the driver's values over the rows where
  both are present; rows whose driver is missing take the holes left over,
  chosen uniformly at random.
- MCAR: uniform random cells with the counts the engine would give: on a
  complete matrix ``ceil(alpha * cells)`` spread evenly over the columns
  (the columns of the last, partial share drawn at random), on a matrix with
  holes ``ceil(alpha * present)`` per column.
"""

import math

import numpy as np

import gapweave


def _count(alpha, cells):
    """ceil(alpha * cells) as the engine forms it, in double precision."""
    return min(cells, math.ceil(float(cells) * alpha))


def _rate_for(count, cells):
    """A rate whose ceil(rate * cells) is exactly `count` (0 < count <= cells)."""
    rate = count / cells
    while math.ceil(float(cells) * rate) > count:
        rate = np.nextafter(rate, 0.0)
    while math.ceil(float(cells) * rate) < count:
        rate = np.nextafter(rate, 2.0)
    return float(rate)


def _seeded_rng(settings):
    return np.random.default_rng(settings.seed)


def _engine_seed(rng):
    return int(rng.integers(0, 2**64, dtype=np.uint64))


def _too_wide(values, names):
    """A ValueError naming the first column whose range is no double."""
    with np.errstate(over="ignore", invalid="ignore"):
        spans = np.nanmax(values, axis=0) - np.nanmin(values, axis=0)
    wide = np.flatnonzero(~np.isfinite(spans))
    if wide.size:
        return ValueError(f"column {names[wide[0]]!r} spans more than the largest double "
                          "(its largest value minus its smallest overflows), so its targets "
                          "cannot be drawn; scale it down")
    return None


def engine_holes(deciding, settings):
    """(mask of new holes, the module's result or None) for MNAR and MAR."""
    try:
        return _engine_holes(deciding, settings)
    except BaseException as fault:
        # The module's faults derive from BaseException. The one a checked
        # table can still meet is a column range beyond the largest double,
        # which makes every target NaN; it is worth an error that says so.
        if type(fault).__name__ != "PanicException":
            raise
        error = _too_wide(deciding.values, deciding.names)
        if error is None:
            raise
        raise error from None


def _engine_holes(deciding, settings):
    values, present = deciding.values, deciding.present
    if settings.mechanism == "MNAR":
        if present is None:
            result = gapweave.MNARrs(**settings.module_kwargs())(values, settings.alpha)
            return np.isnan(result), result
        return _mnar_with_holes(values, present, settings), None
    if present is None:
        result = gapweave.MAR(**settings.module_kwargs())(values, settings.alpha)
        return np.isnan(result), result
    return _mar_with_holes(values, present, settings), None


def _mnar_with_holes(values, present, settings):
    mask = np.zeros(values.shape, dtype=bool)
    generator = gapweave.MNARrs(**settings.module_kwargs())
    for column in range(values.shape[1]):
        rows = np.flatnonzero(present[:, column])
        if _count(settings.alpha, rows.size) == 0:
            continue
        picked = np.isnan(generator(np.ascontiguousarray(values[rows, column, None]), settings.alpha))
        mask[rows[picked[:, 0]], column] = True
    return mask


def _correlation(x, y):
    """Pearson's coefficient over the rows where both are present; NaN when undefined."""
    both = ~(np.isnan(x) | np.isnan(y))
    if both.sum() < 2:
        return math.nan
    x, y = x[both] - x[both].mean(), y[both] - y[both].mean()
    denominator = math.sqrt(float(x @ x) * float(y @ y))
    return float(x @ y) / denominator if denominator > 0 else math.nan


def _mar_with_holes(values, present, settings):
    rows, cols = values.shape
    mask = np.zeros(values.shape, dtype=bool)
    mar = gapweave.MAR(**settings.module_kwargs())
    rate = mar._adjust_alpha(cols, settings.alpha)  # the module's cap and its warning
    limit = settings.max_missing_per_column or 0.8
    holes_columns = min(cols - 1, max(0, math.ceil(rate * cols / limit))) if cols > 1 else 0
    total = _count(rate, int(present.sum()))
    if holes_columns == 0 or total == 0:
        return mask
    rng = _seeded_rng(settings)
    order = rng.permutation(cols)
    hole_columns, candidates = order[:holes_columns], order[holes_columns:]
    mnar_settings = dict(settings.module_kwargs(), seed=_engine_seed(rng))
    mnar_settings.pop("max_missing_per_column", None)
    generator = gapweave.MNARrs(**mnar_settings)
    share, extra = divmod(total, holes_columns)
    for slot, target in enumerate(hole_columns):
        best, driver = 0.0, candidates[0]
        for candidate in candidates:
            r = abs(_correlation(values[:, target], values[:, candidate]))
            if r > best:
                best, driver = r, candidate
        eligible = present[:, target]
        count = min(share + (slot < extra), int(eligible.sum()))
        driven = np.flatnonzero(eligible & present[:, driver])
        by_driver = min(count, driven.size)
        if by_driver:
            rate_here = _rate_for(by_driver, driven.size)
            picked = np.isnan(generator(np.ascontiguousarray(values[driven, driver, None]), rate_here))
            mask[driven[picked[:, 0]], target] = True
        if count > by_driver:
            undriven = np.flatnonzero(eligible & ~present[:, driver])
            mask[_uniform_rows(rng, undriven, count - by_driver), target] = True
    return mask


def _uniform_rows(rng, candidates, count):
    """`count` of the `candidates` (row indices), each set of that size equally likely."""
    if count >= candidates.size:
        return candidates
    if count == 0:
        return candidates[:0]
    # The rows with the `count` smallest of uniform keys: linear in the rows,
    # where sampling without replacement shuffles them all at high rates.
    return candidates[np.argpartition(rng.random(candidates.size), count - 1)[:count]]


def mcar_holes(present, shape, settings):
    """Uniform random holes with the engine's counts."""
    rows, cols = shape
    rng = _seeded_rng(settings)
    mask = np.zeros(shape, dtype=bool)
    if present is None:
        total = _count(settings.alpha, rows * cols)
        share, extra = divmod(total, cols)
        counts = np.full(cols, share)
        counts[rng.choice(cols, extra, replace=False)] += 1
        every = np.arange(rows)
        for column in range(cols):
            mask[_uniform_rows(rng, every, counts[column]), column] = True
        return mask
    for column in range(cols):
        candidates = np.flatnonzero(present[:, column])
        mask[_uniform_rows(rng, candidates, _count(settings.alpha, candidates.size)), column] = True
    return mask
