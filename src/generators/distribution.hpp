// The normal distribution fitted to each column: its centre, an order
// statistic at a quantile level, and its spread, a multiple of its range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "generators/matrix.hpp"
#include "generators/total_order.hpp"

namespace gapweave {

// Centre and spread of the normal distribution fitted to one column.
struct ColumnDistribution {
    double center;  // order statistic picked by the `mean` quantile level
    double spread;  // `variance` times the column's range
};

// The centre of a column of n values from its order statistics, `element(i)`
// giving the i-th smallest under the total order, for quantile position k:
// element k for an odd count (or k = 0), else the mean of elements k - 1
// and k (k = n: element n - 1 twice). Only positions below n are valid.
// Every path computes the centre here, so that they agree to the bit.
template <class Element>
double column_center(std::size_t n, std::uint32_t k, Element&& element) {
    if (n % 2 == 1 || k == 0) return element(k);
    const double lower = element(k - 1);
    const double upper = k < n ? element(k) : lower;
    return (lower + upper) * 0.5;
}

// The quantile position floor(mean * rows), saturated to 32 bits; a fault
// (index out of range) when it points past the end of a column of `rows`
// values (mean >= 1 with an odd row count, or no rows at all).
std::uint32_t quantile_index(double mean, std::size_t rows);

// The spread of a column whose smallest and largest unsigned total-order
// keys are `low` and `high`: `variance` times its range.
inline double range_spread(std::uint64_t low, std::uint64_t high, double variance) noexcept {
    return variance * (value_of_unsigned_key(high) - value_of_unsigned_key(low));
}

// Centre and spread of one column from the unsigned total-order keys of its
// values (unsigned_order_key), with k from quantile_index.
ColumnDistribution column_distribution(std::span<const std::uint64_t> keys, std::uint32_t k,
                                       double variance);

// One distribution per column of the matrix, with k from quantile_index.
// Each column is ordered under the IEEE total order, NaN cells included.
std::vector<ColumnDistribution> column_distributions(const Matrix& matrix, std::uint32_t k,
                                                     double variance);

// The same at the quantile level `mean`: a fault (index out of range) when
// the quantile index is not below rows, e.g. for mean >= 1 with an odd row
// count, or zero rows and some columns.
std::vector<ColumnDistribution> get_distribution(const Matrix& matrix, double mean,
                                                 double variance);

}  // namespace gapweave
