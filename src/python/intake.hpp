// Table intake: the caller's table (a 2-D NumPy array or a pandas
// DataFrame) read into a row-major matrix of doubles, with a record of the
// table's kind and of any label-encoded text columns.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "python/table.hpp"

namespace gapweave::py {

// Reads `table` without changing it. Host errors throw ErrorSet (the
// exception is set); broken data-frame metadata throws gapweave::Fault.
Intake pyany_to_vec(PyObject* table);

// The rows * cols doubles of a two-dimensional buffer of native-order
// float64 items, in row-major order whatever the buffer's memory order.
std::vector<double> read_via_buffer(PyObject* object, std::size_t rows, std::size_t cols);

// True when the data frame has a column whose dtype kind is "O" or whose
// dtype name is "string"; metadata that cannot be read is a Fault.
bool check_for_strs(PyObject* frame);

}  // namespace gapweave::py
