// The planned way of picking (a PickStrategy): the calling thread first
// replays every draw of the call (the same draws, in the same order,
// failing at the same point as the pass-by-pass reference would), which
// gives each hole column the ordered targets of its picks. The picks of a
// column depend only on its own targets and cells, so one pool job per
// column then makes all of them (schedule.hpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/fault.hpp"
#include "generators/distribution.hpp"
#include "generators/hole_pair.hpp"
#include "generators/mode.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/pick_strategy.hpp"
#include "generators/planned/column_schedule.hpp"
#include "generators/planned/driver_distributions.hpp"
#include "generators/planned/pass_replay.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

// What a planned call must know of its drivers' centres before its passes:
// GM with a variance keeps its targets, whose jobs sort the drivers and
// read the centres there.
inline Centres planned_centres(Mode mode, double variance) noexcept {
    if (mode != Mode::GM) return Centres::kNanOnly;
    return variance == 0.0 ? Centres::kAll : Centres::kFromSorts;
}

// The passes only collect each slot's targets (full passes drawn in tables
// on the pool); finish() then makes every pick, one pool job per column.
class PlannedPicks {
public:
    // The drivers' distributions are found first (driver_distributions).
    // The pass of every pick is recorded only when some slot's driver is
    // another slot's hole column (a MAR driver chosen for want of any
    // correlation), whose picks need it. Targets are kept only where they
    // can differ (GM with a variance): MAX and MIN never look at them, and
    // with variance 0 every GM target of a column is its centre.
    explicit PlannedPicks(const PickCall& call);

    std::span<const ColumnDistribution> distributions() const noexcept { return drivers_.of; }
    PassLedger& ledger() noexcept { return ledger_; }

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
    void end_pass() {
        for (std::size_t column : taken_) ledger_.blanked(column);
        taken_.clear();
    }

    // Makes the picks and writes the holes.
    void finish();

private:
    // Full passes, every slot picking in each, taken together where no
    // column can run out of cells during them: what take() for every slot
    // and end_pass() would do for each row, without the per-row calls.
    PassesTaken take_rows(const TargetRows& targets);
    // Room for the picks a slot can take: one per pass and one per cell.
    void reserve(std::uint32_t total);

    ThreadPool& pool_;
    Matrix& matrix_;
    Mode mode_;
    DriverDistributions drivers_;
    PassLedger ledger_;
    std::vector<ColumnSchedule> schedules_;
    bool keep_targets_;
    std::vector<bool> driven_;  // per slot, from driven_by_other_holes
    bool keep_passes_;
    std::vector<std::size_t> taken_;
};

static_assert(PickStrategy<PlannedPicks>);

}  // namespace gapweave
