"""Tables too large for the machine are refused with a clear error.

The cell count of a table (rows x cols) is formed in the machine's unsigned
word: 32 bits on 32-bit Arm, 64 bits on x86-64. A shape whose cell count
does not fit that word, or whose cells could not be addressed as doubles,
must fail with ValueError naming the real shape, never wrap around to a
small count and go on.

The shapes are only claimed (by overriding "shape"), so nothing large is
ever allocated.
"""

import struct

import numpy as np
import pandas as pd
import pytest

import gapweave

WORD_BITS = 8 * struct.calcsize("P")
# The product is one "row" past a power of two: it wraps to 2^(bits/2)
# when formed modulo 2^bits.
WRAPPING = (2 ** (WORD_BITS // 2), 2 ** (WORD_BITS // 2) + 1)
# Fits the word, but not as a byte count of doubles.
UNADDRESSABLE = (2 ** (WORD_BITS // 2 - 2), 2 ** (WORD_BITS // 2 - 1) + 1)


def claimed_frame(shape, with_text):
    class Claimed(pd.DataFrame):
        @property
        def shape(self):
            return shape

    columns = {"a": [1.0, 2.0]}
    if with_text:
        columns["t"] = ["x", "y"]
    return Claimed(columns)


# Intake takes an object array by the exact type name "ndarray".
class ndarray(np.ndarray):  # noqa: N801 - the name is the point
    @property
    def shape(self):
        return self.claimed


def claimed_object_array(shape):
    array = np.array([[1.0, "x"], [2.0, "y"]], dtype=object).view(ndarray)
    array.claimed = shape
    return array


TABLES = {
    "float frame": lambda shape: claimed_frame(shape, with_text=False),
    "text frame": lambda shape: claimed_frame(shape, with_text=True),
    "object array": claimed_object_array,
}
GENERATORS = {
    "MNARrs": lambda: gapweave.MNARrs(seed=1, n_workers=1),
    "MAR": lambda: gapweave.MAR(seed=1, n_workers=1),
}


@pytest.mark.parametrize("shape", [WRAPPING, UNADDRESSABLE], ids=["wrapping", "unaddressable"])
@pytest.mark.parametrize("table", sorted(TABLES))
@pytest.mark.parametrize("generator", sorted(GENERATORS))
def test_oversized_table_is_refused(generator, table, shape):
    rows, cols = shape
    data = TABLES[table](shape)
    with pytest.raises(ValueError) as info:
        GENERATORS[generator]()(data, 0.1)
    assert str(info.value) == f"table of {rows} rows and {cols} columns is too large"


def test_dimension_beyond_the_word_is_refused():
    with pytest.raises(OverflowError):
        gapweave.MNARrs(seed=1, n_workers=1)(claimed_frame((2**WORD_BITS, 1), with_text=False), 0.1)


def test_largest_seed_and_worker_count_convert_on_this_word_size():
    # Seeds are 64 bits and worker counts 32 bits whatever the word size.
    gapweave.MAR(seed=2**64 - 1, n_workers=1)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        gapweave.MNARrs(n_workers=2**32)
    gen = gapweave.MAR(max_missing_per_column=0.5, n_workers=1)
    assert gen._adjust_alpha(2**32 - 1, 0.1) == 0.1
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        gen._adjust_alpha(2**32, 0.1)
