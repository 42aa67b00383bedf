// Picks made all at once by a selection: the same rows, in the same order,
// as the reference's scans picking one row per pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/planned/selection.hpp"
#include "generators/reference/pass_by_pass.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

// The rows the reference picks one pass after another with one target.
std::vector<std::uint32_t> picked_by_scans(Matrix m, HolePair pair, Mode mode, double target,
                                           std::size_t count) {
    std::vector<std::uint32_t> rows;
    for (std::size_t i = 0; i < count; ++i) {
        const auto row = pick_row(m, {pair.hole, pair.driver, target}, mode_comparator(mode));
        if (!row) break;
        rows.push_back(static_cast<std::uint32_t>(*row));
        m.at(*row, pair.hole) = kMissing;
    }
    return rows;
}

TEST(SelectPicks, MatchesScansPassAfterPass) {
    RandomSource rng = RandomSource::seed_from_u64(51);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t rows = 1 + rng.uniform_below(40);
        Matrix m{rows, 2, std::vector<double>(rows * 2)};
        for (double& v : m.data) {
            // Ties, signed zeros and infinities among a few values; some holes.
            const double values[] = {0.0, -0.0, 1.0, 2.0, -3.0, 1e300, -1e300, INFINITY};
            v = rng.uniform_below(8) == 0 ? kMissing : values[rng.uniform_below(8)];
        }
        for (const HolePair pair : {HolePair{0, 0}, HolePair{0, 1}}) {
            // A driver's candidates hold values: its cells are present
            // wherever the hole column's are.
            for (std::size_t r = 0; r < rows; ++r) {
                if (!std::isnan(m.at(r, 0)) && std::isnan(m.at(r, 1))) m.at(r, 1) = 0.5;
            }
            std::size_t candidates = 0;
            for (std::size_t r = 0; r < rows; ++r) candidates += !std::isnan(m.at(r, pair.hole));
            const std::size_t count = rng.uniform_below(static_cast<std::uint32_t>(candidates + 1));
            for (const Mode mode : {Mode::GM, Mode::MAX, Mode::MIN}) {
                const double target = rng.uniform_below(2) ? 0.0 : 1.7;
                const auto expected = picked_by_scans(m, pair, mode, target, count);
                const auto in_order = select_picks(m, pair, mode, target, count, true);
                EXPECT_EQ(std::vector<std::uint32_t>(in_order.begin(), in_order.end()), expected)
                    << "trial " << trial << " mode " << static_cast<int>(mode);
                auto ascending = expected;
                std::sort(ascending.begin(), ascending.end());
                const auto by_row = select_picks(m, pair, mode, target, count, false);
                EXPECT_EQ(std::vector<std::uint32_t>(by_row.begin(), by_row.end()), ascending);
            }
        }
    }
}

TEST(SelectPicks, OnlyEqualGmTargetsCanBeSelected) {
    const std::vector<double> equal = {2.0, 2.0};
    const std::vector<double> zeros = {0.0, -0.0};
    const std::vector<double> varying = {2.0, 3.0};
    EXPECT_TRUE(selectable(Mode::GM, equal));
    EXPECT_TRUE(selectable(Mode::GM, zeros));
    EXPECT_FALSE(selectable(Mode::GM, varying));
    EXPECT_TRUE(selectable(Mode::MAX, varying));
    EXPECT_TRUE(selectable(Mode::MIN, varying));
}

}  // namespace
}  // namespace gapweave
