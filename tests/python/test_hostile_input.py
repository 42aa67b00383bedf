"""Hostile and odd input: the module never crashes or hangs, answers with the
exception that belongs to the input, and never changes the caller's table.

Generated cases use ``MNARrs(mode="MAX", variance=0)`` with an alpha just
below ``1 / rows``: the call then asks for exactly one hole per column, the
first pass visits every column, every target equals the column's centre, and
each hole lands on the column's smallest value (the earliest row on ties).
That makes the expected result of any accepted table easy to state.
"""

import math
import sys
import threading
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

# Many cases here describe shapes and views past a 32-bit machine's sizes,
# which NumPy there refuses to even build; the size checks on such machines
# are covered by the table-size tests.
if sys.maxsize <= 2**32:
    pytest.skip("hostile shapes need 64-bit sizes", allow_module_level=True)

import gapweave
from helpers import (HANG_GUARD, MISALIGNED, NOT_F64, UNDER_ASAN, bits, shortest_text, unaligned,
                     unsupported)

pd = pytest.importorskip("pandas")

NO_ROWS = "index out of bounds: the len is 0 but the index is 0"
EMPTY_MAR = "Failed to calculate pearson_correlation: EmptyInput"
QUIET_NAN_BITS = 0x7FF8000000000000

# Under AddressSanitizer every call is several times slower; the same paths
# run with fewer generated examples there.
SETTINGS = settings(
    max_examples=40 if UNDER_ASAN else 120,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def guarded(function, *args):
    """Runs function(*args) on a helper thread: ("ok", result) or ("error", exception).

    The join timeout only guards against a hang; on the free-threaded
    interpreter it turns a hang into a failure instead of a stuck run.
    """
    box = {}

    def body():
        try:
            box["ok"] = function(*args)
        except BaseException as error:  # noqa: BLE001 - PanicException included
            box["error"] = error

    thread = threading.Thread(target=body, daemon=True)
    thread.start()
    thread.join(HANG_GUARD)
    assert not thread.is_alive(), "the call hung"
    if "error" in box:
        return "error", box["error"]
    return "ok", box["ok"]


def outcome(function, *args):
    """Like `guarded`, with warnings recorded and handed back as texts."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kind, value = guarded(function, *args)
    return kind, value, [str(w.message) for w in caught if w.category is UserWarning]


def expect_error(function, args, error_type, message=None, prefix=None):
    kind, value, _ = outcome(function, *args)
    assert kind == "error", f"expected {error_type.__name__}, got a result"
    assert type(value) is error_type, f"{type(value).__name__}: {value}"
    if message is not None:
        assert str(value) == message
    if prefix is not None:
        assert str(value).startswith(prefix), str(value)
    return value


# --- what "unchanged" means ---------------------------------------------------


def same_items(now, then):
    """Item by item: the same object, equal, or both NaN."""
    now, then = list(now), list(then)
    return len(now) == len(then) and all(
        a is b or (type(a) is type(b) and (a == b or (a != a and b != b)))
        for a, b in zip(now, then)
    )


def memory_owner(array):
    """The array that owns the memory a view reads."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


class Snapshot:
    """Everything about a caller's table that a call could disturb.

    An array is judged by the memory it reads (its owner's, so a broadcast
    view naming trillions of cells costs nothing to record), a frame by its
    labels, index, dtypes and every cell."""

    def __init__(self, table):
        self.table = table
        self.kind = type(table)
        if isinstance(table, np.ndarray):
            self.meta = self.array_meta(table)
            owner = memory_owner(table)
            self.owner = owner
            self.owner_meta = self.array_meta(owner)
            if owner.dtype.hasobject:
                self.cells = list(owner.ravel(order="K"))
            else:
                self.raw = self.contents(owner)
        elif isinstance(table, pd.DataFrame):
            self.columns = list(table.columns)
            self.index = list(table.index)
            self.dtypes = list(table.dtypes)
            self.cells = [table.iloc[:, j].tolist() for j in range(table.shape[1])]

    @staticmethod
    def contents(array):
        # An owner that itself names more cells than memory holds reads a
        # few real ones through zero strides; its metadata says it all.
        return array.tobytes(order="A") if array.size <= 10**6 else None

    @staticmethod
    def array_meta(array):
        return (array.shape, array.strides, array.dtype, array.flags.writeable,
                array.flags.aligned, array.__array_interface__["data"][0])

    def check(self):
        table = self.table
        assert type(table) is self.kind
        if isinstance(table, np.ndarray):
            assert self.array_meta(table) == self.meta
            owner = self.owner
            assert self.array_meta(owner) == self.owner_meta
            if owner.dtype.hasobject:
                assert all(a is b for a, b in zip(owner.ravel(order="K"), self.cells))
            else:
                assert self.contents(owner) == self.raw
        elif isinstance(table, pd.DataFrame):
            assert same_items(table.columns, self.columns)
            assert same_items(table.index, self.index)
            assert list(table.dtypes) == self.dtypes
            assert table.shape[1] == len(self.cells)
            for j, cells in enumerate(self.cells):
                assert same_items(table.iloc[:, j].tolist(), cells)


def call_and_check(gen, table, alpha):
    """The call's outcome; the table must come out of it unchanged."""
    snapshot = Snapshot(table)
    kind, value, caught = outcome(gen, table, alpha)
    snapshot.check()
    return kind, value, caught


# --- the expected result of a MAX pass with one hole per column ---------------


def one_hole_per_column_alpha(rows):
    return (1.0 / rows) * (1.0 - 1e-9) if rows else 0.5


def max_mode_generator():
    return gapweave.MNARrs(mode="MAX", variance=0.0, seed=3, n_workers=2)


def total_order_keys(values):
    as_int = np.ascontiguousarray(values, dtype=np.float64).view(np.int64)
    return as_int ^ ((as_int >> 63) & np.int64(0x7FFFFFFFFFFFFFFF))


def spread_is_nan(values):
    """Whether 0 × (largest − smallest) is NaN: a NaN, an infinity or a range past the doubles."""
    with np.errstate(all="ignore"):
        return bool(np.isnan(values).any() or not np.isfinite(values.max() - values.min()))


def check_float64_outcome(table, kind, value, PanicException):
    rows, cols = table.shape
    if rows == 0 and cols > 0:
        assert kind == "error" and type(value) is PanicException and str(value) == NO_ROWS
        return
    logical = np.array(table, dtype=np.float64)
    if any(spread_is_nan(logical[:, c]) for c in range(cols)):
        assert kind == "error", "a column without a finite range gave a result"
        assert type(value) is PanicException and str(value) == "Sample is nan"
        return
    assert kind == "ok", f"{type(value).__name__}: {value}"
    assert type(value) is np.ndarray and value.dtype == np.float64 and value.shape == (rows, cols)
    expected = bits(logical).copy()
    for c in range(cols):
        expected[int(np.argmin(total_order_keys(logical[:, c]))), c] = QUIET_NAN_BITS
    assert np.array_equal(bits(value), expected)


# --- arrays of every dtype and dimension count --------------------------------


def any_dtype():
    return st.one_of(
        hnp.scalar_dtypes(),
        hnp.floating_dtypes(endianness="?"),
        hnp.integer_dtypes(endianness="?"),
        hnp.complex_number_dtypes(endianness="?"),
        hnp.datetime64_dtypes(endianness="?"),
        hnp.timedelta64_dtypes(endianness="?"),
        hnp.byte_string_dtypes(max_len=3),
        hnp.unicode_string_dtypes(max_len=3),
        hnp.array_dtypes(max_size=2),
        st.just(np.dtype(np.float64)),
        st.just(np.dtype(object)),
    )


def object_cells():
    return st.one_of(
        st.floats(),
        st.integers(-(2**70), 2**70),
        st.text(max_size=3),
        st.none(),
        st.booleans(),
        st.sampled_from([RaisesInFloat(), NonFloatFloat(), IndexOnly(), [1, 2]]),
    )


def transformed(draw, array):
    """The array itself or a view of it with an odd layout."""
    how = draw(st.sampled_from(["plain", "read-only", "reversed", "transposed", "unaligned",
                                "broadcast", "strided"]))
    if how == "read-only":
        array = array.copy()
        array.flags.writeable = False
    elif how == "reversed" and array.ndim:
        array = array[(slice(None, None, -1),) * array.ndim]
    elif how == "transposed":
        array = array.T
    elif how == "unaligned" and not array.dtype.hasobject and array.dtype.itemsize > 1:
        array = unaligned(array)
    elif how == "broadcast" and array.ndim == 2 and array.shape[0]:
        rows = draw(st.integers(0, 5))
        array = np.broadcast_to(array[:1], (rows, array.shape[1]))
    elif how == "strided" and array.ndim == 2:
        array = array[::2, ::-1]
    return array


@st.composite
def any_array(draw):
    dtype = draw(any_dtype())
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4))
    if dtype.hasobject:
        array = draw(hnp.arrays(object, shape, elements=object_cells(), fill=st.nothing()))
    else:
        array = draw(hnp.arrays(dtype, shape))
    return transformed(draw, array)


@SETTINGS
@given(table=any_array())
def test_arrays_of_every_dtype_and_dimension_count(table, PanicException):
    kind, value, _ = call_and_check(max_mode_generator(), table, one_hole_per_column_alpha(
        table.shape[0] if table.ndim else 0))
    if table.ndim != 2:
        assert kind == "error" and type(value) is TypeError
        assert str(value) == unsupported("ndarray")
    elif table.dtype == np.float64:
        check_float64_outcome(table, kind, value, PanicException)
    elif table.dtype == object:
        check_object_outcome(table, kind, value, PanicException)
    else:
        assert kind == "error"
        try:
            memoryview(table)
        except BaseException as refusal:  # noqa: BLE001 - NumPy's own refusal passes through
            assert type(value) is type(refusal) and str(value) == str(refusal)
        else:
            assert type(value) is BufferError and str(value) == NOT_F64


@st.composite
def float64_views(draw):
    rows = draw(st.integers(0, 6))
    cols = draw(st.integers(0, 5))
    finite = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e300, max_value=1e300)
    values = draw(hnp.arrays(np.float64, (rows, cols), elements=st.one_of(finite, st.floats())))
    how = draw(st.sampled_from(["reversed rows", "reversed both", "zero row stride",
                                "zero column stride", "negative row stride", "fortran",
                                "unaligned", "read-only", "every other"]))
    base = np.ascontiguousarray(values)
    s = np.lib.stride_tricks
    if how == "reversed rows":
        view = base[::-1]
    elif how == "reversed both":
        view = base[::-1, ::-1]
    elif how == "zero row stride" and rows:
        view = s.as_strided(base[:1], shape=(rows + 2, cols), strides=(0, base.strides[1]),
                            writeable=False)
    elif how == "zero column stride" and rows and cols:
        column = np.ascontiguousarray(base[:, :1])
        view = s.as_strided(column, shape=(rows, cols + 1), strides=(column.strides[0], 0),
                            writeable=False)
    elif how == "negative row stride" and rows:
        view = s.as_strided(base[rows - 1:], shape=(rows, cols), strides=(-base.strides[0], 8),
                            writeable=False)
    elif how == "fortran":
        view = np.asfortranarray(base)
    elif how == "unaligned":
        view = unaligned(base)
    elif how == "read-only":
        view = base.copy()
        view.flags.writeable = False
    elif how == "every other":
        big = np.repeat(np.repeat(base, 2, axis=0), 3, axis=1)
        view = big[::2, ::3]
    else:
        view = base
    return view


@SETTINGS
@given(table=float64_views())
def test_float64_views_with_any_strides_read_their_logical_layout(table, PanicException):
    kind, value, _ = call_and_check(max_mode_generator(), table,
                                    one_hole_per_column_alpha(table.shape[0]))
    check_float64_outcome(table, kind, value, PanicException)


# Sizes past what a 64-bit machine's memory holds; on a 32-bit machine NumPy
# cannot even describe such views, and the size checks there are covered by
# the table-size tests.
WIDE_WORDS = sys.maxsize > 2**32
needs_64_bit = pytest.mark.skipif(not WIDE_WORDS, reason="views this large need 64-bit sizes")


@needs_64_bit
@pytest.mark.parametrize(
    "make_table",
    [
        lambda: np.broadcast_to(np.float64(2.5), (10**7, 10**7)),
        lambda: np.broadcast_to(np.array("x", dtype=object), (10**7, 10**7)),
        lambda: np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**30, 2**29), strides=(0, 0)),
    ],
    ids=["float64", "object", "strided"],
)
def test_views_naming_more_cells_than_memory_holds_are_refused(make_table):
    table = make_table()
    for gen in (gapweave.MNARrs(seed=1, n_workers=1), gapweave.MAR(seed=1, n_workers=1)):
        kind, value, _ = call_and_check(gen, table, 0.1)
        assert kind == "error" and type(value) is MemoryError


@pytest.mark.parametrize("dtype", [np.float64, object, np.int64])
@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (4, 0), (0, 10**6), (10**12, 0)])
def test_zero_rows_or_columns(dtype, shape, PanicException):
    table = np.empty(shape, dtype=dtype)
    rows, cols = shape
    mnar = call_and_check(gapweave.MNARrs(seed=1, n_workers=2), table, 0.5)
    mar = call_and_check(gapweave.MAR(seed=1, n_workers=2), table, 0.5)
    if dtype is np.int64:
        for kind, value, _ in (mnar, mar):
            assert kind == "error" and type(value) is BufferError and str(value) == NOT_F64
        return
    kind, value, _ = mnar
    if rows == 0 and cols > 0:
        assert kind == "error" and type(value) is PanicException and str(value) == NO_ROWS
    else:
        assert kind == "ok" and type(value) is np.ndarray and value.shape == shape
        assert value.dtype == np.dtype(dtype)
    kind, value, caught = mar
    assert kind == "error" and type(value) is PanicException and str(value) == EMPTY_MAR
    if cols == 0:
        # The rate cap of a table without columns is −inf.
        assert caught == ["Warning: Missing rate too high to ensure MAR properties! "
                          "Maximum missing rate: -inf"]


# --- object arrays whose cells misbehave --------------------------------------


class RaisesInFloat:
    def __float__(self):
        raise ValueError("no number here")

    def __str__(self):
        return "raises-in-float"


class RaisesTypeErrorInFloat:
    def __float__(self):
        raise TypeError("not a number")

    def __str__(self):
        return "typeerror-in-float"


class InterruptsInFloat:
    def __float__(self):
        raise KeyboardInterrupt

    def __str__(self):
        return "interrupts-in-float"


class NonFloatFloat:
    def __float__(self):
        return "3.5"

    def __str__(self):
        return "non-float-float"


class IndexOnly:
    def __index__(self):
        return 7

    def __str__(self):
        return "index-only"


class RaisesInBoth:
    def __float__(self):
        raise ValueError("no number here")

    def __str__(self):
        raise RuntimeError("no text either")


class RaisesInStrOnly:
    def __float__(self):
        return 2.0

    def __str__(self):
        raise RuntimeError("no text")


class SurrogateText:
    def __str__(self):
        return "\ud800"


def as_number(cell):
    """The host's float conversion of a cell, or None where it fails."""
    if isinstance(cell, (str, bytes, bytearray)):
        return None
    try:
        return float(cell)
    except BaseException:  # noqa: BLE001 - any failure switches the column to text
        return None


class CannotConvert(Exception):
    pass


def read_object_column(cells):
    """("numbers", floats) or ("texts", texts); CannotConvert for a cell without text."""
    numbers = []
    for at, cell in enumerate(cells):
        number = as_number(cell)
        if number is None:
            texts = [shortest_text(n) for n in numbers]
            for later in cells[at:]:
                try:
                    text = str(later)
                    text.encode("utf-8")
                except Exception as error:  # noqa: BLE001
                    raise CannotConvert from error
                texts.append(text)
            return "texts", texts
        numbers.append(number)
    return "numbers", numbers


def check_object_outcome(table, kind, value, PanicException):
    rows, cols = table.shape
    columns = []
    for c in range(cols):
        if rows == 0:
            break
        try:
            columns.append(read_object_column([table[r, c] for r in range(rows)]))
        except CannotConvert:
            assert kind == "error" and type(value) is PanicException
            assert str(value).startswith("cant convert to str")
            return
    if rows == 0 and cols > 0:
        assert kind == "error" and type(value) is PanicException and str(value) == NO_ROWS
        return
    if any(what == "numbers" and spread_is_nan(np.array(cells, dtype=np.float64))
           for what, cells in columns):
        assert kind == "error" and type(value) is PanicException and str(value) == "Sample is nan"
        return
    assert kind == "ok", f"{type(value).__name__}: {value}"
    assert type(value) is np.ndarray and value.dtype == object and value.shape == (rows, cols)
    for c, (what, cells) in enumerate(columns):
        got = [value[r, c] for r in range(rows)]
        if what == "numbers":
            hole = int(np.argmin(total_order_keys(np.array(cells, dtype=np.float64))))
            assert all(type(x) is float for x in got)
            assert math.isnan(got[hole])
            assert bits(np.delete(np.array(got), hole)).tolist() == \
                bits(np.delete(np.array(cells), hole)).tolist()
        else:
            smallest = min(cells, key=lambda text: text.encode("utf-8"))
            hole = cells.index(smallest)
            assert got == cells[:hole] + ["NaN"] + cells[hole + 1:]


@pytest.mark.parametrize(
    "cells",
    [
        [1.0, RaisesInFloat(), 0.5],
        [RaisesTypeErrorInFloat(), 2.0, -1.0],
        [3.0, InterruptsInFloat(), 1.0],
        [NonFloatFloat(), 1.5, 1.5],
        [IndexOnly(), 2.0, 9.0],
        [0.25, RaisesInStrOnly(), 9.0],
        [RaisesInStrOnly(), "text", 9.0],
        [1.0, 2.0, RaisesInBoth()],
        [RaisesInBoth(), 1.0, 2.0],
        ["a", 1.0, SurrogateText()],
        [10**400, 1.0, 2.0],
        [float("nan"), "a", 1.0],
        [None, 1.0, 0.0],
    ],
    ids=lambda cells: "-".join(type(c).__name__ for c in cells),
)
def test_object_cells_that_refuse_to_be_numbers_or_texts(cells, PanicException):
    table = np.empty((3, 2), dtype=object)
    table[:, 0] = cells
    table[:, 1] = [5.0, 4.0, 6.0]
    kind, value, _ = call_and_check(max_mode_generator(), table, one_hole_per_column_alpha(3))
    check_object_outcome(table, kind, value, PanicException)


def test_cells_that_call_back_into_the_busy_generator(PanicException):
    gen = gapweave.MNARrs(mode="MAX", seed=2, n_workers=2)
    seen = []

    class CallsBack:
        def __float__(self):
            try:
                gen(np.zeros((2, 2)), 0.5)
            except RuntimeError as error:
                seen.append(str(error))
                raise
            return 0.0

        def __str__(self):
            seen.append(repr(gen))
            return "never"

    table = np.array([[CallsBack(), 1.0]], dtype=object)
    error = expect_error(gen, (table, 1.0), PanicException,
                         prefix="cant convert to str: RuntimeError: Already mutably borrowed")
    assert error is not None
    assert seen == ["Already borrowed"]
    # Nothing is left borrowed.
    assert repr(gen) == "MNAR[0.5]"
    assert np.isnan(gen(np.ones((2, 2)), 1.0)).all()


# --- objects pretending to be arrays ------------------------------------------


class Dtype:
    def __init__(self, name):
        self.name = name


class Pretender:
    """Calls itself "ndarray" and tells whatever it is told to."""

    def __init__(self, shape, dtype="object", cell=None, buffer=None):
        self._shape = shape
        self._dtype = dtype
        self._cell = cell
        self._buffer = buffer

    @property
    def shape(self):
        if isinstance(self._shape, BaseException):
            raise self._shape
        return self._shape

    @property
    def dtype(self):
        if self._dtype is AttributeError:
            raise AttributeError("no dtype")
        return Dtype(self._dtype)

    def __getitem__(self, key):
        if self._cell is None:
            raise IndexError(f"no cell {key}")
        return self._cell(key)

    def __buffer__(self, flags):
        if self._buffer is None:
            raise BufferError("no buffer to give")
        return memoryview(self._buffer)


Pretender.__qualname__ = "ndarray"


class Nested:
    class ndarray(Pretender):
        pass


def shape_entries_then_failure():
    yield 2
    raise LookupError("shape ran dry")


HAS_BUFFER_HOOK = sys.version_info >= (3, 12)

class ShapeRunsDry(Pretender):
    @property
    def shape(self):
        return shape_entries_then_failure()


ShapeRunsDry.__qualname__ = "ndarray"

PRETENDERS = [
    (Pretender(None), TypeError, "'NoneType' object is not iterable"),
    (Pretender(ZeroDivisionError("shape")), ZeroDivisionError, "shape"),
    (ShapeRunsDry(None), LookupError, "shape ran dry"),
    (Pretender((-1, 2)), OverflowError, None),
    (Pretender((2**70, 2)), OverflowError, None),
    (Pretender((1.5, 2)), TypeError, "'float' object cannot be interpreted as an integer"),
    (Pretender((4,)), TypeError, unsupported("ndarray")),
    (Pretender((2, 2, 2)), TypeError, unsupported("ndarray")),
    (Pretender(()), TypeError, unsupported("ndarray")),
    (Pretender((2, 2), dtype=AttributeError), AttributeError, "no dtype"),
    (Pretender((2, 2), dtype=5), TypeError, None),
    pytest.param(Pretender((10**9, 10**9)), MemoryError, None, marks=needs_64_bit),
    pytest.param(Pretender((10**6, 10**7), cell=lambda key: 1.0), MemoryError, None, marks=needs_64_bit),
    (Pretender((2**40, 2**40)), ValueError,
     "table of 1099511627776 rows and 1099511627776 columns is too large"),
    (Nested.ndarray((2, 2)), TypeError, unsupported("Nested.ndarray")),
]
if HAS_BUFFER_HOOK:
    PRETENDERS += [
        (Pretender((2, 2), dtype="float64"), BufferError, "no buffer to give"),
        (Pretender((2, 2), dtype="float64", buffer=np.zeros(4)), ValueError,
         "Expected a 2-dimensional array"),
        (Pretender((3, 3), dtype="float64", buffer=np.zeros((2, 2))), BufferError,
         "slice to copy to (of length 9) does not match buffer length of 4"),
        (Pretender((2, 2), dtype="float64", buffer=unaligned(np.zeros((2, 2)))), BufferError,
         MISALIGNED),
        (Pretender((2, 2), dtype="int64", buffer=np.zeros((2, 2), np.int64)), BufferError, NOT_F64),
        (Pretender((2, 2), dtype="float64", buffer=b"\0" * 32), BufferError, NOT_F64),
        pytest.param(Pretender((10**6, 10**6), dtype="float64",
                               buffer=np.broadcast_to(np.float64(1.0), (10**6, 10**6)) if WIDE_WORDS else None),
                     MemoryError, None, marks=needs_64_bit),
    ]
else:
    PRETENDERS += [
        (Pretender((2, 2), dtype="float64", buffer=np.zeros((2, 2))), TypeError, None),
    ]


@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
@pytest.mark.parametrize("table, error, message", PRETENDERS)
def test_objects_pretending_to_be_arrays(cls, table, error, message):
    expect_error(cls(seed=1, n_workers=1), (table, 0.3), error, message)


@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
def test_pretender_without_readable_cells_is_an_internal_fault(cls, PanicException):
    expect_error(cls(seed=1, n_workers=1), (Pretender((2, 2)), 0.3), PanicException,
                 prefix="Failed to read array cell (0, 0): IndexError: no cell (0, 0)")


def test_pretender_with_honest_cells_is_read_like_an_object_array():
    values = np.array([[3.0, 1.0], [2.0, 4.0], [5.0, 0.5]])
    pretender = Pretender((3, 2), cell=lambda key: float(values[key]))
    result = max_mode_generator()(pretender, one_hole_per_column_alpha(3))
    assert type(result) is np.ndarray and result.dtype == object
    assert [[repr(x) for x in row] for row in result.tolist()] == [
        ["3.0", "1.0"], ["nan", "4.0"], ["5.0", "nan"]]


@pytest.mark.skipif(not HAS_BUFFER_HOOK, reason="Python classes export buffers from 3.12 on")
def test_pretender_with_an_honest_buffer_is_read_through_it():
    values = np.array([[3.0, 1.0], [2.0, 4.0]])
    result = max_mode_generator()(Pretender((2, 2), "float64", buffer=values), 0.49)
    assert np.array_equal(np.isnan(result), [[False, True], [True, False]])
    assert values.tolist() == [[3.0, 1.0], [2.0, 4.0]]


def test_ndarray_subclass_called_ndarray_with_other_dtype():
    class ndarray(np.ndarray):  # noqa: N801 - the name is the point
        pass

    ndarray.__qualname__ = "ndarray"

    table = np.arange(6, dtype=np.int32).reshape(3, 2).view(ndarray)
    expect_error(gapweave.MNARrs(seed=1, n_workers=1), (table, 0.3), BufferError, NOT_F64)


@pytest.mark.parametrize(
    "table",
    [np.empty((0, 10**12)), np.empty((0, 10**12), dtype=object), Pretender((0, 10**12))],
    ids=["float64", "object", "pretender"],
)
def test_tables_without_rows_naming_huge_column_counts_fail_at_once(table, PanicException):
    # Nothing is read from a table without rows, however many columns it names.
    expect_error(gapweave.MNARrs(seed=1, n_workers=1), (table, 0.1), PanicException, NO_ROWS)
    expect_error(gapweave.MAR(seed=1, n_workers=1), (table, 0.1), PanicException)


@pytest.mark.parametrize(
    "table, dtype",
    [(np.empty((10**12, 0)), np.float64), (np.empty((10**12, 0), dtype=object), object),
     (Pretender((10**12, 0)), object)],
    ids=["float64", "object", "pretender"],
)
def test_tables_without_columns_naming_huge_row_counts(table, dtype, PanicException):
    result = gapweave.MNARrs(seed=1, n_workers=1)(table, 0.1)
    assert type(result) is np.ndarray and result.shape == (10**12, 0) and result.dtype == dtype
    expect_error(gapweave.MAR(seed=1, n_workers=1), (table, 0.1), PanicException, EMPTY_MAR)


# --- data frames with odd labels and dtypes -----------------------------------


class LabelWithoutText:
    def __str__(self):
        raise RuntimeError("label has no text")

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return self is other


NUMBERS = {"x": [3.0, 1.0, 2.0], "y": [0.5, -4.0, 8.0]}


def frame_with_labels(labels, text=False):
    values = [[3.0, "b"], [1.0, "a"], [2.0, "c"]] if text else [[3.0, 0.5], [1.0, -4.0], [2.0, 8.0]]
    return pd.DataFrame(values, columns=labels)


FRAMES = [
    # (id, frame, expected: ("ok", labels) or (error type, message or None, prefix?))
    ("duplicate labels", frame_with_labels(["a", "a"]), ("ok", ["a", "a"])),
    ("duplicate labels, text", frame_with_labels(["a", "a"], text=True),
     (AttributeError, "'DataFrame' object has no attribute 'dtype'")),
    ("integer labels", frame_with_labels([0, 1]), ("ok", ["0", "1"])),
    ("integer labels, text", frame_with_labels([0, 1], text=True), (KeyError, "'0'")),
    ("tuple labels", frame_with_labels(pd.MultiIndex.from_tuples([("a", 1), ("b", 2)])),
     ("ok", ["('a', 1)", "('b', 2)"])),
    ("tuple labels, text",
     frame_with_labels(pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]), text=True),
     (KeyError, "\"('a', 1)\"")),
    ("None and float labels", frame_with_labels(pd.Index([None, 1.5], dtype=object)),
     ("ok", ["None", "1.5"])),
    ("NaN label", frame_with_labels([float("nan"), 1.5]), ("ok", ["nan", "1.5"])),
    ("bool and bytes labels", frame_with_labels([True, b"z"]), ("ok", ["True", "b'z'"])),
    ("timestamp labels", frame_with_labels(pd.to_datetime(["2020-01-01", "2021-06-30"])),
     ("ok", ["2020-01-01 00:00:00", "2021-06-30 00:00:00"])),
    ("label without text", frame_with_labels([LabelWithoutText(), "y"]),
     ("panic", "Failed str conversion")),
    ("numeric categorical", pd.DataFrame({"c": pd.Categorical([1.5, 2.5, 1.5]), **NUMBERS}),
     ("ok", ["c", "x", "y"])),
    ("text categorical", pd.DataFrame({"c": pd.Categorical(["u", "v", "u"]), **NUMBERS}),
     (ValueError, "could not convert string to float: 'u'")),
    ("Int64 without missing", pd.DataFrame({"i": pd.array([1, 2, 3], dtype="Int64"), **NUMBERS}),
     ("ok", ["i", "x", "y"])),
    ("Int64 with missing", pd.DataFrame({"i": pd.array([1, None, 3], dtype="Int64"), **NUMBERS}),
     ("panic", "Sample is nan")),
    ("Float64 with missing",
     pd.DataFrame({"f": pd.array([0.5, None, 1.5], dtype="Float64"), **NUMBERS}),
     ("panic", "Sample is nan")),
    ("boolean", pd.DataFrame({"b": pd.array([True, False, True], dtype="boolean"), **NUMBERS}),
     ("ok", ["b", "x", "y"])),
    ("string dtype", pd.DataFrame({"s": pd.array(["p", "q", None], dtype="string"), **NUMBERS}),
     (ValueError, "could not convert string to float: 'p'")),
    ("object texts with None", pd.DataFrame({"s": pd.Series(["p", None, "q"], dtype=object),
                                             **NUMBERS}), ("ok", ["s", "x", "y"])),
    ("datetimes", pd.DataFrame({"d": pd.date_range("2020", periods=3), **NUMBERS}),
     ("ok", ["d", "x", "y"])),
    ("periods", pd.DataFrame({"p": pd.period_range("2020", periods=3), **NUMBERS}),
     (TypeError, None)),
    ("sparse", pd.DataFrame({"s": pd.arrays.SparseArray([1.0, 0.0, 0.0]), **NUMBERS}),
     ("ok", ["s", "x", "y"])),
    ("no rows", pd.DataFrame({"x": [], "y": []}), ("panic", NO_ROWS)),
    ("no columns", pd.DataFrame(index=range(4)), ("ok", [])),
    ("nothing at all", pd.DataFrame(), ("ok", [])),
    ("date index", pd.DataFrame(NUMBERS, index=pd.date_range("2000", periods=3)),
     ("ok", ["x", "y"])),
]


@pytest.mark.parametrize("frame, expected", [f[1:] for f in FRAMES], ids=[f[0] for f in FRAMES])
def test_frames_with_odd_labels_and_dtypes(frame, expected, PanicException):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kind, value, _ = call_and_check(gapweave.MNARrs(mode="MAX", seed=4, n_workers=2), frame,
                                        one_hole_per_column_alpha(frame.shape[0]))
    if expected[0] == "ok":
        assert kind == "ok", f"{type(value).__name__}: {value}"
        assert type(value) is pd.DataFrame
        assert list(value.columns) == expected[1]
        assert value.shape == frame.shape
        assert list(value.index) == list(range(frame.shape[0]))
        if frame.shape[0]:
            # One hole per column: None in text columns, NaN elsewhere.
            assert value.isna().sum().tolist() == [1] * frame.shape[1]
    elif expected[0] == "panic":
        assert kind == "error" and type(value) is PanicException
        assert str(value).startswith(expected[1])
    else:
        error, message = expected
        assert kind == "error" and type(value) is error, f"{type(value).__name__}: {value}"
        if message is not None:
            assert str(value) == message


@needs_64_bit
def test_frame_subclass_that_lies_about_its_shape():
    class Lying(pd.DataFrame):
        @property
        def shape(self):
            return (10**7, 10**7)

    texts = Lying({"a": ["x", "y"], "b": [1.0, 2.0]})
    numbers = Lying({"a": [0.5, 1.5], "b": [1.0, 2.0]})
    gen = gapweave.MNARrs(seed=1, n_workers=1)
    expect_error(gen, (texts, 0.1), MemoryError)
    expect_error(gen, (numbers, 0.1), BufferError,
                 "slice to copy to (of length 100000000000000) does not match buffer length of 4")


@SETTINGS
@given(
    data=st.data(),
    rows=st.integers(0, 6),
    labels=st.lists(st.one_of(st.text(max_size=3), st.integers(-3, 3), st.none(),
                              st.tuples(st.integers(0, 2), st.text(max_size=1))),
                    min_size=0, max_size=4),
)
def test_generated_numeric_frames_keep_their_label_texts(data, rows, labels, PanicException):
    values = data.draw(hnp.arrays(np.float64, (rows, len(labels)),
                                  elements=st.floats(-1e6, 1e6)))
    frame = pd.DataFrame(values, columns=pd.Index(labels, dtype=object, tupleize_cols=False))
    kind, value, _ = call_and_check(max_mode_generator(), frame, one_hole_per_column_alpha(rows))
    if rows == 0 and labels:
        assert kind == "error" and type(value) is PanicException and str(value) == NO_ROWS
        return
    assert kind == "ok", f"{type(value).__name__}: {value}"
    assert list(value.columns) == [str(label) for label in labels]
    expected = values.copy()
    for c in range(len(labels)):
        expected[int(np.argmin(total_order_keys(values[:, c]))), c] = np.nan
    assert np.array_equal(bits(value.to_numpy(dtype=np.float64)), bits(expected))


# --- alpha of every type ------------------------------------------------------


class FloatLike:
    def __float__(self):
        return 0.5


class FloatRaisesValueError:
    def __float__(self):
        raise ValueError("alpha refuses")


class FloatRaisesTypeError:
    def __float__(self):
        raise TypeError("alpha is no number")


class FloatReturnsText:
    def __float__(self):
        return "0.5"


class IndexLike:
    def __index__(self):
        return 1


TABLE = np.arange(12.0).reshape(4, 3)  # MAR caps alpha at 0.8 − 0.8 / 3 here: 7 cells

def refused(error, message):
    return (error, message)


ALPHAS = [
    # (alpha, MNARrs outcome, MAR outcome): a hole count, or the error and its message
    (float("nan"), 0, 0),
    (float("inf"), 12, 7),
    (-float("inf"), 0, 0),
    (-0.5, 0, 0),
    (-0.0, 0, 0),
    (5e-324, 1, 1),
    (1e300, 12, 7),
    (True, 12, 7),
    (False, 0, 0),
    (FloatLike(), 6, 6),
    (IndexLike(), 12, 7),
    (np.float32(0.25), 3, 3),
    (np.int8(1), 12, 7),
    (np.array(0.5), 6, 6),
]
ALPHAS += [
    (alpha, refused(error, message), refused(error, message))
    for alpha, error, message in [
        (10**400, OverflowError, "int too large to convert to float"),
        (FloatRaisesValueError(), ValueError, "alpha refuses"),
        (FloatRaisesTypeError(), TypeError, "argument 'alpha': alpha is no number"),
        (FloatReturnsText(), TypeError,
         "argument 'alpha': FloatReturnsText.__float__ returned non-float (type str)"),
        ("0.5", TypeError, "argument 'alpha': must be real number, not str"),
        (None, TypeError, "argument 'alpha': must be real number, not NoneType"),
        (1j, TypeError, "argument 'alpha': must be real number, not complex"),
        ([0.5], TypeError, "argument 'alpha': must be real number, not list"),
    ]
]


@pytest.mark.parametrize("alpha, mnar_expected, mar_expected", ALPHAS,
                         ids=[repr(case[0])[:24] for case in ALPHAS])
@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
def test_alpha_of_every_type(cls, alpha, mnar_expected, mar_expected):
    expected = mnar_expected if cls is gapweave.MNARrs else mar_expected
    gen = cls(mode="MAX", seed=6, n_workers=2)
    kind, value, _ = call_and_check(gen, TABLE, alpha)
    if isinstance(expected, int):
        assert kind == "ok", f"{type(value).__name__}: {value}"
        assert int(np.isnan(value).sum()) == expected
    else:
        error, message = expected
        assert kind == "error" and type(value) is error and str(value) == message
        # The table was never read: the same object still blanks its cells.
        assert int(np.isnan(gen(TABLE, 0.25)).sum()) == 3
