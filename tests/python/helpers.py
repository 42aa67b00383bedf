"""Helpers shared by the Python tests.

A plain module beside the tests: pytest puts this folder on ``sys.path`` for
the test files in it (they are not a package), so ``import helpers`` works
from any working directory.
"""

import contextlib
import math
import os
import sys
import tempfile
import threading
from decimal import Decimal

import numpy as np
import pytest

import gapweave

HANG_GUARD = 120.0  # seconds; only ever reached when something hangs

SUPPORTED = "numpy.ndarray, pandas.DataFrame"
NOT_F64 = "buffer contents are not compatible with f64"
MISALIGNED = "buffer contents are insufficiently aligned for f64"


def unsupported(name):
    """The TypeError text for a table of an unsupported type."""
    return f"Unsupported type: '{name}'. Supported types are: {SUPPORTED}"


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Under AddressSanitizer every call is several times slower (tests repeat
# less there) and freed memory is held back, so resident memory says nothing
# about leaks (its own leak check does).
UNDER_ASAN = under_address_sanitizer()

# Set by the scripts that run the suite on another processor under qemu's
# user-mode emulation (scripts/armhf-test.sh, the armv7l wheel's test run):
# every call is many times slower there, and the emulator keeps memory of
# every thread that ever ran (about 170 KiB each).
UNDER_EMULATION = os.environ.get("GAPWEAVE_TEST_EMULATED") == "1"

free_threaded = pytest.mark.skipif(
    not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled(),
    reason="needs the free-threaded interpreter with the lock disabled",
)


def panic_type():
    """The PanicException class, obtained from a construction that faults."""
    try:
        gapweave.MNARrs(n_workers=0)
    except BaseException as error:  # noqa: BLE001 - we want the class itself
        return type(error)
    raise AssertionError("n_workers=0 did not fault")


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- tables and results --------------------------------------------------------


def normal_table(rows, cols, seed=0):
    return np.random.default_rng(seed).normal(size=(rows, cols))


def correlated_table(rows, cols, seed=0):
    """Columns sharing one normal component, with noise growing from column to column."""
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(rows, 1))
    return base + rng.normal(scale=np.linspace(0.2, 3.0, cols), size=(rows, cols))


def unaligned(values):
    """A copy of `values` whose memory starts one byte past an aligned address."""
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(values.dtype).reshape(values.shape)
    view[...] = values
    return view


def bits(array):
    """The exact bit patterns of a float64 array, so -0.0 and NaN payloads count."""
    return np.ascontiguousarray(array, dtype=np.float64).view(np.uint64)


def holes(result):
    return np.isnan(np.asarray(result, dtype=float))


def shortest_text(number):
    """The module's text of a float: the shortest decimal that reads back as the
    same double, never in exponent form, integral values without a fraction, a
    leading minus sign on negative values and negative zero; "inf", "-inf" and
    "NaN" for the specials."""
    if math.isnan(number):
        return "NaN"
    if math.isinf(number):
        return "inf" if number > 0 else "-inf"
    # repr gives the shortest digits that read back, at times in exponent
    # form; Decimal writes those same digits out positionally.
    text = format(Decimal(repr(number)), "f")
    return text[:-2] if text.endswith(".0") else text


# --- standard error and held calls ----------------------------------------------


class Captured:
    text = ""


@contextlib.contextmanager
def captured_stderr():
    """Collects what the process writes to file descriptor 2 inside the block,
    compiled code included; the text is in `.text` afterwards. It is passed on
    to the stream as well, so that nothing written there (a sanitizer's report,
    say) is lost to whoever reads the stream."""
    captured = Captured()
    sys.stderr.flush()
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(2)
        os.dup2(sink.fileno(), 2)
        try:
            yield captured
        finally:
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            data = sink.read()
            captured.text = data.decode("utf-8", "replace")
            while data:
                data = data[os.write(2, data):]


class HeldTable:
    """A table lookalike whose intake blocks until released: a call on it
    keeps its generator's exclusive borrow for as long as a test wants. The
    held call then fails with TypeError, the table not being two-dimensional."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    @property
    def shape(self):
        self.entered.set()
        self.release.wait(HANG_GUARD)
        return (3,)


HeldTable.__qualname__ = "ndarray"


@contextlib.contextmanager
def held_call(gen):
    """Keeps a call of `gen` inside its exclusive borrow for the block, on
    another thread; yields the list that receives the held call's error."""
    table = HeldTable()
    errors = []

    def call():
        try:
            gen(table, 0.1)
        except BaseException as error:  # noqa: BLE001 - handed to the test
            errors.append(error)

    holder = threading.Thread(target=call)
    holder.start()
    try:
        assert table.entered.wait(HANG_GUARD)
        yield errors
    finally:
        table.release.set()
        holder.join(HANG_GUARD)
    assert not holder.is_alive(), "the held call hung"
