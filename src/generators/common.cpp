#include "generators/common.hpp"

#include <cmath>
#include <string>

#include "support/fault.hpp"

namespace gapweave {

std::optional<Mode> mode_from_lowercase(std::string_view text) {
    if (text == "gm") return Mode::GM;
    if (text == "max") return Mode::MAX;
    if (text == "min") return Mode::MIN;
    return std::nullopt;
}

namespace {

// The value nearest the target wins; squares are rounded doubles, compared
// under the total order.
std::strong_ordering compare_gm(const double& best, const double& candidate, const double& target) {
    const double db = (best - target) * (best - target);
    const double dc = (candidate - target) * (candidate - target);
    return total_cmp(db, dc);
}

// The smallest value wins.
std::strong_ordering compare_max(const double& best, const double& candidate, const double&) {
    return total_cmp(best, candidate);
}

// The largest value wins.
std::strong_ordering compare_min(const double& best, const double& candidate, const double&) {
    return total_cmp(candidate, best);
}

constexpr ModeComparison kComparisons[] = {compare_gm, compare_max, compare_min};

}  // namespace

ModeComparison mode_comparator(Mode mode) noexcept {
    return kComparisons[static_cast<std::uint8_t>(mode)];
}

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

std::size_t checked_cells(std::size_t rows, std::size_t cols) {
    std::size_t cells = 0;
    if (__builtin_mul_overflow(rows, cols, &cells)) {
        throw Fault("table of " + std::to_string(rows) + " x " + std::to_string(cols) +
                    " cells does not fit in memory");
    }
    return cells;
}

}  // namespace gapweave
