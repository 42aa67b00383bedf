// The two generator classes, each created once per process.
#pragma once

#include <Python.h>

namespace gapweave::py {

// Not subclassable, no instance dictionary or weak references.
inline constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// The class made from `type_spec`, cached in one-time cell `cell` (0 or 1):
// when two threads build it at once, the first one stored is kept and the
// other discarded. Borrowed; NULL with an error set on failure.
PyObject* cached_type(PyType_Spec& type_spec, int cell);

PyObject* mnar_type();
PyObject* mar_type();

}  // namespace gapweave::py
