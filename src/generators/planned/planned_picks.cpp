#include "generators/planned/planned_picks.hpp"

#include <algorithm>
#include <functional>

#include "generators/planned/schedule.hpp"
#include "pool/job_scope.hpp"

namespace gapweave {

PlannedPicks::PlannedPicks(const PickCall& call)
    : pool_(call.pool),
      matrix_(call.matrix),
      mode_(call.mode),
      drivers_(driver_distributions(
          call.pool, call.matrix, call.pairs,
          {call.k, call.variance, planned_centres(call.mode, call.variance)}, call.known)),
      ledger_(drivers_.facts.present, call.matrix, call.pairs, call.total),
      schedules_(call.pairs.size()),
      keep_targets_(call.mode == Mode::GM && call.variance != 0.0),
      driven_(driven_by_other_holes(call.pairs)),
      keep_passes_(std::ranges::any_of(driven_, std::identity{})) {
    for (std::size_t i = 0; i < call.pairs.size(); ++i) {
        ColumnSchedule& schedule = schedules_[i];
        schedule.hole = call.pairs[i].hole;
        schedule.driver = call.pairs[i].driver;
        if (keep_targets_ && drivers_.from_sort[schedule.driver]) schedule.centre_at = call.k;
    }
    reserve(call.total);
}

void PlannedPicks::reserve(std::uint32_t total) {
    for (ColumnSchedule& schedule : schedules_) {
        // A slot gets at most one pick per pass and one per cell.
        const std::size_t picks =
            std::min<std::size_t>(ledger_.present()[schedule.hole], total / schedules_.size() + 1);
        if (keep_targets_) schedule.targets.reserve(picks);
        if (keep_passes_) schedule.passes.reserve(picks);
    }
}

void PlannedPicks::finish() {
    run_schedules(pool_, matrix_, schedules_, driven_, mode_, drivers_.facts.ranges);
}

PassesTaken PlannedPicks::take_rows(const TargetRows& targets) {
    const std::size_t rows = targets.rows;
    if (rows == 0 || !ledger_.can_fill(rows)) return {0, true};
    const std::uint32_t first_pass = ledger_.pass();
    std::vector<double*> kept(schedules_.size());
    for (std::size_t slot = 0; slot < schedules_.size(); ++slot) {
        ColumnSchedule& schedule = schedules_[slot];
        if (keep_targets_) {
            schedule.targets.resize(schedule.targets.size() + rows);
            kept[slot] = schedule.targets.data() + schedule.targets.size() - rows;
        } else if (schedule.picks == 0) {
            schedule.targets.push_back(targets.first[slot]);
        }
        schedule.picks += rows;
        if (keep_passes_) {
            for (std::size_t r = 0; r < rows; ++r)
                schedule.passes.push_back(first_pass + static_cast<std::uint32_t>(r));
        }
    }
    // Blocks of rows on the pool, each read in order.
    if (keep_targets_) {
        parallel_for_blocks(
            pool_, rows, std::size_t{1} << 14,
            [&](std::size_t, std::size_t begin, std::size_t end) {
                for (std::size_t r = begin; r < end; ++r) {
                    const std::span<const double> row = targets.row(r);
                    for (std::size_t slot = 0; slot < row.size(); ++slot) kept[slot][r] = row[slot];
                }
            },
            kColumnJobFailed);
    }
    return {rows, ledger_.fill_passes(rows)};
}

}  // namespace gapweave
