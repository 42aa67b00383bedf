// The one boundary through which every entry from Python runs.
//
// Inside, code signals failure by throwing: py::ErrorSet when a Python
// exception is already set, gapweave::Fault for an internal fault. The
// boundary turns a fault into PanicException (a BaseException, so that
// `except Exception` does not swallow it) and also reports it on stderr.
// gapweave::Interrupted means the call's interrupt check found a signal
// whose handler raised: that exception (KeyboardInterrupt for SIGINT) is
// set and passes through.
#pragma once

#include <Python.h>

#include <exception>

#include "base/fault.hpp"
#include "pool/interrupt.hpp"
#include "python/pyref.hpp"

namespace gapweave::py {

// The PanicException class, created once per process; ErrorSet if it
// cannot be created.
Borrowed panic_exception_type();

// Sets the current Python error for the exception in flight. Never throws;
// a failure while converting ends the process.
void set_error_from_current_exception() noexcept;

// Runs `body` and returns its result; on failure sets the Python error and
// returns `failure` (NULL for object results, -1 for status results).
template <class Result, class Body>
Result boundary(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return failure;
    }
}

// For deallocation, which cannot raise: a failure goes to the unraisable
// exception hook with `where` as its context.
template <class Body>
void boundary_unraisable(PyObject* where, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(where);
    }
}

}  // namespace gapweave::py
