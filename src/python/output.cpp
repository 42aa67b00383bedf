#include "python/output.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "base/fault.hpp"
#include "python/buffer.hpp"
#include "python/calls.hpp"
#include "python/numpy_api.hpp"
#include "python/pyref.hpp"
#include "python/text.hpp"

namespace gapweave::py {

namespace {

using Decoder = decltype(EncodingInfo::decoders)::mapped_type;

const Decoder& decoder_of(const EncodingInfo& encoding, std::size_t column) {
    const auto found = encoding.decoders.find(column);
    if (found == encoding.decoders.end()) throw Fault("no entry found for key");
    return found->second;
}

// A non-NaN cell as an unsigned 64-bit code: fraction dropped, saturated
// at 0 and 2^64 - 1 (a plain cast would be undefined out of range).
std::uint64_t code_of(double value) {
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (!(value > 0.0)) return 0;
    if (value >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

// The text a cell stands for; nullptr for a missing cell or a code that
// the decoder lacks.
const std::string* decoded_text(const Decoder& decoder, double value) {
    if (std::isnan(value)) return nullptr;
    const auto found = decoder.find(code_of(value));
    return found == decoder.end() ? nullptr : &found->second;
}

// An object array of Python floats whose encoded columns get their texts
// back, one item assignment per cell; "NaN" where no text applies.
Owned object_array_out(const double* data, std::size_t rows, std::size_t cols,
                       const EncodingInfo& encoding) {
    Owned floats = numpy::new_float64_array(data, rows, cols);
    Owned numpy_module = import_module("numpy");
    Owned make_array = get_attr(numpy_module.get(), "array");
    Owned copy = require(PyObject_CallOneArg(make_array.get(), floats.get()));
    Owned object_dtype = make_str("object");
    Owned objects = call_method(copy.get(), "astype", object_dtype.get());

    if (rows == 0) {
        for (const std::size_t c : encoding.encoded_columns) decoder_of(encoding, c);
        return objects;
    }
    Owned missing = make_str("NaN");
    Owned set_item = get_attr(objects.get(), "__setitem__");
    for (const std::size_t c : encoding.encoded_columns) {
        const Decoder& decoder = decoder_of(encoding, c);
        check_index(c, cols);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::string* text = decoded_text(decoder, data[r * cols + c]);
            Owned value = text != nullptr ? make_str(*text) : missing;
            Owned key = index_pair(r, c);
            require(PyObject_CallFunctionObjArgs(set_item.get(), key.get(), value.get(), nullptr));
        }
    }
    return objects;
}

// A Python list of str, one per text.
Owned str_list(const std::vector<std::string>& texts) {
    Owned list = require(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        // The list is new and not shared yet, so filling it in place is safe.
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_str(texts[i]).release());
    }
    return list;
}

// One encoded column's values: its texts, None for holes and unknown codes.
Owned decoded_column(const double* data, std::size_t rows, std::size_t cols, std::size_t c,
                     const Decoder& decoder) {
    Owned values = require(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (rows != 0) check_index(c, cols);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::string* text = decoded_text(decoder, data[r * cols + c]);
        Owned value = text != nullptr ? make_str(*text) : Owned::ref(Py_None);
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(r), value.release());  // stolen
    }
    return values;
}

// A data frame with the labels as column names and pandas' default index;
// encoded columns become object columns holding their texts. The frame is
// made from an array that takes over `cells` when there are no encoded
// columns; otherwise from a copy, and the texts are decoded from `cells`.
Owned frame_out(std::vector<double>&& cells, std::size_t rows, std::size_t cols,
                const std::vector<std::string>& labels,
                const std::optional<EncodingInfo>& encoding) {
    Owned pandas = import_module("pandas");
    Owned keywords = require(PyDict_New());
    Owned columns = str_list(labels);
    require_status(PyDict_SetItemString(keywords.get(), "columns", columns.get()));
    Owned frame_type = get_attr(pandas.get(), "DataFrame");
    Owned floats = encoding ? numpy::new_float64_array(cells.data(), rows, cols)
                            : numpy::adopt_float64_array(std::move(cells), rows, cols);
    Owned arguments = require(PyTuple_Pack(1, floats.get()));
    Owned frame = require(PyObject_Call(frame_type.get(), arguments.get(), keywords.get()));
    if (!encoding) return frame;

    const double* data = cells.data();  // still here: only copied above
    Owned object_dtype = make_str("object");
    for (const std::size_t c : encoding->encoded_columns) {
        const Decoder& decoder = decoder_of(*encoding, c);
        Owned values = decoded_column(data, rows, cols, c, decoder);
        check_index(c, labels.size());
        Owned name = make_str(labels[c]);
        // Widen the float64 column to object first so that it can hold str.
        Owned column = require(PyObject_GetItem(frame.get(), name.get()));
        Owned widened = call_method(column.get(), "astype", object_dtype.get());
        call_method(frame.get(), "__setitem__", name.get(), widened.get());
        // frame.loc[:, name] = values: every row of the column in one call.
        Owned loc = get_attr(frame.get(), "loc");
        Owned all_rows = require(PySlice_New(nullptr, nullptr, nullptr));
        Owned key = require(PyTuple_Pack(2, all_rows.get(), name.get()));
        require_status(PyObject_SetItem(loc.get(), key.get(), values.get()));
    }
    return frame;
}

}  // namespace

Owned arr_to_out(std::vector<double>&& data, std::size_t rows, std::size_t cols, Out out,
                 std::optional<EncodingInfo> encoding) {
    cell_count(rows, cols);  // a shape whose size can't be addressed is refused up front
    if (const auto* frame = std::get_if<OutDataFrame>(&out)) {
        return frame_out(std::move(data), rows, cols, frame->labels, encoding);
    }
    if (!encoding) return numpy::adopt_float64_array(std::move(data), rows, cols);
    return object_array_out(data.data(), rows, cols, *encoding);
}

}  // namespace gapweave::py
