// MAR's correlations: every strength bit for bit as one column and one pair
// at a time would sum them, however many workers share the sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "generators/matrix.hpp"
#include "generators/pair_correlations.hpp"
#include "generators/total_order.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {
namespace {

// The coefficients summed the plain way: column by column, row by row.
double plain_strength(const Matrix& m, std::size_t a, std::size_t b) {
    const double count = static_cast<double>(m.rows);
    const auto moments = [&](std::size_t c, double& mean, double& deviation) {
        double sum = 0.0, running = 0.0, squares = 0.0;
        for (std::size_t r = 0; r < m.rows; ++r) {
            const double x = m.at(r, c);
            sum += x;
            const double delta = x - running;
            running = running + delta / static_cast<double>(r + 1);
            squares = std::fma(x - running, delta, squares);
        }
        mean = sum / count;
        deviation = std::sqrt(squares / count);
    };
    double mean_a, dev_a, mean_b, dev_b;
    moments(a, mean_a, dev_a);
    moments(b, mean_b, dev_b);
    double covariance = 0.0;
    for (std::size_t r = 0; r < m.rows; ++r)
        covariance += (m.at(r, a) - mean_a) * (m.at(r, b) - mean_b);
    return std::fabs(covariance / count / (dev_a * dev_b));
}

// Widths on either side of the vector lengths, a constant column (NaN or
// infinite strengths), a column with missing cells, values far apart in
// scale, and 1 to 3 workers; the scan that comes with the sums, too.
TEST(PairCorrelations, MatchColumnByColumnSums) {
    std::mt19937_64 bits(7);
    std::normal_distribution<double> normal;
    for (std::size_t cols : {2, 3, 5, 6, 9, 13}) {
        Matrix m{1000 + cols, cols, {}};
        for (std::size_t i = 0; i < m.rows * cols; ++i) {
            const double value = normal(bits) * std::ldexp(1.0, int(i % 7) * 9);
            m.data.push_back(i % cols == 1                  ? 4.0
                             : i % cols == 0 && i % 11 == 0 ? -kMissing
                                                            : value);
        }
        std::vector<std::uint32_t> order(cols);
        std::iota(order.begin(), order.end(), 0u);
        std::shuffle(order.begin(), order.end(), bits);
        const std::size_t holes = 1 + cols / 3;
        const std::span<const std::uint32_t> hole(order.data(), holes);
        const std::span<const std::uint32_t> candidate(order.data() + holes, cols - holes);
        for (std::uint32_t workers : {1u, 2u, 3u}) {
            ThreadPool pool(workers);
            const PairCorrelations got(pool, m, hole, candidate);
            for (std::size_t c = 0; c < cols; ++c) {
                std::uint64_t low = UINT64_MAX, high = 0;
                std::size_t present = 0;
                for (std::size_t r = 0; r < m.rows; ++r) {
                    low = std::min(low, unsigned_order_key(m.at(r, c)));
                    high = std::max(high, unsigned_order_key(m.at(r, c)));
                    present += !std::isnan(m.at(r, c));
                }
                EXPECT_EQ(got.facts().ranges[c]->low, low) << "column " << c;
                EXPECT_EQ(got.facts().ranges[c]->high, high) << "column " << c;
                EXPECT_EQ(got.facts().present[c], present) << "column " << c;
            }
            for (std::size_t i = 0; i < hole.size(); ++i) {
                for (std::size_t j = 0; j < candidate.size(); ++j) {
                    const double expected = plain_strength(m, hole[i], candidate[j]);
                    const double value = got.strength(i, j);
                    EXPECT_TRUE(std::isnan(expected) ? std::isnan(value)
                                                     : std::bit_cast<std::uint64_t>(value) ==
                                                           std::bit_cast<std::uint64_t>(expected))
                        << cols << " columns, " << workers << " workers, pair " << i << ", " << j
                        << ": " << value << " against " << expected;
                }
            }
        }
    }
}

}  // namespace
}  // namespace gapweave
