// Cells of the kinds that the sorts and the ordered index must handle:
// normal values, long runs of ties, signed zeros, crowded buckets, ranges
// that overflow, subnormals, infinities and NaNs, heavy tails.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "generators/gauss.hpp"
#include "random/random_source.hpp"

namespace gapweave::test {

inline double cell(RandomSource& rng, int kind, bool rows_with_range = true) {
    switch (kind) {
        case 0: return Gauss::sample(rng, 0.0, 1.0);
        case 1: return static_cast<double>(rng.uniform_below(5)) - 2.0;  // long runs of ties
        case 2: {  // signed zeros, alone or sharing a bucket with other values
            const std::uint32_t pick = rng.uniform_below(rows_with_range ? 3 : 2);
            return pick == 2 ? 1.0 : pick == 1 ? 0.0 : -0.0;
        }
        case 3: return rng.uniform_below(100) == 0 ? 1e300 : rng.uniform_f64();  // crowded buckets
        case 4: return rng.uniform_below(2) ? -1.7e308 : 1.7e308;                // range overflows
        case 5: return std::numeric_limits<double>::denorm_min() * rng.uniform_below(9);
        case 6: {
            const double specials[] = {std::numeric_limits<double>::infinity(),
                                       -std::numeric_limits<double>::infinity(),
                                       std::nan(""),
                                       -std::nan(""),
                                       0.0,
                                       -0.0,
                                       1.0};
            return specials[rng.uniform_below(7)];
        }
        case 7: return rng.uniform_below(3) == 0 ? -0.0 : Gauss::sample(rng, 0.0, 1e-3);
        // Heavy tails: most values crowd a few buckets of the whole range,
        // which are bucketed again over their own range.
        case 8: return Gauss::sample(rng, 0.0, 1.0) / Gauss::sample(rng, 0.0, 1.0);
        case 9: return std::exp(3.0 * Gauss::sample(rng, 0.0, 1.0));
        // A range so small that its bucket scale nears the largest double.
        case 10: return Gauss::sample(rng, 0.0, 1e-303);
        // Magnitudes over six hundred decades: crowded at every level.
        default:
            return std::ldexp(rng.uniform_below(2) ? 1.0 : -1.0,
                              static_cast<int>(rng.uniform_below(2000)) - 1000);
    }
}

}  // namespace gapweave::test
