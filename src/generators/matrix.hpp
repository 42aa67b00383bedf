// The table a generator punches holes into, and the value of a hole.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace gapweave {

// The standard quiet NaN written into blanked cells.
inline constexpr double kMissing = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

// Rows x cols doubles in row-major order; NaN marks a missing cell.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;

    double at(std::size_t r, std::size_t c) const noexcept { return data[r * cols + c]; }
    double& at(std::size_t r, std::size_t c) noexcept { return data[r * cols + c]; }
};

// rows * cols; a fault when the product does not fit a machine word.
std::size_t checked_cells(std::size_t rows, std::size_t cols);

}  // namespace gapweave
