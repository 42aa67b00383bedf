#include "python/intake.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "base/fault.hpp"
#include "python/buffer.hpp"
#include "python/calls.hpp"
#include "python/encoding.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/pyref.hpp"
#include "python/text.hpp"

namespace gapweave::py {

namespace {

constexpr const char* kSupportedTypes = "numpy.ndarray, pandas.DataFrame";

// Row-major copy of a two-dimensional float64 ndarray: one block copy when
// its memory already is aligned row-major, otherwise cell by cell through
// its strides (which may be negative) with unaligned-safe 8-byte copies.
std::vector<double> copy_float64_array(PyObject* array, std::size_t rows, std::size_t cols) {
    const numpy::ArrayFields& a = numpy::fields(array);
    const std::size_t count = cell_count(rows, cols);

    std::vector<double> data;
    if (count == 0) return data;
    reserve_doubles(data, count);

    // A large table takes a while to copy: signals that arrive meanwhile
    // are looked at between blocks, so that Ctrl-C stops the call here too.
    constexpr std::size_t kCellsBetweenChecks = std::size_t{1} << 20;
    constexpr int kBlockCopyFlags = numpy::kCContiguous | numpy::kAligned;
    if ((a.flags & kBlockCopyFlags) == kBlockCopyFlags) {
        const auto* first = reinterpret_cast<const double*>(a.data);
        for (std::size_t at = 0; at < count; at += kCellsBetweenChecks) {
            if (PyErr_CheckSignals() != 0) throw ErrorSet();
            data.insert(data.end(), first + at, first + std::min(count, at + kCellsBetweenChecks));
        }
        return data;
    }
    const numpy::npy_intp row_stride = a.strides[0];
    const numpy::npy_intp col_stride = a.strides[1];
    const std::size_t rows_between_checks = std::max<std::size_t>(1, kCellsBetweenChecks / cols);
    for (std::size_t r = 0; r < rows; ++r) {
        if (r % rows_between_checks == 0 && PyErr_CheckSignals() != 0) throw ErrorSet();
        const char* row = a.data + static_cast<numpy::npy_intp>(r) * row_stride;
        for (std::size_t c = 0; c < cols; ++c) {
            double value;
            std::memcpy(&value, row + static_cast<numpy::npy_intp>(c) * col_stride, sizeof value);
            data.push_back(value);
        }
    }
    return data;
}

// The qualified name of the object's type; empty when it can't be had.
std::string qualified_type_name(PyObject* object) {
    Owned name = Owned::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return {};
    }
    return utf8_of(name.get()).value_or(std::string{});
}

// The object's "shape" as unsigned integers; conversion errors propagate.
std::vector<std::size_t> read_shape(PyObject* object) {
    Owned shape = get_attr(object, "shape");
    Owned iterator = require(PyObject_GetIter(shape.get()));
    std::vector<std::size_t> dims;
    while (Owned entry = Owned::steal(PyIter_Next(iterator.get()))) {
        Owned index = require(PyNumber_Index(entry.get()));
        const std::size_t dim = PyLong_AsSize_t(index.get());
        if (dim == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw ErrorSet{};
        dims.push_back(dim);
    }
    if (PyErr_Occurred()) throw ErrorSet{};
    return dims;
}

// The UTF-8 text of a str; a failure is a fault carrying `prefix`.
std::string text_or_fault(PyObject* text, const char* prefix) {
    try {
        return std::string(utf8_view(text));
    } catch (const ErrorSet&) {
        throw fault_from_error(prefix);
    }
}

// An attribute of the frame's metadata; missing is a fault carrying `prefix`.
Owned attr_or_fault(PyObject* object, const char* name, const char* prefix) {
    Owned value = Owned::steal(PyObject_GetAttrString(object, name));
    if (!value) throw fault_from_error(prefix);
    return value;
}

// str() of every column label, in column order.
std::vector<std::string> column_labels(PyObject* frame) {
    Owned columns = get_attr(frame, "columns");
    Owned iterator = require(PyObject_GetIter(columns.get()));
    std::vector<std::string> labels;
    for (;;) {
        Owned label = Owned::steal(PyIter_Next(iterator.get()));
        if (!label) {
            if (PyErr_Occurred()) throw fault_from_error("no items found!");
            return labels;
        }
        Owned text = Owned::steal(PyObject_Str(label.get()));
        if (!text) throw fault_from_error("Failed str conversion");
        labels.push_back(text_or_fault(text.get(), "Failed str conversion"));
    }
}

[[noreturn]] void unsupported(const std::string& type_name) {
    const std::string message =
        "Unsupported type: '" + type_name + "'. Supported types are: " + kSupportedTypes;
    raise(PyExc_TypeError, message.c_str());
}

Intake from_encoded(EncodedTable&& table, std::size_t rows, std::size_t cols, Out out) {
    return Intake{std::move(table.data), rows, cols, std::move(out), std::move(table.encoding)};
}

// A two-dimensional ndarray that isn't float64: object arrays are encoded,
// anything else must read as doubles through the buffer protocol.
Intake read_other_array(PyObject* array, std::size_t rows, std::size_t cols) {
    Owned dtype = get_attr(array, "dtype");
    Owned name = get_attr(dtype.get(), "name");
    if (utf8_view(name.get()) == "object") {
        return from_encoded(encode_object_array(array, rows, cols), rows, cols, OutArray{});
    }
    return Intake{read_via_buffer(array, rows, cols), rows, cols, OutArray{}, std::nullopt};
}

Intake read_data_frame(PyObject* frame) {
    const std::vector<std::size_t> shape = read_shape(frame);
    check_index(1, shape.size());
    const std::size_t rows = shape[0];
    const std::size_t cols = shape[1];
    std::vector<std::string> labels = column_labels(frame);

    if (!check_for_strs(frame)) {
        Owned values = to_numpy_float64(frame, /*without_copy=*/true);
        std::vector<double> data = read_via_buffer(values.get(), rows, cols);
        return Intake{std::move(data), rows, cols, OutDataFrame{std::move(labels)}, std::nullopt};
    }
    EncodedTable table = encode_dataframe(frame, rows, cols, labels);
    return from_encoded(std::move(table), rows, cols, OutDataFrame{std::move(labels)});
}

}  // namespace

Intake pyany_to_vec(PyObject* table) {
    numpy::ensure_loaded();
    if (numpy::is_array(table) && numpy::fields(table).nd == 2 && numpy::has_float64_dtype(table)) {
        const numpy::ArrayFields& a = numpy::fields(table);
        const auto rows = static_cast<std::size_t>(a.dimensions[0]);
        const auto cols = static_cast<std::size_t>(a.dimensions[1]);
        return Intake{copy_float64_array(table, rows, cols), rows, cols, OutArray{}, std::nullopt};
    }

    const std::string type_name = qualified_type_name(table);
    if (type_name == "ndarray") {
        const std::vector<std::size_t> shape = read_shape(table);
        if (shape.size() == 2) return read_other_array(table, shape[0], shape[1]);
    }

    Owned pandas = import_module("pandas");
    Owned frame_type = get_attr(pandas.get(), "DataFrame");
    if (require_status(PyObject_IsInstance(table, frame_type.get())) == 0) unsupported(type_name);
    return read_data_frame(table);
}

std::vector<double> read_via_buffer(PyObject* object, std::size_t rows, std::size_t cols) {
    const BufferView buffer(object);
    buffer.require_f64();
    if (buffer.view().ndim != 2) raise(PyExc_ValueError, "Expected a 2-dimensional array");
    // The item count is checked against the claimed shape before anything
    // is allocated, so a shape that claims more than the buffer holds never
    // reserves memory.
    const std::size_t count = cell_count(rows, cols);
    buffer.require_items(count);
    std::vector<double> data = zeroed_doubles(count);
    buffer.copy_f64_to(data.data());
    return data;
}

bool check_for_strs(PyObject* frame) {
    Owned dtypes = attr_or_fault(frame, "dtypes", "dtypes attr not found");
    Owned iterator = Owned::steal(PyObject_GetIter(dtypes.get()));
    if (!iterator) throw fault_from_error("No dtypes found.");
    for (;;) {
        Owned dtype = Owned::steal(PyIter_Next(iterator.get()));
        if (!dtype) {
            if (PyErr_Occurred()) throw fault_from_error("No dtypes found.");
            return false;
        }
        Owned kind = attr_or_fault(dtype.get(), "kind", "kind attr not found");
        const std::string kind_text = text_or_fault(kind.get(), "Failed str conversion");
        Owned name = attr_or_fault(dtype.get(), "name", "name attr not found");
        const std::string name_text = text_or_fault(name.get(), "Failed str conversion");
        if (kind_text == "O" || name_text == "string") return true;
    }
}

}  // namespace gapweave::py
