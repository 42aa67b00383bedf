"""The caller's table on both sides of the engine.

A table comes in as a NumPy array or a pandas DataFrame. It is read into the
deciding matrix, one float64 column per column the mechanism sees (see
``_columns``), and the mask of new holes that the engine's choice gives is
put back into a copy of the caller's own table, which keeps its index,
labels and dtypes.
"""

import math
import sys

import numpy as np

from ._columns import UnsupportedColumn, numpy_with_holes, read_frame_column, read_numpy_column, series_with_holes


def _is_frame(table):
    # A frame can only exist once pandas is imported, so pandas is never
    # imported here for an array.
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(table, pandas.DataFrame)


def _copy_on_write():
    """Whether pandas shares unchanged columns between frames safely."""
    import pandas as pd
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    try:
        return bool(pd.get_option("mode.copy_on_write"))
    except (KeyError, ValueError, AttributeError):
        return False


class Deciding:
    """The deciding matrix of the columns a mechanism sees.

    ``values`` is a C-ordered rows x len(positions) float64 array with NaN in
    the missing cells; ``present`` is None when no cell is missing (the
    engine then reads ``values`` as it is) and the boolean matrix of present
    cells otherwise.
    """

    def __init__(self, values, present, positions, names, all_finite=False):
        self.values = values
        self.present = present
        self.positions = positions
        self.names = names
        self.all_finite = all_finite

    def check_finite(self):
        """A ValueError naming the first column that holds an infinity."""
        if self.all_finite:
            return
        finite = np.isfinite(self.values)
        if self.present is not None:
            finite |= ~self.present
        bad = np.flatnonzero(~finite.all(axis=0))
        if bad.size:
            raise ValueError(f"column {self.names[bad[0]]!r} holds an infinite value; MNAR and MAR "
                             "rank cells by their distance to a target and need finite values")


def _float_deciding(values, positions, names):
    """The deciding matrix of float64 values, found complete with one quick pass where it is."""
    # A finite sum proves every cell finite (a NaN or an infinity makes the
    # sum NaN or infinite); only otherwise are the cells looked at one by one.
    with np.errstate(over="ignore", invalid="ignore"):
        if math.isfinite(values.sum()):
            return Deciding(values, None, positions, names, all_finite=True)
    present = ~np.isnan(values)
    return Deciding(values, None if present.all() else present, positions, names)


class ArrayTable:
    """A two-dimensional NumPy array."""

    def __init__(self, array):
        self.array = array
        self.rows, self.cols = array.shape
        self.kinds = None

    def positions(self, columns):
        if columns is None:
            return list(range(self.cols))
        labels = [columns] if np.isscalar(columns) else list(columns)
        unknown = [label for label in labels
                   if isinstance(label, bool) or not isinstance(label, (int, np.integer))
                   or not -self.cols <= label < self.cols]
        if unknown:
            raise KeyError(f"columns not in the table (an array of {self.cols} columns takes "
                           f"indices): {unknown!r}")
        return sorted({int(label) % self.cols for label in labels})

    def name(self, position):
        return position

    def deciding(self, positions):
        array = self.array
        if array.dtype == np.float64:
            values = np.ascontiguousarray(array if len(positions) == self.cols else array[:, positions])
            self.kinds = ["number"] * self.cols
            return _float_deciding(values, positions, positions)
        values = np.empty((self.rows, len(positions)))
        present = np.empty((self.rows, len(positions)), dtype=bool)
        self.kinds = ["number"] * self.cols
        for slot, position in enumerate(positions):
            column, present[:, slot], self.kinds[position] = read_numpy_column(array[:, position], position)
            values[:, slot] = column
        return Deciding(values, None if present.all() else present, positions, positions)

    def with_holes(self, mask, engine_result=None):
        # The engine's result is the caller's float64 array with the holes
        # written; any other dtype is blanked in a copy of its own.
        if engine_result is not None and self.array.dtype == np.float64:
            return engine_result
        if self.kinds is None:
            self.kinds = ["number"] * self.cols
        return numpy_with_holes(self.array, mask, self.kinds)

    def mask_like(self, mask):
        return mask


class FrameTable:
    """A pandas DataFrame: positions index its columns, labels may repeat."""

    def __init__(self, frame):
        self.frame = frame
        self.rows, self.cols = frame.shape
        self.kinds = [None] * self.cols

    def positions(self, columns):
        if columns is None:
            return list(range(self.cols))
        import pandas as pd
        labels_index = self.frame.columns
        single = not isinstance(columns, (list, tuple, set, np.ndarray, pd.Index)) or (
            isinstance(columns, tuple) and isinstance(labels_index, pd.MultiIndex))
        found, unknown = set(), []
        every = np.arange(self.cols)
        for label in [columns] if single else list(columns):
            try:
                found.update(int(p) for p in np.atleast_1d(every[labels_index.get_loc(label)]))
            except (KeyError, TypeError):
                unknown.append(label)
        if unknown:
            raise KeyError(f"columns not in the frame: {unknown!r}")
        return sorted(found)

    def name(self, position):
        return self.frame.columns[position]

    def _all_float64(self, positions):
        dtypes = self.frame.dtypes
        return all(isinstance(dtypes.iloc[p], np.dtype) and dtypes.iloc[p] == np.float64 for p in positions)

    def deciding(self, positions):
        names = [self.name(p) for p in positions]
        if self._all_float64(positions):
            part = self.frame if len(positions) == self.cols else self.frame.iloc[:, positions]
            values = np.ascontiguousarray(part.to_numpy(dtype=np.float64))
            for p in positions:
                self.kinds[p] = "number"
            return _float_deciding(values, positions, names)
        values = np.empty((self.rows, len(positions)))
        present = np.empty((self.rows, len(positions)), dtype=bool)
        for slot, position in enumerate(positions):
            column, present[:, slot], self.kinds[position] = read_frame_column(
                self.frame.iloc[:, position], names[slot])
            values[:, slot] = column
        return Deciding(values, None if present.all() else present, positions, names)

    def with_holes(self, mask, engine_result=None):
        import pandas as pd
        frame = self.frame
        touched = np.flatnonzero(mask.any(axis=0))
        if (engine_result is not None and touched.size == self.cols and self._all_float64(range(self.cols))):
            # Every column is float64 and takes holes: the engine's result is
            # the whole table, so it becomes the frame without another copy.
            out = pd.DataFrame(engine_result, index=frame.index, columns=frame.columns, copy=False)
        else:
            out = frame.copy(deep=not _copy_on_write())
            for position in touched:
                values = series_with_holes(frame.iloc[:, position], mask[:, position], self.kinds[position])
                # A Series on the frame's own index keeps its dtype (pandas
                # would read an object array of texts as strings) and is
                # taken as it is, without aligning.
                out.isetitem(int(position), pd.Series(values, index=out.index, dtype=values.dtype, copy=False))
        out.attrs = dict(frame.attrs)
        out.flags.allows_duplicate_labels = frame.flags.allows_duplicate_labels
        return out

    def mask_like(self, mask):
        import pandas as pd
        return pd.DataFrame(mask, index=self.frame.index, columns=self.frame.columns, copy=False)


def wrap(table):
    """The adapter for a caller's table, after the checks of its shape."""
    if _is_frame(table):
        adapter = FrameTable(table)
    elif isinstance(table, np.ndarray):
        if table.ndim != 2:
            raise ValueError(f"table must be two-dimensional (rows x columns), not {table.ndim}-dimensional")
        adapter = ArrayTable(table)
    else:
        raise TypeError("table must be a two-dimensional numpy.ndarray or a pandas.DataFrame, "
                        f"not {type(table).__name__}")
    if adapter.rows == 0 or adapter.cols == 0:
        raise ValueError(f"table is empty ({adapter.rows} rows x {adapter.cols} columns); "
                         "it needs at least one row and one column")
    return adapter


__all__ = ["wrap", "UnsupportedColumn"]
