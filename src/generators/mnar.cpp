#include "generators/mnar.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>

#include "generators/passes.hpp"
#include "generators/planned/schedule.hpp"
#include "generators/utils.hpp"
#include "support/fault.hpp"

namespace gapweave {

std::uint32_t mnar_total(double alpha, std::size_t rows, std::size_t cols) {
    return saturating_u32(std::ceil(alpha * static_cast<double>(checked_cells(rows, cols))));
}

std::vector<std::size_t> mnar_visit_order(RandomSource& rng, std::uint32_t remaining,
                                          std::size_t cols) {
    std::vector<std::size_t> visit;
    if (remaining >= cols) {
        visit.resize(cols);
        std::iota(visit.begin(), visit.end(), std::size_t{0});
        return visit;
    }
    // Algorithm R: keep the first k columns, then let column e replace a
    // random slot with probability k / (e + 1).
    expect(cols <= UINT32_MAX, "column count exceeds 32 bits");
    const std::size_t k = remaining;
    visit.resize(k);
    std::iota(visit.begin(), visit.end(), std::size_t{0});
    for (std::size_t e = k; e < cols; ++e) {
        const std::uint32_t j = rng.uniform_below(static_cast<std::uint32_t>(e + 1));
        if (j < k) visit[j] = e;
    }
    return visit;
}

Matrix MNAR::punch_passes(Matrix matrix, double alpha) {
    const std::uint32_t total = mnar_total(alpha, matrix.rows, matrix.cols);
    const auto distribution = get_distribution(matrix, mean, variance);
    if (total == 0) return matrix;

    auto shared = std::make_shared<Matrix>(std::move(matrix));
    std::vector<std::size_t> present = count_present(*shared);
    std::size_t present_total = std::accumulate(present.begin(), present.end(), std::size_t{0});
    ExhaustedColumns exhausted(present);
    const ModeComparison compare = mode_comparator(mode);

    std::uint32_t done = 0;
    std::vector<ColumnTask> tasks;
    while (done < total) {
        const std::uint32_t remaining = total - done;
        const auto visit = mnar_visit_order(rng, remaining, shared->cols);

        // Every target of the pass is drawn before any job runs.
        tasks.clear();
        for (std::size_t c : visit) {
            tasks.push_back({c, c, Gauss::sample(rng, distribution[c].center, distribution[c].spread)});
        }
        for (const ColumnTask& task : tasks) {
            if (std::isnan(task.target)) throw Fault("Sample is nan");
        }
        std::erase_if(tasks, [&](const ColumnTask& task) { return !exhausted.has_cells(task.hole); });

        for (const Pick& pick : run_pass(pool, shared, tasks, compare, "Still references alive")) {
            --present[pick.column];
            --present_total;
        }
        done += static_cast<std::uint32_t>(visit.size());
        // Once every cell is blank, further passes could only fail.
        if (present_total == 0 && may_stop_early(total - done, shared->rows * shared->cols)) break;
    }
    return std::move(*shared);
}

Matrix MNAR::punch(Matrix matrix, double alpha) {
    if (matrix.rows >= UINT32_MAX) return punch_passes(std::move(matrix), alpha);
    const std::uint32_t total = mnar_total(alpha, matrix.rows, matrix.cols);
    const std::size_t cols = matrix.cols;
    // The distributions' fault (no rows, or a quantile past the end) comes
    // before anything else, whatever alpha is.
    const std::uint32_t k = cols > 0 ? quantile_index(mean, matrix.rows) : 0;
    if (total == 0) return matrix;

    auto shared = std::make_shared<Matrix>(std::move(matrix));
    SortedColumns sorted = sort_columns(pool, *shared, std::vector<bool>(cols, true), k, variance);
    const std::vector<ColumnDistribution>& distribution = sorted.distributions;
    std::vector<std::size_t> present = count_present(*shared);
    std::size_t present_total = std::accumulate(present.begin(), present.end(), std::size_t{0});
    ExhaustedColumns exhausted(present);

    std::vector<ColumnSchedule> schedules(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        schedules[c].hole = schedules[c].driver = c;
        // A column gets at most one pick per pass and one per cell.
        const std::size_t picks = std::min<std::size_t>(present[c], total / cols + 1);
        schedules[c].targets.reserve(picks);
    }

    std::uint32_t done = 0;
    const std::size_t cells = shared->rows * shared->cols;
    // Schedules the targets of one pass over the columns in `visit`; false
    // once the call stops early.
    const auto schedule_pass = [&](std::span<const std::size_t> visit, std::span<const double> targets) {
        for (double target : targets) {
            if (std::isnan(target)) throw Fault("Sample is nan");
        }
        for (std::size_t i = 0; i < visit.size(); ++i) {
            const std::size_t c = visit[i];
            if (!exhausted.has_cells(c)) continue;
            // No column drives another, so the picks' passes are not needed.
            schedules[c].targets.push_back(targets[i]);
            --present[c];
            --present_total;
        }
        done += static_cast<std::uint32_t>(visit.size());
        // Once every cell is blank, further passes could only fail.
        return !(present_total == 0 && may_stop_early(total - done, cells));
    };

    // While at least `cols` picks remain, a pass visits every column in
    // order and draws only their targets.
    std::vector<std::size_t> every_column(cols);
    std::iota(every_column.begin(), every_column.end(), std::size_t{0});
    const bool went_on = replay_passes(rng, pool, distribution, total / cols, [&](std::span<const double> targets) {
        return schedule_pass(every_column, targets);
    });
    std::vector<double> targets;
    while (went_on && done < total) {
        const auto visit = mnar_visit_order(rng, total - done, cols);
        targets.clear();
        for (std::size_t c : visit) {
            targets.push_back(Gauss::sample(rng, distribution[c].center, distribution[c].spread));
        }
        if (!schedule_pass(visit, targets)) break;
    }
    run_schedules(pool, shared, schedules, std::move(sorted), mode);
    return std::move(*shared);
}

}  // namespace gapweave
