// Saturating conversions from double, used for counts.
#pragma once

#include <cstdint>

namespace gapweave {

// The fraction is dropped, NaN and negative values give 0, values past the
// range the maximum.
std::uint32_t saturating_u32(double value) noexcept;
std::uint64_t saturating_u64(double value) noexcept;

}  // namespace gapweave
