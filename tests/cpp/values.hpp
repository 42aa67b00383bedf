// Special doubles and bit-exact comparison, shared by the engine tests.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "generators/matrix.hpp"

namespace gapweave::test {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = kMissing;
inline const double kNegNaN = -kMissing;

// Bit equality, so -0 differs from +0; any NaN matches an expected NaN, as
// the sign of a NaN made by arithmetic depends on the processor.
inline bool same_value(double got, double expected) {
    if (std::isnan(expected)) return std::isnan(got);
    return std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(expected);
}

}  // namespace gapweave::test
