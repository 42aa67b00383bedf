import copy
import math

import numpy as np
import pytest

from gapweave import MNARrs
from helpers import captured_stderr, holes, normal_table

pd = pytest.importorskip("pandas")


@pytest.mark.parametrize("alpha, expected", [(0.07, 8), (0.155, 16), (0.0, 0), (1.0, 100), (0.01, 1)])
def test_total_rounds_up_after_double_product(alpha, expected):
    out = MNARrs(seed=3, n_workers=2)(normal_table(10, 10), alpha)
    assert holes(out).sum() == expected


@pytest.mark.parametrize("alpha", [0.0, -0.5, float("nan"), -math.inf])
def test_no_holes_but_output_is_new_of_same_kind(alpha):
    data = normal_table(30, 4)
    out = MNARrs(seed=1, n_workers=1)(data, alpha)
    assert type(out) is np.ndarray and out.dtype == np.float64
    assert out is not data
    assert np.array_equal(out, data)


@pytest.mark.parametrize("cols, total", [(4, 3), (5, 2 * 5 + 3), (6, 6 * 3)])
def test_holes_spread_evenly(cols, total):
    rows = 20
    alpha = total / (rows * cols)
    per_column = holes(MNARrs(seed=11, n_workers=3)(normal_table(rows, cols), alpha)).sum(axis=0)
    assert per_column.sum() == total
    assert set(per_column) <= {total // cols, -(-total // cols)}


@pytest.mark.parametrize("mode, pick", [("MAX", np.argmin), ("MIN", np.argmax)])
def test_max_takes_smallest_and_min_largest(mode, pick):
    data = normal_table(25, 3, seed=5)
    out = MNARrs(mode=mode, seed=2, n_workers=2)(data, 3 / data.size)  # one hole per column
    for c in range(3):
        assert np.flatnonzero(holes(out)[:, c]).tolist() == [pick(data[:, c])]


@pytest.mark.parametrize("mode, first", [("MAX", 1), ("MIN", 0)])
def test_ties_and_signed_zero(mode, first):
    # -0.0 sorts before +0.0; equal values go to the earliest row.
    data = np.array([[0.0], [-0.0], [-0.0], [0.0]])
    out = MNARrs(mode=mode, seed=0, n_workers=1)(data, 0.25)
    assert np.flatnonzero(holes(out)[:, 0]).tolist() == [first]


def test_gm_equal_values_blank_in_row_order():
    data = np.full((6, 2), 4.25)
    out = MNARrs(seed=9, n_workers=2)(data, 6 / 12)
    assert holes(out)[:3].all() and not holes(out)[3:].any()


def test_gm_zero_variance_targets_the_median():
    data = np.array([[5.0], [1.0], [3.0], [9.0], [7.0]])
    out = MNARrs(variance=0.0, seed=4, n_workers=1)(data, 0.2)
    assert np.flatnonzero(holes(out)).tolist() == [0]  # 5.0, the median


@pytest.mark.parametrize("mode", ["GM", "MAX", "MIN"])
def test_existing_missing_cell_fails_with_sample_is_nan(mode, PanicException):
    data = normal_table(8, 3)
    data[4, 1] = np.nan
    before = data.copy()
    with pytest.raises(PanicException, match="^Sample is nan$"):
        MNARrs(mode=mode, seed=1, n_workers=1)(data, 0.5)
    assert np.array_equal(data, before, equal_nan=True)


def test_zero_rows_faults_even_with_alpha_zero(PanicException):
    with pytest.raises(PanicException, match="index out of bounds"):
        MNARrs(n_workers=1)(np.empty((0, 3)), 0.0)


def test_no_columns_gives_empty_result():
    out = MNARrs(n_workers=1)(np.empty((5, 0)), 0.5)
    assert out.shape == (5, 0)


@pytest.mark.parametrize("mean, rows", [(1.0, 3), (2.0, 4)])
def test_mean_past_the_end_faults(mean, rows, PanicException):
    with pytest.raises(PanicException, match="index out of bounds"):
        MNARrs(mean=mean, n_workers=1)(normal_table(rows, 2), 0.1)


@pytest.mark.parametrize("alpha", [1.0, 1.5, 1e12, math.inf])
def test_alpha_at_or_above_one_blanks_everything_and_ends(alpha):
    out = MNARrs(seed=8, n_workers=2)(normal_table(12, 3), alpha)
    assert holes(out).all()


@pytest.mark.parametrize("rows, cols", [(1, 1), (1025, 1024)], ids=["2**20 picks", "the cell count"])
def test_a_call_past_the_last_cell_stops_only_past_its_threshold(rows, cols):
    # Once every cell is blank, the passes left are drawn while the picks left
    # number at most max(cells, 2**20); past that the call stops after the pass
    # that blanked the last cell. Every pass here visits every column and draws
    # the same numbers whatever it blanks, so a call that goes on leaves the
    # stream where a call of alpha 1 and one for the rest leave it, and a call
    # that stops leaves it where a call of alpha 1 does.
    data = normal_table(rows, cols, seed=4)
    cells = rows * cols
    threshold = max(cells, 2**20)

    def after(*alphas):
        """The holes of a probe call after `alphas`, and the columns reported dry."""
        gen = MNARrs(variance=1.0, seed=21, n_workers=2)
        with captured_stderr() as stderr:
            for alpha in alphas:
                gen(data, alpha)
        return holes(gen(normal_table(30, 4), 0.3)), stderr.text.count("No argmin found!")

    went_on, reported = after(1 + threshold / cells)
    assert np.array_equal(went_on, after(1.0, threshold / cells)[0]) and reported == cols
    stopped, reported = after(1 + (threshold + 1) / cells)
    assert np.array_equal(stopped, after(1.0)[0]) and reported == 0
    assert not np.array_equal(went_on, stopped)


def test_results_independent_of_worker_count():
    data = normal_table(40, 7, seed=2)
    results = [holes(MNARrs(variance=0.3, seed=1234, n_workers=n)(data, 0.37)) for n in (1, 2, 6)]
    assert all(np.array_equal(results[0], r) for r in results[1:])


def test_same_seed_same_sequence_and_stream_continues():
    data = normal_table(30, 5, seed=3)
    a, b = MNARrs(variance=0.5, seed=77, n_workers=2), MNARrs(variance=0.5, seed=77, n_workers=4)
    first_a, first_b = holes(a(data, 0.2)), holes(b(data, 0.2))
    second_a, second_b = holes(a(data, 0.2)), holes(b(data, 0.2))
    assert np.array_equal(first_a, first_b) and np.array_equal(second_a, second_b)
    assert not np.array_equal(first_a, second_a)


def test_callers_table_is_never_modified():
    data = normal_table(20, 4)
    data_frame = pd.DataFrame(data.copy(), columns=list("abcd"))
    snapshot, frame_snapshot = data.copy(), data_frame.copy(deep=True)
    MNARrs(seed=1, n_workers=2)(data, 0.5)
    MNARrs(seed=1, n_workers=2)(data_frame, 0.5)
    assert np.array_equal(data, snapshot)
    pd.testing.assert_frame_equal(data_frame, frame_snapshot)


def test_data_frame_kind_labels_and_text_columns():
    frame = pd.DataFrame(
        {"num": [3.0, 1.0, 2.0, 5.0], "txt": ["b", "a", "c", "a"]}, index=pd.date_range("2024-01-01", periods=4)
    )
    out = MNARrs(mode="MAX", seed=0, n_workers=1)(frame, 2 / 8)
    assert isinstance(out, pd.DataFrame)
    assert list(out.columns) == ["num", "txt"]
    assert list(out.index) == [0, 1, 2, 3]
    assert out["txt"].dtype == object
    # MAX blanks the smallest code: "a" (code 0), first in row 1.
    assert out["txt"].tolist() == ["b", None, "c", "a"]
    assert math.isnan(out["num"][1]) and out["num"].isna().sum() == 1


def test_integer_labels_with_text_column_fail_lookup():
    frame = pd.DataFrame({0: [1.0, 2.0], 1: ["a", "b"]})
    with pytest.raises(KeyError):
        MNARrs(n_workers=1)(frame, 0.5)


def test_object_array_text_holes_read_nan_text():
    data = np.array([["x", 1.0], ["y", 2.0], ["z", 3.0]], dtype=object)
    out = MNARrs(mode="MIN", seed=0, n_workers=1)(data, 2 / 6)
    assert out.dtype == object
    assert out[:, 0].tolist() == ["x", "y", "NaN"]
    assert isinstance(out[0, 1], float) and math.isnan(out[2, 1])


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "MNARrs.__call__() missing 2 required positional arguments: 'data' and 'alpha'"),
        ((np.ones((2, 2)),), {}, "MNARrs.__call__() missing 1 required positional argument: 'alpha'"),
        ((1, 2, 3), {}, "MNARrs.__call__() takes 2 positional arguments but 3 were given"),
        ((1,), {"data": 2}, "MNARrs.__call__() got multiple values for argument 'data'"),
        ((1, 2), {"beta": 2}, "MNARrs.__call__() got an unexpected keyword argument 'beta'"),
    ],
)
def test_call_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        MNARrs(n_workers=1)(*args, **kwargs)
    assert str(info.value) == message


def test_alpha_is_converted_before_the_table_is_read():
    with pytest.raises(TypeError, match="^argument 'alpha': "):
        MNARrs(n_workers=1)([1, 2], "much")
    out = MNARrs(seed=0, n_workers=1)(data=normal_table(4, 2), alpha=1)  # an int alpha, by keyword
    assert holes(out).all()


def test_generator_usable_after_failure(PanicException):
    gen = MNARrs(seed=5, n_workers=2)
    bad = normal_table(5, 2)
    bad[0, 0] = np.nan
    with pytest.raises(PanicException):
        gen(bad, 0.5)
    assert holes(gen(normal_table(5, 2), 0.5)).sum() == 5


def test_deep_copy_of_inputs_unchanged_across_kinds():
    data = np.array([["a", 1], ["b", 2], [None, 3]], dtype=object)
    snapshot = copy.deepcopy(data)
    MNARrs(seed=0, n_workers=1)(data, 0.5)
    assert (data == snapshot).all()
