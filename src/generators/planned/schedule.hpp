// The end of a planned call: every column's job run on the pool, each
// making all of its column's picks from its schedule, and the holes
// written into the table.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "generators/column_facts.hpp"
#include "generators/hole_pair.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/planned/column_schedule.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {

// Runs the schedules' picks on the pool, one job per schedule
// (column_job.hpp), and writes the holes. A schedule's candidates are the
// rows whose hole cell is present, valued by the driver column, which the
// job reads out of the table. Schedules whose driver is another scheduled
// hole column run after that column, so that the driver's blanked cells
// show as missing from the pass after the one that blanked them.
// `driven[i]` tells whether schedule i's driver is another schedule's hole
// column (driven_by_other_holes); `ranges`, per column of the table, the
// ranges of drivers already known (DriverDistributions).
// A job whose targets are offsets turns them into targets in place.
void run_schedules(ThreadPool& pool, Matrix& matrix, std::vector<ColumnSchedule>& schedules,
                   const std::vector<bool>& driven, Mode mode,
                   std::span<const std::optional<KeyRange>> ranges);

// For each pair, whether its driver is another pair's hole column, so that
// it loses cells while the call blanks them.
std::vector<bool> driven_by_other_holes(std::span<const HolePair> pairs);

// Writes NaN into the cells marked in each schedule's bitmap (none for a
// schedule without picks), by blocks of rows in parallel, so that the
// table is visited once, in memory order, whatever order the picks came in.
void write_holes(ThreadPool& pool, Matrix& matrix, const std::vector<ColumnSchedule>& schedules,
                 const std::vector<ColumnPicks>& picks);

}  // namespace gapweave
