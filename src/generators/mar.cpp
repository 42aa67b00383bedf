#include "generators/mar.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>

#include "generators/passes.hpp"
#include "generators/planned/schedule.hpp"
#include "generators/utils.hpp"
#include "random/index_selection.hpp"
#include "support/fault.hpp"
#include "support/float_format.hpp"

namespace gapweave {

PairCorrelations::PairCorrelations(const Matrix& matrix, std::span<const std::uint32_t> holes,
                                   std::span<const std::uint32_t> candidates)
    : candidates_(candidates.size()), strengths_(holes.size() * candidates.size()) {
    // Each column's sums run over its rows in order, exactly as one column
    // at a time would, but the table is read row by row for all columns
    // together, so it streams through memory once per pass.
    const std::size_t rows = matrix.rows;
    const std::size_t cols = matrix.cols;
    const double count = static_cast<double>(rows);
    std::vector<double> sums(cols, 0.0);
    std::vector<double> running_mean(cols, 0.0);
    std::vector<double> squares(cols, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
        const double* row = &matrix.data[r * cols];
        const double n = static_cast<double>(r + 1);
        for (std::size_t c = 0; c < cols; ++c) {
            const double x = row[c];
            sums[c] += x;
            // Welford's update of the mean and the sum of squared deviations.
            const double delta = x - running_mean[c];
            running_mean[c] = running_mean[c] + delta / n;
            squares[c] = std::fma(x - running_mean[c], delta, squares[c]);
        }
    }
    std::vector<double> means(cols);
    std::vector<double> deviations(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        means[c] = sums[c] / count;
        deviations[c] = std::sqrt(squares[c] / count);
    }

    std::vector<double> covariances(strengths_.size(), 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
        const double* row = &matrix.data[r * cols];
        double* sum = covariances.data();
        for (std::uint32_t a : holes) {
            const double da = row[a] - means[a];
            for (std::uint32_t b : candidates) *sum++ += da * (row[b] - means[b]);
        }
    }
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
    plan.holes = saturating_u32(std::ceil(plan.rate * static_cast<double>(cols) / max_missing_per_column));

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

    const PairCorrelations correlation(matrix, holes, candidates);
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

Matrix MAR::punch_passes(Matrix matrix, double alpha, const WarnFn& warn) {
    const MarPlan plan = prepare(matrix, alpha, warn);
    const auto distribution = get_distribution(matrix, mean, variance);
    // Without hole columns no pass can ever blank a cell.
    if (plan.total == 0 || plan.holes == 0) return matrix;

    auto shared = std::make_shared<Matrix>(std::move(matrix));
    std::vector<std::size_t> present = count_present(*shared);
    std::size_t holes_present = 0;
    for (const HolePair& pair : plan.pairs) holes_present += present[pair.hole];
    ExhaustedColumns exhausted(present);
    const auto has_cells = [&](std::size_t column) { return exhausted.has_cells(column); };
    const ModeComparison compare = mode_comparator(mode);
    const std::size_t cols = shared->cols;

    std::uint32_t done = 0;
    std::vector<ColumnTask> tasks;
    std::vector<ColumnTask> jobs;
    while (done < plan.total) {
        const std::uint32_t remaining = plan.total - done;
        const std::uint32_t chosen = remaining >= cols ? plan.holes : std::min(plan.holes, remaining);
        const std::vector<bool> selected = select_holes(remaining, cols, plan.holes);

        // A target for every pair, selected or not, before any job runs.
        tasks.clear();
        for (const HolePair& pair : plan.pairs) {
            const double target =
                Gauss::sample(rng, distribution[pair.driver].center, distribution[pair.driver].spread);
            tasks.push_back({pair.hole, pair.driver, target});
        }
        for (const ColumnTask& task : tasks) {
            if (std::isnan(task.target)) throw Fault("Sample is nan");
        }
        jobs.clear();
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            if (selected[i] && has_cells(tasks[i].hole)) jobs.push_back(tasks[i]);
        }

        for (const Pick& pick :
             run_pass(pool, shared, jobs, compare, "Err: Multithreading issue detected!")) {
            --present[pick.column];
            --holes_present;
        }
        done += chosen;
        // Once every hole column is blank, further passes could only fail.
        if (holes_present == 0 && may_stop_early(plan.total - done, shared->rows * shared->cols)) break;
    }
    return std::move(*shared);
}

std::vector<bool> MAR::select_holes(std::uint32_t remaining, std::size_t cols, std::uint32_t holes) {
    std::vector<bool> selected(holes, remaining >= cols);
    if (remaining < cols) {
        const std::uint32_t chosen = std::min(holes, remaining);
        for (std::uint32_t position : sample_indices(rng, holes, chosen)) selected[position] = true;
    }
    return selected;
}

Matrix MAR::punch(Matrix matrix, double alpha, const WarnFn& warn) {
    if (matrix.rows >= UINT32_MAX) return punch_passes(std::move(matrix), alpha, warn);
    const MarPlan plan = prepare(matrix, alpha, warn);
    const std::size_t cols = matrix.cols;
    const std::uint32_t k = quantile_index(mean, matrix.rows);  // its fault comes first
    // Without hole columns no pass can ever blank a cell.
    if (plan.total == 0 || plan.holes == 0) return matrix;

    auto shared = std::make_shared<Matrix>(std::move(matrix));
    std::vector<bool> drivers(cols, false);
    for (const HolePair& pair : plan.pairs) drivers[pair.driver] = true;
    SortedColumns sorted = sort_columns(pool, *shared, drivers, k, variance);
    const std::vector<ColumnDistribution>& distribution = sorted.distributions;
    std::vector<std::size_t> present = count_present(*shared);
    std::size_t holes_present = 0;
    for (const HolePair& pair : plan.pairs) holes_present += present[pair.hole];
    ExhaustedColumns exhausted(present);

    std::vector<ColumnSchedule> schedules(plan.pairs.size());
    for (std::size_t i = 0; i < plan.pairs.size(); ++i) {
        schedules[i].hole = plan.pairs[i].hole;
        schedules[i].driver = plan.pairs[i].driver;
        // A hole column gets at most one pick per pass and one per cell.
        const std::size_t picks = std::min<std::size_t>(present[plan.pairs[i].hole], plan.total / plan.holes + 1);
        schedules[i].targets.reserve(picks);
        schedules[i].passes.reserve(picks);
    }

    std::uint32_t done = 0;
    std::uint32_t pass = 0;
    const std::size_t cells = shared->rows * shared->cols;
    // Schedules one pass's targets, one per pair, for the selected pairs;
    // false once the call stops early.
    const auto schedule_pass = [&](const std::vector<bool>& selected, std::uint32_t chosen,
                                   std::span<const double> targets) {
        for (double target : targets) {
            if (std::isnan(target)) throw Fault("Sample is nan");
        }
        for (std::size_t i = 0; i < plan.pairs.size(); ++i) {
            const std::size_t hole = plan.pairs[i].hole;
            if (!selected[i] || !exhausted.has_cells(hole)) continue;
            schedules[i].targets.push_back(targets[i]);
            schedules[i].passes.push_back(pass);
            --present[hole];
            --holes_present;
        }
        done += chosen;
        ++pass;
        // Once every hole column is blank, further passes could only fail.
        return !(holes_present == 0 && may_stop_early(plan.total - done, cells));
    };

    // While at least `cols` picks remain, a pass selects every pair and
    // draws only their targets.
    std::vector<ColumnDistribution> pair_distributions;
    for (const HolePair& pair : plan.pairs) pair_distributions.push_back(distribution[pair.driver]);
    const std::vector<bool> all_pairs(plan.pairs.size(), true);
    const std::size_t full_passes = plan.total >= cols ? (plan.total - cols) / plan.holes + 1 : 0;
    const bool went_on = replay_passes(rng, pool, pair_distributions, full_passes, [&](std::span<const double> targets) {
        return schedule_pass(all_pairs, plan.holes, targets);
    });
    std::vector<double> targets;
    while (went_on && done < plan.total) {
        const std::uint32_t remaining = plan.total - done;
        const std::vector<bool> selected = select_holes(remaining, cols, plan.holes);
        targets.clear();
        for (const ColumnDistribution& d : pair_distributions) targets.push_back(Gauss::sample(rng, d.center, d.spread));
        const std::uint32_t chosen = remaining >= cols ? plan.holes : std::min(plan.holes, remaining);
        if (!schedule_pass(selected, chosen, targets)) break;
    }
    run_schedules(pool, shared, schedules, std::move(sorted), mode);
    return std::move(*shared);
}

}  // namespace gapweave
