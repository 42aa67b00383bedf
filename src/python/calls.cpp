#include "python/calls.hpp"

namespace gapweave::py {

Owned import_module(const char* name) {
    Owned module = Owned::steal(PyImport_ImportModule(name));
    if (!module && !PyErr_Occurred()) {
        raise(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (!module) throw ErrorSet{};
    return module;
}

Owned get_attr(PyObject* object, const char* name) {
    return require(PyObject_GetAttrString(object, name));
}

Owned call_method(PyObject* object, const char* name, PyObject* argument) {
    Owned method = get_attr(object, name);
    return require(PyObject_CallOneArg(method.get(), argument));
}

Owned call_method(PyObject* object, const char* name, PyObject* first, PyObject* second) {
    Owned method = get_attr(object, name);
    Owned arguments = require(PyTuple_Pack(2, first, second));
    return require(PyObject_Call(method.get(), arguments.get(), nullptr));
}

Owned to_numpy_float64(PyObject* object, bool without_copy) {
    Owned method = get_attr(object, "to_numpy");
    Owned keywords = require(PyDict_New());
    Owned dtype = require(PyUnicode_FromString("float64"));
    require_status(PyDict_SetItemString(keywords.get(), "dtype", dtype.get()));
    if (without_copy) require_status(PyDict_SetItemString(keywords.get(), "copy", Py_False));
    Owned no_arguments = require(PyTuple_New(0));
    return require(PyObject_Call(method.get(), no_arguments.get(), keywords.get()));
}

Owned index_pair(std::size_t first, std::size_t second) {
    Owned row = require(PyLong_FromSize_t(first));
    Owned column = require(PyLong_FromSize_t(second));
    return require(PyTuple_Pack(2, row.get(), column.get()));
}

}  // namespace gapweave::py
