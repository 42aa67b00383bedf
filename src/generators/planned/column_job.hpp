// One hole column's job in a planned call: all of its picks, made at once
// from its schedule, either by a selection or through the ordered index of
// its sorted driver.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "base/large_vector.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/planned/column_index.hpp"
#include "generators/planned/column_schedule.hpp"
#include "generators/planned/shared_sorts.hpp"

namespace gapweave {

// The picks of a column's driver where the driver is another hole column:
// its cells go missing pass by pass while the call blanks them.
struct DriverPicks {
    const ColumnSchedule& schedule;
    const LargeVector<std::uint32_t>& rows;  // in pick order
};

class ColumnJob {
public:
    // `drives_another`: the picks' rows are kept in pick order for the job
    // of a column this one drives. `driver`: the driver's picks when the
    // driver is another hole column.
    ColumnJob(const Matrix& matrix, ColumnSchedule& schedule, Mode mode, bool drives_another,
              std::optional<DriverPicks> driver);

    // Whether a schedule's picks go through the ordered index (the driver
    // sorted) rather than a selection.
    static bool needs_order(const ColumnSchedule& schedule, Mode mode, bool driven_by_other_hole);

    // Makes the picks, once; `sorts` lends the sorted driver where one is
    // needed.
    ColumnPicks run(SharedSorts& sorts);

private:
    // Every candidate keeps its rank: the picks are the first by rank.
    ColumnPicks select();
    // The sorted driver, with the targets made absolute where they are
    // offsets from its centre, narrowed to the rows the hole column holds.
    std::shared_ptr<const SortedColumn> candidates(SharedSorts& sorts);
    // Picks `count` targets from `begin` on through the index.
    void take_block(ColumnIndex& index, std::size_t begin, std::size_t count, bool varying);
    // Turns missing the driver's cells blanked before `pass`.
    void catch_up_with_driver(ColumnIndex& index, std::uint32_t pass);
    void record(std::size_t row);

    const Matrix& matrix_;
    ColumnSchedule& schedule_;
    Mode mode_;
    bool drives_another_;
    std::optional<DriverPicks> driver_;
    ColumnPicks result_;
    std::size_t blanked_ = 0;  // driver picks already turned missing
};

}  // namespace gapweave
