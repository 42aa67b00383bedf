// The pass-by-pass reference: each pass hands one pool job per picking
// slot to the pool, each job scans its column for the row to blank, and the
// calling thread writes the holes before the next pass. It is the plain
// algorithm that the planned path must match bit for bit.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "generators/distribution.hpp"
#include "generators/gauss.hpp"
#include "generators/hole_pair.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"
#include "generators/pass_ledger.hpp"
#include "generators/pick_strategy.hpp"
#include "pool/thread_pool.hpp"
#include "random/random_source.hpp"

namespace gapweave {

// A cell chosen for blanking.
struct Pick {
    std::size_t row;
    std::size_t column;
};

// The work of one job: blank a cell of `hole`, choosing among the rows whose
// `hole` cell is not missing by their value in `driver` (the same column
// for MNARrs) against `target` under the mode's comparison.
struct ColumnTask {
    std::size_t hole;
    std::size_t driver;
    double target;
};

// The row the mode picks: the first eligible row is the current best, and a
// later row replaces it only when the comparison says "greater", so ties
// keep the earlier row. nullopt when no row is eligible.
std::optional<std::size_t> pick_row(const Matrix& matrix, const ColumnTask& task,
                                    ModeComparison compare);

// Runs the tasks on the pool, waits for all of them, and writes NaN into the
// picked cells. A task without an eligible row fails its job ("No argmin
// found!") and gives no pick. Returns the picks written.
std::vector<Pick> run_pass(ThreadPool& pool, Matrix& matrix, std::span<const ColumnTask> tasks,
                           ModeComparison compare);

// The picks of a call made pass by pass (a PickStrategy): targets drawn one
// after another on the calling thread, and each pass run on the pool before
// the next begins. The distributions come from a copy of each column.
class PassByPass {
public:
    explicit PassByPass(const PickCall& call);

    std::span<const ColumnDistribution> distributions() const noexcept { return distributions_; }
    PassLedger& ledger() noexcept { return ledger_; }

    template <class Pass>
    bool full_passes(RandomSource& rng, std::span<const ColumnDistribution> params,
                     std::size_t rows, Pass&& pass) {
        std::vector<double> targets(params.size());
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t j = 0; j < params.size(); ++j) {
                targets[j] = Gauss::sample(rng, params[j].center, params[j].spread);
            }
            if (!pass(std::span<const double>(targets))) return false;
        }
        return true;
    }

    void take(std::size_t slot, double target, std::uint32_t /*pass*/) {
        tasks_.push_back({pairs_[slot].hole, pairs_[slot].driver, target});
    }

    // Runs the pass's jobs and tells the ledger which cells went missing.
    void end_pass();

    // Every pass wrote its holes already.
    void finish() noexcept {}

private:
    ThreadPool& pool_;
    Matrix& matrix_;
    std::span<const HolePair> pairs_;
    ModeComparison compare_;
    std::vector<ColumnDistribution> distributions_;
    PassLedger ledger_;
    std::vector<ColumnTask> tasks_;
};

static_assert(PickStrategy<PassByPass>);

}  // namespace gapweave
