// The replay of a call's full passes from tables of targets.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/planned/pass_replay.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

// Bulk passes replayed in batches: a pass that stops the call leaves the
// stream just after its own draws, wherever it falls in a batch, whether
// it was made alone or among the leading rows taken together; slots whose
// target is always their centre take the same course without a table.
TEST(ReplayPasses, StopsWithTheStreamAfterTheStoppingPass) {
    ThreadPool pool(2);
    for (const std::vector<ColumnDistribution>& params :
         {std::vector<ColumnDistribution>{{0.0, 1.0}, {5.0, 0.5}, {-2.0, 3.0}},
          std::vector<ColumnDistribution>{{1.5, 0.0}, {-4.0, -0.0}}})
        for (std::size_t together_rows : {0u, 3u})
            for (std::size_t stop_at : {0u, 2u, 3u, 4u, 6u, 9u, 100u}) {
                RandomSource rng = RandomSource::seed_from_u64(77);
                RandomSource sequential = rng;
                std::vector<double> seen;
                std::size_t passes = 0;
                const auto one = [&](std::span<const double> targets) {
                    seen.insert(seen.end(), targets.begin(), targets.end());
                    return passes++ != stop_at;
                };
                const auto together = [&](const TargetRows& targets) {
                    PassesTaken taken{0, true};
                    while (taken.went_on && taken.rows < std::min(together_rows, targets.rows))
                        taken.went_on = one(targets.row(taken.rows++));
                    return taken;
                };
                const bool finished = replay_passes(rng, pool, params, 10, one, together, 4);
                const std::size_t drawn = std::min<std::size_t>(stop_at + 1, 10);
                EXPECT_EQ(finished, stop_at >= 10);
                ASSERT_EQ(seen.size(), drawn * params.size()) << "stop at " << stop_at;
                for (std::size_t i = 0; i < seen.size(); ++i) {
                    const ColumnDistribution& d = params[i % params.size()];
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(seen[i]),
                              std::bit_cast<std::uint64_t>(
                                  Gauss::sample(sequential, d.center, d.spread)));
                }
                EXPECT_TRUE(rng == sequential)
                    << "stop at " << stop_at << " together " << together_rows;
            }
}

}  // namespace
}  // namespace gapweave
