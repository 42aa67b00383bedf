#include "generators/matrix.hpp"

#include <string>

#include "base/fault.hpp"

namespace gapweave {

std::size_t checked_cells(std::size_t rows, std::size_t cols) {
    std::size_t cells = 0;
    if (__builtin_mul_overflow(rows, cols, &cells)) {
        throw Fault("table of " + std::to_string(rows) + " x " + std::to_string(cols) +
                    " cells does not fit in memory");
    }
    return cells;
}

}  // namespace gapweave
