// Saturating conversions of counts from double: the fraction dropped, NaN
// and negatives to zero, anything past the range to the maximum.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "generators/saturating.hpp"

namespace gapweave {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
    double value;
    std::uint32_t u32;
    std::uint64_t u64;
};

class Saturating : public ::testing::TestWithParam<Case> {};

TEST_P(Saturating, ConvertsLikeACountCast) {
    EXPECT_EQ(saturating_u32(GetParam().value), GetParam().u32) << GetParam().value;
    EXPECT_EQ(saturating_u64(GetParam().value), GetParam().u64) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Counts, Saturating,
    ::testing::Values(Case{std::nan(""), 0, 0}, Case{-std::nan(""), 0, 0}, Case{-kInf, 0, 0},
                      Case{-1.0, 0, 0}, Case{-0.0, 0, 0}, Case{0.0, 0, 0}, Case{0.75, 0, 0},
                      Case{1.5, 1, 1}, Case{4294967295.5, UINT32_MAX, 4294967295},
                      Case{4294967296.0, UINT32_MAX, 4294967296},
                      // The largest double below 2^64 still fits; 2^64 does not.
                      Case{18446744073709549568.0, UINT32_MAX, 18446744073709549568u},
                      Case{18446744073709551616.0, UINT32_MAX, UINT64_MAX},
                      Case{kInf, UINT32_MAX, UINT64_MAX}));

}  // namespace
}  // namespace gapweave
