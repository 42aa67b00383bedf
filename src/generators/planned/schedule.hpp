// Planned calls: the calling thread first replays every draw of the call
// (the same draws, in the same order, failing at the same point as the
// pass-by-pass algorithm would), which gives each hole column the ordered
// targets of its picks. The picks of a column depend only on its own
// targets and cells, so one pool job per column then makes all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "generators/common.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/planned/gauss_table.hpp"
#include "generators/planned/sorted_column.hpp"
#include "generators/utils.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"
#include "support/fault.hpp"

namespace gapweave {

// The picks one column receives during a call, in pass order.
struct ColumnSchedule {
    std::size_t hole = 0;
    std::size_t driver = 0;
    std::vector<double> targets;         // one per pick that finds a cell
    // The pass of each of those picks; needed only when the column drives
    // another scheduled column.
    std::vector<std::uint32_t> passes;
};

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
    if (batch_rows == 0) batch_rows = std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::size_t>(1, params.size()));
    const std::size_t width = params.size();
    for (std::size_t done = 0; done < rows;) {
        const RandomSource start = rng;
        const std::size_t batch = std::min(batch_rows, rows - done);
        const GaussTable table = draw_gauss_rows(rng, pool, params, batch);
        for (std::size_t r = 0; r < table.rows; ++r) {
            if (!pass(std::span<const double>(table.targets.data() + r * width, width))) {
                if (r + 1 < table.rows) {
                    // Put the stream where stopping after this pass leaves it.
                    rng = start;
                    draw_gauss_rows(rng, pool, params, r + 1);
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

// The listed columns sorted once each, in parallel on the pool, with their
// distributions; entries of other columns are left empty and zero.
struct SortedColumns {
    std::vector<std::shared_ptr<const SortedColumn>> columns;
    std::vector<ColumnDistribution> distributions;
};
SortedColumns sort_columns(ThreadPool& pool, const Matrix& matrix, const std::vector<bool>& wanted,
                           std::uint32_t k, double variance);

// Runs the schedules' picks on the pool and writes the holes. A schedule's
// candidates are the rows whose hole cell is present, valued by the sorted
// driver column. Schedules whose driver is another scheduled hole column
// run after that column, so that the driver's blanked cells show as missing
// from the pass after the one that blanked them. Each sorted column is
// released once its last schedule is done.
void run_schedules(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                   const std::vector<ColumnSchedule>& schedules, SortedColumns sorted, Mode mode);

// The picks of a planned call, for a generator's pass sequence: the passes
// only collect each slot's targets (full passes drawn in tables on the
// pool); finish() then makes every pick, one pool job per column.
class PlannedPicks {
public:
    // `keep_passes`: record the pass of every pick, which a slot whose
    // driver is another slot's hole column needs (MAR).
    PlannedPicks(ThreadPool& pool, std::span<const HolePair> pairs, const PassLedger& ledger,
                 std::uint32_t total, bool keep_passes);

    template <class Pass>
    bool full_passes(RandomSource& rng, std::span<const ColumnDistribution> params, std::size_t rows,
                     Pass&& pass) {
        return replay_passes(rng, pool_, params, rows, std::forward<Pass>(pass));
    }

    void take(std::size_t slot, double target, std::uint32_t pass) {
        schedules_[slot].targets.push_back(target);
        if (keep_passes_) schedules_[slot].passes.push_back(pass);
        taken_.push_back(schedules_[slot].hole);
    }

    // Every scheduled pick finds a cell, so it counts as blanked at once.
    void end_pass(PassLedger& ledger) {
        for (std::size_t column : taken_) ledger.blanked(column);
        taken_.clear();
    }

    // Makes the picks and writes the holes.
    void finish(std::shared_ptr<Matrix>& matrix, SortedColumns sorted, Mode mode) {
        run_schedules(pool_, matrix, schedules_, std::move(sorted), mode);
    }

private:
    ThreadPool& pool_;
    std::vector<ColumnSchedule> schedules_;
    bool keep_passes_;
    std::vector<std::size_t> taken_;
};

}  // namespace gapweave
