"""Who owns the cells of a result.

A float64 result array is built over the finished matrix's own memory
instead of a copy of it: the array's base object holds the matrix and frees
it with the last array that views it. These tests check that this stays
invisible to users (dtype, shape, order, writeability, values, no memory
shared with the input), that the memory lives exactly as long as some array
needs it, and that the large cell buffers of intake are advised huge pages.
"""

import gc
import os
import pickle
import platform
import sys
import threading

import numpy as np
import pytest

import gapweave
from helpers import UNDER_ASAN, bits, rss_bytes

GENERATORS = {
    "MNARrs": lambda seed: gapweave.MNARrs(seed=seed, n_workers=2),
    "MAR": lambda seed: gapweave.MAR(seed=seed, n_workers=2),
}


def table(rows, cols, seed=0):
    values = np.random.default_rng(seed).standard_normal((rows, cols))
    if values.size:
        values.flat[values.size // 3] = -0.0
    return values


def churn(nbytes, rounds=8):
    """Allocates and fills buffers of about `nbytes`, so freed memory gets reused."""
    keep = [np.full(nbytes // 8 + 1, 1.0e300) for _ in range(rounds)]
    del keep


# --- what the result looks like ------------------------------------------


# Tables without columns only go through MNARrs (MAR needs columns to
# correlate, and no generator takes a table without rows).
SHAPES = [(name, shape, alpha) for name in sorted(GENERATORS)
          for shape, alpha in [((7, 3), 0.0), ((40, 5), 0.3), ((1, 2), 0.0)]]
SHAPES += [("MNARrs", (5, 0), 0.0), ("MNARrs", (0, 0), 0.0)]


@pytest.mark.parametrize("name, shape, alpha", SHAPES)
def test_result_is_a_plain_writeable_c_ordered_float64_array_of_its_own(name, shape, alpha):
    data = table(*shape)
    saved = data.copy()
    result = GENERATORS[name](3)(data, alpha)

    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    assert result.shape == shape
    assert result.flags.c_contiguous and result.flags.aligned and result.flags.writeable
    assert not np.shares_memory(result, data)
    holes = np.isnan(result)
    assert holes.any() == (alpha > 0)
    assert np.array_equal(bits(result[~holes]), bits(saved[~holes]))

    if result.size:
        result[...] = 7.5  # writes land in the result only
        assert (result == 7.5).all()
    assert np.array_equal(bits(data), bits(saved))


@pytest.mark.parametrize("name", sorted(GENERATORS))
def test_writeable_flag_can_be_switched_off_and_on_again(name):
    result = GENERATORS[name](1)(table(6, 4), 0.2)
    result.flags.writeable = False
    with pytest.raises(ValueError):
        result[0, 0] = 1.0
    # NumPy allows this for an array that doesn't own its memory only when
    # its base exports that memory as a writable buffer.
    result.flags.writeable = True
    result[0, 0] = 1.0
    assert result[0, 0] == 1.0


@pytest.mark.parametrize("name", sorted(GENERATORS))
def test_result_pickles_and_copies_like_any_array(name):
    result = GENERATORS[name](4)(table(9, 3), 0.25)
    for other in (pickle.loads(pickle.dumps(result)), result.copy(), np.array(result)):
        assert other.dtype == np.float64 and other.shape == result.shape
        assert np.array_equal(bits(other), bits(result))
        assert not np.shares_memory(other, result)


@pytest.mark.parametrize("name", sorted(GENERATORS))
def test_cells_are_held_by_the_base_object_without_a_copy(name):
    result = GENERATORS[name](5)(table(30, 4), 0.2)
    # The matrix itself, handed over: the array views memory its base owns.
    assert not result.flags.owndata
    held = np.frombuffer(result.base, dtype=np.float64)
    assert held.size == result.size
    assert held.__array_interface__["data"][0] == result.__array_interface__["data"][0]
    with pytest.raises(TypeError):
        type(result.base)()


# --- the same cells as before ---------------------------------------------


CALLS = [("MNARrs", 0.0), ("MNARrs", 0.2), ("MNARrs", 0.6), ("MAR", 0.0), ("MAR", 0.3)]


@pytest.mark.parametrize("name, alpha", CALLS)
@pytest.mark.parametrize("shape", [(50, 4), (33, 7)])
def test_array_result_matches_the_object_array_and_frame_paths(name, alpha, shape):
    pd = pytest.importorskip("pandas")
    data = table(*shape, seed=11)
    # Object arrays are read cell by cell and built back from a fresh copy;
    # frames go through pandas' own conversion both ways. Neither hands the
    # matrix over, so they give an independent expectation.
    via_objects = GENERATORS[name](42)(data.astype(object), alpha)
    expected = np.array(via_objects, dtype=np.float64)
    via_frame = GENERATORS[name](42)(pd.DataFrame(data), alpha).to_numpy(dtype=np.float64)

    result = GENERATORS[name](42)(data, alpha)

    assert np.array_equal(bits(expected), bits(via_frame))
    assert np.array_equal(bits(result), bits(expected))
    if alpha:
        assert np.isnan(result).any()


# --- how long the cells live ----------------------------------------------


@pytest.mark.parametrize("name", sorted(GENERATORS))
def test_result_outlives_generator_input_and_garbage_collection(name):
    data = table(1000, 10, seed=5)
    generator = GENERATORS[name](8)
    result = generator(data, 0.2)
    view = result[3:900:7, ::3]  # a view keeps the cells alive after the array goes
    saved, saved_view = result.copy(), view.copy()

    del generator, data
    gc.collect()
    churn(result.nbytes)
    assert np.array_equal(bits(result), bits(saved))

    del result
    gc.collect()
    churn(saved.nbytes)
    assert np.array_equal(bits(view), bits(saved_view))
    view[0, 0] = 2.5
    assert view[0, 0] == 2.5


def test_frame_result_round_trips_and_outlives_its_generator():
    pd = pytest.importorskip("pandas")
    data = table(200, 4, seed=9)
    frame = pd.DataFrame(data, columns=["a", "b", 3, "d"])
    generator = gapweave.MNARrs(seed=6, n_workers=2)
    result = generator(frame, 0.0)
    del generator
    gc.collect()
    churn(data.nbytes)

    assert list(result.columns) == ["a", "b", "3", "d"]
    assert (result.dtypes == np.float64).all()
    assert np.array_equal(bits(result.to_numpy()), bits(data))
    assert not np.shares_memory(result.to_numpy(), data)
    result.iloc[0, 0] = 9.0
    assert result.iloc[0, 0] == 9.0 and frame.iloc[0, 0] == data[0, 0]


def test_frame_with_a_text_column_still_decodes_after_the_float_columns():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"x": np.arange(30, dtype=np.float64),
                          "t": [f"w{i % 4}" for i in range(30)],
                          "y": np.linspace(0.0, 1.0, 30)})
    result = gapweave.MAR(seed=2, n_workers=2)(frame, 0.0)
    assert list(result["t"]) == list(frame["t"])
    assert np.array_equal(result["x"].to_numpy(), frame["x"].to_numpy())
    assert np.array_equal(result["y"].to_numpy(), frame["y"].to_numpy())


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer holds freed memory back; "
                                       "its leak check covers this")
@pytest.mark.parametrize("name, alpha", [("MNARrs", 0.0), ("MNARrs", 0.1), ("MAR", 0.1)])
def test_many_calls_keep_memory_and_reference_counts_flat(name, alpha):
    data = table(1000, 10, seed=1)  # 80 KB a result: 2000 leaked ones would be 160 MB
    generator = GENERATORS[name](7)
    for _ in range(200):
        generator(data, alpha)
    gc.collect()
    counts = (sys.getrefcount(data), sys.getrefcount(generator))
    blocks = sys.getallocatedblocks()
    rss = rss_bytes()

    kept = None
    for i in range(2000):
        result = generator(data, alpha)
        if i % 500 == 0:
            kept = result  # replaced results are freed as they go
    del result, kept
    gc.collect()

    growth = rss_bytes() - rss
    assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"
    assert (sys.getrefcount(data), sys.getrefcount(generator)) == counts
    assert sys.getallocatedblocks() - blocks < 500


def test_results_made_on_many_threads_at_once_are_independent():
    data = table(300, 6, seed=4)
    expected = gapweave.MNARrs(seed=21, n_workers=1)(data, 0.3)
    results = [None] * 8
    start = threading.Barrier(len(results))

    def work(slot):
        generator = gapweave.MNARrs(seed=21, n_workers=1)
        start.wait()
        mine = [generator(data, 0.3) for _ in range(3)]
        before = [array.copy() for array in mine]
        for array in mine:
            array += slot  # each result is its own memory
        results[slot] = (mine, before)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    gc.collect()
    for slot, outcome in enumerate(results):
        assert outcome is not None, f"thread {slot} failed"
        mine, before = outcome
        # The first call of a fresh generator with the same seed repeats `expected`.
        assert np.array_equal(bits(before[0]), bits(expected))
        for array, old in zip(mine, before):
            assert np.array_equal(bits(array), bits(old + slot))
            assert array.flags.writeable and not np.shares_memory(array, data)


# --- huge pages ------------------------------------------------------------


def vma_flags(start, end):
    """VmFlags of every mapping of this process that overlaps [start, end)."""
    found = []
    current = None
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            head = line.split(maxsplit=1)[0]
            if "-" in head and not head.endswith(":"):
                low, high = (int(x, 16) for x in head.split("-"))
                current = (low, high) if low < end and high > start else None
            elif head == "VmFlags:" and current is not None:
                found.append((current, line.split()[1:]))
    return found


HUGE_PAGE = 2 * 2**20


@pytest.mark.skipif(not sys.platform.startswith("linux")
                    or platform.machine() not in ("x86_64", "aarch64")
                    or not os.path.exists("/sys/kernel/mm/transparent_hugepage/enabled"),
                    reason="needs Linux with transparent huge pages on a 64-bit host")
@pytest.mark.parametrize("make_input", [
    pytest.param(lambda d: d, id="block copy"),
    pytest.param(np.asfortranarray, id="cell by cell"),
])
def test_large_cell_buffers_are_advised_huge_pages(make_input):
    # The result of a float64 array is the very buffer intake filled.
    data = make_input(table(1024, 1024, seed=2))  # 8 MiB of cells
    result = gapweave.MNARrs(seed=1, n_workers=2)(data, 0.0)
    address = result.__array_interface__["data"][0]
    first = -(-address // HUGE_PAGE) * HUGE_PAGE
    last = (address + result.nbytes) // HUGE_PAGE * HUGE_PAGE
    assert last - first >= 2 * HUGE_PAGE
    mappings = vma_flags(first, last)
    if not mappings:
        pytest.skip("/proc/self/smaps shows no VmFlags here")
    # The advice covers the whole aligned part, which may span several mappings.
    assert all("hg" in flags for _, flags in mappings), mappings
    assert min(low for (low, _), _ in mappings) <= first
    assert max(high for (_, high), _ in mappings) >= last
