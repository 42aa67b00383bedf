// Planned calls: the calling thread first replays every draw of the call
// (the same draws, in the same order, failing at the same point as the
// pass-by-pass algorithm would), which gives each hole column the ordered
// targets of its picks. The picks of a column depend only on its own
// targets and cells, so one pool job per column then makes all of them.
#pragma once

#include <cstddef>
#include <cstdint>
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
    std::vector<double> targets;  // one per pick that finds a cell
    // The pass of each of those picks; needed only when the column drives
    // another scheduled column.
    std::vector<std::uint32_t> passes;
};

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
    bool full_passes(RandomSource& rng, std::span<const ColumnDistribution> params,
                     std::size_t rows, Pass&& pass) {
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
