#include "generators/pass_ledger.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace gapweave {

PassLedger::PassLedger(const Matrix& matrix, std::span<const HolePair> pairs, std::uint32_t total)
    : pairs_(pairs),
      present_(matrix.cols, 0),
      reported_(matrix.cols, false),
      cells_(checked_cells(matrix.rows, matrix.cols)),
      total_(total) {
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        for (std::size_t c = 0; c < matrix.cols; ++c) {
            if (!std::isnan(matrix.at(r, c))) ++present_[c];
        }
    }
    for (const HolePair& pair : pairs) holes_present_ += present_[pair.hole];
}

bool PassLedger::has_cells(std::size_t column) {
    if (present_[column] != 0) return true;
    if (!reported_[column]) {
        std::fprintf(stderr, "gapweave: No argmin found! (column %zu has no cell left to blank)\n",
                     column);
        reported_[column] = true;
    }
    return false;
}

bool PassLedger::end_pass(std::uint32_t counted) noexcept {
    done_ += counted;
    ++pass_;
    const std::uint32_t left = total_ - done_;
    return !(holes_present_ == 0 && left > std::max<std::size_t>(cells_, std::size_t{1} << 20));
}

}  // namespace gapweave
