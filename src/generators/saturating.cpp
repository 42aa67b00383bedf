#include "generators/saturating.hpp"

namespace gapweave {

std::uint32_t saturating_u32(double value) noexcept {
    if (!(value > 0.0)) return 0;  // NaN, zero and negatives
    if (value >= 4294967296.0) return UINT32_MAX;
    return static_cast<std::uint32_t>(value);
}

std::uint64_t saturating_u64(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

}  // namespace gapweave
