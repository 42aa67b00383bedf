// Driver distributions found in passes over the table, against those of
// each column copied.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "generators/column_facts.hpp"
#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/matrix.hpp"
#include "generators/planned/driver_distributions.hpp"
#include "generators/total_order.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"
#include "values.hpp"

namespace gapweave {
namespace {

using namespace test;

TEST(DriverDistributions, TablePassesMatchEachColumn) {
    // Columns whose centre is settled by collecting keys after twelve or
    // twenty-four known bits, or only at sixty-four (a value repeated many
    // times), beside specials; rows odd and even, split among 1 or 3
    // workers, in groups of columns. Without centres, the smallest value
    // (or -0, for centres read from sorts) stands in wherever the centre is
    // sure to be finite.
    RandomSource rng = RandomSource::seed_from_u64(8);
    for (const std::size_t rows : {20001u, 40000u}) {
        const std::size_t cols = 20;
        Matrix m{rows, cols, std::vector<double>(rows * cols)};
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                const double z = Gauss::sample(rng, 0.0, 1.0);
                const double values[] = {z,
                                         100.0 + z,
                                         std::floor(2.0 * z),
                                         z < 3.0 ? 1.0 : kInf,
                                         rng.uniform_below(1000) == 0 ? kNaN : -z,
                                         z < 2.0 ? z : 0x1p1023};  // two may sum past the largest
                m.at(r, c) = values[c % 6];
            }
        }
        std::vector<std::size_t> columns(cols);
        for (std::size_t c = 0; c < cols; ++c) columns[c] = c;
        for (const double mean : {0.0, 0.5, 0.999, 1.0}) {
            if (mean == 1.0 && rows % 2 == 1) continue;
            const std::uint32_t k = quantile_index(mean, rows);
            const auto expected = get_distribution(m, mean, 0.3);
            for (const std::size_t workers : {1u, 3u}) {
                ThreadPool pool(workers);
                const auto got = distributions_by_passes(pool, m, columns, {k, 0.3});
                const auto uncentred =
                    distributions_by_passes(pool, m, columns, {k, 0.3, Centres::kNanOnly});
                const auto later =
                    distributions_by_passes(pool, m, columns, {k, 0.3, Centres::kFromSorts});
                // Given the first pass's findings, the other passes give the same.
                const ColumnFacts& scan = later.facts;
                for (const Centres centres : {Centres::kAll, Centres::kFromSorts}) {
                    const auto given =
                        distributions_by_passes(pool, m, columns, {k, 0.3, centres}, &scan);
                    const auto& passes = centres == Centres::kAll ? got : later;
                    for (std::size_t c = 0; c < cols; ++c) {
                        EXPECT_TRUE(same_value(given.of[c].center, passes.of[c].center)) << c;
                        EXPECT_TRUE(same_value(given.of[c].spread, passes.of[c].spread)) << c;
                        EXPECT_EQ(given.from_sort[c], passes.from_sort[c]) << c;
                    }
                }
                for (std::size_t c = 0; c < cols; ++c) {
                    EXPECT_TRUE(same_value(got.of[c].center, expected[c].center))
                        << "rows " << rows << " mean " << mean << " column " << c;
                    EXPECT_TRUE(same_value(got.of[c].spread, expected[c].spread))
                        << "rows " << rows << " mean " << mean << " column " << c;
                    std::uint64_t low = UINT64_MAX;
                    std::uint64_t high = 0;
                    bool tame = true;
                    std::size_t present = 0;
                    for (std::size_t r = 0; r < rows; ++r) {
                        low = std::min(low, unsigned_order_key(m.at(r, c)));
                        high = std::max(high, unsigned_order_key(m.at(r, c)));
                        tame &= std::fabs(m.at(r, c)) <= std::numeric_limits<double>::max() / 2;
                        present += !std::isnan(m.at(r, c));
                    }
                    ASSERT_EQ(later.facts.present.size(), cols);
                    EXPECT_EQ(later.facts.present[c], present) << "column " << c;
                    const double center = tame ? value_of_unsigned_key(low) : expected[c].center;
                    EXPECT_TRUE(same_value(uncentred.of[c].center, center)) << "column " << c;
                    EXPECT_TRUE(same_value(uncentred.of[c].spread, expected[c].spread)) << c;
                    EXPECT_EQ(later.from_sort[c], tame) << "column " << c;
                    EXPECT_TRUE(same_value(later.of[c].center, tame ? -0.0 : expected[c].center))
                        << "column " << c;
                    for (const auto& found : {got.facts.ranges[c], uncentred.facts.ranges[c]}) {
                        ASSERT_TRUE(found.has_value()) << "column " << c;
                        EXPECT_EQ(found->low, low) << "column " << c;
                        EXPECT_EQ(found->high, high) << "column " << c;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace gapweave
