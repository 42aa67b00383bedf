#include "generators/planned/schedule.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "base/fault.hpp"
#include "base/messages.hpp"
#include "generators/planned/column_job.hpp"
#include "generators/planned/shared_sorts.hpp"
#include "pool/job_scope.hpp"

namespace gapweave {

namespace {

// The order of a call's column jobs: the independent ones first, grouped
// by driver, then those whose driver is another hole column.
struct JobOrder {
    std::vector<std::size_t> independent;
    std::vector<std::size_t> dependent;
    // Per column of the table: the schedule that blanks it, and whether
    // its picks are read by another column's job.
    std::vector<std::optional<std::size_t>> schedule_of;
    std::vector<bool> needed_later;
};

JobOrder order_jobs(const Matrix& matrix, const std::vector<ColumnSchedule>& schedules,
                    const std::vector<bool>& driven, Mode mode, SharedSorts& sorts) {
    JobOrder order{{},
                   {},
                   std::vector<std::optional<std::size_t>>(matrix.cols),
                   std::vector<bool>(matrix.cols, false)};
    for (std::size_t i = 0; i < schedules.size(); ++i) order.schedule_of[schedules[i].hole] = i;
    for (std::size_t i = 0; i < schedules.size(); ++i) {
        const ColumnSchedule& s = schedules[i];
        if (s.picks == 0) continue;
        (driven[i] ? order.dependent : order.independent).push_back(i);
        if (driven[i]) {
            // The dependents run together once the independent schedules
            // are done, so a dependent's driver must not be a dependent
            // itself. MAR's driver rule never chains hole columns: a driver
            // is a non-hole column, or column 0 for want of any correlation,
            // which is then its own driver or driven by a non-hole column.
            expect(!driven[*order.schedule_of[s.driver]], messages::kChainedDrivers);
            order.needed_later[s.driver] = true;
        }
        if (ColumnJob::needs_order(s, mode, driven[i])) sorts.expect_job(s.driver);
    }
    // Jobs of one driver side by side, so that its sorted copy is shared
    // while they run and gone before the next driver's.
    std::stable_sort(
        order.independent.begin(), order.independent.end(),
        [&](std::size_t a, std::size_t b) { return schedules[a].driver < schedules[b].driver; });
    return order;
}

}  // namespace

std::vector<bool> driven_by_other_holes(std::span<const HolePair> pairs) {
    std::vector<std::size_t> holes;
    for (const HolePair& pair : pairs) holes.push_back(pair.hole);
    std::sort(holes.begin(), holes.end());
    std::vector<bool> driven(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        driven[i] = pairs[i].driver != pairs[i].hole &&
                    std::binary_search(holes.begin(), holes.end(), pairs[i].driver);
    }
    return driven;
}

void run_schedules(ThreadPool& pool, Matrix& matrix, std::vector<ColumnSchedule>& schedules,
                   const std::vector<bool>& driven, Mode mode,
                   std::span<const std::optional<KeyRange>> ranges) {
    expect(ranges.size() == matrix.cols, "driver ranges for another table");
    SharedSorts sorts(ranges);
    const JobOrder order = order_jobs(matrix, schedules, driven, mode, sorts);
    // Each job writes only its own entry; a schedule without picks has none.
    std::vector<ColumnPicks> picks(schedules.size(), ColumnPicks(0));
    const Matrix& cells = matrix;
    const auto run = [&](std::size_t i, std::optional<DriverPicks> driver) {
        ColumnJob job(cells, schedules[i], mode, order.needed_later[schedules[i].hole], driver);
        picks[i] = job.run(sorts);
    };
    parallel_for(
        pool, order.independent.size(), [&](std::size_t j) { run(order.independent[j], {}); },
        kColumnJobFailed);
    // The drivers' picks are complete, and no other job reads a dependent's
    // entry. The table still holds every driver's values as the call found
    // them.
    parallel_for(
        pool, order.dependent.size(),
        [&](std::size_t j) {
            const std::size_t i = order.dependent[j];
            const std::size_t d = *order.schedule_of[schedules[i].driver];
            run(i, DriverPicks{schedules[d], picks[d].rows});
        },
        kColumnJobFailed);
    sorts.drop_spares();
    write_holes(pool, matrix, schedules, picks);
}

void write_holes(ThreadPool& pool, Matrix& matrix, const std::vector<ColumnSchedule>& schedules,
                 const std::vector<ColumnPicks>& picks) {
    const std::size_t words = (matrix.rows + 63) / 64;
    parallel_for_blocks(
        pool, words, 256,
        [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t w = begin; w < end; ++w) {
                for (std::size_t i = 0; i < schedules.size(); ++i) {
                    if (picks[i].marked.empty()) continue;
                    for (std::uint64_t bits = picks[i].marked[w]; bits != 0; bits &= bits - 1) {
                        const std::size_t row =
                            w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                        matrix.at(row, schedules[i].hole) = kMissing;
                    }
                }
            }
        },
        kColumnJobFailed);
}

}  // namespace gapweave
