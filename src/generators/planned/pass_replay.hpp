// The replay of a call's full passes: every pass draws one target per slot
// and nothing else, so their targets are drawn in tables on the pool (the
// same words as drawing them pass by pass) and handed to the passes row by
// row, or many rows at once where the passes can take them together.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "base/fault.hpp"
#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/planned/gauss_table.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

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
// Seven parameters: the stream and the pool that draws its tables, the
// slots' distributions and the number of passes, the two ways a row of
// targets is made into passes (alone or together with its neighbours), and
// the batch size, which the tests shrink to reach a batch's edges.
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
