// The bookkeeping of a generator call's passes, shared by the pass-by-pass
// reference and the planned path, so that both follow the same passes: the
// NaN check of each pass's targets, which slots take a pick, the columns
// that ran out of cells, and when the call may stop early.
//
// A call works on slots, one per column that takes holes: for MNARrs every
// column (driving itself), for MAR every hole column with its driver.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "base/fault.hpp"
#include "base/messages.hpp"
#include "generators/hole_pair.hpp"
#include "generators/matrix.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {

// Non-missing cells per column of `matrix`, counted on `pool`.
std::vector<std::size_t> count_present(ThreadPool& pool, const Matrix& matrix);

class PassLedger {
public:
    // The slot of a target that was drawn but takes no pick this pass.
    static constexpr std::size_t kNoPick = std::numeric_limits<std::size_t>::max();

    // `total` picks requested over the slots `pairs` of `matrix`; the
    // present cells are counted on `pool`.
    PassLedger(ThreadPool& pool, const Matrix& matrix, std::span<const HolePair> pairs,
               std::uint32_t total);
    // The same with `present`, the cells present in each column of the
    // matrix, counted already.
    PassLedger(std::vector<std::size_t> present, const Matrix& matrix,
               std::span<const HolePair> pairs, std::uint32_t total);

    bool unfinished() const noexcept { return done_ < total_; }
    std::uint32_t remaining() const noexcept { return total_ - done_; }
    // Cells present in each column at the start of the call.
    const std::vector<std::size_t>& present() const noexcept { return present_; }

    // Starts a pass: a fault ("Sample is nan") when any of the pass's
    // targets is NaN; then `picks.take(slot, target, pass)` for every target
    // whose slot (slots[i] for targets[i], kNoPick for none) still has a
    // cell to blank. A slot without one is reported on stderr ("No argmin
    // found!") once per call and column, instead of failing a job each pass.
    template <class Picks>
    void start_pass(std::span<const double> targets, std::span<const std::size_t> slots,
                    Picks& picks) {
        for (double target : targets) {
            if (std::isnan(target)) throw Fault(messages::kSampleIsNan);
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const std::size_t slot = slots[i];
            if (slot != kNoPick && has_cells(pairs_[slot].hole))
                picks.take(slot, targets[i], pass_);
        }
    }

    // The number of the next pass.
    std::uint32_t pass() const noexcept { return pass_; }

    // True when each of the next `passes` passes can take a pick in every
    // slot: no hole column would run out of cells before they end.
    bool can_fill(std::size_t passes) const;

    // Records `passes` passes whose targets are not NaN, each taking a pick
    // in every slot and counting min(slots, remaining) towards the total:
    // what start_pass, a blanked() per slot and end_pass would record for
    // each. Returns what the last end_pass would. Requires can_fill(passes).
    bool fill_passes(std::size_t passes) noexcept;

    // A pick turned a cell of `column` missing.
    void blanked(std::size_t column) noexcept {
        --present_[column];
        --holes_present_;
    }

    // Ends a pass that counts `counted` picks towards the total. False when
    // the call stops here: once every hole column is blank, further passes
    // could only draw numbers and fail their picks. They are still replayed
    // (so the random stream, and a late "Sample is nan", stay exactly as the
    // passes would leave them) while the picks left number at most about
    // the table's cell count; beyond that the call stops, which keeps an
    // absurd alpha from running for hours.
    bool end_pass(std::uint32_t counted) noexcept;

private:
    bool has_cells(std::size_t column);

    std::span<const HolePair> pairs_;
    std::vector<std::size_t> present_;  // non-missing cells per column
    std::size_t holes_present_ = 0;     // summed over the hole columns
    std::vector<bool> reported_;        // exhausted columns already reported
    std::size_t cells_;
    std::uint32_t total_;
    std::uint32_t done_ = 0;
    std::uint32_t pass_ = 0;
};

}  // namespace gapweave
