// Stable sorts of a few values with their rows, in place: insertion for a
// handful, radix for a crowd.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "generators/planned/radix_sort.hpp"

namespace gapweave {

// Ranges up to this many entries go by insertion.
inline constexpr std::size_t kInsertionLimit = 48;

// Total order for values that are not NaN: numeric, with -0 before +0.
inline bool sorts_after(double a, double b) noexcept {
    return a > b || (a == b && std::signbit(b) && !std::signbit(a));
}

// Stable insertion sort of positions [first, end), values not NaN: cheap
// where entries are few or nearly in order.
inline void insertion_sort(double* values, std::uint32_t* rows, std::size_t first,
                           std::size_t end) {
    for (std::size_t i = first + 1; i < end; ++i) {
        const double value = values[i];
        if (!sorts_after(values[i - 1], value)) continue;
        const std::uint32_t row = rows[i];
        std::size_t j = i;
        for (; j > first && sorts_after(values[j - 1], value); --j) {
            values[j] = values[j - 1];
            rows[j] = rows[j - 1];
        }
        values[j] = value;
        rows[j] = row;
    }
}

// Sorts positions [first, end) by total-order key, stably, with radix: for
// the rare crowded bucket, and for values that may be NaN.
void sort_crowd(double* values, std::uint32_t* rows, std::size_t first, std::size_t end,
                std::vector<KeyedRow>& scratch);

// The same for a bucket of values that are not NaN: insertion for a few
// entries, radix for a crowd.
inline void sort_small_range(double* values, std::uint32_t* rows, std::size_t first,
                             std::size_t end, std::vector<KeyedRow>& scratch) {
    if (end - first > kInsertionLimit) {
        sort_crowd(values, rows, first, end, scratch);
        return;
    }
    insertion_sort(values, rows, first, end);
}

}  // namespace gapweave
