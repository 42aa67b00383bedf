// Counting the present cells of a table on the pool: blocks of rows run on
// several workers at once, and their sums match a count made row by row.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "generators/pass_ledger.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {
namespace {

TEST(CountPresent, BlocksOnSeveralWorkersMatchASerialCount) {
    // Several blocks of 2^16 rows, the last one short.
    const std::size_t rows = (std::size_t{1} << 17) + 12345;
    const std::size_t cols = 3;
    RandomSource rng = RandomSource::seed_from_u64(17);
    Matrix matrix{rows, cols, std::vector<double>(rows * cols, 1.0)};
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) {
            if (rng.uniform_below(4 + static_cast<std::uint32_t>(c)) == 0) matrix.at(r, c) = NAN;
        }
    }
    std::vector<std::size_t> serial(cols, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) serial[c] += !std::isnan(matrix.at(r, c));
    }
    ThreadPool pool(4);
    for (int repeat = 0; repeat < 5; ++repeat) EXPECT_EQ(count_present(pool, matrix), serial);
}

}  // namespace
}  // namespace gapweave
