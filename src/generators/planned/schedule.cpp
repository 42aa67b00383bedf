#include "generators/planned/schedule.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "generators/planned/column_index.hpp"
#include "generators/planned/selection.hpp"
#include "generators/planned/sorted_column.hpp"
#include "pool/interrupt.hpp"
#include "pool/job_scope.hpp"
#include "support/fault.hpp"
#include "support/large_vector.hpp"

namespace gapweave {

namespace {

// No planned job is expected to fail; one that does is an internal fault.
constexpr const char* kJobFailed = "a column job of the call failed";
constexpr const char* kChainedDrivers = "a hole column's driver is driven by another hole column";

bool column_has_missing(const Matrix& matrix, std::size_t column) {
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        if (std::isnan(matrix.at(r, column))) return true;
    }
    return false;
}

// A column's picks: one bit a row, and the rows in the order the passes
// pick them, kept only for a column that drives another, whose job reads
// them.
struct ColumnPicks {
    std::vector<std::uint64_t> marked;
    LargeVector<std::uint32_t> rows;

    explicit ColumnPicks(std::size_t table_rows) : marked((table_rows + 63) / 64, 0) {}
    void mark(std::uint32_t row) noexcept { marked[row / 64] |= std::uint64_t{1} << (row % 64); }
};

// Whether a schedule's picks go through the ordered index (the driver
// sorted) rather than a selection.
bool needs_order(const ColumnSchedule& schedule, Mode mode, bool driven_by_other_hole) {
    return driven_by_other_hole || schedule.centre_at || !selectable(mode, schedule.targets);
}

// Sorted drivers, shared by the jobs that need them: the first of a
// driver's jobs sorts it (the others wait for it, needing it too), and the
// last one to start takes the only reference left, so that the sorted
// column goes as soon as its jobs are done. Its buffers then wait for the
// next sort, which writes into them rather than into fresh pages.
class SharedSorts {
public:
    // `ranges`: each column's range where known, which its sort then
    // takes instead of finding it.
    explicit SharedSorts(std::span<const std::optional<KeyRange>> ranges)
        : entries_(ranges.size()), ranges_(ranges) {
        // At most one sorted column per column of the table: keeping one
        // never allocates, so a deleter that keeps it cannot throw.
        spares_.reserve(ranges.size());
    }
    // A sort whose later jobs never ran (an interrupted or failed call) is
    // still held by its entry; its deleter needs the spares, which members
    // declared later would already have lost. Every job is done by now.
    ~SharedSorts() {
        for (Entry& entry : entries_) entry.sorted.reset();
    }
    SharedSorts(const SharedSorts&) = delete;
    SharedSorts& operator=(const SharedSorts&) = delete;

    // One more job will acquire `driver`; before any job starts.
    void expect_job(std::size_t driver) { ++entries_[driver].jobs_left; }

    std::shared_ptr<const SortedColumn> acquire(const Matrix& matrix, std::size_t driver) {
        Entry& entry = entries_[driver];
        const std::lock_guard lock(entry.mutex);
        if (!entry.sorted) {
            entry.sorted = std::shared_ptr<SortedColumn>(
                new SortedColumn(sort_column(matrix, driver, ranges_[driver], take_spare())),
                GiveBack{this});
        }
        std::shared_ptr<const SortedColumn> sorted = entry.sorted;
        if (--entry.jobs_left == 0) entry.sorted.reset();
        return sorted;
    }

    // Frees the buffers no sort has taken; once every job is done.
    void drop_spares() {
        const std::lock_guard lock(spares_mutex_);
        spares_.clear();
    }

private:
    struct Entry {
        std::mutex mutex;
        std::shared_ptr<const SortedColumn> sorted;
        std::size_t jobs_left = 0;
    };
    // Deletes a sorted column no job holds any more, keeping its buffers.
    struct GiveBack {
        SharedSorts* sorts;
        void operator()(SortedColumn* done) const {
            const std::unique_ptr<SortedColumn> owned(done);
            const std::lock_guard lock(sorts->spares_mutex_);
            sorts->spares_.push_back(std::move(*owned));
        }
    };

    SortedColumn take_spare() {
        const std::lock_guard lock(spares_mutex_);
        if (spares_.empty()) return {};
        SortedColumn spare = std::move(spares_.back());
        spares_.pop_back();
        return spare;
    }

    std::vector<Entry> entries_;
    std::span<const std::optional<KeyRange>> ranges_;
    std::mutex spares_mutex_;
    std::vector<SortedColumn> spares_;
};

// The picks of a schedule, from a selection or the ordered index.
// `driver_schedule` and `driver_rows` describe the driver's own picks when
// it is a hole column.
ColumnPicks pick_column(const Matrix& matrix, ColumnSchedule& schedule, Mode mode,
                        bool drives_another, SharedSorts& sorts,
                        const ColumnSchedule* driver_schedule,
                        const LargeVector<std::uint32_t>* driver_rows) {
    const std::size_t picks = schedule.picks;
    ColumnPicks result(matrix.rows);
    if (!needs_order(schedule, mode, driver_schedule != nullptr)) {
        LargeVector<std::uint32_t> rows =
            select_picks(matrix, schedule.driver, schedule.hole, mode,
                         picks == 0 ? 0.0 : schedule.targets.front(), picks, drives_another);
        for (std::uint32_t row : rows) result.mark(row);
        if (drives_another) result.rows = std::move(rows);
        return result;
    }
    std::shared_ptr<const SortedColumn> sorted = sorts.acquire(matrix, schedule.driver);
    if (schedule.centre_at) {
        // The driver's centre, from every cell as the call found it; each
        // target is its sum with the draw's offset, as a draw with the
        // centre makes it.
        const double centre = column_center(sorted->size(), *schedule.centre_at,
                                            [&](std::size_t p) { return sorted->values[p]; });
        for (double& target : schedule.targets) target = centre + target;
    }
    // A column driving itself holds a value exactly where it is not NaN.
    const bool all_present =
        schedule.hole == schedule.driver || !column_has_missing(matrix, schedule.hole);
    if (!all_present || !sorted->free_of_nan())
        sorted = std::make_shared<const SortedColumn>(present_in(*sorted, matrix, schedule.hole));

    ColumnIndex index(std::move(sorted), matrix.rows, driver_schedule != nullptr);
    if (drives_another) result.rows.reserve(picks);
    std::size_t blanked = 0;  // driver picks already turned missing
    constexpr std::size_t kAhead = 8;
    // A column's picks can take seconds; an interrupted call stops them.
    constexpr std::size_t kPicksBetweenStops = 1 << 14;
    // The picks go a block of targets at a time, and GM finds the splits of
    // one block just before its picks, so that a job holds one block's
    // splits rather than every pick's. Where one target stands for all
    // (GM without variance, or MAX and MIN, which never read it), one entry
    // serves every pick.
    const bool varying = schedule.targets.size() == picks;
    const bool gm = mode == Mode::GM;
    const std::size_t block = varying ? index.split_block() : picks;
    for (std::size_t begin = 0; begin < picks; begin += block) {
        const std::size_t count = std::min(block, picks - begin);
        const std::span<const double> targets =
            std::span<const double>(schedule.targets)
                .subspan(varying ? begin : 0, varying ? count : 1);
        constexpr std::uint32_t kUnused[1] = {0};
        const std::span<const std::uint32_t> splits = gm ? index.splits(targets) : kUnused;
        for (std::size_t at = 0; at < count; ++at) {
            if (at % kPicksBetweenStops == 0) stop_point();
            const std::size_t own = varying ? at : 0;
            if (varying && gm && at + kAhead < count) index.prefetch(splits[at + kAhead]);
            if (driver_schedule != nullptr) {
                // Cells of the driver blanked in earlier passes now read missing.
                const std::uint32_t pass = schedule.passes[begin + at];
                while (blanked < driver_rows->size() && driver_schedule->passes[blanked] < pass) {
                    index.make_missing((*driver_rows)[blanked]);
                    ++blanked;
                }
            }
            const auto row = index.take(mode, targets[own], splits[own]);
            expect(row.has_value(), "a scheduled pick found no cell");
            result.mark(static_cast<std::uint32_t>(*row));
            if (drives_another) result.rows.push_back(static_cast<std::uint32_t>(*row));
        }
    }
    return result;
}

// Writes NaN into the cells marked in each schedule's bitmap (none for a
// schedule without picks), by blocks of rows in parallel, so that the
// table is visited once, in memory order, whatever order the picks came in.
void write_holes(ThreadPool& pool, Matrix& matrix, const std::vector<ColumnSchedule>& schedules,
                 const std::vector<ColumnPicks>& picks) {
    const std::size_t words = (matrix.rows + 63) / 64;
    constexpr std::size_t kBlockWords = 256;
    parallel_for(
        pool, (words + kBlockWords - 1) / kBlockWords,
        [&](std::size_t block) {
            const std::size_t end = std::min(words, (block + 1) * kBlockWords);
            for (std::size_t w = block * kBlockWords; w < end; ++w) {
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

void run_schedules(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                   std::vector<ColumnSchedule>& schedules, const std::vector<bool>& driven,
                   Mode mode, std::span<const std::optional<KeyRange>> ranges) {
    expect(ranges.size() == matrix->cols, "driver ranges for another table");
    // Which schedule blanks each column, to find a dependent's driver.
    std::vector<std::optional<std::size_t>> schedule_of(matrix->cols);
    for (std::size_t i = 0; i < schedules.size(); ++i) schedule_of[schedules[i].hole] = i;

    std::vector<std::size_t> independent;
    std::vector<std::size_t> dependent;
    std::vector<bool> needed_later(matrix->cols, false);
    SharedSorts sorts(ranges);
    for (std::size_t i = 0; i < schedules.size(); ++i) {
        const ColumnSchedule& s = schedules[i];
        if (s.picks == 0) continue;
        (driven[i] ? dependent : independent).push_back(i);
        if (driven[i]) {
            // The dependents run together once the independent schedules
            // are done, so a dependent's driver must not be a dependent
            // itself. MAR's driver rule never chains hole columns: a driver
            // is a non-hole column, or column 0 for want of any correlation,
            // which is then its own driver or driven by a non-hole column.
            expect(!driven[*schedule_of[s.driver]], kChainedDrivers);
            needed_later[s.driver] = true;
        }
        if (needs_order(s, mode, driven[i])) sorts.expect_job(s.driver);
    }
    // Jobs of one driver side by side, so that its sorted copy is shared
    // while they run and gone before the next driver's.
    std::stable_sort(independent.begin(), independent.end(), [&](std::size_t a, std::size_t b) {
        return schedules[a].driver < schedules[b].driver;
    });

    // Each job writes only its own entry; a schedule without picks has none.
    std::vector<ColumnPicks> picks(schedules.size(), ColumnPicks(0));
    {
        std::shared_ptr<const Matrix> shared = matrix;
        parallel_for(
            pool, independent.size(),
            [&](std::size_t j) {
                const std::size_t i = independent[j];
                picks[i] = pick_column(*shared, schedules[i], mode, needed_later[schedules[i].hole],
                                       sorts, nullptr, nullptr);
            },
            kJobFailed);
        // The drivers' picks are complete, and no other job reads a
        // dependent's entry. The table still holds every driver's values as
        // the call found them.
        parallel_for(
            pool, dependent.size(),
            [&](std::size_t j) {
                const std::size_t i = dependent[j];
                const std::size_t d = *schedule_of[schedules[i].driver];
                picks[i] = pick_column(*shared, schedules[i], mode, needed_later[schedules[i].hole],
                                       sorts, &schedules[d], &picks[d].rows);
            },
            kJobFailed);
    }
    sorts.drop_spares();
    expect(matrix.use_count() == 1, "the matrix is still shared after the column jobs");
    write_holes(pool, *matrix, schedules, picks);
}

PlannedPicks::PlannedPicks(ThreadPool& pool, std::span<const HolePair> pairs, PassLedger& ledger,
                           std::uint32_t total, Mode mode, double variance, std::uint32_t k,
                           const DriverDistributions& drivers)
    : pool_(pool),
      ledger_(ledger),
      schedules_(pairs.size()),
      mode_(mode),
      keep_targets_(mode == Mode::GM && variance != 0.0),
      driven_(driven_by_other_holes(pairs)),
      keep_passes_(std::ranges::any_of(driven_, std::identity{})),
      ranges_(drivers.ranges) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        ColumnSchedule& schedule = schedules_[i];
        schedule.hole = pairs[i].hole;
        schedule.driver = pairs[i].driver;
        if (keep_targets_ && drivers.from_sort[schedule.driver]) schedule.centre_at = k;
        // A slot gets at most one pick per pass and one per cell.
        const std::size_t picks =
            std::min<std::size_t>(ledger.present()[schedule.hole], total / pairs.size() + 1);
        if (keep_targets_) schedule.targets.reserve(picks);
        if (keep_passes_) schedule.passes.reserve(picks);
    }
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
        constexpr std::size_t kBlockRows = 1 << 14;
        parallel_for(
            pool_, (rows + kBlockRows - 1) / kBlockRows,
            [&](std::size_t block) {
                const std::size_t end = std::min(rows, (block + 1) * kBlockRows);
                for (std::size_t r = block * kBlockRows; r < end; ++r) {
                    const std::span<const double> row = targets.row(r);
                    for (std::size_t slot = 0; slot < row.size(); ++slot) kept[slot][r] = row[slot];
                }
            },
            kJobFailed);
    }
    return {rows, ledger_.fill_passes(rows)};
}

}  // namespace gapweave
