#include "generators/utils.hpp"

#include <algorithm>
#include <cmath>

#include "utils/fault.hpp"

namespace gapweave {

namespace {

// Centre of one sorted column: element k for odd n or k = 0, otherwise the
// mean of elements k - 1 and min(k, n - 1), so that mean = 1 on an even
// column gives its largest value rather than an out-of-range read.
double center_of(const std::vector<double>& sorted, std::uint32_t k) {
    const std::size_t n = sorted.size();
    if (n % 2 == 1 || k == 0) {
        check_index(k, n);
        return sorted[k];
    }
    check_index(k - 1, n);
    const double low = sorted[k - 1];
    const std::size_t m = k < n ? k : k - 1;
    check_index(m, n);
    return (low + sorted[m]) * 0.5;
}

}  // namespace

std::vector<ColumnDistribution> get_distribution(const double* data, std::size_t rows,
                                                 std::size_t cols, std::ptrdiff_t row_stride,
                                                 std::ptrdiff_t col_stride, double mean,
                                                 double variance) {
    std::vector<ColumnDistribution> result;
    result.reserve(cols);
    std::vector<double> column;
    column.reserve(rows);

    // The same for every column; computed in double precision and saturated
    // so that NaN and negative levels select the smallest value.
    const std::uint32_t k = saturating_u32(std::floor(mean * static_cast<double>(rows)));

    for (std::size_t c = 0; c < cols; ++c) {
        column.clear();
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(c) * col_stride;
        for (std::size_t r = 0; r < rows; ++r) {
            column.push_back(data[base + static_cast<std::ptrdiff_t>(r) * row_stride]);
        }

        // NaN cells are kept: a positive NaN sorts last and makes the
        // range, hence the spread, NaN.
        std::sort(column.begin(), column.end(),
                  [](double a, double b) { return total_order_key(a) < total_order_key(b); });

        const double center = center_of(column, k);
        const double spread = variance * (column[rows - 1] - column[0]);
        result.push_back({center, spread});
    }
    return result;
}

std::vector<ColumnDistribution> get_distribution(const Matrix& matrix, double mean,
                                                 double variance) {
    return get_distribution(matrix.data.data(), matrix.rows, matrix.cols,
                            static_cast<std::ptrdiff_t>(matrix.cols), 1, mean, variance);
}

}  // namespace gapweave
