import pytest

from helpers import panic_type


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()
