// The IEEE 754 total order on doubles, as integer keys that compare the same.
#pragma once

#include <bit>
#include <compare>
#include <cstdint>

namespace gapweave {

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

}  // namespace gapweave
