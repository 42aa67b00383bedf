"""Punch holes (NaN) into two-dimensional tables following a known missingness mechanism.

Two generator classes: ``MNARrs`` (missing not at random: a column's own values
decide which of its cells is blanked) and ``MAR`` (missing at random: a hole
column's cells are blanked by the values of its driver, the most correlated
column without holes). Build a generator with its settings, then call it on a
table: ``MNARrs(mode="MAX", seed=1)(table, 0.1)``. The caller's table is never
modified. User guide: docs/index.md in the source tree.

Internal faults raise ``PanicException``, which derives from ``BaseException``
(so ``except Exception`` does not catch it) and is not an attribute of this
module; its message is also printed on standard error. The generator stays
usable afterwards.

``gapweave_tools.punch``, installed with this module, does the same on the
caller's own table: it keeps its index, labels and dtypes, takes other
dtypes and tables that already hold holes, adds MCAR holes and returns the
mask of the new holes (docs/tools.md).
"""

from typing import SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

__all__ = ["MNARrs", "MAR"]

_Real: TypeAlias = SupportsFloat | SupportsIndex
# numpy.ndarray (two-dimensional) or pandas.DataFrame: a call returns the kind it was given.
_Table = TypeVar("_Table")

@final
class MNARrs:
    """Missing not at random: a column's own values decide which of its cells is blanked.

    A call blanks ceil(alpha * rows * cols) cells in passes of at most one cell
    per column, so every column gets the same number of holes, give or take one.
    Under mode "GM" each pass blanks the remaining value nearest a target drawn
    from a normal distribution centred on the column's quantile ``mean`` with
    standard deviation ``variance * (max - min)``; "MAX" blanks the smallest
    remaining value and "MIN" the largest (ties: the earliest row).
    """

    def __new__(
        cls,
        mean: _Real | None = None,
        variance: _Real | None = None,
        mode: str = "GM",
        seed: SupportsIndex | None = None,
        n_workers: SupportsIndex | None = None,
    ) -> MNARrs:
        """Build a generator; its settings are fixed and cannot be read back.

        Args:
            mean: quantile level (0 to 1) of each column's centre; default 0.5,
                the median. With an odd number of rows, 1 or more fails at the
                call with PanicException "index out of bounds: ...".
            variance: factor on each column's range (max - min) that gives the
                spread of the "GM" targets; default 0, every target is the
                centre and the holes are the values nearest it, whatever the seed.
            mode: "GM" (default), "MAX" (smallest values first) or "MIN"
                (largest values first), in any case.
            seed: integer 0 ... 2**64 - 1 for reproducible holes, whatever
                ``n_workers`` is; each call continues the object's stream.
                Default: the real-time clock in nanoseconds.
            n_workers: number of worker threads the object starts now and
                keeps until it is dropped; default 6. The holes don't depend on it.
                A forked child starts its own at its first call and continues
                the stream it inherited.

        Raises:
            TypeError: "argument '<name>': ..." for a value of the wrong type
                (None for ``mode``; a float for ``seed`` or ``n_workers``).
            OverflowError: ``seed`` or ``n_workers`` negative ("can't convert
                negative int to unsigned") or too large ("int too big to
                convert"; ``n_workers`` from 2**32: "out of range integral type
                conversion attempted").
            PanicException: "assertion failed: num_threads > 0" for
                ``n_workers=0``; 'Unknown mode parameter: <mode> (Alloed:
                ["GM", "MAX", "MIN"])' for any other mode text; "failed to
                spawn thread: <reason> (os error <n>)" when the system starts
                no more threads (the workers already started have ended).
        """
        ...
    def __call__(self, data: _Table, alpha: _Real) -> _Table:
        """Return a new table of the same kind with ceil(alpha * rows * cols) cells missing.

        Args:
            data: a two-dimensional numpy.ndarray (float64, or object for text
                columns) or a pandas.DataFrame, without NaN or infinite values.
            alpha: fraction of all cells to blank; 0, negative or NaN blanks
                nothing, above 1 blanks everything.

        Returns:
            float64 array: a new float64 array, holes NaN.
            object array: a new object array; columns holding a non-number keep
                their texts, with the text "NaN" for holes; all-number columns
                hold floats, holes nan.
            DataFrame: a new frame with the index 0 ... rows-1 and the column
                labels as texts; numeric columns float64 with NaN holes, text
                columns object with None holes.
            Text columns are ranked by codes in the byte order of their UTF-8
            texts; missing texts are the ordinary texts "None", "nan", "<NA>".

        Raises:
            PanicException: "Sample is nan" when a visited column holds NaN
                (or +-inf with variance 0); "index out of bounds: ..." for a
                table without rows or a ``mean`` past the end of a column.
            TypeError: "Unsupported type: '<type>'. Supported types are:
                numpy.ndarray, pandas.DataFrame" (lists, Series, 1-D or 3-D
                arrays); "argument 'alpha': ..." for a non-number.
            BufferError: "buffer contents are not compatible with f64" for int,
                float32 and bool arrays: pass ``data.astype(float)``.
            ValueError: "could not convert string to float: ..." (from pandas)
                for Categorical and "string" columns: convert them to object.
            KeyError: for a DataFrame with non-text labels and a text column:
                pass ``df.rename(columns=str)``.
            RuntimeError: "Already borrowed" when the object is already in a
                call on another thread (one call at a time per object).
            KeyboardInterrupt: on Ctrl-C (or whatever a signal handler raises)
                during the call, within a fraction of a second; the table is
                untouched and the object stays usable.
        """
        ...
    def __repr__(self) -> str:
        """Return the text MNAR[<mean>], for example MNAR[0.5]."""
        ...

@final
class MAR:
    """Missing at random: hole columns are blanked by the values of their most correlated other column.

    A call caps alpha (see ``_adjust_alpha``), picks ceil(alpha * cols /
    max_missing_per_column) hole columns at random, gives each its driver (the
    column without holes whose values correlate most strongly with it: largest
    absolute Pearson coefficient; column 0 when none correlates), and blanks
    ceil(alpha * rows * cols) cells of the hole columns in passes of at most one
    cell per hole column. The modes choose the row by the driver's values: "GM"
    the value nearest a target drawn around the driver's centre, "MAX" the
    smallest, "MIN" the largest.
    """

    def __new__(
        cls,
        mean: _Real | None = None,
        variance: _Real | None = None,
        max_missing_per_column: _Real = 0.8,
        mode: str = "GM",
        seed: SupportsIndex | None = None,
        n_workers: SupportsIndex | None = None,
    ) -> MAR:
        """Build a generator; its settings are fixed and cannot be read back.

        Args:
            mean, variance, mode, n_workers: as for MNARrs, applied to the
                driver columns.
            max_missing_per_column: about the share of each hole column that is
                blanked; sets the number of hole columns and caps alpha at
                max_missing_per_column * (1 - 1 / cols). Default 0.8.
            seed: as for MNARrs; without one, the operating system's random
                source. The seed decides the hole columns even with variance 0.

        Raises:
            The same as MNARrs; None for ``max_missing_per_column`` is a
            TypeError "argument 'max_missing_per_column': ...".
        """
        ...
    def __call__(self, data: _Table, alpha: _Real) -> _Table:
        """Return a new table of the same kind with holes in the hole columns only.

        Args:
            data: as for MNARrs. NaN is accepted except in a driver column; but
                a column holding NaN never drives, and a hole column holding
                NaN is driven by column 0.
            alpha: fraction of all cells to blank, lowered to the cap with a
                UserWarning "Warning: Missing rate too high to ensure MAR
                properties! Maximum missing rate: <cap>".

        Returns:
            As for MNARrs. Without any hole column (an infinite
            ``max_missing_per_column``) the table comes back without holes.

        Raises:
            PanicException: "Sample is nan" when a driver column holds NaN (or
                +-inf with variance 0); "Failed to calculate
                pearson_correlation: EmptyInput" for a table without rows or
                columns; "mid > len" when the settings ask for more hole
                columns than there are.
            TypeError, BufferError, ValueError, KeyError, RuntimeError,
                KeyboardInterrupt: as for MNARrs.
        """
        ...
    def _adjust_alpha(self, n_cols: SupportsIndex, alpha: _Real) -> float:
        """The rate a call on a table of n_cols columns uses.

        Returns alpha, or the cap max_missing_per_column - max_missing_per_column
        / n_cols when alpha exceeds it, with the same UserWarning as a call.

        Raises:
            RuntimeError: "Already mutably borrowed" while the object is in a call.
        """
        ...
    def __repr__(self) -> str:
        """Return the text MAR, whatever the settings."""
        ...
