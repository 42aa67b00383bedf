#include "generators/utils.hpp"

#include <algorithm>
#include <cmath>

#include "support/fault.hpp"

namespace gapweave {

std::uint32_t quantile_index(double mean, std::size_t rows) {
    // Computed in double precision and saturated, so that NaN and negative
    // levels select the smallest value.
    const std::uint32_t k = saturating_u32(std::floor(mean * static_cast<double>(rows)));
    if (rows % 2 == 1 || k == 0) {
        check_index(k, rows);
    } else {
        check_index(k - 1, rows);
    }
    return k;
}

ColumnDistribution column_distribution(std::span<std::int64_t> keys, std::uint32_t k, double variance) {
    // Order statistics by selection on the total-order keys: the same
    // elements a full sort would put at these positions (equal keys are
    // identical bits, so which copy lands there does not matter).
    const std::size_t n = keys.size();
    const auto [low_it, high_it] = std::minmax_element(keys.begin(), keys.end());
    const double spread = variance * (value_of_total_key(*high_it) - value_of_total_key(*low_it));

    const auto element = [&](std::size_t position) {
        std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(position), keys.end());
        return value_of_total_key(keys[position]);
    };
    double center = 0.0;
    if (n % 2 == 1 || k == 0) {
        center = element(k);
    } else if (k < n) {
        // Elements k - 1 and k: select k, then the largest of those before it.
        const double upper = element(k);
        const double lower = value_of_total_key(*std::max_element(keys.begin(), keys.begin() + k));
        center = (lower + upper) * 0.5;
    } else {
        // k = n on an even column: element n - 1 twice.
        const double last = element(k - 1);
        center = (last + last) * 0.5;
    }
    return {center, spread};
}

std::vector<ColumnDistribution> get_distribution(const double* data, std::size_t rows,
                                                 std::size_t cols, std::ptrdiff_t row_stride,
                                                 std::ptrdiff_t col_stride, double mean,
                                                 double variance) {
    std::vector<ColumnDistribution> result;
    result.reserve(cols);
    if (cols == 0) return result;
    const std::uint32_t k = quantile_index(mean, rows);
    std::vector<std::int64_t> column(rows);
    for (std::size_t c = 0; c < cols; ++c) {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(c) * col_stride;
        for (std::size_t r = 0; r < rows; ++r) {
            column[r] = total_order_key(data[base + static_cast<std::ptrdiff_t>(r) * row_stride]);
        }
        // NaN cells are kept: a positive NaN sorts last and makes the
        // range, hence the spread, NaN.
        result.push_back(column_distribution(column, k, variance));
    }
    return result;
}

std::vector<ColumnDistribution> get_distribution(const Matrix& matrix, double mean,
                                                 double variance) {
    return get_distribution(matrix.data.data(), matrix.rows, matrix.cols,
                            static_cast<std::ptrdiff_t>(matrix.cols), 1, mean, variance);
}

}  // namespace gapweave
