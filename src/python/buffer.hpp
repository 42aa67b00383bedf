// Reading 64-bit floats out of objects through the buffer protocol, and
// sizing the double arrays that hold a table.
//
// Every size here comes from a caller's object (its "shape", its buffer),
// so it is checked before memory is reserved: a product that does not fit
// raises ValueError, and a request beyond the machine's memory (RAM and
// swap) or a failed allocation raises MemoryError.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace gapweave::py {

// rows * cols, or ValueError when that many doubles cannot be addressed
// (or a dimension exceeds Py_ssize_t).
std::size_t cell_count(std::size_t rows, std::size_t cols);

// `count` zero-filled doubles; MemoryError when they cannot be allocated
// or exceed the machine's memory. Large ones are advised huge pages before
// they are zeroed, like reserve_doubles.
std::vector<double> zeroed_doubles(std::size_t count);

// Room for `count` doubles in an empty vector, for copies that fill it
// once; MemoryError when it cannot be allocated or exceeds the machine's
// memory. The room is advised huge pages (see base/huge_pages.hpp) before
// anything is written to it.
void reserve_doubles(std::vector<double>& values, std::size_t count);

// A buffer obtained from an exporter and released when the view goes out
// of scope, on every path.
class BufferView {
public:
    // Requests a read-only buffer with format, shape and strides; a refusal
    // leaves the exporter's exception set and throws ErrorSet.
    explicit BufferView(PyObject* exporter);
    ~BufferView();
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    const Py_buffer& view() const noexcept { return view_; }
    // Number of items: the byte length over the item size.
    std::size_t item_count() const noexcept;

    // BufferError unless the items are native-order 8-byte doubles starting
    // at an 8-byte aligned address.
    void require_f64() const;

    // BufferError unless the buffer holds exactly `expected` items.
    void require_items(std::size_t expected) const;

    // Copies all items in C (row-major) order into `destination`, which has
    // room for item_count() doubles. Call require_f64 first.
    void copy_f64_to(double* destination) const;

private:
    Py_buffer view_{};
};

}  // namespace gapweave::py
