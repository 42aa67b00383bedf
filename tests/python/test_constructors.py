import math
import subprocess
import sys

import numpy as np
import pytest

import gapweave
from gapweave import MAR, MNARrs
from helpers import HANG_GUARD, UNDER_ASAN, UNDER_EMULATION, held_call, holes

TABLE = np.arange(60, dtype=float).reshape(20, 3) % 7 + np.arange(3)


@pytest.mark.parametrize(
    "mean, text",
    [
        (None, "MNAR[0.5]"),
        (2.0, "MNAR[2]"),
        (1, "MNAR[1]"),
        (1e-7, "MNAR[0.0000001]"),
        (float("nan"), "MNAR[NaN]"),
        (-0.0, "MNAR[-0]"),
        (float("inf"), "MNAR[inf]"),
        (float("-inf"), "MNAR[-inf]"),
        (1e21, "MNAR[1000000000000000000000]"),
        (0.1 + 0.2, "MNAR[0.30000000000000004]"),
        (-123.456, "MNAR[-123.456]"),
    ],
)
def test_mnar_repr(mean, text):
    assert repr(MNARrs(mean, n_workers=1)) == text


@pytest.mark.parametrize("kwargs", [{}, {"mean": 3.0, "max_missing_per_column": 0.1, "mode": "min"}])
def test_mar_repr_is_fixed(kwargs):
    assert repr(MAR(n_workers=1, **kwargs)) == "MAR"


@pytest.mark.parametrize("mode", ["GM", "gm", "Gm", "gM", "MAX", "Max", "max", "mIn", "MIN"])
def test_modes_accepted(mode):
    MNARrs(mode=mode, n_workers=1)
    MAR(mode=mode, n_workers=1)


@pytest.mark.parametrize("mode", ["g m", "gaussian", "", " gm", "gm ", "maxi"])
@pytest.mark.parametrize("cls", [MNARrs, MAR])
def test_unknown_modes(cls, mode, PanicException):
    with pytest.raises(PanicException) as info:
        cls(mode=mode, n_workers=1)
    assert info.value.args[0] == f'Unknown mode parameter: {mode} (Alloed: ["GM", "MAX", "MIN"])'


def test_mode_uses_full_unicode_lowercasing(PanicException):
    # "MİN".lower() is "mi\u0307n", which is not "min".
    with pytest.raises(PanicException, match="Unknown mode parameter: MİN"):
        MNARrs(mode="MİN", n_workers=1)
    # A str subclass cannot change how the text is lower-cased.
    class Loud(str):
        def lower(self):
            return "gm"

    with pytest.raises(PanicException):
        MNARrs(mode=Loud("nope"), n_workers=1)
    MNARrs(mode=Loud("MAX"), n_workers=1)


def test_mode_unencodable_text_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        MNARrs(mode="\ud800", n_workers=1)


@pytest.mark.parametrize(
    "cls, name", [(MNARrs, "mode"), (MAR, "mode"), (MAR, "max_missing_per_column")]
)
def test_none_rejected_for_mode_and_cap(cls, name):
    with pytest.raises(TypeError) as info:
        cls(**{name: None, "n_workers": 1})
    assert str(info.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize("cls", [MNARrs, MAR])
@pytest.mark.parametrize(
    "name, value",
    [("mean", "x"), ("variance", []), ("seed", 1.5), ("n_workers", 2.0), ("mode", 3), ("seed", "1")],
)
def test_conversion_type_errors_name_the_parameter(cls, name, value):
    with pytest.raises(TypeError) as info:
        cls(**{name: value, "n_workers": 1} if name != "n_workers" else {name: value})
    assert str(info.value).startswith(f"argument '{name}': ")


def test_float_conversion_accepts_index_and_dunder_float():
    class F:
        def __float__(self):
            return 0.25

    class I:
        def __index__(self):
            return 3

    assert repr(MNARrs(F(), n_workers=1)) == "MNAR[0.25]"
    assert repr(MNARrs(I(), n_workers=1)) == "MNAR[3]"
    assert repr(MNARrs(True, n_workers=1)) == "MNAR[1]"


@pytest.mark.parametrize("cls", [MNARrs, MAR])
@pytest.mark.parametrize("seed", [0, 2**64 - 1])
def test_seed_range_accepted(cls, seed):
    cls(seed=seed, n_workers=1)


@pytest.mark.parametrize("cls", [MNARrs, MAR])
@pytest.mark.parametrize("name, value", [("seed", -1), ("seed", 2**64), ("n_workers", -1), ("n_workers", 2**64)])
def test_integer_out_of_range_is_host_overflow(cls, name, value):
    with pytest.raises(OverflowError) as info:
        cls(**{name: value})
    assert "out of range integral type conversion attempted" not in str(info.value)


@pytest.mark.parametrize("cls", [MNARrs, MAR])
@pytest.mark.parametrize("value", [2**32, 2**64 - 1])
def test_n_workers_above_32_bits(cls, value):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        cls(n_workers=value)


@pytest.mark.parametrize("cls", [MNARrs, MAR])
def test_zero_workers_panics(cls, PanicException):
    with pytest.raises(PanicException, match=r"^assertion failed: num_threads > 0$"):
        cls(n_workers=0)


def test_conversion_order_reports_first_bad_argument():
    # mean is converted before variance, mode before seed, and so on.
    with pytest.raises(TypeError, match="^argument 'mean': "):
        MNARrs("a", "b", 3, "s", "w")
    with pytest.raises(TypeError, match="^argument 'max_missing_per_column': "):
        MAR(0.5, 0.0, "cap", 3, "s")
    # A conversion error comes before the fault of an unknown mode or zero workers.
    with pytest.raises(TypeError, match="^argument 'seed': "):
        MNARrs(mode="bad", seed=1.0, n_workers=0)


def test_faults_come_in_construction_order(PanicException):
    # The pool is started before the mode is parsed.
    with pytest.raises(PanicException, match="num_threads"):
        MNARrs(mode="bad", n_workers=0)


@pytest.mark.parametrize(
    "cls, args, message",
    [
        (MNARrs, (1, 2, "gm", 4, 5, 6), "MNARrs.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        (MAR, (1, 2, 0.5, "gm", 4, 5, 6), "MAR.__new__() takes from 0 to 6 positional arguments but 7 were given"),
    ],
)
def test_too_many_positional(cls, args, message):
    with pytest.raises(TypeError) as info:
        cls(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("cls, op", [(MNARrs, "MNARrs.__new__()"), (MAR, "MAR.__new__()")])
def test_unexpected_and_duplicate_keywords(cls, op):
    with pytest.raises(TypeError) as info:
        cls(n_workers=1, colour=3)
    assert str(info.value) == f"{op} got an unexpected keyword argument 'colour'"
    with pytest.raises(TypeError) as info:
        cls(0.2, mean=0.3)
    assert str(info.value) == f"{op} got multiple values for argument 'mean'"


def test_positional_equals_keyword_configuration():
    by_position = MNARrs(0.3, 0.1, "max", 7, 2)
    by_keyword = MNARrs(mean=0.3, variance=0.1, mode="max", seed=7, n_workers=2)
    assert np.array_equal(holes(by_position(TABLE, 0.3)), holes(by_keyword(TABLE, 0.3)))
    mar_position = MAR(0.3, 0.1, 0.5, "min", 7, 2)
    mar_keyword = MAR(mean=0.3, variance=0.1, max_missing_per_column=0.5, mode="min", seed=7, n_workers=2)
    assert np.array_equal(holes(mar_position(TABLE, 0.2)), holes(mar_keyword(TABLE, 0.2)))


def test_none_means_default():
    a = MNARrs(None, None, "GM", 5, None)
    b = MNARrs(0.5, 0.0, "GM", 5, 6)
    assert repr(a) == repr(b)
    assert np.array_equal(holes(a(TABLE, 0.4)), holes(b(TABLE, 0.4)))


@pytest.mark.parametrize("cls", [MNARrs, MAR])
def test_unseeded_generators_differ(cls):
    # Clock / OS seeds: two unseeded objects almost surely differ somewhere.
    table = np.random.default_rng(0).normal(size=(200, 4))
    results = {holes(cls(n_workers=1, variance=1.0)(table, 0.3)).tobytes() for _ in range(4)}
    assert len(results) > 1


def test_repr_during_call_is_refused():
    gen = MNARrs(seed=1, n_workers=1)
    with held_call(gen) as held_errors:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            repr(gen)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            gen(TABLE, 0.1)
    assert [type(e) for e in held_errors] == [TypeError]  # the lookalike itself, once released
    assert repr(gen) == "MNAR[0.5]"


def test_mar_adjust_alpha_shared_borrow_blocked_by_call():
    gen = MAR(seed=1, n_workers=1)
    with held_call(gen):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            gen._adjust_alpha(10, 0.1)
    assert gen._adjust_alpha(10, 0.1) == 0.1
    assert not math.isnan(gen._adjust_alpha(10, 0.1))


def test_nested_shared_borrow_leaves_the_outer_one_held():
    # _adjust_alpha holds a shared borrow while it converts alpha; repr inside
    # takes and gives back one of its own. The outer borrow must still refuse
    # a call afterwards: giving back a shared borrow counts one down.
    gen = MAR(seed=1, n_workers=1)
    seen = []

    class ReprThenCall:
        def __float__(self):
            seen.append(repr(gen))
            try:
                gen(TABLE, 0.1)
            except RuntimeError as error:
                seen.append((type(error), str(error)))
            else:
                seen.append("the call went through")
            return 0.1

    assert gen._adjust_alpha(10, ReprThenCall()) == 0.1
    assert seen == ["MAR", (RuntimeError, "Already borrowed")]
    # Every borrow was given back.
    assert holes(gen(TABLE, 0.1)).sum() == 6


# Run in a process of its own, whose address space is capped a little above
# what it uses: thread stacks soon run out of room, and pthread_create fails
# with EAGAIN as it does at the system's thread limit, without touching any
# other process's share of that limit.
FAILED_START = """
import os, resource, sys
import numpy as np
import gapweave

def threads():
    return len(os.listdir("/proc/self/task"))

with open("/proc/self/status") as status:
    used = int(status.read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (used + 256 * 2**20, resource.RLIM_INFINITY))
before = threads()
try:
    getattr(gapweave, sys.argv[1])(n_workers=100_000)
except BaseException as error:
    print(type(error).__name__, error)
print(threads() - before)
print(np.isnan(getattr(gapweave, sys.argv[1])(n_workers=4)(np.ones((10, 4)), 0.5)).sum())
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory needs the address space")
@pytest.mark.skipif(UNDER_EMULATION, reason="qemu maps the guest's memory and threads itself, "
                    "so a capped address space fails its own thread starts, not gapweave's alone")
@pytest.mark.parametrize("name", ["MNARrs", "MAR"])
def test_failed_worker_start_leaves_no_thread_behind(name):
    out = subprocess.run([sys.executable, "-c", FAILED_START, name], capture_output=True,
                         text=True, timeout=HANG_GUARD)
    assert out.returncode == 0, out.stderr
    error, threads_left, next_holes = out.stdout.splitlines()
    assert error == ("PanicException failed to spawn thread: "
                     "Resource temporarily unavailable (os error 11)")
    assert int(threads_left) <= 2
    assert int(next_holes) > 0  # the next constructor works at once
