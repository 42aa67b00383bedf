#include "generators/utils.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "support/fault.hpp"

namespace gapweave {

std::uint32_t quantile_index(double mean, std::size_t rows) {
    // Computed in double precision and saturated, so that NaN and negative
    // levels select the smallest value.
    const std::uint32_t k = saturating_u32(std::floor(mean * static_cast<double>(rows)));
    // Every position the centre reads must lie in the column.
    column_center(rows, k, [rows](std::size_t position) {
        check_index(position, rows);
        return 0.0;
    });
    return k;
}

namespace {

// nth_smallest with `Count` wide enough for the number of keys: 32-bit
// counts keep the histogram within a core's cache.
template <class Count>
std::uint64_t narrow_to_nth(std::span<const std::uint64_t> keys, std::size_t position) {
    constexpr int kDigitBits = 16;
    constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
    constexpr std::size_t kSmall = 1 << 12;  // few enough to search directly
    std::vector<std::uint64_t> narrowed;
    std::span<const std::uint64_t> current = keys;
    std::vector<Count> counts(std::size_t{1} << kDigitBits);
    for (int shift = 64 - kDigitBits; current.size() > kSmall; shift -= kDigitBits) {
        const auto digit = [shift](std::uint64_t key) {
            return static_cast<std::size_t>((key >> shift) & kDigitMask);
        };
        std::fill(counts.begin(), counts.end(), 0);
        for (std::uint64_t key : current) ++counts[digit(key)];
        std::size_t bucket = 0;
        while (position >= counts[bucket]) position -= counts[bucket++];
        // The keys left share every digit above this one; at the last digit
        // the bucket's keys are all the answer.
        if (shift == 0) return (current.front() & ~kDigitMask) | bucket;
        if (counts[bucket] == current.size()) continue;
        std::vector<std::uint64_t> next;
        next.reserve(counts[bucket]);
        for (std::uint64_t key : current) {
            if (digit(key) == bucket) next.push_back(key);
        }
        narrowed = std::move(next);
        current = narrowed;
    }
    std::vector<std::uint64_t> rest(current.begin(), current.end());
    const auto nth = rest.begin() + static_cast<std::ptrdiff_t>(position);
    std::nth_element(rest.begin(), nth, rest.end());
    return *nth;
}

// The key at `position` + 1 in ascending order, given `key`, the one at
// `position`: `key` again while copies of it reach that far, else the
// smallest key above it. One pass instead of a second selection.
std::uint64_t next_in_order(std::span<const std::uint64_t> keys, std::size_t position,
                            std::uint64_t key) {
    std::size_t at_most = 0;
    std::uint64_t above = UINT64_MAX;
    for (const std::uint64_t k : keys) {
        at_most += k <= key;
        above = k > key && k < above ? k : above;
    }
    return at_most > position + 1 ? key : above;
}

}  // namespace

std::uint64_t nth_smallest(std::span<const std::uint64_t> keys, std::size_t position) {
    check_index(position, keys.size());
    return keys.size() < UINT32_MAX ? narrow_to_nth<std::uint32_t>(keys, position)
                                    : narrow_to_nth<std::uint64_t>(keys, position);
}

ColumnDistribution column_distribution(std::span<const std::uint64_t> keys, std::uint32_t k,
                                       double variance) {
    // Order statistics on the total-order keys: the same elements a full
    // sort would put at these positions (equal keys are identical bits, so
    // which copy lands there does not matter).
    const auto [low_it, high_it] = std::minmax_element(keys.begin(), keys.end());
    const double spread = range_spread(*low_it, *high_it, variance);
    // An even count's centre reads two neighbouring positions, in order.
    std::optional<std::pair<std::size_t, std::uint64_t>> previous;
    const double center = column_center(keys.size(), k, [&](std::size_t position) {
        const std::uint64_t key = previous && previous->first + 1 == position
                                      ? next_in_order(keys, previous->first, previous->second)
                                      : nth_smallest(keys, position);
        previous = {position, key};
        return value_of_unsigned_key(key);
    });
    return {center, spread};
}

std::vector<ColumnDistribution> get_distribution(const Matrix& matrix, double mean,
                                                 double variance) {
    std::vector<ColumnDistribution> result;
    result.reserve(matrix.cols);
    if (matrix.cols == 0) return result;
    const std::uint32_t k = quantile_index(mean, matrix.rows);
    std::vector<std::uint64_t> column(matrix.rows);
    for (std::size_t c = 0; c < matrix.cols; ++c) {
        for (std::size_t r = 0; r < matrix.rows; ++r)
            column[r] = unsigned_order_key(matrix.at(r, c));
        // NaN cells are kept: a positive NaN sorts last and makes the
        // range, hence the spread, NaN.
        result.push_back(column_distribution(column, k, variance));
    }
    return result;
}

}  // namespace gapweave
