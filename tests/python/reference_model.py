"""Pure-Python reference model of gapweave's seeded missingness generators.

Written independently of the compiled sources, for differential testing.
Every random decision is drawn from a ``RandomSource`` (ChaCha12 keyed by
PCG32 seed expansion), in the same order as the generators draw them, so the
model reproduces both the holes of a call and the stream position after it.

A failure that the module reports as ``PanicException`` is raised here as
``ModelPanic`` with the same message (``None`` when the wording is free, as
for the index-out-of-range failure of the column distributions).
"""

from __future__ import annotations

import math
import struct
import warnings
from fractions import Fraction

import numpy as np

from helpers import shortest_text

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF
U32_MAX = MASK32

MAR_WARNING = "Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: "


class ModelPanic(Exception):
    """An internal fault of the generators; ``message`` is None when its text is not fixed."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


# ---------------------------------------------------------------------------
# Random source: ChaCha with 12 rounds, 64-bit counter, four-block buffer.
# ---------------------------------------------------------------------------

CHACHA_CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def _rotl32(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK32


def _quarter_round(s, a, b, c, d):
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = _rotl32(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = _rotl32(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = _rotl32(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = _rotl32(s[b] ^ s[c], 7)


def chacha12_block(key, counter, stream=0):
    """One 16-word output block for a 64-bit counter and 64-bit stream number."""
    state = list(CHACHA_CONSTANTS) + list(key) + [
        counter & MASK32,
        (counter >> 32) & MASK32,
        stream & MASK32,
        (stream >> 32) & MASK32,
    ]
    working = list(state)
    for _ in range(6):
        _quarter_round(working, 0, 4, 8, 12)
        _quarter_round(working, 1, 5, 9, 13)
        _quarter_round(working, 2, 6, 10, 14)
        _quarter_round(working, 3, 7, 11, 15)
        _quarter_round(working, 0, 5, 10, 15)
        _quarter_round(working, 1, 6, 11, 12)
        _quarter_round(working, 2, 7, 8, 13)
        _quarter_round(working, 3, 4, 9, 14)
    return [(w + s) & MASK32 for w, s in zip(working, state)]


def pcg32_key(seed):
    """Eight PCG32 (XSH-RR) outputs started from the seed: the ChaCha key words."""
    s = seed & MASK64
    key = []
    for _ in range(8):
        s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
        x = (((s >> 18) ^ s) >> 27) & MASK32
        r = s >> 59
        key.append(((x >> r) | (x << ((32 - r) & 31))) & MASK32)
    return key


class RandomSource:
    """The generators' seeded stream of 32-bit words."""

    def __init__(self, seed):
        self.key = pcg32_key(seed)
        self.counter = 0
        self.buffer = [0] * 64
        self.index = 64
        self.words_read = 0  # bookkeeping for tests: words consumed so far

    def _refill(self):
        words = []
        for j in range(4):
            words.extend(chacha12_block(self.key, (self.counter + j) & MASK64))
        self.buffer = words
        self.counter = (self.counter + 4) & MASK64
        self.index = 0

    def next_u32(self):
        if self.index >= 64:
            self._refill()
        word = self.buffer[self.index]
        self.index += 1
        self.words_read += 1
        return word

    def next_u64(self):
        # Two consecutive words of the one stream, the first is the low half.
        low = self.next_u32()
        high = self.next_u32()
        return (high << 32) | low

    def uniform_f64(self):
        return float(self.next_u64() >> 11) * (1.0 / 9007199254740992.0)

    def uniform_below(self, n):
        """Canon's method: an integer in 0 .. n-1 from one or two words."""
        assert 1 <= n <= U32_MAX
        product = self.next_u32() * n
        hi, lo = product >> 32, product & MASK32
        if lo > (1 << 32) - n:
            hi2 = (self.next_u32() * n) >> 32
            if lo + hi2 >= (1 << 32):
                hi += 1
        return hi

    def uniform_below_zoned(self, n):
        """Bounded draw that rejects whole words in the low zone."""
        zone = ((1 << 32) - n) % n
        while True:
            product = self.next_u32() * n
            if (product & MASK32) >= zone:
                return product >> 32


# ---------------------------------------------------------------------------
# IEEE helpers.
# ---------------------------------------------------------------------------


def total_order_key(x):
    """Integer key that sorts 64-bit floats by IEEE 754 totalOrder."""
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def _cmp(a, b):
    return (a > b) - (a < b)


def fdiv(a, b):
    """IEEE division (no ZeroDivisionError)."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def fsqrt(x):
    return math.sqrt(x) if x >= 0 or math.isnan(x) else math.nan


def _exact_fma(a, b, c):
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(c)):
        return a * b + c
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    if exact == 0:
        product_negative = (math.copysign(1.0, a) * math.copysign(1.0, b)) < 0
        if a * b == 0 and c == 0:
            # Zero plus zero keeps the sign only when both signs agree.
            return -0.0 if product_negative and math.copysign(1.0, c) < 0 else 0.0
        return 0.0
    try:
        return float(exact)
    except OverflowError:
        return math.inf if exact > 0 else -math.inf


def fma(a, b, c):
    """Fused multiply-add with IEEE results: Python's math.fma (3.13+) raises
    on overflow and invalid operations where the hardware gives inf or NaN."""
    native = getattr(math, "fma", None)
    if native is not None:
        try:
            return native(a, b, c)
        except (OverflowError, ValueError):
            pass
    return _exact_fma(a, b, c)


def saturate_u32(v):
    """Float to unsigned 32-bit with saturation (NaN and negatives give 0)."""
    if math.isnan(v) or v <= 0:
        return 0
    if v >= 4294967296.0:
        return U32_MAX
    return int(v)


def ceil_u32(v):
    return saturate_u32(math.ceil(v)) if math.isfinite(v) else saturate_u32(v)


def floor_u32(v):
    return saturate_u32(math.floor(v)) if math.isfinite(v) else saturate_u32(v)


# ---------------------------------------------------------------------------
# Column distributions, normal draws and mode comparisons.
# ---------------------------------------------------------------------------

GM, MAX, MIN = 0, 1, 2
MODES = {"gm": GM, "max": MAX, "min": MIN}


def get_distribution(matrix, mean, variance, cols=None):
    """(center, spread) per column of a rows x cols list-of-lists matrix."""
    rows = len(matrix)
    if cols is None:
        cols = len(matrix[0]) if rows else 0
    result = []
    for j in range(cols):
        column = sorted((matrix[r][j] for r in range(rows)), key=total_order_key)
        n = rows
        k = floor_u32(mean * n)
        if n % 2 == 1 or k == 0:
            if k >= n:
                raise ModelPanic(None)
            center = column[k]
        else:
            if k - 1 >= n:
                raise ModelPanic(None)
            m = k if k < n else k - 1
            center = (column[k - 1] + column[m]) * 0.5
        spread = variance * (column[n - 1] - column[0])
        result.append((center, spread))
    return result


def gauss_sample(rng, mean, std):
    u1 = rng.uniform_f64()
    while u1 < 1e-17:
        u1 = rng.uniform_f64()
    u2 = rng.uniform_f64()
    z = math.sqrt(-2.0 * math.log(u1)) * math.cos(6.283185307179586 * u2)
    return mean + std * z


def mode_compare(mode, a, b, s):
    """Three-way comparison of candidates a and b (target s): -1, 0 or 1."""
    if mode == GM:
        da, db = a - s, b - s
        return _cmp(total_order_key(da * da), total_order_key(db * db))
    if mode == MAX:
        return _cmp(total_order_key(a), total_order_key(b))
    return _cmp(total_order_key(b), total_order_key(a))


def pick_row(values, eligible, mode, target):
    """Row of the candidate that sorts first; ties keep the earlier row."""
    best = None
    for r, value in enumerate(values):
        if not eligible[r]:
            continue
        if best is None or mode_compare(mode, values[best], value, target) > 0:
            best = r
    return best


# ---------------------------------------------------------------------------
# Random index selection.
# ---------------------------------------------------------------------------


def chooser_bound(s):
    """(bound, count): the longest product s * (s+1) * ... that fits in 32 bits."""
    bound, count = s, 1
    while bound * (s + count) <= U32_MAX:
        bound *= s + count
        count += 1
    return bound, count


class IncreasingUniform:
    def __init__(self, rng, n):
        self.rng = rng
        self.n = n
        self.chunk = 0
        self.chunk_remaining = 1 if n == 0 else 0

    def next_index(self):
        next_n = self.n + 1
        if self.chunk_remaining > 0:
            left = self.chunk_remaining - 1
        else:
            bound, count = chooser_bound(next_n)
            self.chunk = self.rng.uniform_below(bound)
            left = count - 1
        if left == 0:
            result = self.chunk
        else:
            result = self.chunk % next_n
            self.chunk //= next_n
        self.chunk_remaining = left
        self.n = next_n
        return result


def partial_shuffle(items, rng, amount):
    """Shuffle the tail of ``items`` in place; returns (shuffled tail, rest)."""
    length = len(items)
    m = length - amount if amount < length else 0
    chooser = IncreasingUniform(rng, m)
    for i in range(m, length):
        j = chooser.next_index()
        items[i], items[j] = items[j], items[i]
    return items[m:], items[:m]


def choose_sampling_method(length, amount):
    """'floyd', 'inplace' or 'rejection', decided in single precision."""
    f32 = np.float32
    n, k = f32(length), f32(amount)
    if amount < 163:
        if length < 500000:
            c0, c1 = f32(1.6), f32(10.0)
        else:
            c0, c1 = f32(0.17777778), f32(7.7777777)
        if amount >= 12 and n < f32(f32(c1 + f32(c0 * k)) * k):
            return "inplace"
        return "floyd"
    c = f32(270.0) if length < 500000 else f32(36.666668)
    return "inplace" if n < f32(c * k) else "rejection"


def sample_by_floyd(rng, length, amount):
    chosen = []
    for j in range(length - amount, length):
        t = rng.next_u32() if j == U32_MAX else rng.uniform_below(j + 1)
        if t in chosen:
            chosen[chosen.index(t)] = j
        chosen.append(t)
    return chosen


def sample_inplace(rng, length, amount):
    indices = list(range(length))
    for i in range(amount):
        j = i + rng.uniform_below(length - i)
        indices[i], indices[j] = indices[j], indices[i]
    return indices[:amount]


def sample_by_rejection(rng, length, amount):
    chosen, seen = [], set()
    for _ in range(amount):
        v = rng.uniform_below_zoned(length)
        while v in seen:
            v = rng.uniform_below_zoned(length)
        seen.add(v)
        chosen.append(v)
    return chosen


def sample_indices(rng, length, amount):
    if amount > length:
        raise ModelPanic("`amount` of samples must be less than or equal to `length`")
    method = choose_sampling_method(length, amount)
    return {"floyd": sample_by_floyd, "inplace": sample_inplace, "rejection": sample_by_rejection}[
        method
    ](rng, length, amount)


# ---------------------------------------------------------------------------
# Shared pieces of the two generators.
# ---------------------------------------------------------------------------


def _as_matrix(table):
    array = np.asarray(table, dtype=np.float64)
    rows, cols = array.shape
    return [[float(array[r, c]) for c in range(cols)] for r in range(rows)], rows, cols


def _column(matrix, c):
    return [row[c] for row in matrix]


def _has_value(matrix, c):
    return any(not math.isnan(row[c]) for row in matrix)


def _to_array(matrix, rows, cols):
    out = np.empty((rows, cols), dtype=np.float64)
    for r in range(rows):
        for c in range(cols):
            out[r, c] = matrix[r][c]
    return out


class CallReport:
    """What a model call did besides its result: passes run and starved picks."""

    def __init__(self):
        self.passes = 0
        self.starved_picks = 0  # picks of a column without a non-missing cell
        self.reported = []  # the columns of starved picks, once each, in order: "No argmin found!"
        self.ran_dry = False  # a pass began with no non-missing cell left in any column it serves
        self.stopped_early = False
        self.total = 0
        self.h = None
        self.pairs = None
        self.capped_alpha = None


# Once no column a call serves has a cell left, further passes only draw
# their numbers and fail their picks. They are still drawn while the picks
# left number at most the table's cell count or STOP_FLOOR, whichever is
# larger; past that the call stops after the pass that blanked the last cell.
STOP_FLOOR = 2**20


def stops_early(matrix, served, picks_left):
    rows = len(matrix)
    cells = rows * (len(matrix[0]) if rows else 0)
    dry = not any(_has_value(matrix, c) for c in served)
    return dry and picks_left > max(cells, STOP_FLOOR)


def run_pass(matrix, targets, tasks, mode, report):
    """One pass. Every target drawn for it is checked before any pick; then each
    task (hole column, driver column, target) picks a row of the hole column by
    its driver's values, and the picks are blanked together."""
    if any(math.isnan(target) for target in targets):
        raise ModelPanic("Sample is nan")
    picks = []
    for hole, driver, target in tasks:
        eligible = [not math.isnan(row[hole]) for row in matrix]
        row = pick_row(_column(matrix, driver), eligible, mode, target)
        if row is None:
            report.starved_picks += 1
            if hole not in report.reported:
                report.reported.append(hole)
        else:
            picks.append((row, hole))
    for r, c in picks:
        matrix[r][c] = math.nan
    report.passes += 1


# ---------------------------------------------------------------------------
# MNARrs.
# ---------------------------------------------------------------------------


class MNARModel:
    def __init__(self, mean=0.5, variance=0.0, mode="GM", seed=0):
        self.mean = 0.5 if mean is None else float(mean)
        self.variance = 0.0 if variance is None else float(variance)
        self.mode = MODES[mode.lower()]
        self.rng = RandomSource(seed)
        self.last = None

    def __call__(self, table, alpha):
        report = self.last = CallReport()
        matrix, rows, cols = _as_matrix(table)
        cells = float((rows * cols) & MASK32)
        total = ceil_u32(cells * float(alpha))
        report.total = total
        dists = get_distribution(matrix, self.mean, self.variance, cols)
        done = 0
        while done < total:
            if not any(_has_value(matrix, c) for c in range(cols)):
                report.ran_dry = True
            remaining = total - done
            if remaining >= cols:
                visited = list(range(cols))
            else:
                visited = list(range(remaining))
                for e in range(remaining, cols):
                    j = self.rng.uniform_below(e + 1)
                    if j < remaining:
                        visited[j] = e
            targets = [gauss_sample(self.rng, *dists[c]) for c in visited]
            run_pass(matrix, targets, [(c, c, t) for c, t in zip(visited, targets)], self.mode,
                     report)
            done += len(visited)
            if stops_early(matrix, range(cols), total - done):
                report.stopped_early = True
                break
        return _to_array(matrix, rows, cols)


# ---------------------------------------------------------------------------
# MAR.
# ---------------------------------------------------------------------------


def pearson(matrix, rows, cols):
    """Population Pearson coefficients; entry [i][j] for columns i and j."""
    if rows == 0 or cols == 0:
        raise ModelPanic("Failed to calculate pearson_correlation: EmptyInput")
    columns = [_column(matrix, c) for c in range(cols)]
    means = []
    sds = []
    for values in columns:
        acc = 0.0
        for v in values:
            acc += v
        means.append(acc / rows)
        running, s = 0.0, 0.0
        for k, x in enumerate(values, start=1):
            delta = x - running
            running = running + delta / k
            s = fma(x - running, delta, s)
        sds.append(fsqrt(s / rows))
    coefficients = [[0.0] * cols for _ in range(cols)]
    for i in range(cols):
        for j in range(cols):
            acc = 0.0
            for r in range(rows):
                acc += (columns[i][r] - means[i]) * (columns[j][r] - means[j])
            cov = acc / rows
            coefficients[i][j] = fdiv(cov, sds[i] * sds[j])
    return coefficients


class MARModel:
    def __init__(self, mean=0.5, variance=0.0, max_missing_per_column=0.8, mode="GM", seed=0):
        self.mean = 0.5 if mean is None else float(mean)
        self.variance = 0.0 if variance is None else float(variance)
        self.max_missing = float(max_missing_per_column)
        self.mode = MODES[mode.lower()]
        self.rng = RandomSource(seed)
        self.last = None

    def adjust_alpha(self, n_cols, alpha):
        m = self.max_missing
        limit = m - fdiv(m, float(n_cols))
        if alpha > limit:
            warnings.warn(MAR_WARNING + shortest_text(limit), UserWarning, stacklevel=2)
            return limit
        return alpha

    def prepare(self, matrix, rows, cols, alpha):
        report = self.last
        rate = self.adjust_alpha(cols, float(alpha))
        total = ceil_u32(float(rows * cols) * rate)
        h = ceil_u32(fdiv(rate * float(cols), self.max_missing))
        order = list(range(cols))
        if cols >= 2:
            partial_shuffle(order, self.rng, cols)
        if h > cols:
            raise ModelPanic("mid > len")
        holes, candidates = order[:h], order[h:]
        corr = pearson(matrix, rows, cols)
        pairs = []
        for t in holes:
            best, driver = 0.0, 0
            for c in candidates:
                if abs(corr[t][c]) > best:
                    best, driver = abs(corr[t][c]), c
            pairs.append((t, driver))
        report.capped_alpha, report.total, report.h, report.pairs = rate, total, h, pairs
        return total, h, pairs

    def __call__(self, table, alpha):
        report = self.last = CallReport()
        matrix, rows, cols = _as_matrix(table)
        total, h, pairs = self.prepare(matrix, rows, cols, alpha)
        dists = get_distribution(matrix, self.mean, self.variance, cols)
        done = 0
        if h == 0:
            return _to_array(matrix, rows, cols)  # no hole column: nothing to do
        holes = [t for t, _ in pairs]
        while done < total:
            if not any(_has_value(matrix, t) for t in holes):
                report.ran_dry = True
            remaining = total - done
            if remaining < cols:
                selected = {pairs[p][0] for p in sample_indices(self.rng, h, min(h, remaining))}
            else:
                selected = set(holes)
            targets = [gauss_sample(self.rng, *dists[d]) for _, d in pairs]
            tasks = [(t, d, target) for (t, d), target in zip(pairs, targets) if t in selected]
            run_pass(matrix, targets, tasks, self.mode, report)
            done += len(selected)
            if stops_early(matrix, holes, total - done):
                report.stopped_early = True
                break
        return _to_array(matrix, rows, cols)
