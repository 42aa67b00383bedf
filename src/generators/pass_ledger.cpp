#include "generators/pass_ledger.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "pool/job_scope.hpp"

namespace gapweave {

PassLedger::PassLedger(ThreadPool& pool, const Matrix& matrix, std::span<const HolePair> pairs,
                       std::uint32_t total)
    : pairs_(pairs),
      present_(matrix.cols, 0),
      reported_(matrix.cols, false),
      cells_(checked_cells(matrix.rows, matrix.cols)),
      total_(total) {
    // Counted by blocks of rows, each block on its own; integer sums do not
    // depend on how the rows were split.
    constexpr std::size_t kBlockRows = 1 << 16;
    const std::size_t blocks = (matrix.rows + kBlockRows - 1) / kBlockRows;
    std::vector<std::vector<std::size_t>> counts(blocks);
    parallel_for(
        pool, blocks,
        [&](std::size_t block) {
            std::vector<std::size_t> present(matrix.cols, 0);
            const std::size_t end = std::min(matrix.rows, (block + 1) * kBlockRows);
            for (std::size_t r = block * kBlockRows; r < end; ++r) {
                for (std::size_t c = 0; c < matrix.cols; ++c) {
                    if (!std::isnan(matrix.at(r, c))) ++present[c];
                }
            }
            counts[block] = std::move(present);
        },
        "a counting job failed");
    for (const std::vector<std::size_t>& block : counts) {
        for (std::size_t c = 0; c < matrix.cols; ++c) present_[c] += block[c];
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
