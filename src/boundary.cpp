#include "boundary.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace gapweave::py {

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation error is set
    Owned text = Owned::steal(PyUnicode_FromStringAndSize(
        message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_exception_type() {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "gapweave.PanicException",
        "An internal fault of gapweave; carries the fault's message.",
        PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    // Two threads may race here; the first one stored wins, the other
    // discards its class.
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

void set_error_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const ErrorSet&) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
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
