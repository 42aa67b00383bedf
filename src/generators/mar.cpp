#include "generators/mar.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>

#include "generators/pass_ledger.hpp"
#include "generators/passes.hpp"
#include "generators/planned/driver_distributions.hpp"
#include "generators/planned/schedule.hpp"
#include "generators/utils.hpp"
#include "pool/job_scope.hpp"
#include "random/index_selection.hpp"
#include "support/fault.hpp"
#include "support/float_format.hpp"

namespace gapweave {

namespace {

// Splits [0, count) into one contiguous range per worker (fewer when count is
// smaller); range i is [bounds[i], bounds[i + 1]).
std::vector<std::size_t> split_range(std::size_t count, std::size_t workers) {
    const std::size_t parts = std::max<std::size_t>(1, std::min(count, workers));
    std::vector<std::size_t> bounds(parts + 1);
    for (std::size_t i = 0; i <= parts; ++i) bounds[i] = count * i / parts;
    return bounds;
}

}  // namespace

PairCorrelations::PairCorrelations(ThreadPool& pool, const Matrix& matrix,
                                   std::span<const std::uint32_t> holes,
                                   std::span<const std::uint32_t> candidates)
    : candidates_(candidates.size()), strengths_(holes.size() * candidates.size()) {
    // Each column's sums run over its rows in order, exactly as one column
    // at a time would. Each job takes a range of columns (or of pairs) and
    // reads the table row by row for all of them together; which job sums
    // which column does not change a bit of the result.
    const std::size_t rows = matrix.rows;
    const std::size_t cols = matrix.cols;
    const double count = static_cast<double>(rows);
    std::vector<double> means(cols);
    std::vector<double> deviations(cols);
    const std::vector<std::size_t> column_bounds = split_range(cols, pool.max_count());
    parallel_for(
        pool, column_bounds.size() - 1,
        [&](std::size_t part) {
            const std::size_t first = column_bounds[part];
            const std::size_t width = column_bounds[part + 1] - first;
            std::vector<double> sums(width, 0.0);
            std::vector<double> running_mean(width, 0.0);
            std::vector<double> squares(width, 0.0);
            for (std::size_t r = 0; r < rows; ++r) {
                const double* row = &matrix.data[r * cols + first];
                const double n = static_cast<double>(r + 1);
                for (std::size_t c = 0; c < width; ++c) {
                    const double x = row[c];
                    sums[c] += x;
                    // Welford's update of the mean and the sum of squared deviations.
                    const double delta = x - running_mean[c];
                    running_mean[c] = running_mean[c] + delta / n;
                    squares[c] = std::fma(x - running_mean[c], delta, squares[c]);
                }
            }
            for (std::size_t c = 0; c < width; ++c) {
                means[first + c] = sums[c] / count;
                deviations[first + c] = std::sqrt(squares[c] / count);
            }
        },
        "a correlation job failed");

    // Covariance sums of pair p = (holes[p / m], candidates[p % m]).
    std::vector<double> covariances(strengths_.size(), 0.0);
    std::vector<std::uint32_t> pair_hole(strengths_.size());
    std::vector<std::uint32_t> pair_candidate(strengths_.size());
    for (std::size_t p = 0; p < strengths_.size(); ++p) {
        pair_hole[p] = holes[p / candidates_];
        pair_candidate[p] = candidates[p % candidates_];
    }
    const std::vector<std::size_t> pair_bounds = split_range(strengths_.size(), pool.max_count());
    parallel_for(
        pool, pair_bounds.size() - 1,
        [&](std::size_t part) {
            const std::size_t first = pair_bounds[part];
            const std::size_t end = pair_bounds[part + 1];
            // Summed apart from the other jobs' entries, which share cache lines.
            std::vector<double> sums(end - first, 0.0);
            for (std::size_t r = 0; r < rows; ++r) {
                const double* row = &matrix.data[r * cols];
                for (std::size_t p = first; p < end; ++p) {
                    const std::uint32_t a = pair_hole[p];
                    const std::uint32_t b = pair_candidate[p];
                    sums[p - first] += (row[a] - means[a]) * (row[b] - means[b]);
                }
            }
            std::copy(sums.begin(), sums.end(),
                      covariances.begin() + static_cast<std::ptrdiff_t>(first));
        },
        "a correlation job failed");
    // No guard against a zero deviation: a constant column gives NaN or
    // infinities, which never win the strict comparison of the driver choice.
    for (std::size_t i = 0; i < holes.size(); ++i) {
        for (std::size_t j = 0; j < candidates.size(); ++j) {
            const double covariance = covariances[i * candidates_ + j] / count;
            strengths_[i * candidates_ + j] =
                std::fabs(covariance / (deviations[holes[i]] * deviations[candidates[j]]));
        }
    }
}

double MAR::adjust_alpha(double n_cols, double alpha, const WarnFn& warn) const {
    const double m = max_missing_per_column;
    const double limit = m - m / n_cols;
    if (alpha > limit) {
        warn("Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: " +
             format_float(limit));
        return limit;
    }
    return alpha;
}

MarPlan MAR::prepare(const Matrix& matrix, double alpha, const WarnFn& warn) {
    const std::size_t cols = matrix.cols;
    MarPlan plan;
    plan.rate = adjust_alpha(static_cast<double>(cols), alpha, warn);
    const double cells = static_cast<double>(checked_cells(matrix.rows, cols));
    plan.total = saturating_u32(std::ceil(plan.rate * cells));
    plan.holes =
        saturating_u32(std::ceil(plan.rate * static_cast<double>(cols) / max_missing_per_column));

    expect(cols <= UINT32_MAX, "column count exceeds 32 bits");
    std::vector<std::uint32_t> order(cols);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    if (cols >= 2) partial_shuffle(order, rng, cols);

    if (plan.holes > cols) throw Fault("mid > len");
    if (matrix.rows == 0 || cols == 0) {
        throw Fault("Failed to calculate pearson_correlation: EmptyInput");
    }
    const std::span<const std::uint32_t> holes(order.data(), plan.holes);
    const std::span<const std::uint32_t> candidates(order.data() + plan.holes, cols - plan.holes);

    const PairCorrelations correlation(pool, matrix, holes, candidates);
    plan.pairs.reserve(holes.size());
    for (std::size_t i = 0; i < holes.size(); ++i) {
        const std::uint32_t hole = holes[i];
        double best = 0.0;
        std::size_t driver = 0;
        for (std::size_t j = 0; j < candidates.size(); ++j) {
            const std::uint32_t candidate = candidates[j];
            const double strength = correlation.strength(i, j);
            if (strength > best) {
                best = strength;
                driver = candidate;
            }
        }
        plan.pairs.push_back({hole, driver});
    }
    return plan;
}

void MAR::select_slots(std::uint32_t remaining, std::vector<std::size_t>& slots) {
    const auto holes = static_cast<std::uint32_t>(slots.size());
    std::fill(slots.begin(), slots.end(), PassLedger::kNoPick);
    for (std::uint32_t position : sample_indices(rng, holes, std::min(holes, remaining))) {
        slots[position] = position;
    }
}

template <class Picks>
void MAR::run_passes(const MarPlan& plan, std::span<const ColumnDistribution> distribution,
                     std::size_t cols, PassLedger& ledger, Picks& picks) {
    // A pass counts min(h, remaining) picks, selected or not.
    const auto pass = [&](std::span<const double> targets, std::span<const std::size_t> slots) {
        ledger.start_pass(targets, slots, picks);
        picks.end_pass(ledger);
        return ledger.end_pass(std::min(plan.holes, ledger.remaining()));
    };
    // Each pass draws a target for every pair, from its driver's distribution.
    std::vector<ColumnDistribution> params;
    for (const HolePair& pair : plan.pairs) params.push_back(distribution[pair.driver]);
    std::vector<std::size_t> slots(plan.pairs.size());
    std::iota(slots.begin(), slots.end(), std::size_t{0});

    // While at least `cols` picks remain, a pass selects every pair; after
    // that min(h, remaining) of them.
    const std::size_t full_passes = plan.total >= cols ? (plan.total - cols) / plan.holes + 1 : 0;
    bool went_on =
        picks.full_passes(rng, params, full_passes,
                          [&](std::span<const double> targets) { return pass(targets, slots); });
    std::vector<double> targets;
    while (went_on && ledger.unfinished()) {
        select_slots(ledger.remaining(), slots);
        targets.clear();
        for (const ColumnDistribution& d : params)
            targets.push_back(Gauss::sample(rng, d.center, d.spread));
        went_on = pass(targets, slots);
    }
}

Matrix MAR::punch_passes(Matrix matrix, double alpha, const WarnFn& warn) {
    const MarPlan plan = prepare(matrix, alpha, warn);
    const auto distribution = get_distribution(matrix, mean, variance);
    // Without hole columns no pass can ever blank a cell.
    if (plan.total == 0 || plan.holes == 0) return matrix;

    auto shared = std::make_shared<Matrix>(std::move(matrix));
    PassLedger ledger(pool, *shared, plan.pairs, plan.total);
    PassByPass picks(pool, shared, plan.pairs, mode, "Err: Multithreading issue detected!");
    run_passes(plan, distribution, shared->cols, ledger, picks);
    return std::move(*shared);
}

Matrix MAR::punch(Matrix matrix, double alpha, const WarnFn& warn) {
    // The planned path numbers rows in 32 bits; a table with more rows than
    // that takes the reference path, which gives the same result.
    if (matrix.rows >= UINT32_MAX) return punch_passes(std::move(matrix), alpha, warn);
    const MarPlan plan = prepare(matrix, alpha, warn);
    const std::size_t cols = matrix.cols;
    const std::uint32_t k = quantile_index(mean, matrix.rows);  // its fault comes first
    // Without hole columns no pass can ever blank a cell.
    if (plan.total == 0 || plan.holes == 0) return matrix;

    auto shared = std::make_shared<Matrix>(std::move(matrix));
    const DriverDistributions drivers =
        driver_distributions(pool, *shared, plan.pairs, k, variance, mode == Mode::GM);
    PassLedger ledger(pool, *shared, plan.pairs, plan.total);
    PlannedPicks picks(pool, plan.pairs, ledger, plan.total, mode, variance, drivers.ranges);
    run_passes(plan, drivers.of, cols, ledger, picks);
    picks.finish(shared);
    return std::move(*shared);
}

}  // namespace gapweave
