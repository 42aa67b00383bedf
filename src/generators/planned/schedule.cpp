#include "generators/planned/schedule.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <optional>
#include <utility>

#include "generators/planned/column_index.hpp"
#include "generators/planned/selection.hpp"
#include "generators/planned/sorted_column.hpp"
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

// Copies the cells of `columns` out of the row-major table together, in
// blocks of rows on the pool, so that the table is read once in memory
// order rather than once per column with a stride.
std::vector<std::vector<double>> read_columns(ThreadPool& pool, const Matrix& matrix,
                                              std::span<const std::size_t> columns) {
    std::vector<std::vector<double>> cells(columns.size());
    for (std::vector<double>& column : cells) column = large_vector<double>(matrix.rows);
    constexpr std::size_t kBlockRows = 1 << 14;
    parallel_for(
        pool, (matrix.rows + kBlockRows - 1) / kBlockRows,
        [&](std::size_t block) {
            const std::size_t end = std::min(matrix.rows, (block + 1) * kBlockRows);
            for (std::size_t r = block * kBlockRows; r < end; ++r) {
                for (std::size_t i = 0; i < columns.size(); ++i)
                    cells[i][r] = matrix.at(r, columns[i]);
            }
        },
        kJobFailed);
    return cells;
}

// How many columns a call reads out of the table at a time: one per worker,
// so that every worker has work while the copies stay a fraction of the
// table.
std::size_t columns_at_once(const ThreadPool& pool) {
    return std::max<std::size_t>(1, pool.max_count());
}

// The rows a schedule picks: in pass order, or (unless the column drives
// another) ascending from a selection. `cells` is the driver column in row
// order, or empty; `sorted` is the driver sorted, if it was prepared so.
// `driver_schedule` and `driver_rows` describe the driver's own picks when
// it is a hole column.
std::vector<std::uint32_t> pick_column(const Matrix& matrix, std::span<const double> cells,
                                       const ColumnSchedule& schedule, Mode mode,
                                       bool drives_another,
                                       std::shared_ptr<const SortedColumn> sorted,
                                       const ColumnSchedule* driver_schedule,
                                       const std::vector<std::uint32_t>* driver_rows) {
    const std::size_t picks = schedule.picks;
    // A driver prepared sorted comes without its cells; the rare schedule
    // that still needs them reads them from the table.
    std::vector<double> read;
    const bool selected = driver_schedule == nullptr && selectable(mode, schedule.targets);
    if (cells.empty() && (selected || !sorted)) {
        read = large_vector<double>(matrix.rows);
        for (std::size_t r = 0; r < matrix.rows; ++r) read[r] = matrix.at(r, schedule.driver);
        cells = read;
    }
    if (selected) {
        return select_picks(cells, matrix, schedule.hole, schedule.hole == schedule.driver, mode,
                            picks == 0 ? 0.0 : schedule.targets.front(), picks, drives_another);
    }
    if (!sorted) sorted = std::make_shared<const SortedColumn>(sort_cells(cells));
    // A column driving itself holds a value exactly where it is not NaN.
    const bool all_present =
        schedule.hole == schedule.driver || !column_has_missing(matrix, schedule.hole);
    if (!all_present || !sorted->free_of_nan())
        sorted = std::make_shared<const SortedColumn>(present_in(*sorted, matrix, schedule.hole));

    // Every pick's target, where one stands for all.
    std::vector<double> all_targets;
    std::span<const double> targets = schedule.targets;
    if (targets.size() != picks) {
        all_targets.assign(picks, targets.front());
        targets = all_targets;
    }

    ColumnIndex index(std::move(sorted), matrix.rows, driver_schedule != nullptr);
    const std::vector<std::uint32_t> splits =
        mode == Mode::GM ? index.splits(targets) : std::vector<std::uint32_t>(picks);
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
        const auto row = index.take(mode, targets[i], splits[i]);
        expect(row.has_value(), "a scheduled pick found no cell");
        rows.push_back(static_cast<std::uint32_t>(*row));
    }
    return rows;
}

// Writes NaN into the picked cells. Each schedule's rows are first marked
// in a bitmap, then blocks of rows are written in parallel, so that the
// table is visited once, in memory order, whatever order the picks came in.
void write_holes(ThreadPool& pool, Matrix& matrix, const std::vector<ColumnSchedule>& schedules,
                 const std::vector<std::vector<std::uint32_t>>& picks) {
    const std::size_t words = (matrix.rows + 63) / 64;
    std::vector<std::vector<std::uint64_t>> marked(schedules.size());
    parallel_for(
        pool, schedules.size(),
        [&](std::size_t i) {
            if (picks[i].empty()) return;
            marked[i].assign(words, 0);
            for (std::uint32_t row : picks[i])
                marked[i][row / 64] |= std::uint64_t{1} << (row % 64);
        },
        kJobFailed);
    constexpr std::size_t kBlockWords = 256;
    parallel_for(
        pool, (words + kBlockWords - 1) / kBlockWords,
        [&](std::size_t block) {
            const std::size_t end = std::min(words, (block + 1) * kBlockWords);
            for (std::size_t w = block * kBlockWords; w < end; ++w) {
                for (std::size_t i = 0; i < schedules.size(); ++i) {
                    if (marked[i].empty()) continue;
                    for (std::uint64_t bits = marked[i][w]; bits != 0; bits &= bits - 1) {
                        const std::size_t row =
                            w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                        matrix.at(row, schedules[i].hole) = kMissing;
                    }
                }
            }
        },
        kJobFailed);
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

PreparedDrivers prepare_drivers(ThreadPool& pool, const Matrix& matrix,
                                std::span<const HolePair> pairs, Mode mode, std::uint32_t k,
                                double variance) {
    const std::vector<bool> loses_cells = driven_by_other_holes(pairs);
    std::vector<bool> wanted(matrix.cols, false);
    std::vector<bool> ordered(matrix.cols, false);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        wanted[pairs[i].driver] = true;
        if ((mode == Mode::GM && variance != 0.0) || loses_cells[i])
            ordered[pairs[i].driver] = true;
    }
    std::vector<std::size_t> to_sort;
    std::vector<std::size_t> to_select;
    for (std::size_t c = 0; c < matrix.cols; ++c) {
        if (wanted[c]) (ordered[c] ? to_sort : to_select).push_back(c);
    }
    PreparedDrivers prepared;
    prepared.distributions.assign(matrix.cols, {0.0, 0.0});
    prepared.sorted.resize(matrix.cols);

    // Columns sorted for the picks give their distribution on the way.
    std::vector<std::vector<double>> cells = read_columns(pool, matrix, to_sort);
    parallel_for(
        pool, to_sort.size(),
        [&](std::size_t i) {
            auto sorted = std::make_shared<const SortedColumn>(sort_cells(cells[i]));
            cells[i] = {};
            prepared.distributions[to_sort[i]] = distribution_of_sorted(*sorted, k, variance);
            prepared.sorted[to_sort[i]] = std::move(sorted);
        },
        kJobFailed);
    // The others are read a few at a time, so that only their copies are held.
    const std::size_t at_once = columns_at_once(pool);
    for (std::size_t first = 0; first < to_select.size(); first += at_once) {
        const std::span<const std::size_t> wave = std::span<const std::size_t>(to_select).subspan(
            first, std::min(at_once, to_select.size() - first));
        cells = read_columns(pool, matrix, wave);
        parallel_for(
            pool, wave.size(),
            [&](std::size_t i) {
                std::vector<std::uint64_t> keys = large_vector<std::uint64_t>(matrix.rows);
                std::transform(cells[i].begin(), cells[i].end(), keys.begin(), unsigned_order_key);
                cells[i] = {};
                prepared.distributions[wave[i]] = column_distribution(keys, k, variance);
            },
            kJobFailed);
    }
    return prepared;
}

void run_schedules(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                   const std::vector<ColumnSchedule>& schedules,
                   std::vector<std::shared_ptr<const SortedColumn>> prepared, Mode mode) {
    // Which schedule blanks each column, to find drivers that are hole columns.
    std::vector<std::optional<std::size_t>> schedule_of(matrix->cols);
    for (std::size_t i = 0; i < schedules.size(); ++i) schedule_of[schedules[i].hole] = i;

    std::vector<std::size_t> independent;
    std::vector<std::size_t> dependent;
    std::vector<bool> needed_later(matrix->cols, false);
    for (std::size_t i = 0; i < schedules.size(); ++i) {
        const ColumnSchedule& s = schedules[i];
        if (s.picks == 0) continue;
        const bool driven_by_other_hole = s.driver != s.hole && schedule_of[s.driver].has_value();
        (driven_by_other_hole ? dependent : independent).push_back(i);
        if (driven_by_other_hole) needed_later[s.driver] = true;
    }

    std::vector<std::vector<std::uint32_t>> picks;
    {
        std::shared_ptr<const Matrix> shared = matrix;
        picks.resize(schedules.size());
        // One job per schedule. Those of sorted drivers share the sorted
        // column; each job holds its own reference, so a column no later
        // job needs goes as soon as its jobs are done.
        std::vector<std::size_t> presorted;
        std::vector<std::size_t> unsorted;
        for (std::size_t i : independent)
            (prepared[schedules[i].driver] ? presorted : unsorted).push_back(i);
        std::vector<std::shared_ptr<const SortedColumn>> sorted_of(schedules.size());
        for (std::size_t i : presorted) sorted_of[i] = prepared[schedules[i].driver];
        for (std::size_t c = 0; c < matrix->cols; ++c) {
            if (!needed_later[c]) prepared[c] = {};
        }
        parallel_for(
            pool, presorted.size(),
            [&](std::size_t j) {
                const std::size_t i = presorted[j];
                picks[i] =
                    pick_column(*shared, {}, schedules[i], mode, needed_later[schedules[i].hole],
                                std::exchange(sorted_of[i], {}), nullptr, nullptr);
            },
            kJobFailed);
        // The other schedules' drivers are read out of the table for a few
        // schedules at a time, each driver once.
        const std::size_t at_once = columns_at_once(pool);
        for (std::size_t first = 0; first < unsorted.size(); first += at_once) {
            const std::size_t width = std::min(at_once, unsorted.size() - first);
            std::vector<std::size_t> wave;
            std::vector<std::size_t> cells_of(width);
            for (std::size_t j = 0; j < width; ++j) {
                const std::size_t driver = schedules[unsorted[first + j]].driver;
                const auto at = std::find(wave.begin(), wave.end(), driver);
                cells_of[j] = static_cast<std::size_t>(at - wave.begin());
                if (at == wave.end()) wave.push_back(driver);
            }
            // Each job holds its driver's copy, which goes with the last of them.
            std::vector<std::shared_ptr<const std::vector<double>>> cells(width);
            {
                std::vector<std::vector<double>> read = read_columns(pool, *shared, wave);
                std::vector<std::shared_ptr<const std::vector<double>>> columns(wave.size());
                for (std::size_t w = 0; w < wave.size(); ++w)
                    columns[w] = std::make_shared<const std::vector<double>>(std::move(read[w]));
                for (std::size_t j = 0; j < width; ++j) cells[j] = columns[cells_of[j]];
            }
            parallel_for(
                pool, width,
                [&](std::size_t j) {
                    const std::size_t i = unsorted[first + j];
                    const std::shared_ptr<const std::vector<double>> mine =
                        std::exchange(cells[j], {});
                    picks[i] =
                        pick_column(*shared, *mine, schedules[i], mode,
                                    needed_later[schedules[i].hole], nullptr, nullptr, nullptr);
                },
                kJobFailed);
        }
        // The drivers' picks are complete; each dependent job writes only
        // its own entry, which no other job reads.
        parallel_for(
            pool, dependent.size(),
            [&](std::size_t j) {
                const std::size_t i = dependent[j];
                const std::size_t d = *schedule_of[schedules[i].driver];
                picks[i] =
                    pick_column(*shared, {}, schedules[i], mode, needed_later[schedules[i].hole],
                                prepared[schedules[i].driver], &schedules[d], &picks[d]);
            },
            kJobFailed);
    }
    expect(matrix.use_count() == 1, "the matrix is still shared after the column jobs");
    write_holes(pool, *matrix, schedules, picks);
}

PlannedPicks::PlannedPicks(ThreadPool& pool, std::span<const HolePair> pairs,
                           const PassLedger& ledger, std::uint32_t total, Mode mode,
                           double variance)
    : pool_(pool),
      schedules_(pairs.size()),
      mode_(mode),
      keep_targets_(mode == Mode::GM && variance != 0.0),
      keep_passes_(std::ranges::any_of(driven_by_other_holes(pairs), std::identity{})) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        ColumnSchedule& schedule = schedules_[i];
        schedule.hole = pairs[i].hole;
        schedule.driver = pairs[i].driver;
        // A slot gets at most one pick per pass and one per cell.
        const std::size_t picks =
            std::min<std::size_t>(ledger.present()[schedule.hole], total / pairs.size() + 1);
        if (keep_targets_) schedule.targets.reserve(picks);
        if (keep_passes_) schedule.passes.reserve(picks);
    }
}

}  // namespace gapweave
