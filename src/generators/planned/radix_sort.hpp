// Stable radix sort of total-order keys with their rows.
#pragma once

#include <cstdint>
#include <vector>

namespace gapweave {

// A value's total-order key and its row, as sorted.
struct KeyedRow {
    std::uint64_t key;
    std::uint32_t row;
};

// Stable sort by key (LSD radix, eleven bits at a time).
void radix_sort(std::vector<KeyedRow>& entries);

}  // namespace gapweave
