"""Reading tables in and handing them back out.

A call with alpha = 0 blanks nothing, so ``blank_nothing(table)`` returns
exactly what intake read, rebuilt by output assembly: a round trip of the
two. Calls that blank one cell under the MAX and MIN modes make the label
codes of text columns visible (MAX blanks the cell with the smallest code,
MIN the one with the largest).
"""

import copy
import math
import sys
import types
import warnings

import numpy as np
import pytest

import gapweave
from helpers import MISALIGNED, NOT_F64, bits, shortest_text, unaligned, unsupported


def blank_nothing(table):
    return gapweave.MNARrs(seed=0)(table, 0.0)


def mismatch(expected, found):
    return f"slice to copy to (of length {expected}) does not match buffer length of {found}"


@pytest.fixture
def pd():
    return pytest.importorskip("pandas")


def sample_matrix(rows, cols):
    values = np.arange(rows * cols, dtype=np.float64).reshape(rows, cols) * 1.25 - 3.0
    if values.size:
        values.flat[values.size // 2] = np.nan
    return values


def patched_frame(pd, data, **attributes):
    """A DataFrame subclass instance whose class gets `attributes` after construction."""
    cls = type("Patched", (pd.DataFrame,), {})
    frame = cls(data)
    for name, value in attributes.items():
        setattr(cls, name, value)
    return frame


def panic_message(excinfo, PanicException):
    assert excinfo.type is PanicException
    return str(excinfo.value)


# --- float64 arrays -------------------------------------------------------


@pytest.mark.parametrize("shape", [(1, 1), (3, 4), (5, 2), (1, 7), (4, 0)])
def test_float64_array_comes_back_as_a_new_equal_array(shape):
    table = sample_matrix(*shape)
    saved = table.copy()
    result = blank_nothing(table)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    assert result.shape == shape
    assert result.flags.c_contiguous
    assert not np.shares_memory(result, table)
    assert np.array_equal(bits(result), bits(saved))
    assert np.array_equal(bits(table), bits(saved))


def test_float64_cells_are_copied_bit_for_bit():
    payload_nan = np.array([0x7FF0000000000123], dtype=np.uint64).view(np.float64)[0]
    values = [-0.0, 0.0, np.inf, -np.inf, 5e-324, np.finfo(np.float64).max, np.nan, payload_nan]
    table = np.array(values, dtype=np.float64).reshape(2, 4)
    assert np.array_equal(bits(blank_nothing(table)), bits(table))


def _fortran(values):
    return np.asfortranarray(values)


def _transposed(values):
    return np.ascontiguousarray(values.T).T


def _reversed(values):
    return np.ascontiguousarray(values[::-1, ::-1])[::-1, ::-1]


def _strided(values):
    rows, cols = values.shape
    big = np.full((rows * 2, cols * 3), 99.0)
    big[::2, ::3] = values
    return big[::2, ::3]


def _read_only(values):
    view = values.copy()
    view.flags.writeable = False
    return view


def _unaligned_fortran(values):
    return unaligned(values.T.copy()).T


LAYOUTS = {
    "fortran": (_fortran, lambda a: a.flags.f_contiguous and not a.flags.c_contiguous),
    "transposed": (_transposed, lambda a: a.strides[0] < a.strides[1]),
    "reversed": (_reversed, lambda a: a.strides[0] < 0 and a.strides[1] < 0),
    "strided": (_strided, lambda a: not a.flags.c_contiguous and not a.flags.f_contiguous),
    "read-only": (_read_only, lambda a: not a.flags.writeable),
    "unaligned": (unaligned, lambda a: not a.flags.aligned),
    "unaligned fortran": (_unaligned_fortran, lambda a: not a.flags.aligned and a.flags.f_contiguous),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("shape", [(3, 4), (1, 5), (6, 1)])
def test_any_float64_layout_reads_in_logical_row_major_order(layout, shape):
    make, has_layout = LAYOUTS[layout]
    expected = sample_matrix(*shape)
    table = make(expected)
    assert has_layout(table) or 1 in shape  # a single row or column may count as contiguous
    assert np.array_equal(bits(table), bits(expected))
    result = blank_nothing(table)
    assert result.flags.c_contiguous
    assert np.array_equal(bits(result), bits(expected))


@pytest.mark.parametrize(
    "dtype",
    [np.int64, np.int32, np.uint8, np.float32, np.float16, np.bool_, np.complex128, ">f8",
     [("a", "<f8")]],
    ids=["int64", "int32", "uint8", "float32", "float16", "bool", "complex128",
         "big-endian float64", "record of one float64"],
)
@pytest.mark.parametrize("shape", [(3, 2), (0, 2)])
def test_two_dimensional_arrays_that_are_not_native_float64_are_refused(dtype, shape):
    table = np.zeros(shape, dtype=dtype)
    with pytest.raises(BufferError) as excinfo:
        blank_nothing(table)
    assert str(excinfo.value) == NOT_F64


def test_float64_array_subclass_is_read_and_comes_back_as_plain_array(tmp_path):
    expected = sample_matrix(3, 4)
    matrix = quiet_matrix(expected)
    memmap = np.memmap(tmp_path / "table.bin", dtype=np.float64, mode="w+", shape=(3, 4))
    memmap[...] = expected
    for table in (matrix, memmap):
        result = blank_nothing(table)
        assert type(result) is np.ndarray
        assert np.array_equal(bits(result), bits(expected))


# --- refused inputs -------------------------------------------------------


def quiet_matrix(values):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(values)


class Outer:
    class Inner:
        pass


UNSUPPORTED = [
    ([[1.0, 2.0]], "list"),
    ({"a": [1.0]}, "dict"),
    (((1.0, 2.0),), "tuple"),
    ("1.0", "str"),
    (None, "NoneType"),
    (1.5, "float"),
    (np.float64(1.5), "float64"),
    (np.array(1.5), "ndarray"),
    (np.zeros(3), "ndarray"),
    (np.zeros(3, dtype=np.int64), "ndarray"),
    (np.zeros((2, 2, 2)), "ndarray"),
    (np.zeros((2, 2, 2), dtype=object), "ndarray"),
    (np.zeros((1, 1, 1, 1), dtype=np.int32), "ndarray"),
    (quiet_matrix(np.zeros((2, 2), dtype=np.int64)), "matrix"),
    (Outer.Inner(), "Outer.Inner"),
]


@pytest.mark.parametrize(
    "table, name", UNSUPPORTED, ids=[f"{name}-{i}" for i, (_, name) in enumerate(UNSUPPORTED)]
)
def test_unsupported_tables_name_their_type(pd, table, name):
    with pytest.raises(TypeError) as excinfo:
        blank_nothing(table)
    assert str(excinfo.value) == unsupported(name)


def test_series_and_non_float_memmap_are_refused(pd, tmp_path):
    memmap = np.memmap(tmp_path / "ints.bin", dtype=np.int64, mode="w+", shape=(2, 2))
    for table, name in ((pd.Series([1.0, 2.0]), "Series"), (memmap, "memmap")):
        with pytest.raises(TypeError) as excinfo:
            blank_nothing(table)
        assert str(excinfo.value) == unsupported(name)


def test_array_arguments_are_not_modified_by_a_call_that_blanks():
    table = np.arange(1.0, 13.0).reshape(4, 3)
    saved = table.copy()
    result = gapweave.MNARrs(seed=1)(table, 0.5)
    assert np.isnan(result).sum() == 6
    assert np.array_equal(table, saved)


# --- object arrays --------------------------------------------------------


def column_of(cells):
    table = np.empty((len(cells), 1), dtype=object)
    for row, cell in enumerate(cells):
        table[row, 0] = cell
    return table


def test_numeric_object_array_comes_back_as_object_array_of_floats():
    table = np.empty((3, 2), dtype=object)
    table[:, 0] = [1.0, 2, True]
    table[:, 1] = [np.float32(0.5), np.int64(7), 2.5]
    result = blank_nothing(table)
    assert result.dtype == object
    assert result.shape == (3, 2)
    assert all(type(cell) is float for cell in result.flat)
    assert result.tolist() == [[1.0, 0.5], [2.0, 7.0], [1.0, 2.5]]


class Floaty:
    def __float__(self):
        return 2.5

    def __str__(self):
        return "floaty"


class RefusesFloat:
    def __float__(self):
        raise ValueError("not a number")

    def __str__(self):
        return "refused"


TEXT_COLUMNS = [
    ([1.0, "a", 1.0], ["1", "a", "1.0"]),
    ([None, 1.0], ["None", "1.0"]),
    (["b", "a", "b", "c"], ["b", "a", "b", "c"]),
    ([0.1, 1e-7, 1e21, -0.0, np.nan, np.inf, -np.inf, 2.5, "x"],
     ["0.1", "0.0000001", "1" + "0" * 21, "-0", "NaN", "inf", "-inf", "2.5", "x"]),
    (["x", 0.1, 1e21, np.nan, -np.inf], ["x", "0.1", "1e+21", "nan", "-inf"]),
    ([1.5, 10**400], ["1.5", str(10**400)]),
    ([3, True, "x", 3, True], ["3", "1", "x", "3", "True"]),
    ([Floaty(), RefusesFloat(), Floaty()], ["2.5", "refused", "floaty"]),
    ([b"raw", 1.0], ["b'raw'", "1.0"]),
    (["é", "e", "", "ü"], ["é", "e", "", "ü"]),
]


@pytest.mark.parametrize("cells, texts", TEXT_COLUMNS, ids=[str(i) for i in range(len(TEXT_COLUMNS))])
def test_object_column_switches_to_text_at_first_non_number(cells, texts):
    result = blank_nothing(column_of(cells))
    assert result.dtype == object
    assert [type(cell) for cell in result[:, 0]] == [str] * len(texts)
    assert result[:, 0].tolist() == texts


# Whole numbers past 2**53 read as their shortest digits, not their exact value.
SHORTEST_TEXTS = [
    (4.406890376269423e16, "44068903762694230"),
    (1e16, "1" + "0" * 16),
    (1e22, "1" + "0" * 22),
    (1.5e300, "15" + "0" * 299),
    (5e-324, "0." + "0" * 323 + "5"),
    (-0.0, "-0"),
]


@pytest.mark.parametrize("number, text", SHORTEST_TEXTS, ids=[repr(n) for n, _ in SHORTEST_TEXTS])
def test_numbers_before_a_text_read_as_their_shortest_decimal(number, text):
    assert shortest_text(number) == text
    assert blank_nothing(column_of([number, "x"]))[:, 0].tolist() == [text, "x"]


def test_numeric_and_text_columns_of_one_object_array_keep_their_kinds():
    table = np.empty((3, 3), dtype=object)
    table[:, 0] = ["b", "a", "b"]
    table[:, 1] = [1.0, np.nan, 3]
    table[:, 2] = [None, 1.0, "z"]
    saved = copy.deepcopy(table)
    result = blank_nothing(table)
    assert result[:, 0].tolist() == ["b", "a", "b"]
    assert [type(cell) for cell in result[:, 1]] == [float] * 3
    assert result[0, 1] == 1.0 and math.isnan(result[1, 1]) and result[2, 1] == 3.0
    assert result[:, 2].tolist() == ["None", "1.0", "z"]
    # the caller's cells are the same objects as before
    assert all(a is b or (a != a and b != b) for a, b in zip(table.flat, saved.flat))
    assert [type(cell) for cell in table.flat] == [type(cell) for cell in saved.flat]


CODE_ORDER = [
    # cells, row blanked under MAX (smallest code), row blanked under MIN (largest code)
    (["b", "a", "b", "c"], 1, 3),
    (["a", "B", "10", "9"], 2, 0),
    (["ab", "a", "abc"], 1, 2),
    (["é", "z", "Z"], 2, 0),
    (["x", "", "y"], 1, 2),
    ([1.0, "a", 1.0], 0, 1),
    ([None, 1.0], 1, 0),
]


@pytest.mark.parametrize("cells, max_row, min_row", CODE_ORDER,
                         ids=[str(i) for i in range(len(CODE_ORDER))])
@pytest.mark.parametrize("mode", ["MAX", "MIN"])
def test_object_column_codes_follow_byte_order_and_holes_read_nan(cells, max_row, min_row, mode):
    table = column_of(cells)
    texts = blank_nothing(table)[:, 0].tolist()
    result = gapweave.MNARrs(seed=0, mode=mode)(table, 1 / len(cells))
    hole = max_row if mode == "MAX" else min_row
    expected = texts.copy()
    expected[hole] = "NaN"
    assert result[:, 0].tolist() == expected
    assert all(type(cell) is str for cell in result[:, 0])


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text for you")


@pytest.mark.parametrize("cells", [[Unprintable()], ["a", Unprintable()], [1.0, Unprintable()]])
def test_object_cell_without_text_is_an_internal_fault(cells, PanicException):
    with pytest.raises(BaseException) as excinfo:
        blank_nothing(column_of(cells))
    assert panic_message(excinfo, PanicException).startswith("cant convert to str")


def test_object_array_without_columns_comes_back_empty():
    result = blank_nothing(np.empty((3, 0), dtype=object))
    assert result.dtype == object
    assert result.shape == (3, 0)


@pytest.mark.parametrize("dtype", [np.float64, object])
def test_table_without_rows_fails_in_the_distribution_step(dtype, PanicException):
    with pytest.raises(BaseException) as excinfo:
        blank_nothing(np.empty((0, 2), dtype=dtype))
    assert "index out of" in panic_message(excinfo, PanicException)


def test_references_to_cells_and_tables_are_released():
    marker = "a text referenced only here " + str(id(object()))
    table = column_of([marker, 1.0])
    refused = np.zeros((2, 2), dtype=np.int64)
    blank_nothing(table)
    before = (sys.getrefcount(marker), sys.getrefcount(table), sys.getrefcount(refused))
    for _ in range(20):
        blank_nothing(table)
        with pytest.raises(BufferError):
            blank_nothing(refused)
    assert (sys.getrefcount(marker), sys.getrefcount(table), sys.getrefcount(refused)) == before


# --- data frames ----------------------------------------------------------


def test_numeric_frame_comes_back_with_text_labels_and_default_index(pd):
    index = pd.date_range("2024-01-01", periods=3)
    frame = pd.DataFrame(
        {0: [1.5, np.nan, -2.0], 1: np.array([1, 2, 3], dtype=np.int64), 2: [True, False, True]},
        index=index,
    )
    saved = frame.copy(deep=True)
    result = blank_nothing(frame)
    assert type(result) is pd.DataFrame
    assert list(result.columns) == ["0", "1", "2"]
    assert all(type(label) is str for label in result.columns)
    assert result.index.equals(pd.RangeIndex(3))
    assert list(result.dtypes) == [np.float64] * 3
    expected = np.array([[1.5, 1.0, 1.0], [np.nan, 2.0, 0.0], [-2.0, 3.0, 1.0]])
    assert np.array_equal(result.to_numpy(), expected, equal_nan=True)
    pd.testing.assert_frame_equal(frame, saved)


@pytest.mark.parametrize("order", ["text first", "float first"])
def test_frame_text_columns_come_back_as_object_columns(pd, order):
    text = pd.Series(["b", "a", None, np.nan], dtype=object)
    numbers = pd.Series([0.5, -1.0, np.nan, 1e300])
    data = {"t": text, "f": numbers} if order == "text first" else {"f": numbers, "t": text}
    frame = pd.DataFrame(data)
    saved = copy.deepcopy(frame)
    result = blank_nothing(frame)
    assert list(result.columns) == list(data)
    assert result["t"].dtype == object
    assert result["t"].tolist() == ["b", "a", "None", "nan"]
    assert result["f"].dtype == np.float64
    assert np.array_equal(result["f"].to_numpy(), numbers.to_numpy(), equal_nan=True)
    pd.testing.assert_frame_equal(frame, saved)
    assert frame["t"].tolist()[2] is None


def test_frame_with_default_text_dtype_is_encoded(pd):
    frame = pd.DataFrame({"s": ["x", "y", "x"], "n": [1, 2, 3]})
    result = blank_nothing(frame)
    assert result["s"].dtype == object
    assert result["s"].tolist() == ["x", "y", "x"]
    assert result["n"].dtype == np.float64


@pytest.mark.parametrize(
    "column, expected",
    [
        (["1", "2.5", "-3"], [1.0, 2.5, -3.0]),
        ("categorical numbers", [1.5, 2.5, 1.5]),
    ],
)
def test_detected_text_columns_that_convert_to_numbers_stay_numeric(pd, column, expected):
    if column == "categorical numbers":
        series = pd.Series(pd.Categorical([1.5, 2.5, 1.5]))
    else:
        series = pd.Series(column, dtype="string")
    frame = pd.DataFrame({"c": series, "t": pd.Series(["p", "q", "p"], dtype=object)})
    result = blank_nothing(frame)
    assert result["c"].dtype == np.float64
    assert result["c"].tolist() == expected
    assert result["t"].tolist() == ["p", "q", "p"]


@pytest.mark.parametrize(
    "series_of",
    [lambda pd: pd.Series(["x", "y"], dtype="string"),
     lambda pd: pd.Series(pd.Categorical(["x", "y"]))],
    ids=["string dtype", "categorical texts"],
)
def test_detected_text_columns_pandas_cannot_convert_fail_with_its_error(pd, series_of):
    frame = pd.DataFrame({"c": series_of(pd)})
    with pytest.raises(ValueError):
        blank_nothing(frame)


def test_frame_with_integer_labels_and_a_text_column_fails_with_key_error(pd):
    frame = pd.DataFrame({0: pd.Series(["a", "b"], dtype=object), 1: [1.0, 2.0]})
    with pytest.raises(KeyError) as excinfo:
        blank_nothing(frame)
    assert excinfo.value.args == ("0",)


def test_frame_with_duplicated_labels_and_a_text_column_fails_with_attribute_error(pd):
    frame = pd.DataFrame([["a", "b"]], columns=["x", "x"], dtype=object)
    with pytest.raises(AttributeError):
        blank_nothing(frame)


def test_frame_text_column_holes_read_none(pd):
    frame = pd.DataFrame({"t": pd.Series(["a", "B", "10", "9"], dtype=object)})
    for mode, hole in (("MAX", 2), ("MIN", 0)):
        result = gapweave.MNARrs(seed=0, mode=mode)(frame, 0.25)
        expected = ["a", "B", "10", "9"]
        expected[hole] = None
        assert result["t"].tolist() == expected
        assert result["t"].dtype == object


def test_frame_references_are_released(pd):
    marker = "a cell text referenced only here " + str(id(object()))
    label = "a label referenced only here " + str(id(object()))
    frame = pd.DataFrame({label: pd.Series([marker, "x"], dtype=object), "f": [1.0, 2.0]})
    refused = pd.DataFrame({0: pd.Series([marker, "y"], dtype=object)})
    blank_nothing(frame)
    counts = lambda: tuple(sys.getrefcount(o) for o in (marker, label, frame, refused))
    before = counts()
    for _ in range(20):
        blank_nothing(frame)
        with pytest.raises(KeyError):
            blank_nothing(refused)
    assert counts() == before


def test_frame_subclass_is_read_and_comes_back_as_plain_frame(pd):
    frame = patched_frame(pd, {"a": [1.0, 2.0], "b": [3.0, 4.0]})
    result = blank_nothing(frame)
    assert type(result) is pd.DataFrame
    assert result.to_numpy().tolist() == [[1.0, 3.0], [2.0, 4.0]]


def test_frame_without_columns_comes_back_empty(pd):
    result = blank_nothing(pd.DataFrame(index=range(3)))
    assert type(result) is pd.DataFrame
    assert result.shape == (3, 0)


def test_frame_without_rows_fails_in_the_distribution_step(pd, PanicException):
    with pytest.raises(BaseException) as excinfo:
        blank_nothing(pd.DataFrame({"a": pd.Series([], dtype=np.float64)}))
    assert "index out of" in panic_message(excinfo, PanicException)


def test_frames_are_not_modified_by_a_call_that_blanks(pd):
    frame = pd.DataFrame(
        {"t": pd.Series(["b", "a", "c", "a"], dtype=object), "f": [4.0, 1.0, 3.0, 2.0]},
        index=[10, 20, 30, 40],
    )
    saved = copy.deepcopy(frame)
    result = gapweave.MNARrs(seed=3)(frame, 0.5)
    assert result.isna().sum().tolist() == [2, 2]
    pd.testing.assert_frame_equal(frame, saved)


# --- frames with broken metadata or conversions ---------------------------


class Recorder:
    """Stands in for to_numpy: records its arguments and returns `result`."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def method(self):
        recorder = self

        def to_numpy(_self, *args, **kwargs):
            recorder.calls.append((args, kwargs))
            return recorder.result

        return to_numpy


FRAME_CONVERSIONS = [
    (np.array([[1.0, 2.0], [3.0, 4.0]]), None, None),
    (np.asfortranarray([[1.0, 2.0], [3.0, 4.0]]), None, None),
    (unaligned(np.array([[1.0, 2.0], [3.0, 4.0]])), BufferError, MISALIGNED),
    (np.zeros((2, 2), dtype=np.int64), BufferError, NOT_F64),
    (np.zeros(4), ValueError, "Expected a 2-dimensional array"),
    (np.zeros((1, 4)), None, None),
    (np.zeros((3, 2)), BufferError, mismatch(4, 6)),
]


@pytest.mark.parametrize("converted, error, message", FRAME_CONVERSIONS,
                         ids=["c-order", "fortran", "unaligned", "int64", "1-d", "reshaped",
                              "wrong size"])
def test_numeric_frame_conversion_is_read_through_the_buffer(pd, converted, error, message):
    recorder = Recorder(converted)
    frame = patched_frame(pd, {"a": [1.0, 3.0], "b": [2.0, 4.0]}, to_numpy=recorder.method())
    if error is None:
        result = blank_nothing(frame)
        assert result.to_numpy().ravel().tolist() == np.ascontiguousarray(converted).ravel().tolist()
    else:
        with pytest.raises(error) as excinfo:
            blank_nothing(frame)
        assert str(excinfo.value) == message
    assert recorder.calls == [((), {"dtype": "float64", "copy": False})]


def test_numeric_frame_conversion_without_buffer_fails_with_host_error(pd):
    frame = patched_frame(pd, {"a": [1.0]}, to_numpy=Recorder([[1.0]]).method())
    with pytest.raises(TypeError):
        blank_nothing(frame)


class FakeColumn:
    """A column of a patched frame: a dtype name, values, a to_numpy."""

    def __init__(self, dtype_name, values=(), converted=None):
        self.dtype = types.SimpleNamespace(name=dtype_name)
        self.values = values
        self.converted = converted
        self.conversions = []

    def __iter__(self):
        return iter(self.values)

    def to_numpy(self, *args, **kwargs):
        self.conversions.append((args, kwargs))
        return self.converted


def frame_of_fake_columns(pd, columns, rows=3):
    """A frame with one text column per entry whose lookups return the fakes."""
    data = {label: pd.Series(["t"] * rows, dtype=object) for label in columns}
    keys = []

    def getitem(_self, key):
        keys.append(key)
        return columns[key]

    return patched_frame(pd, data, __getitem__=getitem), keys


COLUMN_CONVERSIONS = [
    (np.array([1.0, 2.0, 3.0]), None, None),
    (np.array([[1.0], [2.0], [3.0]]), None, None),
    (np.array([1.0, 2.0]), BufferError, mismatch(3, 2)),
    (unaligned(np.array([1.0, 2.0, 3.0])), BufferError, MISALIGNED),
    (np.array([1, 2, 3], dtype=np.float32), BufferError, NOT_F64),
    (np.array([1.0, 2.0, 3.0], dtype=">f8"), BufferError, NOT_F64),
]


@pytest.mark.parametrize("converted, error, message", COLUMN_CONVERSIONS,
                         ids=["1-d", "2-d", "short", "unaligned", "float32", "big-endian"])
def test_numeric_column_of_encoded_frame_is_read_through_the_buffer(pd, converted, error, message):
    numeric = FakeColumn("float64", converted=converted)
    text = FakeColumn("object", values=["b", "a", "b"])
    frame, keys = frame_of_fake_columns(pd, {"n": numeric, "t": text})
    if error is None:
        result = blank_nothing(frame)
        assert result["n"].tolist() == [1.0, 2.0, 3.0]
        assert result["t"].tolist() == ["b", "a", "b"]
        assert keys == ["n", "t"]
    else:
        with pytest.raises(error) as excinfo:
            blank_nothing(frame)
        assert str(excinfo.value) == message
    assert numeric.conversions == [((), {"dtype": "float64"})]


@pytest.mark.parametrize("dtype_name", ["str", "object"])
def test_text_column_values_go_through_str(pd, dtype_name):
    text = FakeColumn(dtype_name, values=[None, 1.0, "x"])
    frame, keys = frame_of_fake_columns(pd, {"t": text})
    assert blank_nothing(frame)["t"].tolist() == ["None", "1.0", "x"]
    assert keys == ["t"]


class BrokenIterable:
    def __iter__(self):
        yield "fine"
        raise RuntimeError("iteration broke")


def test_text_column_failures_are_the_hosts_errors(pd):
    for values, error in ((BrokenIterable(), RuntimeError), (["a", Unprintable()], RuntimeError)):
        frame, _ = frame_of_fake_columns(pd, {"t": FakeColumn("object", values=values)})
        with pytest.raises(error):
            blank_nothing(frame)


class Kind:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def raising_property(error):
    def getter(_self):
        raise error

    return property(getter)


METADATA_FAULTS = [
    ({"dtypes": raising_property(RuntimeError("gone"))}, "dtypes attr not found"),
    ({"dtypes": property(lambda self: 5)}, "No dtypes found."),
    ({"dtypes": property(lambda self: BrokenIterable())}, "kind attr not found"),
    ({"dtypes": property(lambda self: [Kind(kind="f")])}, "name attr not found"),
    ({"dtypes": property(lambda self: [Kind(kind=5, name="x")])}, "Failed str conversion"),
    ({"dtypes": property(lambda self: [Kind(kind="f", name=5)])}, "Failed str conversion"),
    ({"dtypes": property(lambda self: iter([Kind(kind="f", name="float64"), None]))},
     "kind attr not found"),
    ({"columns": property(lambda self: BrokenIterable()), "shape": (1, 1)}, "no items found!"),
    ({"columns": property(lambda self: [Unprintable()]), "shape": (1, 1)}, "Failed str conversion"),
]


@pytest.mark.parametrize("attributes, prefix", METADATA_FAULTS,
                         ids=[str(i) for i in range(len(METADATA_FAULTS))])
def test_unreadable_frame_metadata_is_an_internal_fault(pd, attributes, prefix, PanicException):
    frame = patched_frame(pd, {"a": [1.0]}, **attributes)
    with pytest.raises(BaseException) as excinfo:
        blank_nothing(frame)
    assert panic_message(excinfo, PanicException).startswith(prefix + ": ")


def test_dtypes_iteration_failure_is_an_internal_fault(pd, PanicException):
    class Floats:
        def __iter__(self):
            yield Kind(kind="f", name="float64")
            raise RuntimeError("no more dtypes")

    frame = patched_frame(pd, {"a": [1.0]}, dtypes=property(lambda self: Floats()))
    with pytest.raises(BaseException) as excinfo:
        blank_nothing(frame)
    assert panic_message(excinfo, PanicException).startswith("No dtypes found.: ")


@pytest.mark.parametrize("kind, name, encoded", [("O", "x", True), ("f", "string", True),
                                                 ("U", "str", False), ("S", "object", False)])
def test_text_detection_uses_kind_o_or_name_string(pd, kind, name, encoded):
    recorder = Recorder(np.array([[1.0], [2.0]]))
    frame = patched_frame(pd, {"a": [1.0, 2.0]}, to_numpy=recorder.method(),
                          dtypes=property(lambda self: [Kind(kind=kind, name=name)]))
    result = blank_nothing(frame)
    assert result["a"].tolist() == [1.0, 2.0]
    # the encoding path converts the column (a Series) itself, not the frame
    assert recorder.calls == ([] if encoded else [((), {"dtype": "float64", "copy": False})])


def test_labels_that_are_not_texts_are_looked_up_by_their_text(pd):
    columns = {"7": FakeColumn("object", values=["q", "p"]), "None": FakeColumn("object", values=["r", "r"])}
    frame, keys = frame_of_fake_columns(pd, columns, rows=2)
    frame.columns = pd.Index([7, None], dtype=object)
    result = blank_nothing(frame)
    assert keys == ["7", "None"]
    assert list(result.columns) == ["7", "None"]
    assert result.to_numpy().tolist() == [["q", "r"], ["p", "r"]]


def shape_claiming(pd, data, shape):
    return patched_frame(pd, data, shape=property(lambda self: shape))


def test_frame_claiming_a_larger_shape_is_refused_without_allocating(pd):
    rows = cols = 2**20
    frame = shape_claiming(pd, {"a": [1.0, 2.0]}, (rows, cols))
    if rows * cols <= sys.maxsize // 8:
        with pytest.raises(BufferError) as excinfo:
            blank_nothing(frame)
        assert str(excinfo.value) == mismatch(rows * cols, 2)
    else:  # 32-bit: the size can't be addressed at all
        with pytest.raises(ValueError, match="too large"):
            blank_nothing(frame)


@pytest.mark.parametrize("text", [False, True], ids=["numeric", "encoded"])
def test_frame_claiming_an_unaddressable_shape_fails_cleanly(pd, text):
    column = pd.Series(["a", "b"], dtype=object) if text else [1.0, 2.0]
    frame = shape_claiming(pd, {"a": column}, (sys.maxsize, 3))
    with pytest.raises(ValueError, match="too large"):
        blank_nothing(frame)
    # beyond the machine word the shape itself doesn't convert
    frame = shape_claiming(pd, {"a": column}, (2**64, 2**64))
    with pytest.raises(OverflowError):
        blank_nothing(frame)


def test_frame_claiming_a_negative_shape_fails_with_the_conversion_error(pd):
    frame = shape_claiming(pd, {"a": [1.0, 2.0]}, (-1, 1))
    with pytest.raises(OverflowError):
        blank_nothing(frame)
