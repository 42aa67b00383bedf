#include "python/arguments.hpp"

#include <string_view>
#include <vector>

#include "base/fault.hpp"
#include "base/messages.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/text.hpp"

namespace gapweave::py {

namespace {

[[noreturn]] void type_error(const std::string& message) {
    raise(PyExc_TypeError, message.c_str());
}

void check_positional_count(const Signature& signature, Py_ssize_t nargs) {
    const std::size_t count = signature.names.size();
    if (static_cast<std::size_t>(nargs) <= count) return;
    const char* verb = nargs == 1 ? "was" : "were";
    if (signature.all_required) {
        type_error(std::string(signature.operation) + " takes " + std::to_string(count) +
                   " positional arguments but " + std::to_string(nargs) + " " + verb + " given");
    }
    type_error(std::string(signature.operation) + " takes from 0 to " + std::to_string(count) +
               " positional arguments but " + std::to_string(nargs) + " " + verb + " given");
}

// Places one keyword argument into its slot.
void bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> slots) {
    const std::string_view name = utf8_view(keyword);
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (name == signature.names[i]) {
            if (slots[i] != nullptr) {
                type_error(std::string(signature.operation) +
                           " got multiple values for argument '" + std::string(name) + "'");
            }
            slots[i] = value;
            return;
        }
    }
    type_error(std::string(signature.operation) + " got an unexpected keyword argument '" +
               std::string(name) + "'");
}

void check_required(const Signature& signature, std::span<PyObject*> slots) {
    if (!signature.all_required) return;
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] == nullptr) missing.push_back(signature.names[i]);
    }
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                list += " and ";
            } else {
                list += i + 1 == missing.size() ? ", and " : ", ";
            }
        }
        list += "'";
        list += missing[i];
        list += "'";
    }
    type_error(std::string(signature.operation) + " missing " + std::to_string(missing.size()) +
               " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
               list);
}

// Re-raises a pending TypeError as "argument '<name>': <message>".
[[noreturn]] void reraise_conversion_error(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        Owned error = take_raised_exception();
        Owned message = Owned::steal(PyObject_Str(error.get()));
        if (!message) throw ErrorSet{};
        PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
    }
    throw ErrorSet{};
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    check_positional_count(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        // The keyword dictionary is private to this call, so iterating it
        // with borrowed items is safe without further locking.
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value))
            bind_keyword(signature, key, value, slots);
    }
    check_required(signature, slots);
}

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    nargs = PyVectorcall_NARGS(nargs);
    check_positional_count(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
        }
    }
    check_required(signature, slots);
}

double to_f64(PyObject* value, const char* name) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) reraise_conversion_error(name);
    return result;
}

std::uint64_t to_u64(PyObject* value, const char* name) {
    Owned index = Owned::steal(PyNumber_Index(value));
    if (!index) reraise_conversion_error(name);
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        reraise_conversion_error(name);
    return result;
}

std::uint32_t to_u32(PyObject* value, const char* name) {
    const std::uint64_t wide = to_u64(value, name);
    if (wide > UINT32_MAX)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(wide);
}

ModeText to_mode_text(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'",
                     name, Py_TYPE(value)->tp_name);
        throw ErrorSet{};
    }
    return ModeText{std::string(utf8_view(value)), value};
}

Mode parse_mode(const ModeText& mode) {
    // Lower-case an exact str copy, so that a subclass cannot override lower().
    Owned exact = require(PyUnicode_FromObject(mode.text.get()));
    Owned lowered = require(PyObject_CallMethod(exact.get(), "lower", nullptr));
    if (auto parsed = mode_from_lowercase(utf8_view(lowered.get()))) return *parsed;
    throw Fault(messages::kUnknownMode + mode.utf8 + messages::kAllowedModes);
}

}  // namespace gapweave::py
