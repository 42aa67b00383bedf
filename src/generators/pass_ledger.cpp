#include "generators/pass_ledger.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/fault.hpp"
#include "base/messages.hpp"
#include "pool/job_scope.hpp"

namespace gapweave {

// Counted by blocks of rows, each block on its own; integer sums do not
// depend on how the rows were split.
std::vector<std::size_t> count_present(ThreadPool& pool, const Matrix& matrix) {
    constexpr std::size_t kBlockRows = 1 << 16;
    std::vector<std::vector<std::size_t>> counts((matrix.rows + kBlockRows - 1) / kBlockRows);
    parallel_for_blocks(
        pool, matrix.rows, kBlockRows,
        [&](std::size_t block, std::size_t begin, std::size_t end) {
            std::vector<std::size_t> present(matrix.cols, 0);
            for (std::size_t r = begin; r < end; ++r) {
                for (std::size_t c = 0; c < matrix.cols; ++c) {
                    if (!std::isnan(matrix.at(r, c))) ++present[c];
                }
            }
            counts[block] = std::move(present);
        },
        "a counting job failed");
    std::vector<std::size_t> present(matrix.cols, 0);
    for (const std::vector<std::size_t>& block : counts) {
        for (std::size_t c = 0; c < matrix.cols; ++c) present[c] += block[c];
    }
    return present;
}

PassLedger::PassLedger(ThreadPool& pool, const Matrix& matrix, std::span<const HolePair> pairs,
                       std::uint32_t total)
    : PassLedger(count_present(pool, matrix), matrix, pairs, total) {}

PassLedger::PassLedger(std::vector<std::size_t> present, const Matrix& matrix,
                       std::span<const HolePair> pairs, std::uint32_t total)
    : pairs_(pairs),
      present_(std::move(present)),
      reported_(matrix.cols, false),
      cells_(checked_cells(matrix.rows, matrix.cols)),
      total_(total) {
    expect(present_.size() == matrix.cols, "cell counts for another table");
    for (const HolePair& pair : pairs) holes_present_ += present_[pair.hole];
}

bool PassLedger::has_cells(std::size_t column) {
    if (present_[column] != 0) return true;
    if (!reported_[column]) {
        std::fprintf(stderr, "gapweave: %s (column %zu has no cell left to blank)\n",
                     messages::kNoArgmin, column);
        reported_[column] = true;
    }
    return false;
}

bool PassLedger::can_fill(std::size_t passes) const {
    std::vector<std::size_t> demand(present_.size(), 0);
    for (const HolePair& pair : pairs_) demand[pair.hole] += passes;
    for (std::size_t c = 0; c < present_.size(); ++c) {
        if (present_[c] < demand[c]) return false;
    }
    return true;
}

bool PassLedger::fill_passes(std::size_t passes) noexcept {
    if (passes == 0) return true;
    const auto slots = static_cast<std::uint32_t>(std::min<std::size_t>(pairs_.size(), UINT32_MAX));
    for (std::size_t i = 0; i + 1 < passes; ++i) {
        done_ += std::min(slots, total_ - done_);
        ++pass_;
    }
    for (const HolePair& pair : pairs_) present_[pair.hole] -= passes;
    holes_present_ -= passes * pairs_.size();
    // Cells remain until the last pass (can_fill), so only it may stop.
    return end_pass(std::min(slots, total_ - done_));
}

bool PassLedger::end_pass(std::uint32_t counted) noexcept {
    done_ += counted;
    ++pass_;
    const std::uint32_t left = total_ - done_;
    return !(holes_present_ == 0 && left > std::max<std::size_t>(cells_, std::size_t{1} << 20));
}

}  // namespace gapweave
