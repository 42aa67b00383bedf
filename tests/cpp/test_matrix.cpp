// The cell count of a table: a fault, not a wrapped product, when it does
// not fit a machine word.
#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>

#include "base/fault.hpp"
#include "generators/matrix.hpp"

namespace gapweave {
namespace {

TEST(CheckedCells, ProductOrAFaultWhenItOverflows) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(checked_cells(0, kMax), 0u);
    EXPECT_EQ(checked_cells(3, 4), 12u);
    EXPECT_EQ(checked_cells(kMax, 1), kMax);
    try {
        checked_cells(kMax / 2 + 1, 2);
        FAIL() << "an overflowing product was accepted";
    } catch (const Fault& fault) {
        EXPECT_NE(fault.message().find("does not fit in memory"), std::string::npos)
            << fault.message();
    }
}

}  // namespace
}  // namespace gapweave
