#include "generators/mnar.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "base/fault.hpp"
#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/matrix.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/planned/planned_picks.hpp"
#include "generators/reference/pass_by_pass.hpp"
#include "generators/saturating.hpp"

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

namespace {

// The passes of a call, whichever way its picks are made: while at least
// `cols` picks remain, a pass visits every column in order and draws only
// their targets; the last pass visits the remaining number of columns,
// chosen by reservoir sampling.
template <PickStrategy Picks>
void run_passes(RandomSource& rng, std::uint32_t total, Picks& picks) {
    const std::span<const ColumnDistribution> distribution = picks.distributions();
    PassLedger& ledger = picks.ledger();
    const std::size_t cols = distribution.size();
    const auto pass = [&](std::span<const double> targets, std::span<const std::size_t> visit) {
        ledger.start_pass(targets, visit, picks);
        picks.end_pass();
        return ledger.end_pass(static_cast<std::uint32_t>(visit.size()));
    };
    std::vector<std::size_t> every_column(cols);
    std::iota(every_column.begin(), every_column.end(), std::size_t{0});
    bool went_on = picks.full_passes(
        rng, distribution, total / cols,
        [&](std::span<const double> targets) { return pass(targets, every_column); });
    std::vector<double> targets;
    while (went_on && ledger.unfinished()) {
        const auto visit = mnar_visit_order(rng, ledger.remaining(), cols);
        targets.clear();
        for (std::size_t c : visit) {
            targets.push_back(Gauss::sample(rng, distribution[c].center, distribution[c].spread));
        }
        went_on = pass(targets, visit);
    }
}

// Every column takes holes, driven by its own values.
std::vector<HolePair> own_columns(std::size_t cols) {
    std::vector<HolePair> pairs(cols);
    for (std::size_t c = 0; c < cols; ++c) pairs[c] = {c, c};
    return pairs;
}

}  // namespace

template <PickStrategy Picks>
Matrix MNAR::punch_with(Matrix matrix, double alpha) {
    const std::uint32_t total = mnar_total(alpha, matrix.rows, matrix.cols);
    // The distributions' fault (no rows, or a quantile past the end) comes
    // before anything else, whatever alpha is.
    const std::uint32_t k = matrix.cols > 0 ? quantile_index(mean, matrix.rows) : 0;
    if (total == 0) return matrix;
    const std::vector<HolePair> pairs = own_columns(matrix.cols);
    Picks picks(PickCall{pool, matrix, pairs, total, mode, variance, k});
    run_passes(rng, total, picks);
    picks.finish();
    return matrix;
}

Matrix MNAR::punch_passes(Matrix matrix, double alpha) {
    return punch_with<PassByPass>(std::move(matrix), alpha);
}

Matrix MNAR::punch(Matrix matrix, double alpha) {
    // The planned path numbers rows in 32 bits; a table with more rows than
    // that takes the reference path, which gives the same result.
    if (matrix.rows >= UINT32_MAX) return punch_passes(std::move(matrix), alpha);
    return punch_with<PlannedPicks>(std::move(matrix), alpha);
}

}  // namespace gapweave
