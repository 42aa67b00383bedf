"""gapweave_tools as a scikit-learn citizen, and score_imputers."""

import multiprocessing
import pickle

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")
joblib = pytest.importorskip("joblib")
from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.impute import SimpleImputer  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402

from gapweave_tools import score_imputers  # noqa: E402
from gapweave_tools.sklearn import Amputer  # noqa: E402

FRAME = pd.DataFrame(np.random.default_rng(0).normal(size=(120, 4)), columns=["a", "b", "c", "d"])


def holes_of(amputer, data=FRAME):
    return amputer.fit_transform(data).isna().to_numpy()


def test_parameters_clone_and_pickle():
    amputer = Amputer("MAR", 0.2, mode="MAX", max_missing_per_column=0.5, seed=3)
    assert amputer.get_params()["max_missing_per_column"] == 0.5
    copies = [clone(amputer), pickle.loads(pickle.dumps(amputer)), Amputer().set_params(**amputer.get_params())]
    assert all((holes_of(copy) == holes_of(amputer)).all() for copy in copies)
    assert (holes_of(amputer) == holes_of(amputer)).all()  # the same seed, the same holes
    assert list(amputer.get_feature_names_out()) == ["a", "b", "c", "d"]
    with pytest.raises(ValueError, match="alpha"):
        Amputer(alpha=2).fit(FRAME)


@pytest.mark.parametrize("backend", ["loky", "fork"])
def test_joblib_processes(backend):
    amputer = Amputer("MNAR", 0.2, variance=0.1, seed=5)
    if backend == "fork":
        with multiprocessing.get_context("fork").Pool(2) as pool:
            results = pool.map(amputer.fit_transform, [FRAME, FRAME])
    else:
        results = joblib.Parallel(n_jobs=2, backend="loky", timeout=120)(
            joblib.delayed(amputer.fit_transform)(FRAME) for _ in range(2))
    expected = amputer.fit_transform(FRAME)
    assert all(result.equals(expected) for result in results)


def test_pipeline_and_column_transformer_keep_the_split_index():
    train, test = train_test_split(FRAME, test_size=0.25, random_state=0)
    columns = ColumnTransformer([("holes", Amputer("MCAR", 0.25, seed=1), ["a", "b"])],
                                remainder="passthrough").set_output(transform="pandas")
    out = columns.fit(train).transform(test)
    assert out.index.equals(test.index) and out.shape == test.shape
    assert out[["holes__a", "holes__b"]].isna().sum().sum() == np.ceil(0.25 * 2 * len(test))
    assert out.filter(like="remainder").equals(test[["c", "d"]].add_prefix("remainder__"))
    filled = make_pipeline(Amputer("MNAR", 0.3, seed=2), SimpleImputer()).fit_transform(train)
    assert not np.isnan(filled).any() and filled.shape == train.shape


def test_score_imputers_scores_each_hole_in_standard_deviations():
    scores = score_imputers(FRAME, {"mean": SimpleImputer()}, mechanisms=("MCAR", "MNAR"),
                            alphas=(0.1,), seeds=(0, 1), mode="MAX")
    assert list(scores.columns) == ["mechanism", "alpha", "seed", "imputer", "column", "holes", "rmse", "mae"]
    assert len(scores) == 2 * 2 * 4 and (scores["holes"] == 12).all()
    # MAX blanks the smallest values, which the mean fills worst
    by = scores.groupby("mechanism")["rmse"].mean()
    assert by["MNAR"] > by["MCAR"] > 0
    assert (scores["mae"] <= scores["rmse"]).all()
