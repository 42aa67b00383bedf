// The selection mode of a generator and the comparisons it picks cells by.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

namespace gapweave {

// Selection mode, parsed case-insensitively from "GM", "MAX" or "MIN".
enum class Mode : std::uint8_t { GM = 0, MAX = 1, MIN = 2 };

// Parses an already lower-cased UTF-8 text; no match gives nullopt.
std::optional<Mode> mode_from_lowercase(std::string_view text);

// Three-way comparison of a current best value and a candidate under a
// target; "greater" means the candidate should replace the best.
using ModeComparison = std::strong_ordering (*)(const double& best, const double& candidate,
                                                const double& target);

ModeComparison mode_comparator(Mode mode) noexcept;

}  // namespace gapweave
