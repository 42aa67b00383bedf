"""A column's deciding values, and its holes put back in the column's own kind.

The engine ranks 64-bit floats. Every column kind the layer accepts is read
as one float per row (NaN where the cell is missing) that ranks the cells as
the kind ranks them:

- numbers as they are, bools as 0 and 1;
- datetimes and durations by their instants (integer ticks of their unit);
- ordered categoricals by their category order (the codes);
- unordered categoricals, texts and object columns that hold anything but
  numbers by their texts: each distinct text gets its rank in code-point
  order, which is the byte order of its UTF-8 form, the order in which the
  module ranks texts.

A hole is written as the kind's own missing value.
"""

import decimal
import math
import numbers

import numpy as np

# NumPy dtype kinds read as numbers.
_NUMBER_KINDS = "fiub"
_DATETIME_KINDS = "Mm"


class UnsupportedColumn(TypeError):
    pass


def text_ranks(texts):
    """Rank (0, 1, ...) of each text among the distinct texts, in code-point order."""
    texts = np.asarray(texts, dtype=object)
    if texts.size == 0:
        return np.empty(0, dtype=np.float64)
    # NumPy's unicode arrays compare by code point, as Python's str does.
    _, inverse = np.unique(texts.astype(str), return_inverse=True)
    return inverse.reshape(-1).astype(np.float64)


def _is_number(value):
    return isinstance(value, (numbers.Real, decimal.Decimal))


def _from_objects(values, present):
    """Deciding values of an object column: numbers when every present value is one."""
    out = np.full(values.shape[0], np.nan)
    kept = values[present]
    if all(_is_number(value) for value in kept):
        out[present] = np.asarray(kept, dtype=np.float64)
        return out, "number"
    out[present] = text_ranks([str(value) for value in kept])
    return out, "text"


def _object_missing(values):
    missing = np.zeros(values.shape[0], dtype=bool)
    for row, value in enumerate(values):
        if value is None:
            missing[row] = True
        elif isinstance(value, float) and math.isnan(value):
            missing[row] = True
        elif type(value).__name__ in ("NAType", "NaTType"):
            missing[row] = True
        elif isinstance(value, (np.datetime64, np.timedelta64)) and np.isnat(value):
            missing[row] = True
    return missing


def read_numpy_column(values, name):
    """(deciding values, present, kind) of one column of a NumPy array."""
    kind = values.dtype.kind
    if kind in _NUMBER_KINDS:
        out = values.astype(np.float64)
        return out, ~np.isnan(out), "number"
    if kind in _DATETIME_KINDS:
        present = ~np.isnat(values)
        return np.where(present, values.view(np.int64).astype(np.float64), np.nan), present, "number"
    if kind in "US":
        texts = values.astype(str) if kind == "S" else values
        return text_ranks(texts), np.ones(values.shape[0], dtype=bool), "text"
    if kind == "O":
        present = ~_object_missing(values)
        out, what = _from_objects(values, present)
        return out, present, what
    raise UnsupportedColumn(f"column {name!r} has dtype {values.dtype}, which cannot be ranked; "
                            "pass numbers, bools, datetimes, texts or categories")


def read_frame_column(series, name):
    """(deciding values, present, kind) of one column of a data frame."""
    import pandas as pd
    from pandas.api import types

    dtype = series.dtype
    present = ~series.isna().to_numpy(dtype=bool)
    if isinstance(dtype, pd.CategoricalDtype):
        codes = series.cat.codes.to_numpy()
        if dtype.ordered:
            ranks = np.arange(len(dtype.categories), dtype=np.float64)
        else:
            ranks = text_ranks([str(label) for label in dtype.categories])
        out = np.full(len(series), np.nan)
        out[present] = ranks[codes[present]]
        return out, present, "number"
    if isinstance(dtype, np.dtype):
        if dtype.kind == "O":
            out, what = _from_objects(series.to_numpy(), present)
            return out, present, what
        out, _, what = read_numpy_column(series.to_numpy(), name)
        return out, present, what
    if types.is_datetime64_any_dtype(dtype) or types.is_timedelta64_dtype(dtype):
        ticks = np.asarray(series.array.asi8)
        return np.where(present, ticks.astype(np.float64), np.nan), present, "number"
    if types.is_bool_dtype(dtype) or types.is_numeric_dtype(dtype):
        out = series.to_numpy(dtype=np.float64, na_value=np.nan)
        return out, present, "number"
    if types.is_string_dtype(dtype):
        out = np.full(len(series), np.nan)
        out[present] = text_ranks(series.to_numpy(dtype=object)[present])
        return out, present, "text"
    raise UnsupportedColumn(f"column {name!r} has dtype {dtype}, which cannot be ranked; "
                            "pass numbers, bools, datetimes, texts or categories")


def numpy_with_holes(array, mask, kinds):
    """A copy of a 2-D NumPy array with NaN, NaT or None where `mask` is True.

    Float and datetime arrays keep their dtype; int and bool arrays become
    float64 (their values are exact up to 2**53); text arrays become object
    arrays with None in their holes; object arrays take NaN in columns of
    numbers and None in columns of texts.
    """
    kind = array.dtype.kind
    if kind == "f" or kind in _DATETIME_KINDS:
        out = array.copy()
        out[mask] = np.datetime64("NaT") if kind == "M" else (
            np.timedelta64("NaT") if kind == "m" else np.nan)
        return out
    if kind in "iub":
        out = array.astype(np.float64)
        out[mask] = np.nan
        return out
    out = array.astype(object)
    for column, what in enumerate(kinds):
        out[mask[:, column], column] = np.nan if what == "number" else None
    return out


def series_with_holes(series, mask, what):
    """The values of a frame column with its own missing value where `mask` is True."""
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        kind = dtype.kind
        if kind == "f":
            values = series.to_numpy(copy=True)
            values[mask] = np.nan
            return values
        if kind in "iu":
            values = pd.array(series.to_numpy(), dtype=f"{'U' if kind == 'u' else ''}Int{8 * dtype.itemsize}")
        elif kind == "b":
            values = pd.array(series.to_numpy(), dtype="boolean")
        elif kind == "O":
            values = series.to_numpy(copy=True)
            values[mask] = np.nan if what == "number" else None
            return values
        else:
            values = series.array.copy()
    else:
        values = series.array.copy()
    values[mask] = None
    return values
