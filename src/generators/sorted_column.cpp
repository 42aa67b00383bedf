#include "generators/sorted_column.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <utility>

#include "utils/fault.hpp"
#include "utils/huge_pages.hpp"

namespace gapweave {

std::uint64_t unsigned_order_key(double value) noexcept {
    return static_cast<std::uint64_t>(total_order_key(value)) ^ (std::uint64_t{1} << 63);
}

double value_of_unsigned_key(std::uint64_t key) noexcept {
    return value_of_total_key(static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63)));
}

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
        if (std::any_of(count.begin(), count.end(), [&](std::uint32_t n) { return n == entries.size(); })) {
            continue;
        }
        std::uint32_t offset = 0;
        for (std::uint32_t& n : count) offset += std::exchange(n, offset);
        for (const KeyedRow& e : entries) scratch[count[(e.key >> (kBits * d)) & kMask]++] = e;
        entries.swap(scratch);
    }
}

bool SortedColumn::free_of_nan() const noexcept {
    return values.empty() || (!std::isnan(values.front()) && !std::isnan(values.back()));
}

namespace {

// Any column: LSD radix sort of the total-order keys.
SortedColumn sort_by_radix(const std::vector<double>& column) {
    std::vector<KeyedRow> entries = large_vector<KeyedRow>(column.size());
    for (std::size_t r = 0; r < column.size(); ++r) {
        entries[r] = {unsigned_order_key(column[r]), static_cast<std::uint32_t>(r)};
    }
    // Rows went in ascending and the sort is stable: equal keys keep their
    // rows in order.
    radix_sort(entries);
    SortedColumn sorted{large_vector<double>(entries.size()), large_vector<std::uint32_t>(entries.size())};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // The value from its key: the same bits, without reading the column
        // in value order.
        sorted.values[i] = value_of_unsigned_key(entries[i].key);
        sorted.rows[i] = entries[i].row;
    }
    return sorted;
}

// Total order for values that are not NaN: numeric, with -0 before +0.
bool after(double a, double b) noexcept {
    return a > b || (a == b && std::signbit(b) && !std::signbit(a));
}

// Sorts positions [first, end) by total-order key, stably, with radix: for
// the rare crowded bucket.
[[gnu::noinline]] void sort_crowd(double* values, std::uint32_t* rows, std::size_t first, std::size_t end,
                                  std::vector<KeyedRow>& scratch) {
    scratch.resize(end - first);
    for (std::size_t i = first; i < end; ++i) scratch[i - first] = {unsigned_order_key(values[i]), rows[i]};
    radix_sort(scratch);
    for (std::size_t i = first; i < end; ++i) {
        values[i] = value_of_unsigned_key(scratch[i - first].key);
        rows[i] = scratch[i - first].row;
    }
}

// The same for a bucket: insertion for a few entries, radix for a crowd.
inline void sort_small_range(double* values, std::uint32_t* rows, std::size_t first, std::size_t end,
                             std::vector<KeyedRow>& scratch) {
    constexpr std::size_t kInsertionLimit = 48;
    if (end - first > kInsertionLimit) {
        sort_crowd(values, rows, first, end, scratch);
        return;
    }
    for (std::size_t i = first + 1; i < end; ++i) {
        const double value = values[i];
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

// A column of finite values spanning a finite, non-zero range, sorted by
// buckets of equal width: bucket(v) = floor((v - low) * scale) never
// decreases as v grows, so bucket order is value order. There are at
// least as many fine buckets as rows, grouped into 2048 coarse ones: one pass scatters
// the cells into their coarse bucket's part of the result, then each
// coarse part (small enough to stay in cache) is split into its fine
// buckets, each sorted on its own. Every step keeps the order of equal
// values, and rows enter in ascending order, so equal values keep their
// rows in order.
SortedColumn sort_by_buckets(const std::vector<double>& column, double low, double scale, int fine_bits) {
    const std::size_t n = column.size();
    const std::size_t fine_buckets = std::size_t{1} << fine_bits;
    const int coarse_shift = std::max(0, fine_bits - 11);
    const std::size_t coarse_buckets = fine_buckets >> coarse_shift;
    const auto fine_of = [low, scale, fine_buckets](double value) {
        return std::min(static_cast<std::size_t>((value - low) * scale), fine_buckets - 1);
    };

    std::vector<std::uint32_t> coarse_start(coarse_buckets + 1, 0);
    for (const double value : column) ++coarse_start[(fine_of(value) >> coarse_shift) + 1];
    for (std::size_t b = 0; b < coarse_buckets; ++b) coarse_start[b + 1] += coarse_start[b];

    SortedColumn sorted{large_vector<double>(n), large_vector<std::uint32_t>(n)};
    double* values = sorted.values.data();
    std::uint32_t* rows = sorted.rows.data();
    {
        std::vector<std::uint32_t> next(coarse_start.begin(), coarse_start.end() - 1);
        for (std::size_t r = 0; r < n; ++r) {
            const std::uint32_t at = next[fine_of(column[r]) >> coarse_shift]++;
            values[at] = column[r];
            rows[at] = static_cast<std::uint32_t>(r);
        }
    }

    const std::size_t fine_per_coarse = std::size_t{1} << coarse_shift;
    std::vector<double> part_values;
    std::vector<std::uint32_t> part_rows;
    std::vector<std::uint32_t> fine_start(fine_per_coarse + 1);
    std::vector<KeyedRow> scratch;
    for (std::size_t c = 0; c < coarse_buckets; ++c) {
        const std::size_t first = coarse_start[c];
        const std::size_t end = coarse_start[c + 1];
        if (end - first <= 1) continue;
        if (fine_per_coarse == 1) {
            sort_small_range(values, rows, first, end, scratch);
            continue;
        }
        part_values.assign(values + first, values + end);
        part_rows.assign(rows + first, rows + end);
        std::fill(fine_start.begin(), fine_start.end(), 0);
        const std::size_t base = c << coarse_shift;
        for (const double value : part_values) ++fine_start[fine_of(value) - base + 1];
        for (std::size_t f = 0; f < fine_per_coarse; ++f) fine_start[f + 1] += fine_start[f];
        for (std::size_t i = 0; i < part_values.size(); ++i) {
            const std::size_t at = first + fine_start[fine_of(part_values[i]) - base]++;
            values[at] = part_values[i];
            rows[at] = part_rows[i];
        }
        // fine_start[f] now ends fine bucket f.
        std::size_t from = first;
        for (std::size_t f = 0; f < fine_per_coarse; ++f) {
            const std::size_t to = first + fine_start[f];
            if (to - from > 1) sort_small_range(values, rows, from, to, scratch);
            from = to;
        }
    }
    return sorted;
}

}  // namespace

SortedColumn sort_cells(std::vector<double> cells) {
    expect(cells.size() < UINT32_MAX, "too many rows for a sorted column");
    // Range and finiteness in four independent lanes, so that the loop is
    // not one long chain of dependent comparisons.
    double low[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
    double high[4] = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
    bool finite = true;
    const std::size_t n = cells.size();
    std::size_t r = 0;
    for (; r + 4 <= n; r += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double value = cells[r + lane];
            finite &= std::isfinite(value);
            low[lane] = value < low[lane] ? value : low[lane];
            high[lane] = value > high[lane] ? value : high[lane];
        }
    }
    for (; r < n; ++r) {
        finite &= std::isfinite(cells[r]);
        low[0] = cells[r] < low[0] ? cells[r] : low[0];
        high[0] = cells[r] > high[0] ? cells[r] : high[0];
    }
    const double lowest = std::min({low[0], low[1], low[2], low[3]});
    const double highest = std::max({high[0], high[1], high[2], high[3]});
    // At most one cell per fine bucket on average: normal data crowd the
    // middle buckets several times over.
    const int fine_bits = std::bit_width(cells.size());
    const double range = highest - lowest;
    if (finite && fine_bits >= 6 && range > 0.0 && std::isfinite(range)) {
        const double scale = std::ldexp(1.0, fine_bits) / range;
        if (std::isfinite(scale)) return sort_by_buckets(cells, lowest, scale, fine_bits);
    }
    return sort_by_radix(cells);
}

SortedColumn sort_column(const Matrix& matrix, std::size_t column) {
    std::vector<double> cells = large_vector<double>(matrix.rows);
    for (std::size_t r = 0; r < matrix.rows; ++r) cells[r] = matrix.at(r, column);
    return sort_cells(std::move(cells));
}

ColumnDistribution distribution_of_sorted(const SortedColumn& sorted, std::uint32_t k, double variance) {
    const std::size_t n = sorted.size();
    // quantile_index has refused empty columns and quantiles past the end.
    expect(n > 0 && k <= n, "a distribution of a column without that quantile");
    const double spread = variance * (sorted.values.back() - sorted.values.front());
    double center = 0.0;
    if (n % 2 == 1 || k == 0) {
        expect(k < n, "a distribution of a column without that quantile");
        center = sorted.values[k];
    } else if (k < n) {
        center = (sorted.values[k - 1] + sorted.values[k]) * 0.5;
    } else {
        // k = n on an even column: element n - 1 twice.
        const double last = sorted.values[n - 1];
        center = (last + last) * 0.5;
    }
    return {center, spread};
}

SortedColumn present_in(const SortedColumn& sorted, const Matrix& matrix, std::size_t hole) {
    // Which rows still hold a value in the hole column, one byte per row, so
    // that the filter below never reads the matrix in value order.
    std::vector<std::uint8_t> present(matrix.rows);
    for (std::size_t r = 0; r < matrix.rows; ++r) present[r] = !std::isnan(matrix.at(r, hole));
    SortedColumn kept;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const std::uint32_t row = sorted.rows[i];
        if (!present[row]) continue;
        expect(!std::isnan(sorted.values[i]), "a candidate's driver value is missing");
        kept.values.push_back(sorted.values[i]);
        kept.rows.push_back(row);
    }
    return kept;
}

}  // namespace gapweave
