// Sorting a column once per call: the sort must equal a stable sort by
// total-order key whichever method it takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <vector>

#include "column_cells.hpp"
#include "generators/column_facts.hpp"
#include "generators/gauss.hpp"
#include "generators/matrix.hpp"
#include "generators/planned/sorted_column.hpp"
#include "generators/total_order.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

using namespace test;

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

}  // namespace
}  // namespace gapweave
