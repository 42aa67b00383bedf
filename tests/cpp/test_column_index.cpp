// The ordered index over a column's candidates: where each target splits
// the sorted values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "column_cells.hpp"
#include "generators/gauss.hpp"
#include "generators/planned/column_index.hpp"
#include "generators/planned/sorted_column.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

using namespace test;

constexpr double kInf = std::numeric_limits<double>::infinity();

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

}  // namespace
}  // namespace gapweave
