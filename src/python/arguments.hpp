// Binding of Python call arguments to named parameters, shared by the
// constructors, the call operations and `_adjust_alpha`.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "generators/mode.hpp"
#include "python/pyref.hpp"

namespace gapweave::py {

struct Signature {
    const char* operation;               // "MNARrs.__new__()"
    std::span<const char* const> names;  // parameters in positional order
    bool all_required;                   // false: every parameter optional
};

// Binds tuple/dict style arguments; slots receive borrowed references,
// NULL for parameters not given. ErrorSet with the binding TypeError.
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

// Binds vectorcall style arguments (METH_FASTCALL | METH_KEYWORDS).
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// Conversions of bound values. A TypeError of the host is re-raised as
// "argument '<name>': <message>"; other errors pass unchanged.
double to_f64(PyObject* value, const char* name);
std::uint64_t to_u64(PyObject* value, const char* name);
std::uint32_t to_u32(PyObject* value, const char* name);

// The mode text as given (an exact str copy), checked to be a str and
// encodable as UTF-8.
struct ModeText {
    std::string utf8;
    Borrowed text;  // from the bound arguments
};
ModeText to_mode_text(PyObject* value, const char* name);

// Parses a mode text with full Unicode lower-casing; a fault with the
// "Unknown mode parameter" message when it names no mode.
Mode parse_mode(const ModeText& mode);

// True when a bound value is absent or None.
inline bool absent(PyObject* value) { return value == nullptr || value == Py_None; }

}  // namespace gapweave::py
