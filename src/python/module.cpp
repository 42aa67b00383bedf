// The module `gapweave`: registers MNARrs and MAR and declares that it
// runs without the interpreter lock.
#include <Python.h>

#include "base/fault.hpp"
#include "python/boundary.hpp"
#include "python/types.hpp"

namespace gapweave::py {

namespace {

// Appends `name` to the module's __all__ (creating the list on first use)
// and binds the class under that name.
void add_class(PyObject* module, const char* name, Borrowed type) {
    Owned all = Owned::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorSet{};
        PyErr_Clear();
        all = require(PyList_New(0));
        require_status(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        raise(PyExc_TypeError, "__all__ is not a list");
    }
    Owned text = require(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        throw Fault("could not append __name__ to __all__");
    }
    require_status(PyObject_SetAttrString(module, name, type.get()));
}

int exec_module(PyObject* module) {
    return boundary<int>(-1, [&] {
        if (!PyModule_Check(module)) raise(PyExc_TypeError, "expected a module object");
        add_class(module, "MNARrs", mnar_type());
        add_class(module, "MAR", mar_type());
        return 0;
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The classes are cached per process, so one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "gapweave", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace gapweave::py

PyMODINIT_FUNC PyInit_gapweave(void) { return PyModuleDef_Init(&gapweave::py::kModule); }
