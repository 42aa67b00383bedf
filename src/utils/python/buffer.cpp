#include "utils/python/buffer.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "utils/python/pyref.hpp"

namespace gapweave::py {

namespace {

// Largest number of doubles whose byte size fits both size_t and
// Py_ssize_t (the limit of std::vector and of any Python buffer).
constexpr std::size_t kMaxDoubles =
    static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()) / sizeof(double);

// Struct-module format codes that mean "a double in this machine's byte
// order": no prefix, native "@", standard-size "=", or the explicit byte
// order character of this platform.
bool is_native_double_format(const char* format) {
    if (format == nullptr) return false;  // NULL means unsigned bytes
    constexpr std::string_view own_order = std::endian::native == std::endian::little ? "<d" : ">d";
    const std::string_view text(format);
    return text == "d" || text == "@d" || text == "=d" || text == own_order;
}

}  // namespace

std::size_t cell_count(std::size_t rows, std::size_t cols) {
    // Each dimension must also fit NumPy's signed dimension type, so that
    // the result array can be made with the same shape.
    constexpr auto kMaxDimension = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());
    if (rows > kMaxDimension || cols > kMaxDimension || (cols != 0 && rows > kMaxDoubles / cols)) {
        const std::string message = "table of " + std::to_string(rows) + " rows and " +
                                    std::to_string(cols) + " columns is too large";
        raise(PyExc_ValueError, message.c_str());
    }
    return rows * cols;
}

std::vector<double> zeroed_doubles(std::size_t count) {
    if (count > kMaxDoubles) {
        PyErr_NoMemory();
        throw ErrorSet{};
    }
    try {
        return std::vector<double>(count, 0.0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw ErrorSet{};
    }
}

void reserve_doubles(std::vector<double>& values, std::size_t count) {
    if (count > kMaxDoubles) {
        PyErr_NoMemory();
        throw ErrorSet{};
    }
    try {
        values.reserve(count);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw ErrorSet{};
    }
}

BufferView::BufferView(PyObject* exporter) {
    require_status(PyObject_GetBuffer(exporter, &view_, PyBUF_RECORDS_RO));
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

std::size_t BufferView::item_count() const noexcept {
    if (view_.itemsize <= 0) return 0;
    return static_cast<std::size_t>(view_.len / view_.itemsize);
}

void BufferView::require_f64() const {
    if (view_.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
        !is_native_double_format(view_.format)) {
        raise(PyExc_BufferError, "buffer contents are not compatible with f64");
    }
    // Eight bytes, not alignof(double): some 32-bit ABIs align doubles to 4.
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % 8 != 0) {
        raise(PyExc_BufferError, "buffer contents are insufficiently aligned for f64");
    }
}

void BufferView::require_items(std::size_t expected) const {
    const std::size_t items = item_count();
    if (items != expected) {
        const std::string message = "slice to copy to (of length " + std::to_string(expected) +
                                    ") does not match buffer length of " + std::to_string(items);
        raise(PyExc_BufferError, message.c_str());
    }
}

void BufferView::copy_f64_to(double* destination) const {
    if (view_.len == 0) return;  // nothing to copy; the destination may be empty
    // The routine wants the exact byte length of the view; it walks any
    // strides (Fortran order, reversed views) and writes row-major.
    require_status(PyBuffer_ToContiguous(destination, &view_, view_.len, 'C'));
}

}  // namespace gapweave::py
