// A column that takes holes and the column whose values decide them.
#pragma once

#include <cstddef>

namespace gapweave {

// A call works on slots, one pair each: for MNARrs every column driving
// itself, for MAR every hole column with its driver.
struct HolePair {
    std::size_t hole;
    std::size_t driver;
};

}  // namespace gapweave
