import faulthandler
import sys

import pytest
from hypothesis import HealthCheck, settings

from helpers import UNDER_EMULATION, panic_type

# Under emulation the examples keep their default counts, and none fails
# for taking long: emulation is slow, not wrong.
if UNDER_EMULATION:
    settings.register_profile("emulated", deadline=None, suppress_health_check=[HealthCheck.too_slow])
    settings.load_profile("emulated")

# After pytest-timeout's limit (pyproject.toml): should a test hang where
# its alarm cannot reach it (a wait that never looks at signals), the
# interpreter's fault handler, which needs no Python thread to run, prints
# every thread's stack and ends the run with a failure.
LAST_RESORT = 420  # seconds


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


@pytest.fixture(autouse=True)
def hang_guard():
    # The process's own standard error: under --capture=sys (the sanitizer
    # run) sys.stderr is a buffer without a file descriptor.
    faulthandler.dump_traceback_later(LAST_RESORT, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()
