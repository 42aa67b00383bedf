// Owned and borrowed Python references.
//
// `Owned` holds a strong reference and releases it on destruction; a
// `Borrowed` is a plain view that never changes a reference count. The
// type of a variable or a result therefore says whether it owns what it
// points to: functions return new references as Owned and borrowed ones as
// Borrowed, and `release()` appears only where a reference passes to the
// interpreter (slot functions) or to a cell that keeps it for good. A plain
// `PyObject*` parameter is borrowed for the call, as in the C API itself.
#pragma once

#include <Python.h>

#include <utility>

namespace gapweave::py {

// Thrown when a C API call failed and a Python exception is set; the
// boundary wrapper turns it back into a NULL / -1 return.
struct ErrorSet {};

class Borrowed {
public:
    Borrowed() = default;
    Borrowed(PyObject* object) noexcept : object_(object) {}  // NOLINT: implicit by design
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

class Owned {
public:
    Owned() = default;
    Owned(const Owned& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

    // Takes over a new reference (may be NULL).
    static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // Takes a new reference to a borrowed object.
    static Owned ref(PyObject* object) noexcept { return Owned(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (the interpreter, usually).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Turns a NULL result of the C API into ErrorSet; otherwise takes ownership.
inline Owned require(PyObject* result) {
    if (result == nullptr) throw ErrorSet{};
    return Owned::steal(result);
}

// Turns a -1 status of the C API into ErrorSet.
inline int require_status(int status) {
    if (status < 0) throw ErrorSet{};
    return status;
}

// Sets a Python exception and throws ErrorSet.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorSet{};
}

}  // namespace gapweave::py
