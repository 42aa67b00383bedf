// Tables of normal selection targets drawn on the pool, word for word as the
// calling thread would draw them one after another.
//
// A generator's bulk passes draw one target per slot, pass after pass, with
// nothing else taken from the stream in between. Every Gauss::sample takes
// exactly four words (two uniforms) unless its first uniform is zero and is
// redrawn, which happens with probability 2^-53. So the words of row r,
// slot j normally start at start + 4 * (r * width + j): the rows are cut
// into chunks, each drawn from its own copy of the source placed at the
// chunk's first word. A chunk that meets a redraw still draws its own rows
// correctly (it samples exactly as the sequential loop does), but every
// later chunk started two or more words too early; the assembly notices
// that a chunk's start differs from where its predecessor ended and draws
// the rest of the table sequentially from the true position.
//
// The result therefore depends only on the source's position and the
// parameters, never on the number of workers or on which thread drew which
// chunk.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "generators/utils.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"
#include "support/fault.hpp"
#include "support/large_vector.hpp"

namespace gapweave {

// Row-major targets: row r, slot j at targets[r * width + j], rows * width
// values in all.
struct GaussTable {
    LargeVector<double> targets;
    std::size_t rows = 0;
};

// Draws up to `max_rows` rows of targets, row r slot j ~
// Gauss::sample(rng, params[j].center, params[j].spread), in the order and
// with the words that sampling them one after another on this thread would
// use. Stops after the first row that holds a NaN target (that row is
// included). Afterwards `rng` equals a copy that sampled the returned rows
// sequentially. With no slots every row is empty: max_rows rows, no words.
// The table is allocated for max_rows rows up front. Must not be called from
// a job of `pool` itself: the calling thread waits for the pool's chunks.
GaussTable draw_gauss_rows(RandomSource& rng, ThreadPool& pool,
                           std::span<const ColumnDistribution> params, std::size_t max_rows);

// Moves `rng` on as draw_gauss_rows would, without keeping the targets;
// returns the number of rows drawn.
std::size_t skip_gauss_rows(RandomSource& rng, ThreadPool& pool,
                            std::span<const ColumnDistribution> params, std::size_t rows);

// Consecutive rows of a replay's targets: row r is
// first[r * stride ... r * stride + width); a stride of 0 repeats one row.
struct TargetRows {
    const double* first = nullptr;
    std::size_t stride = 0;
    std::size_t width = 0;
    std::size_t rows = 0;

    std::span<const double> row(std::size_t r) const noexcept {
        return {first + r * stride, width};
    }
};

// How many leading rows a replay's `together` made as passes at once, and
// whether the last of them lets the replay go on.
struct PassesTaken {
    std::size_t rows = 0;
    bool went_on = true;
};

// Replays `rows` passes that draw nothing but one target per slot, the
// slots' targets from `params`: the targets are drawn in tables on the pool
// (the same words as drawing them pass by pass). Each stretch of rows with
// no NaN target is first offered to `together(TargetRows)`, which makes any
// number of its leading rows as passes at once; `pass(targets)` then sees
// each further row in order. When either says the replay stops, `rng` is
// left just after that pass's draws, as if no later pass had been drawn;
// an exception from `pass` leaves `rng` after its row too (or after a later
// row, but the call fails then anyway). Returns false when it stopped.
// Batches of `batch_rows` (by default about a million targets) bound the
// tables' memory however many passes a call makes.
template <class Pass, class Together>
bool replay_passes(RandomSource& rng, ThreadPool& pool, std::span<const ColumnDistribution> params,
                   std::size_t rows, Pass&& pass, Together&& together, std::size_t batch_rows = 0) {
    const std::size_t width = params.size();
    if (batch_rows == 0)
        batch_rows =
            std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::size_t>(1, width));
    // When every slot's target is its centre, no table is kept: each row is
    // the centres, and only the stream moves on as drawing them would.
    const bool constant = std::all_of(
        params.begin(), params.end(),
        [](const ColumnDistribution& p) { return Gauss::constant(p.center, p.spread); });
    std::vector<double> centres;
    for (const ColumnDistribution& p : params) centres.push_back(p.center);
    const auto draw = [&](std::size_t count) {
        return constant ? GaussTable{{}, skip_gauss_rows(rng, pool, params, count)}
                        : draw_gauss_rows(rng, pool, params, count);
    };
    for (std::size_t done = 0; done < rows;) {
        const RandomSource start = rng;
        const std::size_t batch = std::min(batch_rows, rows - done);
        const GaussTable table = draw(batch);
        const TargetRows all = constant
                                   ? TargetRows{centres.data(), 0, width, table.rows}
                                   : TargetRows{table.targets.data(), width, width, table.rows};
        // Only the last row can hold a NaN target (the draw stops after
        // it), which `pass` refuses by throwing.
        const std::span<const double> last = all.rows > 0 ? all.row(all.rows - 1) : centres;
        TargetRows offered = all;
        if (std::any_of(last.begin(), last.end(), [](double t) { return std::isnan(t); }))
            --offered.rows;
        const PassesTaken taken = together(offered);
        expect(taken.rows <= offered.rows && (taken.went_on || taken.rows > 0),
               "passes taken together that were not offered");
        std::size_t r = taken.rows;
        bool went_on = taken.went_on;
        for (; went_on && r < table.rows; ++r) went_on = pass(all.row(r));
        if (!went_on) {
            // Put the stream where stopping after the last pass made leaves it.
            if (r < table.rows) {
                rng = start;
                draw(r);
            }
            return false;
        }
        expect(table.rows == batch, "a target table ended early without a failing pass");
        done += batch;
    }
    return true;
}

}  // namespace gapweave
