#include "generators/mode.hpp"

#include "generators/total_order.hpp"

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

}  // namespace gapweave
