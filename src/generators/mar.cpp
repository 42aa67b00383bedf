#include "generators/mar.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "base/fault.hpp"
#include "base/float_format.hpp"
#include "base/messages.hpp"
#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/matrix.hpp"
#include "generators/pair_correlations.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/planned/planned_picks.hpp"
#include "generators/reference/pass_by_pass.hpp"
#include "generators/saturating.hpp"
#include "random/index_selection.hpp"

namespace gapweave {

double MAR::adjust_alpha(double n_cols, double alpha, const WarnFn& warn) const {
    const double m = max_missing_per_column;
    const double limit = m - m / n_cols;
    if (alpha > limit) {
        warn(messages::kRateTooHigh + format_float(limit));
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

    if (plan.holes > cols) throw Fault(messages::kMoreHolesThanColumns);
    if (matrix.rows == 0 || cols == 0) {
        throw Fault(messages::kEmptyCorrelation);
    }
    const std::span<const std::uint32_t> holes(order.data(), plan.holes);
    const std::span<const std::uint32_t> candidates(order.data() + plan.holes, cols - plan.holes);

    const PairCorrelations correlation(pool, matrix, holes, candidates);
    plan.facts = correlation.facts();
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

template <PickStrategy Picks>
void MAR::run_passes(const MarPlan& plan, std::size_t cols, Picks& picks) {
    const std::span<const ColumnDistribution> distribution = picks.distributions();
    PassLedger& ledger = picks.ledger();
    // A pass counts min(h, remaining) picks, selected or not.
    const auto pass = [&](std::span<const double> targets, std::span<const std::size_t> slots) {
        ledger.start_pass(targets, slots, picks);
        picks.end_pass();
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

template <PickStrategy Picks>
Matrix MAR::punch_with(Matrix matrix, double alpha, const WarnFn& warn) {
    const MarPlan plan = prepare(matrix, alpha, warn);
    const std::uint32_t k = quantile_index(mean, matrix.rows);  // its fault comes first
    // Without hole columns no pass can ever blank a cell.
    if (plan.total == 0 || plan.holes == 0) return matrix;
    Picks picks(PickCall{pool, matrix, plan.pairs, plan.total, mode, variance, k, &plan.facts});
    run_passes(plan, matrix.cols, picks);
    picks.finish();
    return matrix;
}

Matrix MAR::punch_passes(Matrix matrix, double alpha, const WarnFn& warn) {
    return punch_with<PassByPass>(std::move(matrix), alpha, warn);
}

Matrix MAR::punch(Matrix matrix, double alpha, const WarnFn& warn) {
    // The planned path numbers rows in 32 bits; a table with more rows than
    // that takes the reference path, which gives the same result.
    if (matrix.rows >= UINT32_MAX) return punch_passes(std::move(matrix), alpha, warn);
    return punch_with<PlannedPicks>(std::move(matrix), alpha, warn);
}

}  // namespace gapweave
