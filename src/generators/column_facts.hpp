// What a call knows of each column of its table: one type for the ranges
// and counts that a pass over the table finds, whichever pass found them
// (MAR's correlations, or the drivers' distributions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace gapweave {

// A column's smallest and largest unsigned total-order keys.
struct KeyRange {
    std::uint64_t low;
    std::uint64_t high;
};

// Per column of the table.
struct ColumnFacts {
    std::vector<std::optional<KeyRange>> ranges;  // where found
    std::vector<std::size_t> present;             // cells that are not NaN
};

}  // namespace gapweave
