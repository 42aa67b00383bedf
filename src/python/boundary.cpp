#include "python/boundary.hpp"

#include "python/process_cell.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace gapweave::py {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

void raise_panic(const std::string& message) {
    Borrowed type;
    try {
        type = panic_exception_type();
    } catch (const ErrorSet&) {
        return;  // its creation error is set
    }
    Owned text = Owned::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type.get(), text.get());
}

}  // namespace

Borrowed panic_exception_type() {
    static ProcessCell type;
    return type.get([] {
        return require(
            PyErr_NewExceptionWithDoc("gapweave.PanicException",
                                      "An internal fault of gapweave; carries the fault's message.",
                                      PyExc_BaseException, nullptr));
    });
}

void set_error_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const ErrorSet&) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
        } catch (const Interrupted&) {
            // The call's interrupt check reported an interrupt: the error
            // that the signal handler raised is set.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        } catch (const Fault& fault) {
            report_fault("gapweave panicked", fault);
            raise_panic(fault.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "gapweave panicked: %s\n", error.what());
            raise_panic(error.what());
        } catch (...) {
            std::fputs("gapweave panicked: unknown failure\n", stderr);
            raise_panic("unknown failure");
        }
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace gapweave::py
