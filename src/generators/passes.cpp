#include "generators/passes.hpp"

#include <cmath>

#include "pool/channel.hpp"
#include "support/fault.hpp"

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

std::vector<Pick> run_pass(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                           std::span<const ColumnTask> tasks, ModeComparison compare,
                           const char* still_shared) {
    auto [sender, receiver] = make_channel<Pick>();
    for (const ColumnTask& task : tasks) {
        pool.execute([sender = sender, shared = std::shared_ptr<const Matrix>(matrix), task,
                      compare]() mutable {
            const auto row = pick_row(*shared, task, compare);
            if (!row) throw Fault("No argmin found!");
            sender.send(Pick{*row, task.hole});
        });
    }
    sender.reset();
    pool.join();

    std::vector<Pick> picks;
    picks.reserve(tasks.size());
    while (auto pick = receiver.recv()) picks.push_back(*pick);

    // Every job released its reference before the join returned.
    if (matrix.use_count() != 1) throw Fault(still_shared);
    Matrix& cells = *matrix;
    for (const Pick& pick : picks) {
        check_index(pick.row, cells.rows);
        check_index(pick.column, cells.cols);
        cells.at(pick.row, pick.column) = kMissing;
    }
    return picks;
}

}  // namespace gapweave
