#include "generators/reference/pass_by_pass.hpp"

#include <cmath>

#include "base/fault.hpp"
#include "base/messages.hpp"
#include "pool/channel.hpp"

namespace gapweave {

std::optional<std::size_t> pick_row(const Matrix& matrix, const ColumnTask& task,
                                    ModeComparison compare) {
    std::optional<std::size_t> best;
    double best_value = 0.0;
    for (std::size_t r = 0; r < matrix.rows; ++r) {
        if (std::isnan(matrix.at(r, task.hole))) continue;
        const double candidate = matrix.at(r, task.driver);
        if (!best || compare(best_value, candidate, task.target) == std::strong_ordering::greater) {
            best = r;
            best_value = candidate;
        }
    }
    return best;
}

std::vector<Pick> run_pass(ThreadPool& pool, Matrix& matrix, std::span<const ColumnTask> tasks,
                           ModeComparison compare) {
    auto [sender, receiver] = make_channel<Pick>();
    const Matrix& cells = matrix;
    for (const ColumnTask& task : tasks) {
        pool.execute([sender = sender, &cells, task, compare]() mutable {
            const auto row = pick_row(cells, task, compare);
            if (!row) throw Fault(messages::kNoArgmin);
            sender.send(Pick{*row, task.hole});
        });
    }
    sender.reset();
    // No job reads the matrix once the join returns.
    pool.join();

    std::vector<Pick> picks;
    picks.reserve(tasks.size());
    while (auto pick = receiver.recv()) picks.push_back(*pick);
    for (const Pick& pick : picks) {
        check_index(pick.row, matrix.rows);
        check_index(pick.column, matrix.cols);
        matrix.at(pick.row, pick.column) = kMissing;
    }
    return picks;
}

PassByPass::PassByPass(const PickCall& call)
    : pool_(call.pool),
      matrix_(call.matrix),
      pairs_(call.pairs),
      compare_(mode_comparator(call.mode)),
      distributions_(column_distributions(call.matrix, call.k, call.variance)),
      ledger_(call.pool, call.matrix, call.pairs, call.total) {}

void PassByPass::end_pass() {
    for (const Pick& pick : run_pass(pool_, matrix_, tasks_, compare_))
        ledger_.blanked(pick.column);
    tasks_.clear();
}

}  // namespace gapweave
