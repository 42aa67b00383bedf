// Small wrappers over the host calls that intake, encoding and output make
// on the caller's objects, NumPy and pandas. Each returns an owned result
// or throws ErrorSet with the host's exception set.
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/pyref.hpp"

namespace gapweave::py {

// import name; a failure that sets no exception becomes a SystemError.
Owned import_module(const char* name);

// object.name
Owned get_attr(PyObject* object, const char* name);

// object.name(argument)
Owned call_method(PyObject* object, const char* name, PyObject* argument);

// object.name(*arguments) with a tuple built from the given objects.
Owned call_method(PyObject* object, const char* name, PyObject* first, PyObject* second);

// object.to_numpy(dtype="float64"), plus copy=False when `without_copy`.
Owned to_numpy_float64(PyObject* object, bool without_copy);

// A tuple (first, second) of two Python integers.
Owned index_pair(std::size_t first, std::size_t second);

}  // namespace gapweave::py
