// The two generator classes, each created once per process.
#pragma once

#include <Python.h>

#include "python/pyref.hpp"

namespace gapweave::py {

// Not subclassable, no instance dictionary or weak references.
inline constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// The classes, made on first use and kept for the life of the process;
// ErrorSet when one cannot be made.
Borrowed mnar_type();
Borrowed mar_type();

}  // namespace gapweave::py
