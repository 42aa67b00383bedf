// Picks made all at once. When every candidate keeps its rank for the whole
// call (under MAX and MIN, by value; under GM when all of a column's targets
// are the same, by distance to it), the picks of a column are simply its
// `count` candidates that come first by (rank, row): a selection finds
// them without ordering the column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/large_vector.hpp"
#include "generators/hole_pair.hpp"
#include "generators/matrix.hpp"
#include "generators/mode.hpp"

namespace gapweave {

// True when the picks of a column with these targets can be selected: any
// targets under MAX and MIN, equal ones under GM.
bool selectable(Mode mode, std::span<const double> targets) noexcept;

// The rows of the `count` picks among the rows whose cell in column
// `pair.hole` of the matrix is present, valued by column `pair.driver` (read in place),
// ranked as the mode's comparison ranks them against `target`, ties to the
// earliest row. The rows come ascending, or with `in_pick_order` in the
// order the passes would pick them (needed when the column drives another).
LargeVector<std::uint32_t> select_picks(const Matrix& matrix, HolePair pair, Mode mode,
                                        double target, std::size_t count, bool in_pick_order);

}  // namespace gapweave
