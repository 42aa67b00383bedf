// How strongly each hole column of a MAR call goes with each column that
// may drive it: the absolute Pearson coefficient of every pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "generators/column_facts.hpp"
#include "generators/matrix.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {

// Absolute population Pearson coefficients of each hole column with each
// candidate column: plain summed means, covariance sums in row order,
// Welford standard deviations, and no guard against a zero deviation.
class PairCorrelations {
public:
    // The sums are spread over the pool's workers by column and by pair.
    PairCorrelations(ThreadPool& pool, const Matrix& matrix, std::span<const std::uint32_t> holes,
                     std::span<const std::uint32_t> candidates);
    // |r| of holes[i] with candidates[j].
    double strength(std::size_t i, std::size_t j) const { return strengths_[i * candidates_ + j]; }
    // Every column's range and present cells, taken in the same pass as
    // its moments.
    const ColumnFacts& facts() const noexcept { return facts_; }

private:
    // Every column's mean and deviation, with the scan.
    void find_moments(ThreadPool& pool, const Matrix& matrix, std::vector<double>& means,
                      std::vector<double>& deviations);
    // Every pair's covariance sum.
    std::vector<double> find_covariances(ThreadPool& pool, const Matrix& matrix,
                                         std::span<const std::uint32_t> holes,
                                         std::span<const std::uint32_t> candidates,
                                         std::span<const double> means) const;

    std::size_t candidates_;
    std::vector<double> strengths_;
    ColumnFacts facts_;
};

}  // namespace gapweave
