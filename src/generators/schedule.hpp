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

// Distributions of the listed columns, computed in parallel on the pool;
// entries of other columns are left zero. `k` from quantile_index.
std::vector<ColumnDistribution> distributions_of(ThreadPool& pool,
                                                 const std::shared_ptr<const Matrix>& matrix,
                                                 const std::vector<bool>& wanted, std::uint32_t k,
                                                 double variance);

// Runs the schedules' picks on the pool and writes the holes. Schedules
// whose driver is another scheduled hole column run after that column, so
// that the driver's blanked cells show as missing from the pass after the
// one that blanked them.
void run_schedules(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                   const std::vector<ColumnSchedule>& schedules, Mode mode);

}  // namespace gapweave
