// Output assembly: the finished table matrix turned back into an object of
// the kind the caller passed in (float64 array, object array with its texts
// restored, or data frame with its labels and text columns).
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "python/pyref.hpp"
#include "python/table.hpp"

namespace gapweave::py {

// Builds the result from `data`, the rows * cols row-major doubles of the
// finished matrix. A float64 array result, and the array a data frame
// without text columns is made from, take the vector over instead of
// copying it (see numpy::adopt_float64_array); results with text columns
// only read it. Takes over `out` and `encoding`. Host errors throw ErrorSet, a column without
// decoder or out of range throws gapweave::Fault. Nothing made on the way outlives a failure.
Owned arr_to_out(std::vector<double>&& data, std::size_t rows, std::size_t cols, Out out,
                 std::optional<EncodingInfo> encoding);

}  // namespace gapweave::py
