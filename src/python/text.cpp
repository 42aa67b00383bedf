#include "python/text.hpp"

namespace gapweave::py {

std::string_view utf8_view(PyObject* text) {
    if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "expected a str");
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) throw ErrorSet{};
    return {bytes, static_cast<std::size_t>(size)};
}

std::optional<std::string> utf8_of(PyObject* text) {
    try {
        return std::string(utf8_view(text));
    } catch (const ErrorSet&) {
        PyErr_Clear();
        return std::nullopt;
    }
}

Owned make_str(std::string_view text) {
    return require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string str_of(PyObject* object) {
    Owned text = require(PyObject_Str(object));
    return std::string(utf8_view(text.get()));
}

}  // namespace gapweave::py
