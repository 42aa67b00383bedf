// Order statistics of total-order keys, found without sorting them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace gapweave {

// The key at `position` of `keys` in ascending order (what std::nth_element
// would put there), found without reordering them: a histogram of sixteen
// bits at a time, from the top, narrows the search to the keys sharing the
// answer's leading bits, and only those are copied and searched further.
std::uint64_t nth_smallest(std::span<const std::uint64_t> keys, std::size_t position);

// The key at `position` + 1 in ascending order, given `key`, the one at
// `position`: `key` again while copies of it reach that far, else the
// smallest key above it. One pass instead of a second selection.
std::uint64_t next_in_order(std::span<const std::uint64_t> keys, std::size_t position,
                            std::uint64_t key);

}  // namespace gapweave
