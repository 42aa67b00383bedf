// Planned calls: the calling thread first replays every draw of the call
// (the same draws, in the same order, failing at the same point as the
// pass-by-pass algorithm would), which gives each hole column the ordered
// targets of its picks. The picks of a column depend only on its own
// targets and cells, so one pool job per column then makes all of them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "generators/common.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/planned/driver_distributions.hpp"
#include "generators/planned/gauss_table.hpp"
#include "generators/utils.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"
#include "support/fault.hpp"
#include "support/large_vector.hpp"

namespace gapweave {

// The picks one column receives during a call, in pass order.
struct ColumnSchedule {
    std::size_t hole = 0;
    std::size_t driver = 0;
    std::size_t picks = 0;  // picks that find a cell
    // Their targets in pass order, or only the first where it stands for
    // all of them (see PlannedPicks).
    LargeVector<double> targets;
    // Where the targets are offsets from the driver's centre, which the job
    // reads from the sorted driver (DriverDistributions::from_sort): the
    // centre's quantile position.
    std::optional<std::uint32_t> centre_at;
    // The pass of each of those picks; needed only when the column drives
    // another scheduled column.
    LargeVector<std::uint32_t> passes;
};

// Runs the schedules' picks on the pool, one job per schedule, and writes
// the holes. A schedule's candidates are the rows whose hole cell is
// present, valued by the driver column, which the job reads out of the
// table. Where every candidate keeps its rank for the whole call the picks
// are a selection (selection.hpp); otherwise the job sorts the driver for
// an ordered index. Schedules whose driver is another scheduled hole column
// run after that column, so that the driver's blanked cells show as
// missing from the pass after the one that blanked them.
// `driven[i]` tells whether schedule i's driver is another schedule's hole
// column (driven_by_other_holes); `ranges`, per column of the table, the
// ranges of drivers already known (DriverDistributions).
// A job whose targets are offsets turns them into targets in place.
void run_schedules(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                   std::vector<ColumnSchedule>& schedules, const std::vector<bool>& driven,
                   Mode mode, std::span<const std::optional<KeyRange>> ranges);

// For each pair, whether its driver is another pair's hole column, so that
// it loses cells while the call blanks them.
std::vector<bool> driven_by_other_holes(std::span<const HolePair> pairs);

// What a planned call must know of its drivers' centres before its passes:
// GM with a variance keeps its targets, whose jobs sort the drivers and
// read the centres there.
inline Centres planned_centres(Mode mode, double variance) noexcept {
    if (mode != Mode::GM) return Centres::kNanOnly;
    return variance == 0.0 ? Centres::kAll : Centres::kFromSorts;
}

// The picks of a planned call, for a generator's pass sequence: the passes
// only collect each slot's targets (full passes drawn in tables on the
// pool); finish() then makes every pick, one pool job per column.
class PlannedPicks {
public:
    // The pass of every pick is recorded only when some slot's driver is
    // another slot's hole column (a MAR driver chosen for want of any
    // correlation), whose picks need it.
    // Targets are kept only where they can differ (GM with a variance):
    // MAX and MIN never look at them, and with variance 0 every GM target
    // of a column is its centre.
    // `drivers`: the drivers' ranges where known, and which of their
    // draws are offsets from a centre at quantile position `k`.
    PlannedPicks(ThreadPool& pool, std::span<const HolePair> pairs, PassLedger& ledger,
                 std::uint32_t total, Mode mode, double variance, std::uint32_t k,
                 const DriverDistributions& drivers);

    template <class Pass>
    bool full_passes(RandomSource& rng, std::span<const ColumnDistribution> params,
                     std::size_t rows, Pass&& pass) {
        const auto together = [this](const TargetRows& targets) { return take_rows(targets); };
        if (mode_ == Mode::GM) return replay_passes(rng, pool_, params, rows, pass, together);
        // MAX and MIN never look at a target, only at whether it is NaN,
        // which finite parameters rule out; its words are taken all the same.
        std::vector<ColumnDistribution> unseen(params.begin(), params.end());
        for (ColumnDistribution& p : unseen) {
            if (std::isfinite(p.center) && std::isfinite(p.spread)) p = {1.0, 0.0};
        }
        return replay_passes(rng, pool_, unseen, rows, pass, together);
    }

    void take(std::size_t slot, double target, std::uint32_t pass) {
        ColumnSchedule& schedule = schedules_[slot];
        if (keep_targets_ || schedule.picks == 0) {
            schedule.targets.push_back(target);
        } else {
            expect(mode_ != Mode::GM || target == schedule.targets.front(),
                   "GM targets of a column differ without variance");
        }
        ++schedule.picks;
        if (keep_passes_) schedule.passes.push_back(pass);
        taken_.push_back(schedule.hole);
    }

    // Every scheduled pick finds a cell, so it counts as blanked at once.
    void end_pass(PassLedger& ledger) {
        for (std::size_t column : taken_) ledger.blanked(column);
        taken_.clear();
    }

    // Makes the picks and writes the holes.
    void finish(std::shared_ptr<Matrix>& matrix) {
        run_schedules(pool_, matrix, schedules_, driven_, mode_, ranges_);
    }

private:
    // Full passes, every slot picking in each, taken together where no
    // column can run out of cells during them: what take() for every slot
    // and end_pass() would do for each row, without the per-row calls.
    PassesTaken take_rows(const TargetRows& targets);

    ThreadPool& pool_;
    PassLedger& ledger_;
    std::vector<ColumnSchedule> schedules_;
    Mode mode_;
    bool keep_targets_;
    std::vector<bool> driven_;  // per slot, from driven_by_other_holes
    bool keep_passes_;
    std::vector<std::optional<KeyRange>> ranges_;
    std::vector<std::size_t> taken_;
};

}  // namespace gapweave
