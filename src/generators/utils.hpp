// Per-column normal distributions and the normal draw of selection targets.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "generators/common.hpp"

namespace gapweave {

// Centre and spread of the normal distribution fitted to one column.
struct ColumnDistribution {
    double center;  // order statistic picked by the `mean` quantile level
    double spread;  // `variance` times the column's range
};

// The centre of a column of n values from its order statistics, `element(i)`
// giving the i-th smallest under the total order, for quantile position k:
// element k for an odd count (or k = 0), else the mean of elements k - 1
// and k (k = n: element n - 1 twice). Only positions below n are valid. Every path computes the
// centre here, so that they agree to the bit.
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

// The key at `position` of `keys` in ascending order (what std::nth_element
// would put there), found without reordering them: a histogram of sixteen
// bits at a time, from the top, narrows the search to the keys sharing the
// answer's leading bits, and only those are copied and searched further.
std::uint64_t nth_smallest(std::span<const std::uint64_t> keys, std::size_t position);

// A column's smallest and largest unsigned total-order keys.
struct KeyRange {
    std::uint64_t low;
    std::uint64_t high;
};

// What one pass over a whole table found of each of its columns.
struct TableScan {
    std::vector<KeyRange> ranges;
    std::vector<std::size_t> present;  // cells that are not NaN
};

// The spread of a column whose smallest and largest unsigned total-order
// keys are `low` and `high`: `variance` times its range.
inline double range_spread(std::uint64_t low, std::uint64_t high, double variance) noexcept {
    return variance * (value_of_unsigned_key(high) - value_of_unsigned_key(low));
}

// Centre and spread of one column from the unsigned total-order keys of its
// values (unsigned_order_key), with k from quantile_index.
ColumnDistribution column_distribution(std::span<const std::uint64_t> keys, std::uint32_t k,
                                       double variance);

// One distribution per column of the matrix. Each column is ordered under
// the IEEE total order, NaN cells included. A fault (index out of range)
// when the quantile index is not below rows, e.g. for mean >= 1 with an odd
// row count, or zero rows and some columns.
std::vector<ColumnDistribution> get_distribution(const Matrix& matrix, double mean,
                                                 double variance);

// Normal draws by the Box-Muller transform, cosine branch only, so every
// call consumes a fixed number of uniforms (plus one per rejected u1) and
// seeded runs stay reproducible.
struct Gauss {
    // `Source` provides `double uniform_f64()` in [0, 1). NaN mean or std
    // give NaN; the caller checks for it.
    template <class Source>
    static double sample(Source& rng, double mean, double std) {
        double u1 = rng.uniform_f64();
        // ln(0) would be -inf; redraw the (exceedingly rare) zero.
        while (u1 < 1e-17) u1 = rng.uniform_f64();
        const double u2 = rng.uniform_f64();
        const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
        return mean + std * z;
    }

    // True when every sample is `mean` itself: a zero `std` times the
    // finite z adds a zero, which leaves a finite mean other than zero
    // unchanged (at zero the sign of the sum would depend on z).
    static bool constant(double mean, double std) noexcept {
        return std == 0.0 && std::isfinite(mean) && mean != 0.0;
    }

    // Takes the uniforms of one sample from `rng`, exactly as sample()
    // does, without computing it.
    template <class Source>
    static void skip(Source& rng) {
        double u1 = rng.uniform_f64();
        while (u1 < 1e-17) u1 = rng.uniform_f64();
        static_cast<void>(rng.uniform_f64());
    }
};

}  // namespace gapweave
