#include "generators/planned/column_job.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "base/fault.hpp"
#include "generators/distribution.hpp"
#include "generators/planned/selection.hpp"
#include "pool/interrupt.hpp"

namespace gapweave {

namespace {

bool column_has_missing(const Matrix& matrix, std::size_t column) {
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        if (std::isnan(matrix.at(r, column))) return true;
    }
    return false;
}

}  // namespace

ColumnJob::ColumnJob(const Matrix& matrix, ColumnSchedule& schedule, Mode mode, bool drives_another,
                     std::optional<DriverPicks> driver)
    : matrix_(matrix),
      schedule_(schedule),
      mode_(mode),
      drives_another_(drives_another),
      driver_(driver),
      result_(matrix.rows) {}

bool ColumnJob::needs_order(const ColumnSchedule& schedule, Mode mode, bool driven_by_other_hole) {
    return driven_by_other_hole || schedule.centre_at || !selectable(mode, schedule.targets);
}

ColumnPicks ColumnJob::run(SharedSorts& sorts) {
    if (!needs_order(schedule_, mode_, driver_.has_value())) return select();
    ColumnIndex index(candidates(sorts), matrix_.rows, driver_.has_value());
    const std::size_t picks = schedule_.picks;
    if (drives_another_) result_.rows.reserve(picks);
    // The picks go a block of targets at a time, and GM finds the splits of
    // one block just before its picks, so that a job holds one block's
    // splits rather than every pick's. Where one target stands for all
    // (GM without variance, or MAX and MIN, which never read it), one entry
    // serves every pick.
    const bool varying = schedule_.targets.size() == picks;
    const std::size_t block = varying ? index.split_block() : picks;
    for (std::size_t begin = 0; begin < picks; begin += block)
        take_block(index, begin, std::min(block, picks - begin), varying);
    return std::move(result_);
}

ColumnPicks ColumnJob::select() {
    const std::size_t picks = schedule_.picks;
    LargeVector<std::uint32_t> rows =
        select_picks(matrix_, {schedule_.hole, schedule_.driver}, mode_,
                     picks == 0 ? 0.0 : schedule_.targets.front(), picks, drives_another_);
    for (std::uint32_t row : rows) result_.mark(row);
    if (drives_another_) result_.rows = std::move(rows);
    return std::move(result_);
}

std::shared_ptr<const SortedColumn> ColumnJob::candidates(SharedSorts& sorts) {
    std::shared_ptr<const SortedColumn> sorted = sorts.acquire(matrix_, schedule_.driver);
    if (schedule_.centre_at) {
        // The driver's centre, from every cell as the call found it; each
        // target is its sum with the draw's offset, as a draw with the
        // centre makes it.
        const double centre = column_center(sorted->size(), *schedule_.centre_at,
                                            [&](std::size_t p) { return sorted->values[p]; });
        for (double& target : schedule_.targets) target = centre + target;
    }
    // A column driving itself holds a value exactly where it is not NaN.
    const bool all_present =
        schedule_.hole == schedule_.driver || !column_has_missing(matrix_, schedule_.hole);
    if (!all_present || !sorted->free_of_nan())
        sorted = std::make_shared<const SortedColumn>(present_in(*sorted, matrix_, schedule_.hole));
    return sorted;
}

void ColumnJob::take_block(ColumnIndex& index, std::size_t begin, std::size_t count, bool varying) {
    constexpr std::size_t kAhead = 8;
    // A column's picks can take seconds; an interrupted call stops them.
    constexpr std::size_t kPicksBetweenStops = 1 << 14;
    const bool gm = mode_ == Mode::GM;
    const std::span<const double> targets = std::span<const double>(schedule_.targets)
                                                .subspan(varying ? begin : 0, varying ? count : 1);
    constexpr std::uint32_t kUnused[1] = {0};
    const std::span<const std::uint32_t> splits = gm ? index.splits(targets) : kUnused;
    for (std::size_t at = 0; at < count; ++at) {
        if (at % kPicksBetweenStops == 0) stop_point();
        const std::size_t own = varying ? at : 0;
        if (varying && gm && at + kAhead < count) index.prefetch(splits[at + kAhead]);
        if (driver_) catch_up_with_driver(index, schedule_.passes[begin + at]);
        const auto row = index.take(mode_, targets[own], splits[own]);
        expect(row.has_value(), "a scheduled pick found no cell");
        record(*row);
    }
}

void ColumnJob::catch_up_with_driver(ColumnIndex& index, std::uint32_t pass) {
    // Cells of the driver blanked in earlier passes now read missing.
    const LargeVector<std::uint32_t>& driver_rows = driver_->rows;
    while (blanked_ < driver_rows.size() && driver_->schedule.passes[blanked_] < pass) {
        index.make_missing(driver_rows[blanked_]);
        ++blanked_;
    }
}

void ColumnJob::record(std::size_t row) {
    result_.mark(static_cast<std::uint32_t>(row));
    if (drives_another_) result_.rows.push_back(static_cast<std::uint32_t>(row));
}

}  // namespace gapweave
