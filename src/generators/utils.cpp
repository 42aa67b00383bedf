#include "generators/utils.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

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

ColumnDistribution column_distribution(std::span<std::int64_t> keys, std::uint32_t k,
                                       double variance) {
    // Order statistics by selection on the total-order keys: the same
    // elements a full sort would put at these positions (equal keys are
    // identical bits, so which copy lands there does not matter).
    const auto [low_it, high_it] = std::minmax_element(keys.begin(), keys.end());
    const double spread = variance * (value_of_total_key(*high_it) - value_of_total_key(*low_it));
    // After a selection at `fixed` the keys before it are not larger and
    // those after it not smaller, so a later one searches one side only.
    std::optional<std::size_t> fixed;
    const double center = column_center(keys.size(), k, [&](std::size_t position) {
        auto first = keys.begin();
        auto last = keys.end();
        if (fixed && position > *fixed) first += static_cast<std::ptrdiff_t>(*fixed + 1);
        if (fixed && position < *fixed) last = keys.begin() + static_cast<std::ptrdiff_t>(*fixed);
        const auto nth = keys.begin() + static_cast<std::ptrdiff_t>(position);
        if (fixed != position) std::nth_element(first, nth, last);
        fixed = position;
        return value_of_total_key(*nth);
    });
    return {center, spread};
}

std::vector<ColumnDistribution> get_distribution(const Matrix& matrix, double mean,
                                                 double variance) {
    std::vector<ColumnDistribution> result;
    result.reserve(matrix.cols);
    if (matrix.cols == 0) return result;
    const std::uint32_t k = quantile_index(mean, matrix.rows);
    std::vector<std::int64_t> column(matrix.rows);
    for (std::size_t c = 0; c < matrix.cols; ++c) {
        for (std::size_t r = 0; r < matrix.rows; ++r) column[r] = total_order_key(matrix.at(r, c));
        // NaN cells are kept: a positive NaN sorts last and makes the
        // range, hence the spread, NaN.
        result.push_back(column_distribution(column, k, variance));
    }
    return result;
}

}  // namespace gapweave
