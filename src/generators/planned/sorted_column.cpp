#include "generators/planned/sorted_column.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <utility>

#include "pool/interrupt.hpp"
#include "support/fault.hpp"

namespace gapweave {

bool SortedColumn::free_of_nan() const noexcept {
    return values.empty() || (!std::isnan(values.front()) && !std::isnan(values.back()));
}

namespace {

// A value's total-order key and its row, as sorted.
struct KeyedRow {
    std::uint64_t key;
    std::uint32_t row;
};

// Stable sort by key (LSD radix, eleven bits at a time).
void radix_sort(std::vector<KeyedRow>& entries) {
    // Least significant digit first, skipping digits that are the same in
    // every key (common in the exponent bits of real data).
    constexpr int kBits = 11;
    constexpr int kDigits = (64 + kBits - 1) / kBits;
    constexpr std::uint64_t kMask = (std::uint64_t{1} << kBits) - 1;
    std::vector<std::array<std::uint32_t, kMask + 1>> counts(kDigits);
    for (const KeyedRow& e : entries) {
        for (int d = 0; d < kDigits; ++d) ++counts[d][(e.key >> (kBits * d)) & kMask];
    }
    std::vector<KeyedRow> scratch(entries.size());
    for (int d = 0; d < kDigits; ++d) {
        auto& count = counts[d];
        if (std::any_of(count.begin(), count.end(),
                        [&](std::uint32_t n) { return n == entries.size(); })) {
            continue;
        }
        std::uint32_t offset = 0;
        for (std::uint32_t& n : count) offset += std::exchange(n, offset);
        for (const KeyedRow& e : entries) scratch[count[(e.key >> (kBits * d)) & kMask]++] = e;
        entries.swap(scratch);
    }
}

// Total order for values that are not NaN: numeric, with -0 before +0.
bool after(double a, double b) noexcept {
    return a > b || (a == b && std::signbit(b) && !std::signbit(a));
}

// Stable insertion sort of positions [first, end), values not NaN: cheap
// where entries are few or nearly in order.
void insertion_sort(double* values, std::uint32_t* rows, std::size_t first, std::size_t end) {
    for (std::size_t i = first + 1; i < end; ++i) {
        const double value = values[i];
        if (!after(values[i - 1], value)) continue;
        const std::uint32_t row = rows[i];
        std::size_t j = i;
        for (; j > first && after(values[j - 1], value); --j) {
            values[j] = values[j - 1];
            rows[j] = rows[j - 1];
        }
        values[j] = value;
        rows[j] = row;
    }
}

// Sorts positions [first, end) by total-order key, stably, with radix: for
// the rare crowded bucket.
[[gnu::noinline]] void sort_crowd(double* values, std::uint32_t* rows, std::size_t first,
                                  std::size_t end, std::vector<KeyedRow>& scratch) {
    scratch.resize(end - first);
    for (std::size_t i = first; i < end; ++i)
        scratch[i - first] = {unsigned_order_key(values[i]), rows[i]};
    radix_sort(scratch);
    for (std::size_t i = first; i < end; ++i) {
        values[i] = value_of_unsigned_key(scratch[i - first].key);
        rows[i] = scratch[i - first].row;
    }
}

// The same for a bucket: insertion for a few entries, radix for a crowd.
inline void sort_small_range(double* values, std::uint32_t* rows, std::size_t first,
                             std::size_t end, std::vector<KeyedRow>& scratch) {
    constexpr std::size_t kInsertionLimit = 48;
    if (end - first > kInsertionLimit) {
        sort_crowd(values, rows, first, end, scratch);
        return;
    }
    insertion_sort(values, rows, first, end);
}

struct Extent {
    double low;
    double high;
    bool finite;
};

// Range and finiteness, in four independent lanes so that the loop is not
// one long chain of dependent comparisons.
Extent extent_of(const double* values, std::size_t n, std::size_t stride) {
    double low[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
    double high[4] = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
    bool finite = true;
    std::size_t r = 0;
    for (; r + 4 <= n; r += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double value = values[(r + lane) * stride];
            finite &= std::isfinite(value);
            low[lane] = value < low[lane] ? value : low[lane];
            high[lane] = value > high[lane] ? value : high[lane];
        }
    }
    for (; r < n; ++r) {
        const double value = values[r * stride];
        finite &= std::isfinite(value);
        low[0] = value < low[0] ? value : low[0];
        high[0] = value > high[0] ? value : high[0];
    }
    return {std::min({low[0], low[1], low[2], low[3]}),
            std::max({high[0], high[1], high[2], high[3]}), finite};
}

// Sorts n values src[i * stride] (with their rows: src_rows[i], or i when
// src_rows is null) into dst, stably by total-order key.
//
// Finite values spanning a finite, non-zero range go by buckets of equal
// width: bucket(v) = floor((v - low) * scale) never decreases as v grows,
// so bucket order is value order. There are at least as many fine buckets
// as values, grouped into 512 coarse ones: one pass scatters the values
// into their coarse bucket's part of dst, then each coarse part (small
// enough to stay in cache) is split into finer buckets and ordered within
// them. A coarse part that holds far more than its share (data bunched
// far from an outlier, or heavy tails) is bucketed again over its own
// range, a few levels deep at most. Infinities and NaNs are first set apart
// at either end, so that a column holding some still has its finite values
// bucketed. Anything else goes by radix. Every step keeps the order of equal
// values, so equal values keep their rows in order. `known`, when given, is
// the values' extent, found elsewhere.
void sort_into(const double* src, std::size_t stride, const std::uint32_t* src_rows, std::size_t n,
               double* dst, std::uint32_t* dst_rows, int depth, std::vector<KeyedRow>& scratch,
               const std::optional<Extent>& known = std::nullopt) {
    const auto row_of = [src_rows](std::size_t i) {
        return src_rows != nullptr ? src_rows[i] : static_cast<std::uint32_t>(i);
    };
    const auto copy_all = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            dst[i] = src[i * stride];
            dst_rows[i] = row_of(i);
        }
    };
    constexpr std::size_t kInsertionLimit = 48;
    constexpr int kMaxDepth = 3;
    const Extent extent = known ? *known : extent_of(src, n, stride);
    if (extent.finite && n <= kInsertionLimit) {
        // Insertion compares numerically, which needs values that are not NaN.
        copy_all();
        sort_small_range(dst, dst_rows, 0, n, scratch);
        return;
    }
    if (!extent.finite) {
        // Infinities and NaNs sort below (sign bit set) or above every
        // finite value: the finite ones go through the buckets on their own
        // and the rest, usually few, by radix at either end.
        std::vector<double> finite_values;
        std::vector<std::uint32_t> finite_rows;
        std::size_t low_end = 0;
        for (std::size_t i = 0; i < n; ++i) {
            stop_point_at(i);
            const double value = src[i * stride];
            if (std::isfinite(value)) {
                finite_values.push_back(value);
                finite_rows.push_back(row_of(i));
            } else if (std::signbit(value)) {
                dst[low_end] = value;
                dst_rows[low_end++] = row_of(i);
            }
        }
        std::size_t high_begin = low_end + finite_values.size();
        for (std::size_t i = 0, at = high_begin; i < n; ++i) {
            const double value = src[i * stride];
            if (!std::isfinite(value) && !std::signbit(value)) {
                dst[at] = value;
                dst_rows[at++] = row_of(i);
            }
        }
        sort_crowd(dst, dst_rows, 0, low_end, scratch);
        sort_into(finite_values.data(), 1, finite_rows.data(), finite_values.size(), dst + low_end,
                  dst_rows + low_end, depth, scratch);
        sort_crowd(dst, dst_rows, high_begin, n, scratch);
        return;
    }
    const double range = extent.high - extent.low;
    // At most one value per fine bucket on average: normal data crowd the
    // middle buckets several times over.
    const int fine_bits = std::bit_width(n);
    const double scale = std::ldexp(1.0, fine_bits) / range;
    if (!extent.finite || !(range > 0.0) || !std::isfinite(range) || !std::isfinite(scale) ||
        depth >= kMaxDepth) {
        copy_all();
        sort_crowd(dst, dst_rows, 0, n, scratch);
        return;
    }

    const double low = extent.low;
    const std::size_t fine_buckets = std::size_t{1} << fine_bits;
    const int coarse_shift = std::max(0, fine_bits - 9);
    const std::size_t coarse_buckets = fine_buckets >> coarse_shift;
    const auto fine_of = [low, scale, fine_buckets](double value) {
        return std::min(static_cast<std::size_t>((value - low) * scale), fine_buckets - 1);
    };

    std::vector<std::uint32_t> coarse_start(coarse_buckets + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        stop_point_at(i);  // sorting a large column takes a while
        ++coarse_start[(fine_of(src[i * stride]) >> coarse_shift) + 1];
    }
    for (std::size_t b = 0; b < coarse_buckets; ++b) coarse_start[b + 1] += coarse_start[b];
    {
        std::vector<std::uint32_t> next(coarse_start.begin(), coarse_start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            stop_point_at(i);
            const double value = src[i * stride];
            const std::uint32_t at = next[fine_of(value) >> coarse_shift]++;
            dst[at] = value;
            dst_rows[at] = row_of(i);
        }
    }

    // A coarse part is split into fine buckets of its own: its share of the
    // grid, refined by a power of two to about two buckets per value (exact,
    // so bucket order is still value order). Equal values then rarely share
    // a bucket with others, and one insertion pass over the part orders
    // what does.
    const std::size_t crowded =
        std::max<std::size_t>(std::size_t{16} << coarse_shift, 4 * kInsertionLimit);
    std::vector<double> part_values;
    std::vector<std::uint32_t> part_rows;
    std::vector<std::uint32_t> fine_start;
    for (std::size_t c = 0; c < coarse_buckets; ++c) {
        stop_point();
        const std::size_t first = coarse_start[c];
        const std::size_t end = coarse_start[c + 1];
        const std::size_t size = end - first;
        if (size <= kInsertionLimit) {
            if (size > 1) sort_small_range(dst, dst_rows, first, end, scratch);
            continue;
        }
        part_values.assign(dst + first, dst + end);
        part_rows.assign(dst_rows + first, dst_rows + end);
        if (size > crowded) {
            sort_into(part_values.data(), 1, part_rows.data(), size, dst + first, dst_rows + first,
                      depth + 1, scratch);
            continue;
        }
        const int refine =
            std::max(0, static_cast<int>(std::bit_width(2 * size - 1)) - coarse_shift);
        const int part_bits = coarse_shift + refine;
        // The grid position times 2^refine, an exact scaling of the same
        // product the coarse bucket came from (a scale times 2^refine could
        // pass the largest double where the scale alone does not).
        const double refine_factor = std::ldexp(1.0, refine);
        const std::size_t part_buckets = std::size_t{1} << part_bits;
        const std::size_t base = c << part_bits;
        const auto bucket_of = [&](double value) {
            return std::min(
                static_cast<std::size_t>(((value - low) * scale) * refine_factor) - base,
                part_buckets - 1);
        };
        fine_start.assign(part_buckets + 1, 0);
        for (const double value : part_values) ++fine_start[bucket_of(value) + 1];
        const std::uint32_t largest = *std::max_element(fine_start.begin(), fine_start.end());
        for (std::size_t f = 0; f < part_buckets; ++f) fine_start[f + 1] += fine_start[f];
        for (std::size_t i = 0; i < size; ++i) {
            const std::size_t at = first + fine_start[bucket_of(part_values[i])]++;
            dst[at] = part_values[i];
            dst_rows[at] = part_rows[i];
        }
        if (largest <= kInsertionLimit) {
            // Values of earlier buckets are all smaller: an entry never moves
            // out of its own bucket.
            insertion_sort(dst, dst_rows, first, end);
            continue;
        }
        // fine_start[f] now ends fine bucket f.
        std::size_t from = first;
        for (std::size_t f = 0; f < part_buckets; ++f) {
            const std::size_t to = first + fine_start[f];
            if (to - from > 1) sort_small_range(dst, dst_rows, from, to, scratch);
            from = to;
        }
    }
}

}  // namespace

namespace {

// Sorts n cells, cells[r * stride] for row r.
SortedColumn sort_strided(const double* cells, std::size_t n, std::size_t stride,
                          const std::optional<Extent>& known, SortedColumn sorted) {
    expect(n < UINT32_MAX, "too many rows for a sorted column");
    // Entries made here are left unwritten until the sort fills them.
    sorted.values.resize(n);
    sorted.rows.resize(n);
    std::vector<KeyedRow> scratch;
    sort_into(cells, stride, nullptr, n, sorted.values.data(), sorted.rows.data(), 0, scratch,
              known);
    return sorted;
}

}  // namespace

SortedColumn sort_cells(std::span<const double> cells) {
    return sort_strided(cells.data(), cells.size(), 1, std::nullopt, {});
}

SortedColumn sort_column(const Matrix& matrix, std::size_t column,
                         const std::optional<KeyRange>& range, SortedColumn storage) {
    expect(column < matrix.cols, "a sorted column outside the table");
    if (matrix.rows == 0) return {};
    std::optional<Extent> known;
    if (range) {
        // The extent the sort would find: NaNs and infinities sit at the
        // ends of the total order, so the column is finite exactly when
        // both ends are; zeros of either sign give the same buckets.
        const double low = value_of_unsigned_key(range->low);
        const double high = value_of_unsigned_key(range->high);
        known = Extent{low, high, std::isfinite(low) && std::isfinite(high)};
    }
    return sort_strided(matrix.data.data() + column, matrix.rows, matrix.cols, known,
                        std::move(storage));
}

SortedColumn present_in(const SortedColumn& sorted, const Matrix& matrix, std::size_t hole) {
    // Which rows still hold a value in the hole column, one byte per row, so
    // that the filter below never reads the matrix in value order.
    std::vector<std::uint8_t> present(matrix.rows);
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        stop_point_at(r);
        present[r] = !std::isnan(matrix.at(r, hole));
    }
    SortedColumn kept;
    kept.values.reserve(sorted.size());
    kept.rows.reserve(sorted.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        stop_point_at(i);
        const std::uint32_t row = sorted.rows[i];
        if (!present[row]) continue;
        expect(!std::isnan(sorted.values[i]), "a candidate's driver value is missing");
        kept.values.push_back(sorted.values[i]);
        kept.rows.push_back(row);
    }
    return kept;
}

}  // namespace gapweave
