// Random orders and random subsets of positions, drawn from a RandomSource.
//
// Seeded results are reproducible only if the draws below take the same
// words from the stream in the same order, so each function documents the
// draws it makes. Lists and lengths fit in 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "random/random_source.hpp"

namespace gapweave {

// One bounded draw serves several consecutive chooser results: `bound` is
// the product start × (start + 1) × ... of the `count` factors that still
// fits in 32 bits.
struct ChunkBound {
    std::uint32_t bound;
    std::uint8_t count;
    bool operator==(const ChunkBound&) const = default;
};

// The chunk for a chooser whose next result lies in 0 ... start - 1
// (start >= 1).
ChunkBound chunk_bound(std::uint32_t start);

// Chooser of the swap partners of a Fisher-Yates shuffle: successive calls
// return a value in 0 ... n, then 0 ... n + 1, and so on. A chunk drawn with
// uniform_below(bound) is read as a mixed-radix number whose digits are the
// next `count` results, so small indices cost a fraction of a draw each.
class IncreasingUniform {
public:
    // The first result lies in 0 ... n. With n = 0 it is 0 without a draw.
    IncreasingUniform(RandomSource& source, std::uint32_t n) noexcept
        : source_(source), n_(n), chunk_remaining_(n == 0 ? 1 : 0) {}

    std::uint32_t next_index();

private:
    RandomSource& source_;
    std::uint32_t n_;
    std::uint32_t chunk_ = 0;
    std::uint8_t chunk_remaining_;
};

// The two views of a list rearranged by partial_shuffle.
struct ShuffleParts {
    std::span<std::uint32_t> shuffled;  // the last min(amount, length) elements
    std::span<std::uint32_t> rest;      // the elements before them
};

// Fisher-Yates shuffle of the last `amount` elements of `list` in place,
// swapping element i (from length - amount up) with the chooser's next index.
ShuffleParts partial_shuffle(std::span<std::uint32_t> list, RandomSource& source,
                             std::size_t amount);

enum class SampleMethod : std::uint8_t { Floyd, Inplace, Rejection };

// The method sample_indices uses for `amount` positions out of `length`,
// by comparisons made in single precision.
SampleMethod choose_sample_method(std::uint32_t length, std::uint32_t amount) noexcept;

// `amount` distinct positions out of 0 ... length - 1, in the order drawn,
// with the method choose_sample_method picks. amount > length is a Fault.
std::vector<std::uint32_t> sample_indices(RandomSource& source, std::uint32_t length,
                                          std::uint32_t amount);

// Floyd's combination algorithm: one uniform_below(j + 1) per
// j = length - amount ... length - 1; memory grows with amount only.
std::vector<std::uint32_t> sample_by_floyd(RandomSource& source, std::uint32_t length,
                                           std::uint32_t amount);

// Partial Fisher-Yates over [0, length): one uniform_below(length - i) per
// i < amount; memory grows with length.
std::vector<std::uint32_t> sample_inplace(RandomSource& source, std::uint32_t length,
                                          std::uint32_t amount);

// Zoned draws of 0 ... length - 1, redrawn while already taken, until
// `amount` distinct positions are accepted.
std::vector<std::uint32_t> sample_by_rejection(RandomSource& source, std::uint32_t length,
                                               std::uint32_t amount);

// A value in 0 ... range - 1 (range >= 1): the high half of word × range
// for the first word whose low half is outside the rejection zone. Unlike
// uniform_below it may take any number of words, each used whole.
std::uint32_t uniform_below_zoned(RandomSource& source, std::uint32_t range);

}  // namespace gapweave
