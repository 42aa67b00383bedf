// The owner of a result array's cells: a small Python object that keeps the
// finished matrix's vector alive for as long as the NumPy array viewing it
// (the owner is the array's base), and frees it exactly once, with itself.
//
// The owner exports its cells as a writable buffer. NumPy looks for one
// before it lets an array that doesn't own its data be made writeable
// again, so a result's WRITEABLE flag can be switched off and back on as
// for an array holding its own data.
#pragma once

#include <Python.h>

#include <vector>

#include "python/pyref.hpp"

namespace gapweave::py {

// A new owner of `cells`. The vector is moved in only once the object
// exists: when creating it fails (ErrorSet), `cells` is left untouched.
Owned own_cells(std::vector<double>&& cells);

// The first cell held by `owner`, an object made by own_cells; the
// address stays valid as long as the owner lives.
double* owned_cells(PyObject* owner) noexcept;

}  // namespace gapweave::py
