"""gapweave_tools.punch: the caller's own table back, the engine's holes in it."""

import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import gapweave
from gapweave_tools import punch

pd = pytest.importorskip("pandas")

MECHANISMS = ["MNAR", "MAR", "MCAR"]
SLOW = settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def frame_column(kind, rows, rng, holes):
    """One column of a given kind, with about a fifth of its cells missing when `holes`."""
    gap = rng.random(rows) < (0.2 if holes else 0.0)
    numbers = rng.integers(-5, 6, rows)
    if kind == "float64":
        values = rng.normal(size=rows)
        values[gap] = np.nan
        return pd.Series(values)
    if kind == "float32":
        return pd.Series(np.where(gap, np.nan, rng.normal(size=rows)).astype(np.float32))
    if kind == "int64":
        return pd.Series(numbers)
    if kind == "bool":
        return pd.Series(numbers > 0)
    if kind == "Int64":
        return pd.Series(pd.array(np.where(gap, None, numbers), dtype="Int64"))
    if kind in ("datetime", "utc", "timedelta"):
        values = pd.Series(pd.to_datetime(numbers * 86_400_000_000_000 + 10**18)).mask(gap)
        return values.dt.tz_localize("UTC") if kind == "utc" else (
            values - values.min() if kind == "timedelta" else values)
    if kind in ("ordered", "unordered"):
        labels = np.array(["low", "mid", "high"], dtype=object)[numbers % 3]
        labels[gap] = None
        return pd.Series(pd.Categorical(labels, categories=["low", "mid", "high"],
                                        ordered=kind == "ordered"))
    if kind == "string":
        return pd.Series(pd.array(np.where(gap, None, numbers.astype(str)), dtype="string"))
    if kind == "texts":
        return pd.Series(np.where(gap, None, np.array(list("abcde"), dtype=object)[numbers % 5]),
                         dtype=object)
    if kind == "numeric objects":
        return pd.Series([None if g else int(n) for g, n in zip(gap, numbers)], dtype=object)
    raise AssertionError(kind)


KINDS = ["float64", "float32", "int64", "bool", "Int64", "datetime", "utc", "timedelta", "ordered", "unordered",
         "string", "texts", "numeric objects"]
LABELS = st.one_of(st.integers(-3, 3), st.text(max_size=3), st.tuples(st.integers(0, 2), st.text(max_size=1)))


@st.composite
def mixed_frames(draw):
    rows = draw(st.integers(3, 40))
    kinds = draw(st.lists(st.sampled_from(KINDS), min_size=2, max_size=6))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    holes = draw(st.booleans())
    labels = draw(st.lists(LABELS, min_size=len(kinds), max_size=len(kinds)))
    index = draw(st.sampled_from([pd.RangeIndex(rows), pd.Index(rng.permutation(rows) * 7 - 50),
                                  pd.Index([f"r{i}" for i in rng.permutation(rows)])]))
    frame = pd.concat([frame_column(kind, rows, rng, holes) for kind in kinds], axis=1)
    frame.columns = pd.Index(labels, tupleize_cols=False)
    frame.index = index
    return frame


def assert_same_outside(before, after, mask):
    """Every cell outside the mask keeps its value; the mask is exactly the new holes."""
    for position in range(before.shape[1]):
        old, new = before.iloc[:, position], after.iloc[:, position]
        holes = mask.iloc[:, position].to_numpy()
        assert new.isna().to_numpy()[holes].all()
        assert not old.isna().to_numpy()[holes].any()
        kept = ~holes
        pd.testing.assert_series_equal(new[kept], old[kept], check_dtype=False, check_categorical=True)
        if not holes.any():
            assert new.dtype == old.dtype
        elif old.dtype.kind in "iub" and isinstance(old.dtype, np.dtype):
            assert new.dtype == {"b": "boolean"}.get(old.dtype.kind, f"{'U' if old.dtype.kind == 'u' else ''}Int64")
        else:
            assert new.dtype == old.dtype


@SLOW
@given(frame=mixed_frames(), mechanism=st.sampled_from(MECHANISMS), alpha=st.floats(0, 1),
       seed=st.integers(0, 2**64 - 1))
def test_the_callers_frame_comes_back_with_holes_of_its_own_dtypes(frame, mechanism, alpha, seed):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # MAR's rate cap
        out = punch(frame, alpha, mechanism, seed=seed, n_workers=2)
        again = punch(frame, alpha, mechanism, seed=seed, n_workers=1)
    assert out.table.index.equals(frame.index) and list(out.table.columns) == list(frame.columns)
    assert out.mask.index.equals(frame.index) and out.mask.dtypes.eq(bool).all()
    assert_same_outside(frame, out.table, out.mask)
    assert out.mask.equals(again.mask)
    if mechanism != "MAR":  # the rate applies to each column's present cells
        present = frame.notna().sum().to_numpy()
        counts = out.mask.sum().to_numpy()
        if frame.notna().all().all():
            assert counts.sum() == min(frame.size, math.ceil(frame.size * alpha))
            assert counts.max() - counts.min() <= 1
        else:
            assert counts.tolist() == [math.ceil(alpha * p) for p in present]


def module_call(mechanism, table, alpha, **settings):
    make = gapweave.MNARrs if mechanism == "MNAR" else gapweave.MAR
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return make(**settings)(table, alpha)


@settings(max_examples=60, deadline=None)
@given(rows=st.integers(1, 60), cols=st.integers(1, 6), alpha=st.floats(0, 1),
       mechanism=st.sampled_from(["MNAR", "MAR"]), mode=st.sampled_from(["GM", "MAX", "min"]),
       variance=st.sampled_from([None, 0.0, 0.3]), seed=st.integers(0, 2**64 - 1),
       as_frame=st.booleans())
def test_a_complete_float_table_gets_exactly_the_modules_holes(rows, cols, alpha, mechanism, mode,
                                                               variance, seed, as_frame):
    table = np.random.default_rng(seed % 1000).normal(size=(rows, cols))
    expected = module_call(mechanism, table, alpha, mode=mode, variance=variance, seed=seed)
    data = pd.DataFrame(table, index=np.arange(rows) * 3 + 1) if as_frame else table
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        out = punch(data, alpha, mechanism, mode=mode, variance=variance, seed=seed)
    got = out.table.to_numpy() if as_frame else out.table
    assert got.tobytes() == expected.tobytes()
    assert (np.asarray(out.mask) == np.isnan(expected)).all()


@pytest.mark.parametrize("mechanism", MECHANISMS)
def test_columns_choose_where_holes_go(mechanism):
    frame = pd.DataFrame(np.random.default_rng(1).normal(size=(50, 4)), columns=["a", 0, ("t", 1), "d"])
    out = punch(frame, 0.2, mechanism, columns=["a", ("t", 1), "d"], seed=3)
    assert out.mask[0].sum() == 0 and out.mask.sum().sum() == math.ceil(0.2 * 150)
    with pytest.raises(KeyError, match="'nope'"):
        punch(frame, 0.2, mechanism, columns=["a", "nope"])
    array_out = punch(frame.to_numpy(), 0.2, mechanism, columns=[0, 2, -1], seed=3)
    assert (array_out.mask == out.mask.to_numpy()).all()


@pytest.mark.parametrize("mode", ["GM", "MAX", "MIN"])
def test_mar_with_holes_keeps_holes_in_hole_columns_driven_by_a_correlated_column(mode):
    rng = np.random.default_rng(4)
    driver = rng.normal(size=400)
    table = np.column_stack([driver, -driver + 0.01 * rng.normal(size=400), rng.normal(size=(400, 2))])
    table[rng.random(table.shape) < 0.1] = np.nan
    out = punch(table, 0.2, "MAR", mode=mode, max_missing_per_column=0.5, seed=7)
    counts = out.mask.sum(axis=0)
    assert counts.sum() == math.ceil(0.2 * (~np.isnan(table)).sum())
    assert (counts > 0).sum() == math.ceil(0.2 * 4 / 0.5)
    assert not (out.mask & np.isnan(table)).any()
    if mode != "GM":  # each hole column's holes sit at one driver's extreme values
        sign = 1 if mode == "MAX" else -1
        for target in np.flatnonzero(counts):
            def splits(driver):
                both = ~np.isnan(table[:, driver]) & ~np.isnan(table[:, target])
                blanked, kept = table[both & out.mask[:, target], driver], table[both & ~out.mask[:, target], driver]
                return blanked.size > 0 and (sign * blanked).max() <= (sign * kept).min()
            assert any(splits(driver) for driver in np.flatnonzero(counts == 0))


def test_numpy_dtypes():
    ints = np.arange(12).reshape(6, 2)
    for table, dtype in [(ints, np.float64), (ints > 5, np.float64), (ints.astype(np.float32), np.float32),
                         (ints.astype("datetime64[s]"), np.dtype("datetime64[s]"))]:
        out = punch(table, 0.5, "MNAR", mode="MAX")
        assert out.table.dtype == dtype and out.mask.sum() == 6
        assert (out.table[~out.mask] == table.astype(dtype)[~out.mask]).all()
    assert out.mask[:3].all()  # MAX blanks the earliest instants
    texts = punch(np.array([["b", "a"], ["a", "c"]]), 0.5, "MNAR", mode="MAX").table
    assert texts.dtype == object and texts.tolist() == [["b", None], [None, "c"]]


@pytest.mark.parametrize("kwargs, error, words", [
    ({"alpha": 20}, ValueError, "alpha must lie in [0, 1]"),
    ({"alpha": -0.1}, ValueError, "alpha must lie in [0, 1]"),
    ({"alpha": math.nan}, ValueError, "alpha must be a number"),
    ({"mechanism": "mcar2"}, ValueError, "'MNAR', 'MAR', 'MCAR'"),
    ({"mean": 1.0}, ValueError, "mean must lie in [0, 1)"),
    ({"variance": -1}, ValueError, "variance must be a finite number"),
    ({"variance": math.nan}, ValueError, "variance must be a number"),
    ({"n_workers": 0}, ValueError, "n_workers must lie in [1, 1024]"),
    ({"n_workers": 10**6}, ValueError, "n_workers must lie in [1, 1024]"),
    ({"mode": "max2"}, ValueError, "mode must be one of"),
    ({"seed": -1}, ValueError, "seed must lie in [0, 2**64)"),
    ({"seed": 1.5}, TypeError, "seed must be an integer"),
    ({"max_missing_per_column": 0.5}, ValueError, "applies to mechanism 'MAR' only"),
    ({"mechanism": "MAR", "max_missing_per_column": 0}, ValueError, "max_missing_per_column must lie in (0, 1]"),
    ({"table": np.zeros(4)}, ValueError, "two-dimensional"),
    ({"columns": []}, ValueError, "columns selects no column"),
    ({"table": np.zeros((0, 3))}, ValueError, "table is empty"),
    ({"table": [[1.0]]}, TypeError, "numpy.ndarray or a pandas.DataFrame"),
    ({"table": np.ones((3, 2), dtype=complex)}, TypeError, "column 0 has dtype complex128"),
    ({"table": pd.DataFrame({"span": pd.interval_range(0, 3)})}, TypeError, "column 'span' has dtype interval"),
    ({"table": np.array([[1.0, np.inf], [2.0, 3.0]])}, ValueError, "column 1 holds an infinite value"),
    ({"table": np.array([[1.0, 1e308], [2.0, -1e308]]), "alpha": 0.5}, ValueError,
     "column 1 spans more than the largest double"),
])
def test_settings_and_tables_the_layer_refuses(kwargs, error, words):
    call = dict({"table": np.ones((4, 3)), "alpha": 0.2, "mechanism": "MNAR"}, **kwargs)
    with pytest.raises(error) as raised:
        punch(call.pop("table"), call.pop("alpha"), call.pop("mechanism"), **call)
    assert words in str(raised.value)


def test_tables_with_holes_never_panic():
    table = np.random.default_rng(2).normal(size=(30, 3))
    table[::4, 1] = np.nan
    table[:, 2] = np.nan  # a column with no present cell takes no hole
    for mechanism in MECHANISMS:
        out = punch(table, 0.5, mechanism, max_missing_per_column=0.9 if mechanism == "MAR" else None, seed=1)
        assert not out.mask[:, 2].any() and out.mask.any()
