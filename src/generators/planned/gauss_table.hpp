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
#include <cstddef>
#include <span>
#include <vector>

#include "generators/utils.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"
#include "support/fault.hpp"

namespace gapweave {

// Row-major targets: row r, slot j at targets[r * width + j], rows * width
// values in all.
struct GaussTable {
    std::vector<double> targets;
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

// Replays `rows` passes that draw nothing but one target per slot, the
// slots' targets from `params`: the targets are drawn in tables on the pool
// (the same words as drawing them pass by pass), and `pass(targets)` sees
// each pass's row in order. When it returns false the replay stops there
// and `rng` is left just after that pass's draws, as if no later pass had
// been drawn; an exception from `pass` leaves `rng` after its row too (or
// after a later row, but the call fails then anyway). Returns false when
// `pass` stopped it.
// Batches of `batch_rows` (by default about a million targets) bound the
// tables' memory however many passes a call makes.
template <class Pass>
bool replay_passes(RandomSource& rng, ThreadPool& pool, std::span<const ColumnDistribution> params,
                   std::size_t rows, Pass&& pass, std::size_t batch_rows = 0) {
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
        for (std::size_t r = 0; r < table.rows; ++r) {
            const double* row = constant ? centres.data() : table.targets.data() + r * width;
            if (!pass(std::span<const double>(row, width))) {
                if (r + 1 < table.rows) {
                    // Put the stream where stopping after this pass leaves it.
                    rng = start;
                    draw(r + 1);
                }
                return false;
            }
        }
        // A short table ends at a NaN row, which `pass` refuses by throwing.
        expect(table.rows == batch, "a target table ended early without a failing pass");
        done += batch;
    }
    return true;
}

}  // namespace gapweave
