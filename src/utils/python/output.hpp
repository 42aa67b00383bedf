// Output assembly: the finished table matrix turned back into an object of
// the kind the caller passed in (float64 array, object array with its texts
// restored, or data frame with its labels and text columns).
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "utils/python/table.hpp"

namespace gapweave::py {

// Builds the result from the rows * cols row-major doubles at `data`, which
// are only read. Takes over `out` and `encoding`. Returns a new reference;
// host errors throw ErrorSet, a column without decoder or out of range
// throws gapweave::Fault. Nothing made on the way outlives a failure.
PyObject* arr_to_out(const double* data, std::size_t rows, std::size_t cols, Out out,
                     std::optional<EncodingInfo> encoding);

}  // namespace gapweave::py
