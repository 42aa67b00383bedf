"""Ctrl-C during a long call: the calling thread looks for signals while it
waits for the pool, so SIGINT from another process stops the call soon with
KeyboardInterrupt; the caller's table is untouched and the generator keeps
working."""

import os
import subprocess
import sys
import time

import numpy as np
import pytest

import gapweave
from helpers import HANG_GUARD, UNDER_ASAN, UNDER_EMULATION

ROWS = 300_000 if UNDER_ASAN else 1_000_000
DELAY = 0.3  # seconds from the start of the call to the signal

# Waits for a line on its input, sleeps, sends SIGINT to the test's process
# and prints when it sent it.
KILLER = """
import os, signal, sys, time
print("ready", flush=True)
sys.stdin.readline()
time.sleep(float(sys.argv[2]))
sent = time.time()
os.kill(int(sys.argv[1]), signal.SIGINT)
print(sent, flush=True)
"""


def uninterrupted(gen, data):
    """How long a call takes when nothing interrupts it."""
    start = time.perf_counter()
    gen(data, 0.8)
    return time.perf_counter() - start


@pytest.mark.filterwarnings("ignore::UserWarning")  # MAR's rate cap
@pytest.mark.skipif(UNDER_EMULATION, reason="how soon a signal lands is the emulator's timing, "
                    "not gapweave's; the interrupt itself is tested by the engine tests there")
@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
def test_sigint_stops_a_long_call_soon(cls):
    data = np.random.default_rng(2).random((ROWS, 10))
    gen = cls(variance=0.1, seed=4)
    whole = uninterrupted(gen, data)
    if whole < 4 * DELAY:  # a fast machine: a longer call
        data = np.concatenate([data] * 4)
        whole = uninterrupted(gen, data)
    if whole < 4 * DELAY:
        pytest.skip(f"the call takes {whole:.2f} s here, too short to interrupt reliably")

    killer = subprocess.Popen([sys.executable, "-c", KILLER, str(os.getpid()), str(DELAY)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert killer.stdout.readline().strip() == "ready"
        killer.stdin.write("go\n")
        killer.stdin.flush()
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            gen(data, 0.8)
        ended, took = time.time(), time.perf_counter() - start
        sent = float(killer.communicate(timeout=HANG_GUARD)[0])
    finally:
        killer.kill()
    # Generous: the call stops in a small part of the time it would take.
    assert ended - sent < whole / 3, (ended - sent, whole)
    assert took < whole / 2, (took, whole)

    assert not np.isnan(data).any()
    small = np.random.default_rng(3).random((40, 5))
    assert np.isnan(gen(small, 0.5)).sum() == 100
