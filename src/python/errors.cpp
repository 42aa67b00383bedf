#include "python/errors.hpp"

#include "python/pyref.hpp"
#include "python/text.hpp"

namespace gapweave::py {

Owned take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Owned::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Owned::steal(value);
#endif
}

std::string take_error_description() {
    Owned exc = take_raised_exception();
    if (!exc) return "unknown error";
    std::string description;
    if (const char* name = Py_TYPE(exc.get())->tp_name) description = name;
    Owned message = Owned::steal(PyObject_Str(exc.get()));
    if (message) {
        if (auto text = utf8_of(message.get())) {
            description += ": ";
            description += *text;
        }
    }
    PyErr_Clear();
    return description;
}

Fault fault_from_error(const std::string& prefix, std::source_location where) {
    return Fault(prefix + ": " + take_error_description(), where);
}

}  // namespace gapweave::py
