// The few entries of NumPy's C API that gapweave uses, reached at run time
// through the "_ARRAY_API" capsule, so that the module builds without NumPy
// and works with NumPy 1.x and 2.x alike.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "python/pyref.hpp"

namespace gapweave::py::numpy {

using npy_intp = Py_ssize_t;

// Leading fields of NumPy's array object; their layout is the same in
// NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline constexpr int kCContiguous = 0x0001;
inline constexpr int kAligned = 0x0100;
inline constexpr int kWriteable = 0x0400;
inline constexpr int kTypeDouble = 12;  // NPY_DOUBLE

// Loads the capsule on first use (thread-safe); a fault beginning "Failed
// to access NumPy array API capsule" when NumPy cannot be reached.
void ensure_loaded();

// True when `object` is an ndarray or an instance of a subclass.
bool is_array(PyObject* object);

// True when the array's dtype is equivalent to native float64.
bool has_float64_dtype(PyObject* array);

inline const ArrayFields& fields(PyObject* array) {
    return *reinterpret_cast<const ArrayFields*>(array);
}

// A new C-ordered float64 array of shape (rows, cols) filled with a copy of
// `values` (row-major); ErrorSet on failure.
Owned new_float64_array(const double* values, std::size_t rows, std::size_t cols);

// A C-ordered, aligned, writeable float64 array of shape (rows, cols) over
// the memory of `cells` (rows * cols doubles, row-major), without a copy:
// the vector moves into the array's base object (see cell_owner.hpp) and
// is freed when the last array viewing it goes. An empty shape gives an
// array of its own. ErrorSet on host failures, gapweave::Fault when the
// size of `cells` doesn't match the shape; whatever fails, the cells are
// freed exactly once (by `cells` itself if they never moved).
Owned adopt_float64_array(std::vector<double>&& cells, std::size_t rows, std::size_t cols);

}  // namespace gapweave::py::numpy
