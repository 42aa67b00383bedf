import math
import warnings

import numpy as np
import pytest

from gapweave import MAR
from helpers import correlated_table, holes

WARNING = "Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: "


def call_quietly(gen, data, alpha):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = gen(data, alpha)
    return out, [str(w.message) for w in caught if w.category is UserWarning]


def test_two_hole_columns_with_fifty_holes_each():
    gen = MAR(max_missing_per_column=0.5, seed=3, n_workers=2)
    out, caught = call_quietly(gen, correlated_table(100, 10), 0.1)
    per_column = holes(out).sum(axis=0)
    assert caught == []
    assert sorted(per_column.tolist()) == [0] * 8 + [50, 50]


def test_rate_cap_warns_and_nine_columns_take_holes():
    gen = MAR(max_missing_per_column=0.5, seed=3, n_workers=2)
    out, caught = call_quietly(gen, correlated_table(100, 10), 0.6)
    assert caught == [WARNING + "0.45"]
    per_column = holes(out).sum(axis=0)
    assert (per_column > 0).sum() == 9 and per_column.sum() == 450


@pytest.mark.parametrize(
    "cap, n_cols, alpha, expected, text",
    [
        (0.5, 10, 0.6, 0.45, "0.45"),
        (0.5, 10, 0.1, 0.1, None),
        (0.8, 10, 0.8, 0.7200000000000001, "0.7200000000000001"),
        (0.8, 10, 0.72, 0.72, None),
        (0.3, 10, 0.5, 0.27, "0.27"),
        (0.5, 1, 0.2, 0.0, "0"),
        (0.5, 0, 0.2, -math.inf, "-inf"),
        (-0.3, 10, -5.0, -5.0, None),
    ],
)
def test_adjust_alpha(cap, n_cols, alpha, expected, text):
    gen = MAR(max_missing_per_column=cap, n_workers=1)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert gen._adjust_alpha(n_cols, alpha) == expected
    assert [str(w.message) for w in caught] == ([WARNING + text] if text else [])
    assert all(w.category is UserWarning for w in caught)


def test_adjust_alpha_nan_never_warns():
    gen = MAR(n_workers=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert math.isnan(gen._adjust_alpha(10, float("nan")))


def test_adjust_alpha_binding_and_conversion():
    gen = MAR(n_workers=1)
    assert gen._adjust_alpha(alpha=0.1, n_cols=10) == 0.1
    with pytest.raises(TypeError) as info:
        gen._adjust_alpha(10)
    assert str(info.value) == "MAR._adjust_alpha() missing 1 required positional argument: 'alpha'"
    with pytest.raises(TypeError) as info:
        gen._adjust_alpha()
    assert str(info.value) == "MAR._adjust_alpha() missing 2 required positional arguments: 'n_cols' and 'alpha'"
    with pytest.raises(TypeError, match="^argument 'n_cols': "):
        gen._adjust_alpha(1.5, 0.1)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        gen._adjust_alpha(2**32, 0.1)
    with pytest.raises(OverflowError):
        gen._adjust_alpha(-1, 0.1)


def test_failing_warning_machinery_is_a_panic(PanicException):
    gen = MAR(max_missing_per_column=0.5, n_workers=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(PanicException) as info:
            gen._adjust_alpha(10, 0.9)
    assert info.value.args[0].startswith("Something went wrong..: ")
    assert WARNING + "0.45" in info.value.args[0]


def test_mid_greater_than_len(PanicException):
    gen = MAR(max_missing_per_column=-0.3, seed=1, n_workers=1)
    with pytest.raises(PanicException, match="^mid > len$"):
        gen(correlated_table(100, 10), -5.0)


@pytest.mark.parametrize("shape", [(0, 3), (4, 0)])
def test_empty_input(shape, PanicException):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(PanicException, match="^Failed to calculate pearson_correlation: EmptyInput$"):
            MAR(n_workers=1)(np.empty(shape), 0.1)


@pytest.mark.parametrize("alpha", [0.0, -1.0, float("nan")])
def test_no_holes_for_non_positive_alpha(alpha):
    data = correlated_table(20, 4)
    out, caught = call_quietly(MAR(seed=2, n_workers=1), data, alpha)
    assert caught == [] and np.array_equal(out, data)


def test_no_hole_columns_ends_without_holes():
    # An infinite cap leaves no hole column (h = 0) although Total > 0.
    data = correlated_table(20, 4)
    out, _ = call_quietly(MAR(max_missing_per_column=math.inf, seed=2, n_workers=1), data, 0.3)
    assert np.array_equal(out, data)


def test_missing_cells_fall_back_to_column_zero_and_fail(PanicException):
    data = correlated_table(20, 4)
    data[0, :] = np.nan
    with pytest.raises(PanicException, match="^Sample is nan$"):
        MAR(seed=1, n_workers=1)(data, 0.3)


def test_one_row_table_uses_column_zero_as_driver():
    data = np.array([[1.0, 2.0, 3.0, 4.0]])
    out, _ = call_quietly(MAR(max_missing_per_column=0.5, seed=1, n_workers=1), data, 0.25)
    assert holes(out).sum() == 1


@pytest.mark.parametrize("mode, pick", [("MAX", np.argmin), ("MIN", np.argmax)])
def test_modes_follow_the_single_driver(mode, pick):
    # With every column but one a hole column, that one drives them all.
    data = correlated_table(50, 4, seed=7)
    # h = ceil(0.0149 * 4 / 0.02) = 3 hole columns, Total = ceil(0.0149 * 200) = 3 holes.
    gen = MAR(max_missing_per_column=0.02, mode=mode, seed=5, n_workers=2)
    out, _ = call_quietly(gen, data, 0.0149)
    hole_columns = np.flatnonzero(holes(out).any(axis=0))
    driver = sorted(set(range(4)) - set(hole_columns.tolist()))
    assert len(driver) == 1 and len(hole_columns) == 3
    for c in hole_columns:
        assert np.flatnonzero(holes(out)[:, c]).tolist() == [pick(data[:, driver[0]])]


def test_results_independent_of_worker_count_and_reproducible():
    data = correlated_table(60, 8, seed=4)
    outs = [call_quietly(MAR(variance=0.4, max_missing_per_column=0.5, seed=99, n_workers=n), data, 0.23)[0] for n in (1, 2, 6)]
    assert all(np.array_equal(holes(outs[0]), holes(o)) for o in outs[1:])
    gen = MAR(variance=0.4, max_missing_per_column=0.5, seed=99, n_workers=3)
    first, _ = call_quietly(gen, data, 0.23)
    second, _ = call_quietly(gen, data, 0.23)
    assert np.array_equal(holes(first), holes(outs[0]))
    assert not np.array_equal(holes(first), holes(second))


def test_large_rate_cap_does_not_hang():
    data = correlated_table(10, 3)
    out, _ = call_quietly(MAR(max_missing_per_column=1e9, seed=1, n_workers=1), data, 1e8)
    per_column = holes(out).sum(axis=0)
    assert sorted(per_column.tolist()) == [0, 0, 10]


def test_data_frame_round_trip_keeps_kind():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(correlated_table(30, 4), columns=["w", "x", "y", "z"])
    snapshot = frame.copy(deep=True)
    out, _ = call_quietly(MAR(max_missing_per_column=0.5, seed=1, n_workers=2), frame, 0.1)
    assert isinstance(out, pd.DataFrame) and list(out.columns) == ["w", "x", "y", "z"]
    assert int(out.isna().sum().sum()) == 12
    pd.testing.assert_frame_equal(frame, snapshot)
