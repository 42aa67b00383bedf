// A set of positions 0 ... n - 1 as a hierarchy of bitsets: level 0 holds
// one bit per position, and each higher level one bit per word below it,
// set while that word is not zero. Finding the nearest member on either
// side of a position touches a few words per level, and for a million
// positions all levels together take about 128 KiB, so the searches stay
// in cache where a linked structure would miss it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace gapweave {

class BitTree {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    BitTree() = default;
    // Every position a member (`full`) or none.
    BitTree(std::size_t size, bool full);

    std::size_t size() const noexcept { return size_; }
    bool test(std::size_t i) const noexcept { return (levels_[0][i / 64] >> (i % 64)) & 1; }
    void set(std::size_t i) noexcept;
    void reset(std::size_t i) noexcept;

    // The first member at or after i / the last at or before i; npos when
    // there is none (i may be anything, including npos for "before 0").
    std::size_t next(std::size_t i) const noexcept;
    std::size_t prev(std::size_t i) const noexcept;

private:
    std::size_t size_ = 0;
    std::vector<std::vector<std::uint64_t>> levels_;
};

}  // namespace gapweave
