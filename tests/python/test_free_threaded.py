"""Generators under real concurrency: many Python threads, no interpreter lock.

Every test drives its threads through an explicit pool of ``threading.Thread``
objects that meet at a ``threading.Barrier`` before they start, so the work
really overlaps. Waits carry generous timeouts that only guard against a hang;
nothing here measures speed.
"""

import gc
import os
import subprocess
import sys
import sysconfig
import threading
import time

import numpy as np
import pytest

import gapweave
from helpers import (HANG_GUARD, UNDER_ASAN, UNDER_EMULATION, correlated_table, free_threaded, held_call,
                     rss_bytes, unsupported)

pd = pytest.importorskip("pandas")

FREE_THREADED_BUILD = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Under AddressSanitizer every call is several times slower: the same work
# is repeated fewer times there. Freed memory is also held back for a while,
# so resident memory says nothing about leaks (its own leak check does).
REPEATS = 1 if UNDER_ASAN else 3


def run_threads(count, target):
    """Runs target(index, barrier) on `count` threads that start together.

    Returns the per-thread results in index order; re-raises the first
    exception a thread raised (BaseException included, so a PanicException
    is not lost) and fails if a thread is still running after the guard.
    """
    barrier = threading.Barrier(count)
    results = [None] * count
    errors = []

    def body(index):
        try:
            results[index] = target(index, barrier)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            errors.append(error)
            barrier.abort()

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(HANG_GUARD)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    if errors:
        raise errors[0]
    return results


def canonical(result):
    """A comparable, exact form of a call's result (NaN bits included)."""
    if isinstance(result, pd.DataFrame):
        columns = []
        for name in result.columns:
            column = result[name]
            if column.dtype == object:
                columns.append((name, "object", tuple(map(repr, column.tolist()))))
            else:
                columns.append((name, str(column.dtype), column.to_numpy().tobytes()))
        return ("frame", tuple(result.index.tolist()), tuple(columns))
    assert isinstance(result, np.ndarray)
    if result.dtype == object:
        return ("objects", result.shape, tuple(map(repr, result.ravel().tolist())))
    return ("array", str(result.dtype), result.shape, result.tobytes())


def text_frame(seed, rows=30):
    rng = np.random.default_rng(seed)
    words = np.array(["ash", "birch", "cedar", "Elm", "fir", "10", "9"])
    return pd.DataFrame(
        {
            "x": rng.normal(size=rows),
            "kind": rng.choice(words, size=rows).astype(object),
            3: rng.integers(0, 50, size=rows),
            "y": rng.normal(size=rows) * 10,
        }
    ).rename(columns=str)


def workload(index):
    """The calls that thread `index` makes: both classes, arrays and frames.

    Alphas stay below the MAR rate cap, so no call warns (the warning
    machinery is shared by all threads).
    """
    tables = [
        correlated_table(40, 6, index),
        pd.DataFrame(correlated_table(25, 4, 100 + index), columns=list("abcd")),
        text_frame(200 + index),
        correlated_table(12, 3, 300 + index).astype(object),
    ]
    calls = []
    for step in range(12):
        table = tables[step % len(tables)]
        alpha = (0.05, 0.2, 0.35, 0.5)[step % 4]
        calls.append((table, alpha))
    return calls


def generators(index):
    return [
        gapweave.MNARrs(variance=0.3, seed=index, n_workers=1 + index % 3),
        gapweave.MNARrs(mode="MAX", seed=10 + index, n_workers=2),
        gapweave.MAR(variance=0.2, max_missing_per_column=0.9, seed=20 + index, n_workers=1 + index % 4),
        gapweave.MAR(mode="min", max_missing_per_column=0.9, seed=30 + index, n_workers=3),
    ]


def run_workload(index, barrier=None):
    gens = generators(index)
    calls = workload(index)
    if barrier is not None:
        barrier.wait(HANG_GUARD)
    out = []
    for repeat in range(REPEATS):
        for gen in gens:
            for table, alpha in calls:
                out.append(canonical(gen(table, alpha)))
    return out


def task_count():
    return len(os.listdir("/proc/self/task"))


def worker_count():
    """Pool workers alive in this process, by the name the pool gives them."""
    count = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                count += comm.read().strip() == "gapweave"
        except OSError:
            pass  # the thread ended meanwhile
    return count


def wait_for(predicate):
    """Polls until `predicate` holds or the hang guard expires; returns its last value."""
    deadline = time.monotonic() + HANG_GUARD
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.05)
    return predicate()


# --- the interpreter lock ---------------------------------------------------


@pytest.mark.skipif(not FREE_THREADED_BUILD, reason="the ordinary build always has the interpreter lock")
def test_import_leaves_the_interpreter_lock_disabled():
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    code = (
        "import sys, warnings\n"
        "warnings.simplefilter('error')\n"
        "import gapweave\n"
        "print(sys._is_gil_enabled())\n"
        "gapweave.MNARrs(seed=1, n_workers=2)\n"
        "print(sys._is_gil_enabled())\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=HANG_GUARD
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False", "False"]
    assert "GIL" not in out.stderr


@pytest.mark.skipif(not FREE_THREADED_BUILD, reason="the ordinary build always has the interpreter lock")
def test_this_session_runs_without_the_lock():
    # Guards the tests below: were the lock switched on by an import, the
    # concurrency tests would be skipped instead of exercised.
    if os.environ.get("PYTHON_GIL") == "1":
        pytest.skip("the lock was forced on with PYTHON_GIL=1")
    assert not sys._is_gil_enabled()


# --- separate objects -------------------------------------------------------


def test_separate_objects_on_eight_threads_match_sequential_calls():
    expected = [run_workload(index) for index in range(8)]
    got = run_threads(8, run_workload)
    for index in range(8):
        assert len(got[index]) == len(expected[index])
        assert got[index] == expected[index], f"thread {index} differs from its sequential run"


# --- one object, many threads -----------------------------------------------


@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
def test_every_use_during_a_held_call_is_refused(cls):
    gen = cls(seed=5, n_workers=2)
    table = correlated_table(40, 6, 1)

    def hammer(index, barrier):
        barrier.wait(HANG_GUARD)
        seen = []
        for attempt in range(200):
            what = (index + attempt) % 3
            try:
                if what == 0:
                    gen(table, 0.2)
                elif what == 1:
                    repr(gen)
                elif cls is gapweave.MAR:
                    gen._adjust_alpha(10, 0.1)
                else:
                    gen(data=table, alpha=0.2)
            except RuntimeError as error:
                seen.append((what, str(error)))
            else:
                seen.append((what, "succeeded during a held call"))
        return seen

    with held_call(gen) as held_errors:
        for seen in run_threads(6, hammer):
            for what, message in seen:
                if what == 1 or (what == 2 and cls is gapweave.MAR):
                    assert message == "Already mutably borrowed"
                else:
                    assert message == "Already borrowed"
    assert [(type(e), str(e)) for e in held_errors] == [(TypeError, unsupported("ndarray"))]
    # Refused uses took no draws: the object continues its stream from the start.
    assert canonical(gen(table, 0.2)) == canonical(cls(seed=5, n_workers=1)(table, 0.2))


@free_threaded
@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
@pytest.mark.parametrize("kind", ["array", "frame"])
def test_hammering_one_object(cls, kind):
    table = correlated_table(60, 8, 7)
    if kind == "frame":
        table = pd.DataFrame(table, columns=[f"c{i}" for i in range(8)])
    gen = cls(seed=11, n_workers=3)
    expected_repr = "MNAR[0.5]" if cls is gapweave.MNARrs else "MAR"

    def hammer(index, barrier):
        barrier.wait(HANG_GUARD)
        calls, side = [], []
        for attempt in range(60):
            if index % 2 == 0 or attempt % 3 == 0:
                try:
                    calls.append(canonical(gen(table, 0.3)))
                except RuntimeError as error:
                    calls.append(str(error))
            else:
                try:
                    if cls is gapweave.MAR and attempt % 2:
                        side.append(gen._adjust_alpha(8, 0.5))
                    else:
                        side.append(repr(gen))
                except RuntimeError as error:
                    side.append(str(error))
        return calls, side

    outcomes = run_threads(6, hammer)
    successes = []
    for calls, side in outcomes:
        for item in calls:
            if isinstance(item, str):
                assert item == "Already borrowed"
            else:
                successes.append(item)
        for item in side:
            assert item in (expected_repr, 0.5, "Already mutably borrowed")
    assert successes, "no call got through"

    # Calls never overlap and refused calls draw nothing, so the calls that
    # got through are exactly the first calls of a sequential replay, in
    # whatever order the threads won them.
    replay = cls(seed=11, n_workers=1)
    expected = [canonical(replay(table, 0.3)) for _ in range(len(successes))]
    assert sorted(successes, key=repr) == sorted(expected, key=repr)
    # ... and the object carries on from there.
    assert canonical(gen(table, 0.3)) == canonical(replay(table, 0.3))
    assert repr(gen) == expected_repr


@free_threaded
def test_shared_borrows_do_not_refuse_each_other():
    gen = gapweave.MAR(max_missing_per_column=0.5, seed=2, n_workers=1)

    def readers(index, barrier):
        barrier.wait(HANG_GUARD)
        return [(repr(gen), gen._adjust_alpha(10, 0.1)) for _ in range(300)]

    for seen in run_threads(8, readers):
        assert set(seen) == {("MAR", 0.1)}


# --- worker threads and memory over the life of many objects ----------------


def churn(index, barrier):
    """Creates and drops generators, some used, some failing to construct."""
    barrier.wait(HANG_GUARD)
    table = correlated_table(8, 3, index)
    made = 0
    for step in range(150):
        cls = gapweave.MNARrs if (index + step) % 2 else gapweave.MAR
        gen = cls(seed=step, n_workers=1 + step % 3)
        made += 1
        if step % 5 == 0:
            gen(table, 0.25)
        if step % 7 == 0:
            # A bad mode fails after the pool has been started.
            try:
                cls(mode="sideways", n_workers=2)
            except BaseException as error:  # noqa: BLE001 - PanicException
                assert "Unknown mode parameter: sideways" in str(error)
        del gen
    return made


@pytest.mark.skipif(UNDER_EMULATION, reason="the emulator keeps memory of every thread that ever ran")
def test_dropped_generators_leave_no_threads_and_no_memory_behind():
    gc.collect()
    baseline_tasks = task_count()

    # Warm-up: allocator caches, thread stack caches, lazily created state.
    assert run_threads(8, churn) == [150] * 8
    gc.collect()
    assert wait_for(lambda: task_count() <= baseline_tasks), (
        f"{task_count() - baseline_tasks} threads left behind after the warm-up"
    )
    rss_before = rss_bytes()

    for _ in range(REPEATS):
        assert run_threads(8, churn) == [150] * 8
    gc.collect()
    assert wait_for(lambda: task_count() <= baseline_tasks), (
        f"{task_count() - baseline_tasks} threads left behind"
    )
    growth = rss_bytes() - rss_before
    if not UNDER_ASAN:
        assert growth < 48 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


def test_generator_dropped_on_another_thread_ends_its_workers():
    gc.collect()
    baseline_tasks = task_count()
    gens = [gapweave.MNARrs(seed=i, n_workers=4) for i in range(8)]
    # Counted by name: workers of earlier tests that are still ending only
    # add to the count, where a plain thread count could lose them. Each
    # worker names itself once it runs, which under load can come a little
    # after its generator is built.
    assert wait_for(lambda: worker_count() >= 8 * 4)
    box = {"gens": gens}
    del gens

    def drop(index, barrier):
        barrier.wait(HANG_GUARD)
        if index == 0:
            box.clear()

    run_threads(2, drop)
    gc.collect()
    assert wait_for(lambda: task_count() <= baseline_tasks)
