"""Differential tests: the compiled generators against the pure-Python reference model.

The model in reference_model.py is checked first against fixed stream vectors,
then every seeded call of ``MNARrs`` and ``MAR`` is compared with it bit for
bit: the positions of the holes, the untouched cells, the warnings, the
failures, the columns reported on standard error as run dry, and the stream
position (a second call and a probe call on the same object).
"""

import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

import gapweave
import reference_model as ref
from helpers import captured_stderr, normal_table

SETTINGS = settings(
    max_examples=100,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

MODES = ["GM", "MAX", "MIN"]
MEANS = [0.5, 0.0, 0.3, 0.9]
VARIANCES = [0.0, 0.1, 1.0]
WORKERS = [1, 2, 6]


# ---------------------------------------------------------------------------
# The model itself: fixed vectors of the random stream and its consumers.
# ---------------------------------------------------------------------------


def test_seed_zero_key_words():
    assert ref.RandomSource(0).key == [
        0xF973F2EC, 0x45CDB581, 0x7346F087, 0xAD6CAD06,
        0xE3A3D0D0, 0x67E71733, 0x72EA9BF2, 0xFE7D8AD7,
    ]


@pytest.mark.parametrize(
    "seed, words",
    [
        (0, [0xCD2C6F7F, 0xBB2A3FB2, 0x8E27697B, 0xC6017C94]),
        (1, [0xD3301861, 0xF9681A64, 0xCC0D694A, 0xB0F4D125]),
        (42, [0x222724A2, 0x86CC7763, 0x3FAD517D, 0x8AF00A13]),
    ],
)
def test_stream_start(seed, words):
    source = ref.RandomSource(seed)
    assert [source.next_u32() for _ in words] == words


def test_first_u64_and_uniform_of_seed_zero():
    assert ref.RandomSource(0).next_u64() == 0xBB2A3FB2CD2C6F7F
    assert ref.RandomSource(0).uniform_f64() == 0.7311134158637046


def test_u64_straddling_a_refill_reads_words_63_and_64():
    words = ref.RandomSource(5)
    flat = [words.next_u32() for _ in range(130)]
    assert words.counter == 12  # three refills of four blocks
    source = ref.RandomSource(5)
    for _ in range(63):
        source.next_u32()
    assert source.next_u64() == (flat[64] << 32) | flat[63]
    assert source.counter == 8
    assert source.next_u32() == flat[65]


def test_block_counter_carries_into_high_word():
    key = ref.pcg32_key(3)
    source = ref.RandomSource(3)
    source.counter = 0xFFFFFFFE
    got = [source.next_u32() for _ in range(64)]
    expected = []
    for counter in (0xFFFFFFFE, 0xFFFFFFFF, 0x100000000, 0x100000001):
        expected.extend(ref.chacha12_block(key, counter))
    assert got == expected
    assert ref.chacha12_block(key, 0x100000000) != ref.chacha12_block(key, 0)


def test_bounded_draws_of_seed_zero():
    source = ref.RandomSource(0)
    assert [source.uniform_below(10) for _ in range(5)] == [8, 7, 5, 7, 8]
    assert source.words_read == 5
    source = ref.RandomSource(0)
    assert [source.uniform_below(3_000_000_000) for _ in range(2)] == [2404377847, 2193340247]
    assert source.words_read == 2
    assert source.uniform_below(3_000_000_000) == 1665866640
    assert source.words_read == 4


@pytest.mark.parametrize("seed", [0, 7, 2**64 - 1])
def test_range_one_always_zero_one_word(seed):
    source = ref.RandomSource(seed)
    assert [source.uniform_below(1) for _ in range(70)] == [0] * 70
    assert source.words_read == 70


@pytest.mark.parametrize(
    "start, bound, count",
    [(2, 479001600, 11), (3, 3113510400, 11), (13, 253955520, 7), (20, 3315312000, 7),
     (100, 106110600, 4), (1000, 1003002000, 3), (65536, 65536, 1), (100000, 100000, 1)],
)
def test_chooser_bounds(start, bound, count):
    assert ref.chooser_bound(start) == (bound, count)


@pytest.mark.parametrize(
    "length, amount, method",
    [(100, 5, "floyd"), (100, 12, "inplace"), (400, 12, "floyd"),
     (100000, 200, "rejection"), (100000, 400, "inplace"), (10, 10, "floyd"), (0, 0, "floyd")],
)
def test_sampling_method_choice(length, amount, method):
    assert ref.choose_sampling_method(length, amount) == method


class CountingSource(ref.RandomSource):
    def __init__(self, seed):
        super().__init__(seed)
        self.bounds = []

    def uniform_below(self, n):
        self.bounds.append(n)
        return super().uniform_below(n)


@pytest.mark.parametrize("seed", range(6))
def test_shuffle_of_two_takes_one_draw_and_swaps_on_even(seed):
    source = CountingSource(seed)
    items = [0, 1]
    ref.partial_shuffle(items, source, 2)
    assert source.bounds == [479001600]
    draw = ref.RandomSource(seed).uniform_below(479001600)
    assert items == ([1, 0] if draw % 2 == 0 else [0, 1])


def test_shuffle_of_twenty_draws_three_chunks():
    source = CountingSource(11)
    items = list(range(20))
    ref.partial_shuffle(items, source, 20)
    assert source.bounds == [479001600, 253955520, 3315312000]
    assert sorted(items) == list(range(20))


@pytest.mark.parametrize("length", [0, 1])
def test_short_shuffles_draw_nothing(length):
    source = CountingSource(1)
    items = list(range(length))
    ref.partial_shuffle(items, source, length)
    assert items == list(range(length)) and source.words_read == 0


def test_sample_indices_amount_zero_and_full():
    source = ref.RandomSource(4)
    assert ref.sample_indices(source, 9, 0) == [] and source.words_read == 0
    assert sorted(ref.sample_indices(source, 9, 9)) == list(range(9))


@pytest.mark.parametrize(
    "column, mean, variance, expected",
    [([3.0, 1.0, 2.0], 0.5, 0.1, (2.0, 0.1 * 2.0)),
     ([4.0, 1.0, 3.0, 2.0], 0.5, 0.0, (2.5, 0.0)),
     ([4.0, 1.0, 3.0, 2.0], 1.0, 0.0, (4.0, 0.0)),
     ([4.0, 1.0, 3.0, 2.0], -1.0, 0.0, (1.0, 0.0)),
     ([4.0, 1.0, 3.0, 2.0], math.nan, 0.0, (1.0, 0.0)),
     ([5.0, math.inf, 1.0], 0.5, 2.0, (5.0, math.inf))],
)
def test_column_distribution(column, mean, variance, expected):
    matrix = [[v] for v in column]
    assert ref.get_distribution(matrix, mean, variance) == [expected]


def test_column_distribution_fails_past_the_end():
    with pytest.raises(ref.ModelPanic):
        ref.get_distribution([[3.0], [1.0], [2.0]], 1.0, 0.0)


@pytest.mark.parametrize(
    "max_missing, n_cols, alpha, result, shown",
    [(0.5, 10, 0.6, 0.45, "0.45"), (0.5, 10, 0.1, 0.1, None),
     (0.8, 10, 0.8, 0.7200000000000001, "0.7200000000000001"), (0.8, 10, 0.72, 0.72, None),
     (0.3, 10, 0.5, 0.27, "0.27"), (0.5, 1, 0.2, 0.0, "0"), (0.5, 0, 0.2, -math.inf, "-inf")],
)
def test_model_rate_cap(max_missing, n_cols, alpha, result, shown):
    model = ref.MARModel(max_missing_per_column=max_missing)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert model.adjust_alpha(n_cols, alpha) == result
    assert [str(w.message) for w in caught] == ([] if shown is None else [ref.MAR_WARNING + shown])


# ---------------------------------------------------------------------------
# Running the module and the model side by side.
# ---------------------------------------------------------------------------


def outcome_of(call):
    """('ok', array, warnings) or ('panic', message, warnings) of one call."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = call()
        except ref.ModelPanic as fault:
            return "panic", fault.message, [str(w.message) for w in caught]
        except BaseException as fault:  # noqa: BLE001 - PanicException derives from BaseException
            if type(fault).__name__ != "PanicException":
                raise
            return "panic", fault.args[0], [str(w.message) for w in caught]
    return "ok", np.asarray(result, dtype=np.float64), [str(w.message) for w in caught]


def as_input(table, layout):
    if layout == "fortran":
        return np.asfortranarray(table)
    if layout == "frame":
        return pd.DataFrame(table)
    return table.copy()


def assert_same(got, expected, table):
    kind_g, value_g, warn_g = got
    kind_e, value_e, warn_e = expected
    assert warn_g == warn_e
    assert kind_g == kind_e, (value_g, value_e)
    if kind_e == "panic":
        if value_e is not None:  # the index-out-of-range wording is free
            assert value_g == value_e
        return
    assert value_g.shape == value_e.shape == table.shape
    holes_g, holes_e = np.isnan(value_g), np.isnan(value_e)
    assert np.array_equal(holes_g, holes_e), np.argwhere(holes_g != holes_e)
    kept = ~holes_e
    bits = lambda a: np.ascontiguousarray(a).view(np.int64)[kept]  # noqa: E731
    assert np.array_equal(bits(value_g), bits(value_e))
    assert np.array_equal(bits(value_g), bits(table))


def dry_reports(stderr):
    """The columns named by the module's "No argmin found!" reports, in order."""
    return [int(column) for column in re.findall(r"No argmin found!.*?column (\d+)", stderr)]


PROBE_TABLE = normal_table(2, 24, seed=5)


def probe(model_obj):
    """A call whose holes tell where the object's stream stands, in any mode:
    MNARrs visits 12 of the 24 columns chosen at random, MAR takes 12 of them
    at random as its hole columns."""
    alpha = model_obj.max_missing / 2 if isinstance(model_obj, ref.MARModel) else 0.25
    return PROBE_TABLE, alpha, "c"


def compare_call(module_obj, model_obj, table, alpha, layout="c"):
    """One call on both objects: the same outcome and the same columns reported as
    run dry, and the caller's table left as it was. Returns the model's outcome
    and its report of the call."""
    data = as_input(table, layout)
    with captured_stderr() as stderr:
        got = outcome_of(lambda: module_obj(data, alpha))
    expected = outcome_of(lambda: model_obj(table, alpha))
    assert_same(got, expected, table)
    assert dry_reports(stderr.text) == model_obj.last.reported
    assert np.array_equal(np.ascontiguousarray(data, dtype=np.float64).view(np.int64),
                          table.view(np.int64))
    return expected, model_obj.last


def check_pair(module_obj, model_obj, calls):
    """Run each (table, alpha, layout), then the probe, on both objects in turn and compare."""
    for table, alpha, layout in calls + [probe(model_obj)]:
        expected, report = compare_call(module_obj, model_obj, table, alpha, layout)
        event(f"some picks found no cell left: {report.starved_picks > 0}")
        event(f"stopped early: {report.stopped_early}")
        event(f"outcome: {expected[0]} {expected[1] if expected[0] == 'panic' else ''}")
        event(f"rows > 10: {table.shape[0] > 10}; cols > 3: {table.shape[1] > 3}")
        if expected[0] == "ok":
            event(f"holes made: {bool(np.isnan(expected[1]).sum() > np.isnan(table).sum())}")


# ---------------------------------------------------------------------------
# Strategies.
# ---------------------------------------------------------------------------

VALUE_KINDS = {
    "small_ints": st.integers(0, 3).map(float),
    "ties": st.sampled_from([-1.0, -0.0, 0.0, 1.0, 2.5, 2.5]),
    "floats": st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False),
    "wide_floats": st.floats(allow_nan=False, allow_infinity=False),
    "mixed": st.one_of(st.integers(-2, 2).map(float), st.just(-0.0),
                       st.floats(-10, 10, allow_nan=False)),
    # Infinities, subnormals and magnitudes whose squares overflow or
    # underflow, beside small integers that tie.
    "extreme": st.one_of(
        st.sampled_from([math.inf, -math.inf, 5e-324, -5e-324, 1e300, -1e300, 1e-300, 1e154, -0.0, 0.0]),
        st.integers(-2, 2).map(float)),
}


@st.composite
def tables(draw, max_rows=40, min_cols=1, max_cols=8, nan=False):
    rows = draw(st.one_of(st.just(1), st.integers(2, 12), st.integers(min(13, max_rows), max_rows)))
    cols = draw(st.one_of(st.just(min_cols), st.integers(min_cols, max_cols),
                          st.integers(min(min_cols + 2, max_cols), max_cols)))
    kind = draw(st.sampled_from(sorted(VALUE_KINDS)))
    values = draw(st.lists(VALUE_KINDS[kind], min_size=rows * cols, max_size=rows * cols))
    table = np.array(values, dtype=np.float64).reshape(rows, cols)
    if nan:
        cells = draw(st.lists(st.tuples(st.integers(0, rows - 1), st.integers(0, cols - 1)),
                              min_size=1, max_size=max(1, rows * cols // 3)))
        for r, c in cells:
            table[r, c] = np.nan
        assume(not np.isnan(table).all())
    return table


# Above 1 every cell runs dry: the passes left are drawn (1.5, 3) or, past
# the table's cell count and 2**20 picks, the call stops (1e12, inf).
alphas = st.one_of(st.floats(0.05, 1.0), st.sampled_from([1.0, 0.5, 1e-9, 0.0]), st.floats(0.0, 1.0),
                   st.sampled_from([1.5, 3.0, 1e12, math.inf]))
seeds = st.integers(0, 2**64 - 1)
layouts = st.sampled_from(["c", "c", "fortran", "frame"])
calls = st.tuples(tables(), alphas, layouts)
wide_enough_calls = st.tuples(tables(min_cols=2), alphas, layouts)


# ---------------------------------------------------------------------------
# MNARrs.
# ---------------------------------------------------------------------------


@SETTINGS
@given(
    first=calls, second=calls, mean=st.sampled_from(MEANS + [1.0]),
    variance=st.sampled_from(VARIANCES), mode=st.sampled_from(MODES), seed=seeds,
    n_workers=st.sampled_from(WORKERS),
)
def test_mnar_matches_model(first, second, mean, variance, mode, seed, n_workers):
    module_obj = gapweave.MNARrs(mean, variance, mode, seed, n_workers)
    model_obj = ref.MNARModel(mean, variance, mode, seed)
    check_pair(module_obj, model_obj, [first, second])


@SETTINGS
@given(
    first=st.tuples(tables(nan=True), alphas, layouts), second=calls,
    variance=st.sampled_from(VARIANCES), mode=st.sampled_from(MODES), seed=seeds,
    n_workers=st.sampled_from(WORKERS),
)
def test_mnar_with_missing_cells_matches_model(first, second, variance, mode, seed, n_workers):
    module_obj = gapweave.MNARrs(0.5, variance, mode, seed, n_workers)
    model_obj = ref.MNARModel(0.5, variance, mode, seed)
    check_pair(module_obj, model_obj, [first, second])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("blank", [[(2, 1)], [(r, c) for r in range(4) for c in range(3)]])
def test_mnar_missing_cell_fails_with_sample_is_nan(mode, blank, PanicException):
    table = np.arange(12, dtype=float).reshape(4, 3)
    for cell in blank:
        table[cell] = np.nan
    module_obj = gapweave.MNARrs(mode=mode, seed=9, n_workers=2)
    model_obj = ref.MNARModel(mode=mode, seed=9)
    with pytest.raises(ref.ModelPanic, match="Sample is nan"):
        model_obj(table, 0.5)
    with pytest.raises(PanicException) as info:
        module_obj(table, 0.5)
    assert info.value.args[0] == "Sample is nan"
    # The failed call advanced both streams alike.
    clean = np.arange(12, dtype=float).reshape(4, 3) % 5
    assert_same(outcome_of(lambda: module_obj(clean, 0.4)),
                outcome_of(lambda: model_obj(clean, 0.4)), clean)


@pytest.mark.parametrize("alpha, holes", [(0.07, 8), (0.155, 16)])
@pytest.mark.parametrize("mode", MODES)
def test_mnar_total_is_rounded_up(alpha, holes, mode):
    table = np.arange(100, dtype=float).reshape(10, 10) % 7
    module_obj = gapweave.MNARrs(mode=mode, seed=3, n_workers=2)
    model_obj = ref.MNARModel(mode=mode, seed=3)
    got, expected = module_obj(table, alpha), model_obj(table, alpha)
    assert model_obj.last.total == holes
    assert int(np.isnan(got).sum()) == holes
    assert_same(("ok", got, []), ("ok", expected, []), table)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("seed", [0, 1, 2, 3, 2**64 - 1])
def test_mnar_last_pass_reservoir(mode, seed):
    # 12 x 8 cells, alpha 21/96: two full passes, then 5 of the 8 columns by reservoir
    # sampling, whose order is also the order of the normal targets.
    table = np.random.default_rng(seed % 1000).normal(size=(12, 8))
    module_obj = gapweave.MNARrs(0.5, 1.0, mode, seed, 6)
    model_obj = ref.MNARModel(0.5, 1.0, mode, seed)
    for _ in range(2):
        got = outcome_of(lambda: module_obj(table, 0.21875))
        assert_same(got, outcome_of(lambda: model_obj(table, 0.21875)), table)
        assert sorted(np.isnan(got[1]).sum(axis=0).tolist()) == [2] * 3 + [3] * 5


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("seed", range(8))
def test_mar_equal_drivers_keep_the_earlier_candidate(mode, seed):
    # Column 2 is the negation of column 1: both correlate exactly as strongly with every
    # other column, and the one met first in the shuffled order drives.
    rng = np.random.default_rng(seed)
    x, y, z = rng.normal(size=(3, 9))
    table = np.column_stack([x + y, y, -y, z - y])
    module_obj = gapweave.MAR(0.5, 0.0, 0.8, mode, seed, 2)
    model_obj = ref.MARModel(0.5, 0.0, 0.8, mode, seed)
    assert_same(outcome_of(lambda: module_obj(table, 0.3)),
                outcome_of(lambda: model_obj(table, 0.3)), table)


@pytest.mark.parametrize("mean, rows", [(1.0, 3), (1.0, 1), (2.0, 4), (0.5, 0)])
def test_mnar_distribution_out_of_range_faults(mean, rows, PanicException):
    table = np.arange(rows * 2, dtype=float).reshape(rows, 2)
    module_obj = gapweave.MNARrs(mean, seed=1, n_workers=1)
    model_obj = ref.MNARModel(mean, seed=1)
    with pytest.raises(ref.ModelPanic):
        model_obj(table, 0.0)
    with pytest.raises(PanicException):
        module_obj(table, 0.0)


def test_mnar_without_columns_gives_no_holes():
    table = np.empty((5, 0))
    got = gapweave.MNARrs(seed=1, n_workers=1)(table, 0.7)
    assert got.shape == (5, 0)
    assert ref.MNARModel(seed=1)(table, 0.7).shape == (5, 0)


# ---------------------------------------------------------------------------
# MAR.
# ---------------------------------------------------------------------------

# Caps above 1 let MAR's hole columns run dry too.
MAX_MISSING = [0.8, 0.5, 0.3, 1.0, 0.25, 4.0, 1e9]


@SETTINGS
@given(
    first=wide_enough_calls, second=calls, mean=st.sampled_from(MEANS + [1.0]),
    variance=st.sampled_from(VARIANCES), max_missing=st.sampled_from(MAX_MISSING),
    mode=st.sampled_from(MODES), seed=seeds, n_workers=st.sampled_from(WORKERS),
)
def test_mar_matches_model(first, second, mean, variance, max_missing, mode, seed, n_workers):
    module_obj = gapweave.MAR(mean, variance, max_missing, mode, seed, n_workers)
    model_obj = ref.MARModel(mean, variance, max_missing, mode, seed)
    check_pair(module_obj, model_obj, [first, second])


@SETTINGS
@given(
    first=st.tuples(tables(max_rows=6, min_cols=12, max_cols=30), alphas, layouts),
    second=st.tuples(tables(max_rows=6, min_cols=12, max_cols=30), alphas, layouts),
    variance=st.sampled_from(VARIANCES), max_missing=st.sampled_from([0.8, 0.9, 1.0, 0.6]),
    mode=st.sampled_from(MODES), seed=seeds, n_workers=st.sampled_from(WORKERS),
)
def test_mar_wide_tables_match_model(first, second, variance, max_missing, mode, seed, n_workers):
    # Many hole columns: the last pass samples them in place rather than by Floyd's method.
    module_obj = gapweave.MAR(0.5, variance, max_missing, mode, seed, n_workers)
    model_obj = ref.MARModel(0.5, variance, max_missing, mode, seed)
    check_pair(module_obj, model_obj, [first, second])


@SETTINGS
@given(
    first=st.tuples(tables(nan=True), alphas, layouts), second=calls,
    variance=st.sampled_from(VARIANCES), max_missing=st.sampled_from(MAX_MISSING),
    mode=st.sampled_from(MODES), seed=seeds, n_workers=st.sampled_from(WORKERS),
)
def test_mar_with_missing_cells_matches_model(first, second, variance, max_missing, mode, seed,
                                              n_workers):
    module_obj = gapweave.MAR(0.5, variance, max_missing, mode, seed, n_workers)
    model_obj = ref.MARModel(0.5, variance, max_missing, mode, seed)
    check_pair(module_obj, model_obj, [first, second])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("seed", [0, 3, 2**64 - 1])
def test_mar_last_pass_sampled_in_place(mode, seed, monkeypatch):
    # 3 x 20 cells, rate 0.9, cap 1.0: 18 hole columns, Total 54; the third pass has
    # 18 picks left, fewer than the 20 columns, so it samples all 18 positions in place.
    used = []
    original = ref.sample_inplace
    monkeypatch.setattr(ref, "sample_inplace", lambda *a: used.append(a[1:]) or original(*a))
    table = np.random.default_rng(seed % 97).integers(0, 5, size=(3, 20)).astype(float)
    module_obj = gapweave.MAR(0.5, 0.1, 1.0, mode, seed, 6)
    model_obj = ref.MARModel(0.5, 0.1, 1.0, mode, seed)
    for _ in range(2):
        assert_same(outcome_of(lambda: module_obj(table, 0.9)),
                    outcome_of(lambda: model_obj(table, 0.9)), table)
    assert (model_obj.last.h, model_obj.last.total) == (18, 54)
    assert used == [(18, 18), (18, 18)]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("seed", [1, 18, 19])
def test_mar_driver_choice_sees_fused_running_variance(mode, seed):
    # Hole column 0; candidate 2 is -1.1 x candidate 1, so both correlate equally with the
    # hole column up to rounding. With the fused multiply-add in the running variance,
    # candidate 2 comes out strictly ahead and drives; without it the two tie and
    # candidate 1, earlier in the shuffled order, would drive (other rows blanked).
    table = np.array([[5, 5, -5.5], [3, 4, -4.4], [5, 2, -2.2], [0, 2, -2.2], [2, 2, -2.2]])
    order = [0, 1, 2]
    ref.partial_shuffle(order, ref.RandomSource(seed), 3)
    assert order == [0, 1, 2]
    module_obj = gapweave.MAR(0.5, 0.0, 0.8, mode, seed, 2)
    model_obj = ref.MARModel(0.5, 0.0, 0.8, mode, seed)
    assert_same(outcome_of(lambda: module_obj(table, 0.2)),
                outcome_of(lambda: model_obj(table, 0.2)), table)
    assert model_obj.last.pairs == [(0, 2)]


@pytest.mark.parametrize("seed", [0, 1])
def test_mar_total_beyond_capacity_still_draws_last_pass(seed):
    # 6 x 3 cells, cap 1.0, alpha 0.9: rate 1 - 1/3 = 0.6666666666666667, h = 2 hole
    # columns of 6 rows, but Total = ceil(12.000000000000002) = 13. The 7th pick is a pass
    # of its own (one bounded draw for the selection, two normal targets) whose job finds
    # no cell left; the holes are the same, the next call continues after those draws.
    table = np.arange(18, dtype=float).reshape(6, 3) % 4
    follow = np.arange(30, dtype=float).reshape(10, 3) ** 1.3
    module_obj = gapweave.MAR(0.5, 0.1, 1.0, "GM", seed, 2)
    model_obj = ref.MARModel(0.5, 0.1, 1.0, "GM", seed)
    first = outcome_of(lambda: module_obj(table, 0.9))
    assert_same(first, outcome_of(lambda: model_obj(table, 0.9)), table)
    assert (model_obj.last.total, model_obj.last.h, model_obj.last.ran_dry) == (13, 2, True)
    assert_same(outcome_of(lambda: module_obj(follow, 0.5)),
                outcome_of(lambda: model_obj(follow, 0.5)), follow)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("seed", [0, 17, 2**64 - 1])
def test_mar_two_hole_columns_of_fifty(mode, seed):
    table = np.random.default_rng(seed % 1000).normal(size=(100, 10))
    module_obj = gapweave.MAR(max_missing_per_column=0.5, mode=mode, seed=seed, n_workers=6)
    model_obj = ref.MARModel(max_missing_per_column=0.5, mode=mode, seed=seed)
    got = outcome_of(lambda: module_obj(table, 0.1))
    expected = outcome_of(lambda: model_obj(table, 0.1))
    assert_same(got, expected, table)
    assert got[2] == []
    per_column = np.isnan(got[1]).sum(axis=0)
    assert sorted(per_column.tolist()) == [0] * 8 + [50, 50]
    assert model_obj.last.total == 100 and model_obj.last.h == 2


@pytest.mark.parametrize("mode", MODES)
def test_mar_rate_cap_nine_hole_columns(mode):
    table = np.random.default_rng(2).normal(size=(100, 10))
    module_obj = gapweave.MAR(max_missing_per_column=0.5, mode=mode, seed=8, n_workers=2)
    model_obj = ref.MARModel(max_missing_per_column=0.5, mode=mode, seed=8)
    with pytest.warns(UserWarning) as record:
        got = module_obj(table, 0.6)
    assert [str(w.message) for w in record] == [
        "Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: 0.45"
    ]
    expected = outcome_of(lambda: model_obj(table, 0.6))
    assert_same(("ok", np.asarray(got), [str(w.message) for w in record]), expected, table)
    per_column = np.isnan(got).sum(axis=0)
    assert sorted(per_column.tolist()) == [0] + [50] * 9
    drivers = {d for _, d in model_obj.last.pairs}
    assert drivers == {int(np.flatnonzero(per_column == 0)[0])}


@pytest.mark.parametrize("n_cols, alpha, result, warned", [
    (10, 0.6, 0.45, "0.45"), (10, 0.1, 0.1, None), (10, math.nan, math.nan, None),
    (1, 0.3, 0.0, "0"), (0, 0.3, -math.inf, "-inf"),
])
def test_adjust_alpha_matches_model(n_cols, alpha, result, warned):
    module_obj = gapweave.MAR(max_missing_per_column=0.5, seed=1, n_workers=1)
    model_obj = ref.MARModel(max_missing_per_column=0.5, seed=1)
    got = outcome_of(lambda: module_obj._adjust_alpha(n_cols, alpha))
    expected = outcome_of(lambda: model_obj.adjust_alpha(n_cols, alpha))
    assert got[2] == expected[2] == ([] if warned is None else [ref.MAR_WARNING + warned])
    for value in (float(got[1]), float(expected[1])):
        assert value == result or (math.isnan(value) and math.isnan(result))


@pytest.mark.parametrize("seed", [0, 5, 2**63])
def test_mar_mid_past_len_after_the_shuffle(seed):
    table = np.arange(40, dtype=float).reshape(4, 10) % 3
    module_obj = gapweave.MAR(0.5, 0.0, -0.3, "GM", seed, 2)
    model_obj = ref.MARModel(0.5, 0.0, -0.3, "GM", seed)
    got = outcome_of(lambda: module_obj(table, -5.0))
    expected = outcome_of(lambda: model_obj(table, -5.0))
    assert expected[:2] == ("panic", "mid > len")
    assert_same(got, expected, table)
    # Both streams have moved past the same column shuffle.
    module_obj = gapweave.MAR(0.5, 0.0, -0.3, "GM", seed, 2)
    model_obj = ref.MARModel(0.5, 0.0, -0.3, "GM", seed)
    for alpha in (-5.0, -0.1):
        assert_same(outcome_of(lambda: module_obj(table, alpha)),
                    outcome_of(lambda: model_obj(table, alpha)), table)


@pytest.mark.parametrize("shape", [(0, 3), (0, 1), (4, 0), (0, 0)])
def test_mar_empty_tables_fault_like_model(shape):
    table = np.empty(shape)
    module_obj = gapweave.MAR(max_missing_per_column=0.5, seed=2, n_workers=1)
    model_obj = ref.MARModel(max_missing_per_column=0.5, seed=2)
    got = outcome_of(lambda: module_obj(table, 0.3))
    expected = outcome_of(lambda: model_obj(table, 0.3))
    assert expected[:2] == ("panic", "Failed to calculate pearson_correlation: EmptyInput")
    assert_same(got, expected, table)


@pytest.mark.parametrize("mode", MODES)
def test_mar_driver_with_missing_cell_fails_with_sample_is_nan(mode):
    # Every column holds a missing cell: all coefficients are NaN, column 0 drives, its spread is NaN.
    table = np.arange(24, dtype=float).reshape(6, 4)
    for c in range(4):
        table[c, c] = np.nan
    module_obj = gapweave.MAR(mode=mode, seed=4, n_workers=2)
    model_obj = ref.MARModel(mode=mode, seed=4)
    got = outcome_of(lambda: module_obj(table, 0.3))
    expected = outcome_of(lambda: model_obj(table, 0.3))
    assert expected[:2] == ("panic", "Sample is nan")
    assert_same(got, expected, table)
    clean = np.arange(24, dtype=float).reshape(6, 4) ** 1.5
    assert_same(outcome_of(lambda: module_obj(clean, 0.3)),
                outcome_of(lambda: model_obj(clean, 0.3)), clean)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "cls, alpha, stops",
    [("MNARrs", 3.0, False), ("MNARrs", 1e12, True), ("MAR", 3.0, False), ("MAR", math.inf, True)],
)
def test_calls_past_the_last_cell(cls, alpha, stops, mode):
    # 7 x 5 cells. Three times as many picks as cells: the passes after the last
    # cell still draw their numbers, and each column that runs out is reported
    # once. Far more: the call stops after the pass that blanked the last cell,
    # and its stream is left there. (MAR's cap of 1e9 lets its rate go past 1.)
    table = normal_table(7, 5, seed=1)
    if cls == "MNARrs":
        module_obj, model_obj = gapweave.MNARrs(0.5, 0.3, mode, 3, 2), ref.MNARModel(0.5, 0.3, mode, 3)
    else:
        module_obj = gapweave.MAR(0.5, 0.3, 1e9, mode, 3, 2)
        model_obj = ref.MARModel(0.5, 0.3, 1e9, mode, 3)
    expected, report = compare_call(module_obj, model_obj, table, alpha)
    assert expected[0] == "ok" and report.stopped_early == stops
    assert bool(report.reported) != stops
    compare_call(module_obj, model_obj, *probe(model_obj))
