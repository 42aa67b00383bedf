// The seam between a generator and the way its picks are made.
//
// A generator call is a sequence of passes, each drawing one target per
// slot and picking at most one cell per slot. Two strategies make those
// picks: the reference (src/generators/reference), which runs every pass
// on the pool before drawing the next, and the planned path
// (src/generators/planned), which only collects each slot's targets during
// the passes and makes every pick at the end, one pool job per column. Both
// keep their passes in a PassLedger, so that they draw the same numbers,
// stop at the same pass and blank the same cells. A generator writes its
// call once, as a template over the strategy.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "generators/column_facts.hpp"
#include "generators/distribution.hpp"
#include "generators/hole_pair.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/pass_ledger.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

// What a strategy is told of its call.
struct PickCall {
    ThreadPool& pool;
    Matrix& matrix;                   // blanked by the strategy
    std::span<const HolePair> pairs;  // the slots
    std::uint32_t total;              // picks requested
    Mode mode;
    double variance;
    std::uint32_t k;                     // the centres' quantile position (quantile_index)
    const ColumnFacts* known = nullptr;  // what a pass over the table already found
};

namespace detail {
// A pass as full_passes receives it: the targets of one pass; false stops.
inline bool pass_shape(std::span<const double>) { return true; }
}  // namespace detail

template <class Picks>
concept PickStrategy =
    std::constructible_from<Picks, const PickCall&> &&
    requires(Picks& picks, RandomSource& rng, std::span<const ColumnDistribution> params) {
        // Every column's distribution, as the call's draws use them.
        { picks.distributions() } -> std::convertible_to<std::span<const ColumnDistribution>>;
        // The passes' bookkeeping.
        { picks.ledger() } -> std::same_as<PassLedger&>;
        // full_passes(rng, params, rows, pass): `rows` passes that draw one
        // target per slot of `params` and nothing else, each handed to
        // `pass`, until it returns false; false then.
        {
            picks.full_passes(rng, params, std::size_t{1}, detail::pass_shape)
        } -> std::same_as<bool>;
        // A slot takes a pick at a target in the pass numbered so:
        // take(slot, target, pass).
        picks.take(std::size_t{0}, 0.0, std::uint32_t{0});
        // The pass's picks are made (or promised): the ledger learns which
        // columns lost a cell.
        picks.end_pass();
        // Every pick is in the matrix.
        picks.finish();
    };

}  // namespace gapweave
