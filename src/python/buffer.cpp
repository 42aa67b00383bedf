#include "python/buffer.hpp"

#include <sys/sysinfo.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "base/huge_pages.hpp"
#include "python/pyref.hpp"

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

// The machine's memory, RAM and swap together, in bytes; 0 when unknown.
std::uint64_t machine_memory_bytes() noexcept {
    struct sysinfo info{};
    if (sysinfo(&info) != 0) return 0;
    const std::uint64_t units = static_cast<std::uint64_t>(info.totalram) + info.totalswap;
    const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
    return units > UINT64_MAX / unit ? UINT64_MAX : units * unit;
}

// MemoryError for `count` doubles that could never be held. A table's size
// comes from the caller's object (a broadcast view or an object that only
// claims a shape can name any size), and an allocation beyond the machine's
// memory would, where the system overcommits, only fail later, when the
// pages are touched, by ending the process.
void require_room(std::size_t count) {
    static const std::uint64_t memory = machine_memory_bytes();
    if (count > kMaxDoubles || (memory != 0 && count > memory / sizeof(double))) {
        PyErr_NoMemory();
        throw ErrorSet{};
    }
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
    std::vector<double> values;
    reserve_doubles(values, count);
    // Within the reserved room: no allocation, so nothing can throw.
    values.resize(count);
    return values;
}

void reserve_doubles(std::vector<double>& values, std::size_t count) {
    require_room(count);
    try {
        values.reserve(count);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw ErrorSet{};
    }
    // Before the first write: the pages are faulted in as huge pages.
    advise_huge_pages(values.data(), values.capacity() * sizeof(double));
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
