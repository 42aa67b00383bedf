"""Generators in child processes: made by fork (a pool of processes or
os.fork()), forkserver or spawn, with generators the parent has used and
ones it has not. A forked child starts workers of its own and continues the
stream it inherited; destroying an inherited generator there is safe."""

import multiprocessing
import pathlib
import subprocess
import sys

import pytest

from helpers import HANG_GUARD

SCRIPT = pathlib.Path(__file__).with_name("child_processes.py")


@pytest.mark.parametrize("method", ["fork", "os.fork", "forkserver", "spawn"])
def test_generators_work_in_child_processes(method):
    if method != "os.fork" and method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method here")
    out = subprocess.run([sys.executable, str(SCRIPT), method], capture_output=True, text=True,
                         timeout=HANG_GUARD)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok", out.stdout + out.stderr
