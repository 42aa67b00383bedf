// The bit tree must answer nearest-member queries like an ordered set.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <set>

#include "generators/planned/bit_tree.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

TEST(BitTree, NearestMembersMatchAnOrderedSet) {
    RandomSource rng = RandomSource::seed_from_u64(34);
    for (std::size_t size : {0u, 1u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 300000u}) {
        BitTree tree(size, true);
        std::set<std::size_t> members;
        for (std::size_t i = 0; i < size; ++i) members.insert(i);
        const auto check = [&](std::size_t i) {
            const auto after = members.lower_bound(i);
            const std::size_t next = after == members.end() ? BitTree::npos : *after;
            ASSERT_EQ(tree.next(i), next) << "size " << size << " next " << i;
            const auto upto = members.upper_bound(i);
            const std::size_t prev = upto == members.begin() ? BitTree::npos : *std::prev(upto);
            ASSERT_EQ(tree.prev(i), prev) << "size " << size << " prev " << i;
        };
        // Remove most members, in clustered and scattered order, querying
        // around each removal and at random.
        const std::size_t removals = size - size / 50;
        for (std::size_t step = 0; step < removals; ++step) {
            const std::size_t at =
                static_cast<std::size_t>(rng.uniform_below(static_cast<std::uint32_t>(size)));
            const auto victim = members.lower_bound(at) != members.end() ? members.lower_bound(at)
                                                                         : members.begin();
            if (victim == members.end()) break;
            const std::size_t v = *victim;
            tree.reset(v);
            members.erase(victim);
            ASSERT_FALSE(tree.test(v));
            if (step % 97 == 0 || size < 5000) {
                check(v);
                check(
                    static_cast<std::size_t>(rng.uniform_below(static_cast<std::uint32_t>(size))));
            }
        }
        if (size > 0) {
            check(0);
            check(size - 1);
            tree.set(size - 1);
            members.insert(size - 1);
            check(0);
        }
        EXPECT_EQ(tree.next(size), BitTree::npos);
        EXPECT_EQ(tree.prev(BitTree::npos), BitTree::npos);
    }
}

}  // namespace
}  // namespace gapweave
