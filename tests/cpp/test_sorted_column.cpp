// Sorting a column once per call and searching it: the sort must equal a
// stable sort by total-order key whichever method it takes, and the bit
// tree must answer nearest-member queries like an ordered set.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <vector>

#include "generators/planned/bit_tree.hpp"
#include "generators/planned/column_index.hpp"
#include "generators/planned/sorted_column.hpp"
#include "generators/utils.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double cell(RandomSource& rng, int kind, bool rows_with_range = true) {
    switch (kind) {
        case 0: return Gauss::sample(rng, 0.0, 1.0);
        case 1: return static_cast<double>(rng.uniform_below(5)) - 2.0;  // long runs of ties
        case 2: {  // signed zeros, alone or sharing a bucket with other values
            const std::uint32_t pick = rng.uniform_below(rows_with_range ? 3 : 2);
            return pick == 2 ? 1.0 : pick == 1 ? 0.0 : -0.0;
        }
        case 3: return rng.uniform_below(100) == 0 ? 1e300 : rng.uniform_f64();  // crowded buckets
        case 4: return rng.uniform_below(2) ? -1.7e308 : 1.7e308;                // range overflows
        case 5: return std::numeric_limits<double>::denorm_min() * rng.uniform_below(9);
        case 6: {
            const double specials[] = {kInf, -kInf, std::nan(""), -std::nan(""), 0.0, -0.0, 1.0};
            return specials[rng.uniform_below(7)];
        }
        case 7: return rng.uniform_below(3) == 0 ? -0.0 : Gauss::sample(rng, 0.0, 1e-3);
        // Heavy tails: most values crowd a few buckets of the whole range,
        // which are bucketed again over their own range.
        case 8: return Gauss::sample(rng, 0.0, 1.0) / Gauss::sample(rng, 0.0, 1.0);
        case 9: return std::exp(3.0 * Gauss::sample(rng, 0.0, 1.0));
        // A range so small that its bucket scale nears the largest double.
        case 10: return Gauss::sample(rng, 0.0, 1e-303);
        // Magnitudes over six hundred decades: crowded at every level.
        default:
            return std::ldexp(rng.uniform_below(2) ? 1.0 : -1.0,
                              static_cast<int>(rng.uniform_below(2000)) - 1000);
    }
}

TEST(SortedColumn, EqualsStableSortByTotalOrder) {
    RandomSource rng = RandomSource::seed_from_u64(31);
    for (int kind = 0; kind < 12; ++kind) {
        for (std::size_t rows : {1u, 2u, 48u, 49u, 63u, 64u, 65u, 1000u, 20000u, 100000u}) {
            Matrix m{rows, 2, std::vector<double>(rows * 2)};
            const bool with_range = rows % 2 == 0;
            for (double& v : m.data) v = cell(rng, kind, with_range);
            // Sorted where it lies, finding its own range or given it.
            KeyRange range{UINT64_MAX, 0};
            for (std::size_t r = 0; r < rows; ++r) {
                range.low = std::min(range.low, unsigned_order_key(m.at(r, 1)));
                range.high = std::max(range.high, unsigned_order_key(m.at(r, 1)));
            }
            std::vector<std::uint32_t> order(rows);
            for (std::uint32_t r = 0; r < rows; ++r) order[r] = r;
            std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
                return unsigned_order_key(m.at(a, 1)) < unsigned_order_key(m.at(b, 1));
            });
            for (const SortedColumn& sorted : {sort_column(m, 1), sort_column(m, 1, range)}) {
                ASSERT_EQ(std::vector<std::uint32_t>(sorted.rows.begin(), sorted.rows.end()), order)
                    << "kind " << kind << " rows " << rows;
                for (std::size_t i = 0; i < rows; ++i) {
                    ASSERT_EQ(std::bit_cast<std::uint64_t>(sorted.values[i]),
                              std::bit_cast<std::uint64_t>(m.at(order[i], 1)));
                }
            }
        }
    }
}

TEST(SortedColumn, PresentInKeepsOrderAndDropsHoleRows) {
    RandomSource rng = RandomSource::seed_from_u64(33);
    const std::size_t rows = 3000;
    Matrix m{rows, 2, std::vector<double>(rows * 2)};
    for (std::size_t r = 0; r < rows; ++r) {
        m.at(r, 0) = cell(rng, 1);
        m.at(r, 1) = rng.uniform_below(4) == 0 ? kMissing : 1.0;
    }
    const SortedColumn driver = sort_column(m, 0);
    const SortedColumn kept = present_in(driver, m, 1);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t row : driver.rows) {
        if (!std::isnan(m.at(row, 1))) expected.push_back(row);
    }
    EXPECT_EQ(std::vector<std::uint32_t>(kept.rows.begin(), kept.rows.end()), expected);
    ASSERT_EQ(kept.values.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(kept.values[i], m.at(expected[i], 0));
}

TEST(ColumnIndex, SplitsAreFirstValuesNotBelowEachTarget) {
    // Many targets, drawn partly from the values themselves (ties, signed
    // zeros) and partly beyond them (infinities).
    RandomSource rng = RandomSource::seed_from_u64(35);
    for (int kind : {0, 1, 2, 6}) {
        std::vector<double> cells(30000);
        for (double& v : cells) v = cell(rng, kind);
        std::erase_if(cells, [](double v) { return std::isnan(v); });
        auto column = std::make_shared<const SortedColumn>(sort_cells(cells));
        std::vector<double> targets(150000);
        for (double& t : targets) {
            t = rng.uniform_below(8) == 0 ? (rng.uniform_below(2) ? kInf : -kInf)
                : rng.uniform_below(2)    ? cells[rng.uniform_below(cells.size())]
                                          : Gauss::sample(rng, 0.0, 2.0);
        }
        // Blocks of either size after the other, the index reusing its buffers.
        ColumnIndex index(column, cells.size(), false);
        const std::pair<std::size_t, std::size_t> blocks[] = {
            {0, 20000}, {20000, 110000}, {110000, targets.size()}};
        for (const auto& [begin, end] : blocks) {
            const auto splits = index.splits(std::span(targets).subspan(begin, end - begin));
            ASSERT_EQ(splits.size(), end - begin);
            for (std::size_t i = begin; i < end; ++i) {
                const auto first = std::lower_bound(column->values.begin(), column->values.end(),
                                                    targets[i], std::less<>());
                ASSERT_EQ(splits[i - begin], first - column->values.begin())
                    << "kind " << kind << " " << i;
            }
        }
    }
}

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
