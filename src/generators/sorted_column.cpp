#include "generators/sorted_column.hpp"

#include <algorithm>
#include <array>
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

// A column of finite values spanning a finite, non-zero range: one counting
// pass into about rows / 2 buckets of equal width (floor((v - low) * scale)
// never decreases as v grows, so bucket order is value order), then each
// bucket sorted on its own. Rows enter their bucket in ascending order and
// both bucket sorts are stable, so equal values keep their rows in order.
SortedColumn sort_by_buckets(const std::vector<double>& column, double low, double scale,
                             std::size_t buckets) {
    const std::size_t n = column.size();
    std::vector<std::uint32_t> bucket_of = large_vector<std::uint32_t>(n);
    std::vector<std::uint32_t> start = large_vector<std::uint32_t>(buckets + 1);
    for (std::size_t r = 0; r < n; ++r) {
        const auto b = std::min(static_cast<std::size_t>((column[r] - low) * scale), buckets - 1);
        bucket_of[r] = static_cast<std::uint32_t>(b);
        ++start[b + 1];
    }
    for (std::size_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
    SortedColumn sorted{large_vector<double>(n), large_vector<std::uint32_t>(n)};
    {
        std::vector<std::uint32_t> next = large_vector<std::uint32_t>(buckets);
        std::copy(start.begin(), start.end() - 1, next.begin());
        for (std::size_t r = 0; r < n; ++r) {
            const std::uint32_t at = next[bucket_of[r]]++;
            sorted.values[at] = column[r];
            sorted.rows[at] = static_cast<std::uint32_t>(r);
        }
    }
    double* values = sorted.values.data();
    std::uint32_t* rows = sorted.rows.data();
    constexpr std::size_t kInsertionLimit = 48;
    std::vector<KeyedRow> large;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t first = start[b];
        const std::size_t end = start[b + 1];
        if (end - first <= kInsertionLimit) {
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
            continue;
        }
        // A crowded bucket (data bunched far from its range's ends).
        large.resize(end - first);
        for (std::size_t i = first; i < end; ++i) large[i - first] = {unsigned_order_key(values[i]), rows[i]};
        radix_sort(large);
        for (std::size_t i = first; i < end; ++i) {
            values[i] = value_of_unsigned_key(large[i - first].key);
            rows[i] = large[i - first].row;
        }
    }
    return sorted;
}

}  // namespace

SortedColumn sort_cells(std::vector<double> cells) {
    expect(cells.size() < UINT32_MAX, "too many rows for a sorted column");
    double low = INFINITY;
    double high = -INFINITY;
    bool finite = true;
    for (const double value : cells) {
        finite &= std::isfinite(value);
        low = value < low ? value : low;
        high = value > high ? value : high;
    }
    const std::size_t buckets = cells.size() / 2;
    const double range = high - low;
    if (finite && buckets >= 32 && range > 0.0 && std::isfinite(range)) {
        const double scale = static_cast<double>(buckets) / range;
        if (std::isfinite(scale)) return sort_by_buckets(cells, low, scale, buckets);
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
