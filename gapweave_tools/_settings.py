"""The checks every setting passes before a table is looked at.

The module accepts some values that quietly do something nobody asked for
(an ``alpha`` of 20 blanks the whole table, a negative one blanks nothing,
a ``mean`` of 1 fails deep inside a call). The layer refuses them with an
error that names the parameter and says what is allowed.
"""

import math
import numbers
from dataclasses import dataclass

MECHANISMS = ("MNAR", "MAR", "MCAR")
MODES = ("GM", "MAX", "MIN")
# More workers than this only cost thread starts: a call never runs more
# jobs at once than the table has columns.
MAX_WORKERS = 1024


@dataclass(frozen=True)
class Settings:
    """One call's validated settings; ``None`` keeps the module's default."""

    mechanism: str
    alpha: float
    seed: int | None = None
    mean: float | None = None
    variance: float | None = None
    mode: str = "GM"
    max_missing_per_column: float | None = None
    n_workers: int | None = None

    def module_kwargs(self):
        """The keyword arguments of the module's generator for this mechanism."""
        kwargs = {"mean": self.mean, "variance": self.variance, "mode": self.mode,
                  "seed": self.seed, "n_workers": self.n_workers}
        if self.mechanism == "MAR" and self.max_missing_per_column is not None:
            kwargs["max_missing_per_column"] = self.max_missing_per_column
        return kwargs


def _real(name, value, allow_none=True):
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must be a number, not NaN")
    return value


def _integer(name, value):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer or None, not {type(value).__name__}")
    return int(value)


def check_settings(mechanism, alpha, *, seed=None, mean=None, variance=None, mode="GM",
                   max_missing_per_column=None, n_workers=None):
    """Validated settings, or a ``TypeError``/``ValueError`` naming the parameter."""
    if not isinstance(mechanism, str) or mechanism.upper() not in MECHANISMS:
        raise ValueError(f"mechanism must be one of {', '.join(map(repr, MECHANISMS))} "
                         f"(in any case), not {mechanism!r}")
    mechanism = mechanism.upper()

    alpha = _real("alpha", alpha, allow_none=False)
    if not 0.0 <= alpha <= 1.0:
        raise ValueError(f"alpha must lie in [0, 1] (the fraction of cells to blank), not {alpha!r}")

    mean = _real("mean", mean)
    if mean is not None and not 0.0 <= mean < 1.0:
        raise ValueError(f"mean must lie in [0, 1) (a quantile level), not {mean!r}")

    variance = _real("variance", variance)
    if variance is not None and not 0.0 <= variance < math.inf:
        raise ValueError(f"variance must be a finite number of 0 or more, not {variance!r}")

    if not isinstance(mode, str) or mode.upper() not in MODES:
        raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))} (in any case), "
                         f"not {mode!r}")
    mode = mode.upper()

    max_missing_per_column = _real("max_missing_per_column", max_missing_per_column)
    if max_missing_per_column is not None:
        if mechanism != "MAR":
            raise ValueError(f"max_missing_per_column applies to mechanism 'MAR' only, "
                             f"not {mechanism!r}")
        if not 0.0 < max_missing_per_column <= 1.0:
            raise ValueError("max_missing_per_column must lie in (0, 1], "
                             f"not {max_missing_per_column!r}")

    seed = _integer("seed", seed)
    if seed is not None and not 0 <= seed < 2**64:
        raise ValueError(f"seed must lie in [0, 2**64), not {seed!r}")

    n_workers = _integer("n_workers", n_workers)
    if n_workers is not None and not 1 <= n_workers <= MAX_WORKERS:
        raise ValueError(f"n_workers must lie in [1, {MAX_WORKERS}], not {n_workers!r}")

    return Settings(mechanism, alpha, seed, mean, variance, mode, max_missing_per_column,
                    n_workers)
