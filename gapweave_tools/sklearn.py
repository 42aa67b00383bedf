"""``Amputer``: gapweave's holes as a scikit-learn transformer.

The transformer stores its parameters as given and builds fresh generators
from them on every ``transform``, so it clones, pickles and travels to
joblib's worker processes like any estimator, and with a ``seed`` every call
gives the same holes. Needs scikit-learn.
"""

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_is_fitted

from . import punch
from ._settings import check_settings


class Amputer(TransformerMixin, BaseEstimator):
    """Blank a fraction ``alpha`` of the cells with MNAR, MAR or MCAR holes.

    Parameters are those of ``gapweave_tools.punch``. ``fit`` checks them
    and records the number (and names) of the input's features;
    ``transform`` returns the input, of its own kind, index and dtypes, with
    the new holes. ``get_feature_names_out`` passes the names through.
    """

    def __init__(self, mechanism="MNAR", alpha=0.1, *, columns=None, mean=None, variance=None,
                 mode="GM", max_missing_per_column=None, seed=None, n_workers=None):
        self.mechanism = mechanism
        self.alpha = alpha
        self.columns = columns
        self.mean = mean
        self.variance = variance
        self.mode = mode
        self.max_missing_per_column = max_missing_per_column
        self.seed = seed
        self.n_workers = n_workers

    def _settings(self):
        return dict(columns=self.columns, seed=self.seed, mean=self.mean, variance=self.variance,
                    mode=self.mode, max_missing_per_column=self.max_missing_per_column,
                    n_workers=self.n_workers)

    def fit(self, X, y=None):
        settings = self._settings()
        del settings["columns"]
        check_settings(self.mechanism, self.alpha, **settings)
        self.n_features_in_ = np.shape(X)[1]
        columns = getattr(X, "columns", None)
        if columns is not None and all(isinstance(name, str) for name in columns):
            self.feature_names_in_ = np.asarray(columns, dtype=object)
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    def transform(self, X):
        check_is_fitted(self, "n_features_in_")
        if np.shape(X)[1] != self.n_features_in_:
            raise ValueError(f"X has {np.shape(X)[1]} features, but Amputer was fitted with "
                             f"{self.n_features_in_}")
        return punch(X, self.alpha, self.mechanism, **self._settings()).table

    def get_feature_names_out(self, input_features=None):
        check_is_fitted(self, "n_features_in_")
        names = getattr(self, "feature_names_in_", None)
        if input_features is not None:
            input_features = np.asarray(input_features, dtype=object)
            if names is not None and not np.array_equal(input_features, names):
                raise ValueError("input_features is not equal to feature_names_in_")
            if len(input_features) != self.n_features_in_:
                raise ValueError(f"input_features should have length {self.n_features_in_}")
            return input_features
        if names is not None:
            return names.copy()
        return np.asarray([f"x{i}" for i in range(self.n_features_in_)], dtype=object)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.requires_fit = True
        return tags

    def _more_tags(self):  # scikit-learn before 1.6
        return {"allow_nan": True}
