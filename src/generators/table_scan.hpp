// What one pass over a whole table finds of each of its columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace gapweave {

// A column's smallest and largest unsigned total-order keys.
struct KeyRange {
    std::uint64_t low;
    std::uint64_t high;
};

struct TableScan {
    std::vector<KeyRange> ranges;
    std::vector<std::size_t> present;  // cells that are not NaN
};

}  // namespace gapweave
