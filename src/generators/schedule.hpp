// Planned calls: the calling thread first replays every draw of the call
// (the same draws, in the same order, failing at the same point as the
// pass-by-pass algorithm would), which gives each hole column the ordered
// targets of its picks. The picks of a column depend only on its own
// targets and cells, so one pool job per column then makes all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "generators/common.hpp"
#include "generators/sorted_column.hpp"
#include "generators/utils.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

// The picks one column receives during a call, in pass order.
struct ColumnSchedule {
    std::size_t hole = 0;
    std::size_t driver = 0;
    std::vector<double> targets;         // one per pick that finds a cell
    std::vector<std::uint32_t> passes;   // the pass of each of those picks
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

}  // namespace gapweave
