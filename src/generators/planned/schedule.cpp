#include "generators/planned/schedule.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <utility>

#include "generators/planned/column_index.hpp"
#include "pool/job_scope.hpp"
#include "support/fault.hpp"
#include "support/huge_pages.hpp"

namespace gapweave {

namespace {

// No planned job is expected to fail; one that does is an internal fault.
constexpr const char* kJobFailed = "a column job of the call failed";

bool column_has_missing(const Matrix& matrix, std::size_t column) {
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        if (std::isnan(matrix.at(r, column))) return true;
    }
    return false;
}

// The rows a schedule picks, in pass order. `driver_schedule` and
// `driver_rows` describe the driver's own picks when it is a hole column.
std::vector<std::uint32_t> pick_column(const Matrix& matrix,
                                       std::shared_ptr<const SortedColumn> driver,
                                       const ColumnSchedule& schedule, Mode mode,
                                       const ColumnSchedule* driver_schedule,
                                       const std::vector<std::uint32_t>* driver_rows) {
    // A column driving itself holds a value exactly where it is not NaN.
    const bool all_present =
        schedule.hole == schedule.driver || !column_has_missing(matrix, schedule.hole);
    if (!all_present || !driver->free_of_nan()) {
        driver = std::make_shared<const SortedColumn>(present_in(*driver, matrix, schedule.hole));
    }
    const std::size_t picks = schedule.targets.size();
    if (driver_schedule == nullptr && mode != Mode::GM) return extreme_rows(*driver, mode, picks);

    ColumnIndex index(std::move(driver), matrix.rows, driver_schedule != nullptr);
    const std::vector<std::uint32_t> splits =
        mode == Mode::GM ? index.splits(schedule.targets) : std::vector<std::uint32_t>(picks);
    std::vector<std::uint32_t> rows;
    rows.reserve(picks);
    std::size_t blanked = 0;  // driver picks already turned missing
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < picks; ++i) {
        if (i + kAhead < picks) index.prefetch(splits[i + kAhead]);
        if (driver_schedule != nullptr) {
            // Cells of the driver blanked in earlier passes now read missing.
            const std::uint32_t pass = schedule.passes[i];
            while (blanked < driver_rows->size() && driver_schedule->passes[blanked] < pass) {
                index.make_missing((*driver_rows)[blanked]);
                ++blanked;
            }
        }
        const auto row = index.take(mode, schedule.targets[i], splits[i]);
        expect(row.has_value(), "a scheduled pick found no cell");
        rows.push_back(static_cast<std::uint32_t>(*row));
    }
    return rows;
}

}  // namespace

SortedColumns sort_columns(ThreadPool& pool, const Matrix& matrix, const std::vector<bool>& wanted,
                           std::uint32_t k, double variance) {
    std::vector<std::size_t> columns;
    for (std::size_t c = 0; c < wanted.size(); ++c) {
        if (wanted[c]) columns.push_back(c);
    }
    // The wanted columns are copied out of the row-major table together,
    // in blocks of rows on the pool, so that the table is read once in
    // memory order rather than once per column with a stride.
    std::vector<std::vector<double>> cells(wanted.size());
    for (std::size_t c : columns) cells[c] = large_vector<double>(matrix.rows);
    constexpr std::size_t kBlockRows = 1 << 14;
    const std::size_t blocks = (matrix.rows + kBlockRows - 1) / kBlockRows;
    parallel_for(
        pool, blocks,
        [&](std::size_t block) {
            const std::size_t end = std::min(matrix.rows, (block + 1) * kBlockRows);
            for (std::size_t r = block * kBlockRows; r < end; ++r) {
                for (std::size_t c : columns) cells[c][r] = matrix.at(r, c);
            }
        },
        kJobFailed);

    SortedColumns sorted;
    sorted.columns.resize(wanted.size());
    sorted.distributions.resize(wanted.size(), {0.0, 0.0});
    parallel_for(
        pool, columns.size(),
        [&](std::size_t i) {
            const std::size_t c = columns[i];
            sorted.columns[c] =
                std::make_shared<const SortedColumn>(sort_cells(std::exchange(cells[c], {})));
            sorted.distributions[c] = distribution_of_sorted(*sorted.columns[c], k, variance);
        },
        kJobFailed);
    return sorted;
}

void run_schedules(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                   const std::vector<ColumnSchedule>& schedules, SortedColumns sorted, Mode mode) {
    // Which schedule blanks each column, to find drivers that are hole columns.
    std::vector<std::optional<std::size_t>> schedule_of(matrix->cols);
    for (std::size_t i = 0; i < schedules.size(); ++i) schedule_of[schedules[i].hole] = i;

    std::vector<std::size_t> independent;
    std::vector<std::size_t> dependent;
    std::vector<bool> needed_later(matrix->cols, false);
    for (std::size_t i = 0; i < schedules.size(); ++i) {
        const ColumnSchedule& s = schedules[i];
        if (s.targets.empty()) continue;
        expect(sorted.columns[s.driver] != nullptr, "a schedule's driver was not sorted");
        const bool driven_by_other_hole = s.driver != s.hole && schedule_of[s.driver].has_value();
        (driven_by_other_hole ? dependent : independent).push_back(i);
        if (driven_by_other_hole) needed_later[s.driver] = true;
    }

    std::vector<std::vector<std::uint32_t>> picks;
    {
        std::shared_ptr<const Matrix> shared = matrix;
        // Each job holds its own reference to the sorted driver, so a
        // column no later job needs goes as soon as its jobs are done.
        std::vector<std::shared_ptr<const SortedColumn>> drivers(schedules.size());
        for (std::size_t i : independent) drivers[i] = sorted.columns[schedules[i].driver];
        for (std::size_t i : dependent) drivers[i] = sorted.columns[schedules[i].driver];
        for (std::size_t c = 0; c < matrix->cols; ++c) {
            if (!needed_later[c]) sorted.columns[c].reset();
        }
        picks.resize(schedules.size());
        parallel_for(
            pool, independent.size(),
            [&](std::size_t j) {
                const std::size_t i = independent[j];
                picks[i] = pick_column(*shared, std::exchange(drivers[i], nullptr), schedules[i],
                                       mode, nullptr, nullptr);
            },
            kJobFailed);
        // The drivers' picks are complete; each dependent job writes only
        // its own entry, which no other job reads.
        parallel_for(
            pool, dependent.size(),
            [&](std::size_t j) {
                const std::size_t i = dependent[j];
                const std::size_t d = *schedule_of[schedules[i].driver];
                picks[i] = pick_column(*shared, std::exchange(drivers[i], nullptr), schedules[i],
                                       mode, &schedules[d], &picks[d]);
            },
            kJobFailed);
    }
    expect(matrix.use_count() == 1, "the matrix is still shared after the column jobs");
    Matrix& cells = *matrix;
    for (std::size_t i = 0; i < schedules.size(); ++i) {
        for (std::uint32_t row : picks[i]) cells.at(row, schedules[i].hole) = kMissing;
    }
}

PlannedPicks::PlannedPicks(ThreadPool& pool, std::span<const HolePair> pairs,
                           const PassLedger& ledger, std::uint32_t total, bool keep_passes)
    : pool_(pool), schedules_(pairs.size()), keep_passes_(keep_passes) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        ColumnSchedule& schedule = schedules_[i];
        schedule.hole = pairs[i].hole;
        schedule.driver = pairs[i].driver;
        // A slot gets at most one pick per pass and one per cell.
        const std::size_t picks =
            std::min<std::size_t>(ledger.present()[schedule.hole], total / pairs.size() + 1);
        schedule.targets.reserve(picks);
        if (keep_passes) schedule.passes.reserve(picks);
    }
}

}  // namespace gapweave
