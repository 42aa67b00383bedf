"""Type information for the gapweave extension module."""

from typing import Final, SupportsFloat, SupportsIndex, TypeVar

__all__: Final[list[str]]

_Table = TypeVar("_Table")  # numpy.ndarray or pandas.DataFrame

class MNARrs:
    """Missing not at random: a column's own values decide which of its cells is blanked."""

    def __new__(
        cls,
        mean: SupportsFloat | SupportsIndex | None = None,
        variance: SupportsFloat | SupportsIndex | None = None,
        mode: str = "GM",
        seed: SupportsIndex | None = None,
        n_workers: SupportsIndex | None = None,
    ) -> MNARrs: ...
    def __call__(self, data: _Table, alpha: SupportsFloat | SupportsIndex) -> _Table:
        """Return a new table of the same kind with ceil(alpha * cells) cells set to NaN."""
        ...

class MAR:
    """Missing at random: hole columns are blanked by the values of their most correlated other column."""

    def __new__(
        cls,
        mean: SupportsFloat | SupportsIndex | None = None,
        variance: SupportsFloat | SupportsIndex | None = None,
        max_missing_per_column: SupportsFloat | SupportsIndex = 0.8,
        mode: str = "GM",
        seed: SupportsIndex | None = None,
        n_workers: SupportsIndex | None = None,
    ) -> MAR: ...
    def __call__(self, data: _Table, alpha: SupportsFloat | SupportsIndex) -> _Table:
        """Return a new table of the same kind with holes in the hole columns."""
        ...
    def _adjust_alpha(self, n_cols: SupportsIndex, alpha: SupportsFloat | SupportsIndex) -> float:
        """Cap alpha at max_missing_per_column * (1 - 1/n_cols), warning when it had to."""
        ...
