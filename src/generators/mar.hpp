// The missing-at-random generator: hole columns are blanked by the values
// of their most correlated non-hole column (their driver).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "generators/column_facts.hpp"
#include "generators/distribution.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/pick_strategy.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

// Issues a rate-cap warning; may throw.
using WarnFn = std::function<void(const std::string& message)>;

// What the passes of a call work on.
struct MarPlan {
    double rate = 0.0;            // the capped rate
    std::uint32_t total = 0;      // picks requested
    std::uint32_t holes = 0;      // number of hole columns (h)
    std::vector<HolePair> pairs;  // one per hole column, in hole-column order
    ColumnFacts facts;            // found with the correlations
};

struct MAR {
    double mean;
    double variance;
    double max_missing_per_column;
    Mode mode;
    RandomSource rng;
    ThreadPool pool;

    // Caps `alpha` at m - m / n_cols (m = max_missing_per_column), warning
    // through `warn` when it had to.
    double adjust_alpha(double n_cols, double alpha, const WarnFn& warn) const;

    // Rate cap, column shuffle, correlations and driver choice.
    MarPlan prepare(const Matrix& matrix, double alpha, const WarnFn& warn);

    // Blanks the capped rate of the cells, spread over the hole columns in
    // passes of at most one cell per hole column, and returns the matrix.
    Matrix punch(Matrix matrix, double alpha, const WarnFn& warn);

    // The same result by the plain algorithm, pass after pass with one pool
    // job per selected hole column; the reference for the planned path.
    Matrix punch_passes(Matrix matrix, double alpha, const WarnFn& warn);

private:
    // Selects the slots of a pass with `remaining` < cols picks left:
    // min(h, remaining) of the h pairs, drawn with sample_indices; the
    // others (kNoPick) draw a target but take no pick.
    void select_slots(std::uint32_t remaining, std::vector<std::size_t>& slots);

    // The call, written once for both ways of picking (PickStrategy).
    template <PickStrategy Picks>
    Matrix punch_with(Matrix matrix, double alpha, const WarnFn& warn);

    // The passes of a call, whichever way (`Picks`) their picks are made.
    template <PickStrategy Picks>
    void run_passes(const MarPlan& plan, std::size_t cols, Picks& picks);
};

}  // namespace gapweave
