import sys

import pytest

import gapweave


def panic_type():
    """The PanicException class, obtained from a construction that faults."""
    try:
        gapweave.MNARrs(n_workers=0)
    except BaseException as error:  # noqa: BLE001 - we want the class itself
        return type(error)
    raise AssertionError("n_workers=0 did not fault")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


free_threaded = pytest.mark.skipif(
    not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled(),
    reason="needs the free-threaded interpreter with the lock disabled",
)
