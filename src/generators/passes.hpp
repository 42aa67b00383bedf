// One pass of a generator call: one pool job per visited column, each
// picking at most one row to blank, then the calling thread writes the holes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "generators/common.hpp"
#include "pool/thread_pool.hpp"

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
// found!") and gives no pick. `still_shared` is the fault message when a
// job still holds the matrix after the join. Returns the picks written.
std::vector<Pick> run_pass(ThreadPool& pool, std::shared_ptr<Matrix>& matrix,
                           std::span<const ColumnTask> tasks, ModeComparison compare,
                           const char* still_shared);

// Once every column that takes holes has run out of cells, further passes
// can only draw numbers and fail their picks. They are still replayed (so
// the random stream, and a late "Sample is nan", stay exactly as the passes
// would leave them) while the picks left number at most about the table's
// cell count; beyond that the call stops, which keeps an absurd alpha from
// running for hours.
inline bool may_stop_early(std::uint32_t picks_left, std::size_t cells) {
    return picks_left > std::max<std::size_t>(cells, std::size_t{1} << 20);
}

// Number of non-missing cells in each column.
std::vector<std::size_t> count_present(const Matrix& matrix);

// Tracks columns left without cells during a call. A pick in such a column
// can only fail, so it is not handed to the pool; the failure ("No argmin
// found!") is reported on stderr once per column and call instead of once
// per pick.
class ExhaustedColumns {
public:
    explicit ExhaustedColumns(const std::vector<std::size_t>& present)
        : present_(present), reported_(present.size(), false) {}

    // False (after reporting once) when `column` has no cell left.
    bool has_cells(std::size_t column) { return present_[column] != 0 || report_exhausted(column); }

private:
    // Reports an exhausted column the first time; always false.
    bool report_exhausted(std::size_t column);

    const std::vector<std::size_t>& present_;
    std::vector<bool> reported_;
};

}  // namespace gapweave
