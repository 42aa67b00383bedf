// Shared vocabulary of the generators: the selection mode, the total order
// on doubles, the mode comparisons and the table matrix.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace gapweave {

// Selection mode, parsed case-insensitively from "GM", "MAX" or "MIN".
enum class Mode : std::uint8_t { GM = 0, MAX = 1, MIN = 2 };

// Parses an already lower-cased UTF-8 text; no match gives nullopt.
std::optional<Mode> mode_from_lowercase(std::string_view text);

// IEEE 754 totalOrder as a signed integer key: comparing keys compares the
// doubles in the order -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
inline std::int64_t total_order_key(double value) noexcept {
    auto bits = std::bit_cast<std::int64_t>(value);
    bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
    return bits;
}

// The inverse of total_order_key (the mapping is its own inverse on bits).
inline double value_of_total_key(std::int64_t key) noexcept {
    key ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(key >> 63) >> 1);
    return std::bit_cast<double>(key);
}

// The total order as an unsigned key (the sign bit flipped), and back.
inline std::uint64_t unsigned_order_key(double value) noexcept {
    return static_cast<std::uint64_t>(total_order_key(value)) ^ (std::uint64_t{1} << 63);
}
inline double value_of_unsigned_key(std::uint64_t key) noexcept {
    return value_of_total_key(static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63)));
}

inline std::strong_ordering total_cmp(double a, double b) noexcept {
    return total_order_key(a) <=> total_order_key(b);
}

// The standard quiet NaN written into blanked cells.
inline constexpr double kMissing = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

// Three-way comparison of a current best value and a candidate under a
// target; "greater" means the candidate should replace the best.
using ModeComparison = std::strong_ordering (*)(const double& best, const double& candidate,
                                                const double& target);

ModeComparison mode_comparator(Mode mode) noexcept;

// Rows x cols doubles in row-major order; NaN marks a missing cell.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;

    double at(std::size_t r, std::size_t c) const noexcept { return data[r * cols + c]; }
    double& at(std::size_t r, std::size_t c) noexcept { return data[r * cols + c]; }
};

// Saturating conversions from double used for counts: the fraction is
// dropped, NaN and negative values give 0, values past the range the maximum.
std::uint32_t saturating_u32(double value) noexcept;
std::uint64_t saturating_u64(double value) noexcept;

// rows * cols; a fault when the product does not fit a machine word.
std::size_t checked_cells(std::size_t rows, std::size_t cols);

}  // namespace gapweave
