// The order statistics of keys, found without sorting them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "generators/nth_smallest.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

// Keys that share many leading bits push the search down to its last
// digit; sizes straddle the point where it searches directly.
TEST(NthSmallest, MatchesNthElement) {
    RandomSource rng = RandomSource::seed_from_u64(7);
    const std::uint64_t shared_bits[] = {0, 0xFFFF000000000000, 0xFFFFFFFFFFFF0000, ~0ull};
    for (std::uint64_t shared : shared_bits) {
        for (std::size_t size : {1u, 4096u, 4097u, 60000u}) {
            std::vector<std::uint64_t> keys(size);
            const std::uint64_t prefix = rng.next_u64() & shared;
            for (std::uint64_t& key : keys) {
                // A few distinct values among many copies, or all distinct.
                const std::uint64_t low =
                    size > 4096 && (rng.next_u64() & 1) ? 12345 : rng.next_u64();
                key = prefix | (low & ~shared);
            }
            for (std::size_t position : {std::size_t{0}, size / 2, size - 1}) {
                std::vector<std::uint64_t> expected = keys;
                std::nth_element(expected.begin(), expected.begin() + position, expected.end());
                EXPECT_EQ(nth_smallest(keys, position), expected[position])
                    << "shared " << shared << " size " << size << " position " << position;
            }
        }
    }
}

}  // namespace
}  // namespace gapweave
