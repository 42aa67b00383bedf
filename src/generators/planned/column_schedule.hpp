// What a planned call collects of one hole column's picks during its
// passes, and what the column's job gives back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/large_vector.hpp"

namespace gapweave {

// No planned job is expected to fail; one that does is an internal fault.
inline constexpr const char* kColumnJobFailed = "a column job of the call failed";

// The picks one column receives during a call, in pass order.
struct ColumnSchedule {
    std::size_t hole = 0;
    std::size_t driver = 0;
    std::size_t picks = 0;  // picks that find a cell
    // Their targets in pass order, or only the first where it stands for
    // all of them (see PlannedPicks).
    LargeVector<double> targets;
    // Where the targets are offsets from the driver's centre, which the job
    // reads from the sorted driver (DriverDistributions::from_sort): the
    // centre's quantile position.
    std::optional<std::uint32_t> centre_at;
    // The pass of each of those picks; needed only when the column drives
    // another scheduled column.
    LargeVector<std::uint32_t> passes;
};

// A column's picks: one bit a row, and the rows in the order the passes
// pick them, kept only for a column that drives another, whose job reads
// them.
struct ColumnPicks {
    std::vector<std::uint64_t> marked;
    LargeVector<std::uint32_t> rows;

    explicit ColumnPicks(std::size_t table_rows) : marked((table_rows + 63) / 64, 0) {}
    void mark(std::uint32_t row) noexcept { marked[row / 64] |= std::uint64_t{1} << (row % 64); }
};

}  // namespace gapweave
