// The radix sort behind crowded buckets: stable by key, also where it
// skips the digits that every key shares.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "generators/planned/radix_sort.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

TEST(RadixSort, EqualsAStableSortByKey) {
    RandomSource rng = RandomSource::seed_from_u64(61);
    // Keys free in every bit, sharing all but their low bits, sharing all
    // but their high bits, and all equal.
    const std::uint64_t free_bits[] = {~0ull, 0xFFF, 0xFFF0000000000000, 0};
    for (const std::uint64_t free : free_bits) {
        for (const std::size_t size : {0u, 1u, 50u, 5000u}) {
            const std::uint64_t shared = rng.next_u64() & ~free;
            std::vector<KeyedRow> entries(size);
            for (std::size_t i = 0; i < size; ++i) {
                // Few distinct keys, so that equal keys must keep their rows in order.
                const std::uint64_t pick = rng.next_u64() & free & 0xF00000000000000F;
                entries[i] = {shared | pick, static_cast<std::uint32_t>(i)};
            }
            std::vector<KeyedRow> expected = entries;
            std::stable_sort(expected.begin(), expected.end(),
                             [](const KeyedRow& a, const KeyedRow& b) { return a.key < b.key; });
            radix_sort(entries);
            ASSERT_EQ(entries.size(), expected.size());
            for (std::size_t i = 0; i < size; ++i) {
                ASSERT_EQ(entries[i].key, expected[i].key) << "free " << free << " at " << i;
                ASSERT_EQ(entries[i].row, expected[i].row) << "free " << free << " at " << i;
            }
        }
    }
}

}  // namespace
}  // namespace gapweave
