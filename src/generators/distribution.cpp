#include "generators/distribution.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "base/fault.hpp"
#include "generators/nth_smallest.hpp"
#include "generators/saturating.hpp"

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

std::vector<ColumnDistribution> column_distributions(const Matrix& matrix, std::uint32_t k,
                                                     double variance) {
    std::vector<ColumnDistribution> result;
    result.reserve(matrix.cols);
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

std::vector<ColumnDistribution> get_distribution(const Matrix& matrix, double mean,
                                                 double variance) {
    if (matrix.cols == 0) return {};
    return column_distributions(matrix, quantile_index(mean, matrix.rows), variance);
}

}  // namespace gapweave
