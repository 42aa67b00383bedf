// One column's values in ascending total order with their rows: sorted once
// per call, it is the ordered index that the picks of varying targets
// search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/large_vector.hpp"
#include "generators/column_facts.hpp"
#include "generators/matrix.hpp"

namespace gapweave {

struct SortedColumn {
    // Ascending under the total order (negative NaNs first, positive NaNs
    // last); equal bit patterns keep their rows ascending.
    LargeVector<double> values;
    LargeVector<std::uint32_t> rows;

    std::size_t size() const noexcept { return values.size(); }
    // True when no value is NaN (NaNs sit at either end).
    bool free_of_nan() const noexcept;
};

// Sorts a column's cells (row r at position r), every cell included.
SortedColumn sort_cells(std::span<const double> cells);

// The same for a column of the matrix, read where it lies: no copy of the
// column is made, so a call's sorts add only their results to its memory.
// `range`, the smallest and largest keys of the column when already known,
// saves a pass over it. `storage`, a sorted column no longer needed, lends
// its buffers, so that sorting again writes no fresh pages.
SortedColumn sort_column(const Matrix& matrix, std::size_t column,
                         const std::optional<KeyRange>& range = std::nullopt,
                         SortedColumn storage = {});

// The entries of `sorted` whose row holds a value in column `hole` of the
// matrix (the candidates of a hole column valued by the sorted driver).
SortedColumn present_in(const SortedColumn& sorted, const Matrix& matrix, std::size_t hole);

}  // namespace gapweave
