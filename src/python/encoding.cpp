#include "python/encoding.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/fault.hpp"
#include "base/float_format.hpp"
#include "python/buffer.hpp"
#include "python/calls.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/text.hpp"

namespace gapweave::py {

namespace {

using Decoder = decltype(EncodingInfo::decoders)::mapped_type;

// code -> text from text -> code. The result is a map keyed by code, so the
// order in which the encoder is walked does not show in it.
Decoder invert(std::unordered_map<std::string, std::uint64_t>&& encoder) {
    Decoder decoder;
    decoder.reserve(encoder.size());
    for (auto& [text, code] : encoder) decoder.emplace(code, text);
    return decoder;
}

// Encodes one column's texts, writes the codes into column `column` of the
// row-major `data` and records the column's decoder.
void store_text_column(const std::vector<std::string>& texts, std::size_t column, std::size_t rows,
                       std::size_t cols, std::vector<double>& data, EncodingInfo& encoding) {
    LabelCodes labels = label_encode(texts);
    for (std::size_t k = 0; k < labels.codes.size(); ++k) {
        check_index(k, rows);
        data[k * cols + column] = labels.codes[k];
    }
    encoding.encoded_columns.push_back(column);
    encoding.decoders[column] = invert(std::move(labels.encoder));
}

// The name of a frame column's dtype, as text.
std::string dtype_name(PyObject* column) {
    Owned dtype = get_attr(column, "dtype");
    Owned name = get_attr(dtype.get(), "name");
    return std::string(utf8_view(name.get()));
}

// Every value of a column turned into text with str(), in order.
std::vector<std::string> column_texts(PyObject* column, std::size_t rows) {
    std::vector<std::string> texts;
    texts.reserve(rows);
    Owned iterator = require(PyObject_GetIter(column));
    while (Owned value = Owned::steal(PyIter_Next(iterator.get()))) {
        texts.push_back(str_of(value.get()));  // a failure is the host's error
    }
    if (PyErr_Occurred()) throw ErrorSet{};
    return texts;
}

// The object array's cell (row, column) as array[(row, column)].
Owned object_cell(PyObject* array, std::size_t row, std::size_t column) {
    try {
        Owned key = index_pair(row, column);
        return require(PyObject_GetItem(array, key.get()));
    } catch (const ErrorSet&) {
        throw fault_from_error("Failed to read array cell (" + std::to_string(row) + ", " +
                               std::to_string(column) + ")");
    }
}

// The host's float conversion of a cell; nullopt (error cleared) when the
// cell is not a number.
std::optional<double> as_number(PyObject* cell) {
    if (PyFloat_CheckExact(cell)) return PyFloat_AS_DOUBLE(cell);
    const double value = PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

std::string object_str(PyObject* cell) {
    try {
        return str_of(cell);
    } catch (const ErrorSet&) {
        throw fault_from_error("cant convert to str");
    }
}

}  // namespace

LabelCodes label_encode(const std::vector<std::string>& texts) {
    // string_view compares through char_traits<char>, i.e. as unsigned
    // bytes: the order of the UTF-8 encodings, a proper prefix first.
    std::vector<std::string_view> distinct(texts.begin(), texts.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

    LabelCodes result;
    result.encoder.reserve(distinct.size());
    for (std::size_t rank = 0; rank < distinct.size(); ++rank) {
        result.encoder.emplace(std::string(distinct[rank]), static_cast<std::uint64_t>(rank));
    }
    result.codes.reserve(texts.size());
    for (const std::string& text : texts) {
        result.codes.push_back(static_cast<double>(result.encoder.find(text)->second));
    }
    return result;
}

EncodedTable encode_dataframe(PyObject* frame, std::size_t rows, std::size_t cols,
                              const std::vector<std::string>& labels) {
    EncodedTable table{zeroed_doubles(cell_count(rows, cols)), {}};
    // One buffer for the numeric columns, reused by each of them.
    std::vector<double> column_values = zeroed_doubles(rows);

    for (std::size_t j = 0; j < labels.size(); ++j) {
        Owned key = make_str(labels[j]);
        Owned column = require(PyObject_GetItem(frame, key.get()));
        const std::string name = dtype_name(column.get());

        if (name == "str" || name == "object") {
            const std::vector<std::string> texts = column_texts(column.get(), rows);
            check_index(j, cols);
            store_text_column(texts, j, rows, cols, table.data, table.encoding);
            continue;
        }

        Owned converted = to_numpy_float64(column.get(), /*without_copy=*/false);
        {
            const BufferView buffer(converted.get());
            buffer.require_f64();
            buffer.require_items(rows);
            buffer.copy_f64_to(column_values.data());
        }
        if (rows != 0) check_index(j, cols);
        for (std::size_t k = 0; k < rows; ++k) table.data[k * cols + j] = column_values[k];
    }
    return table;
}

EncodedTable encode_object_array(PyObject* array, std::size_t rows, std::size_t cols) {
    EncodedTable table{zeroed_doubles(cell_count(rows, cols)), {}};
    // Without rows no cell is read and no column is encoded, however many
    // columns the shape names (an empty array may name billions).
    if (rows == 0) return table;
    std::vector<double> numbers;
    std::vector<std::string> texts;

    for (std::size_t c = 0; c < cols; ++c) {
        numbers.clear();
        numbers.reserve(rows);
        texts.clear();
        bool text_mode = false;

        for (std::size_t r = 0; r < rows; ++r) {
            Owned cell = object_cell(array, r, c);
            if (!text_mode) {
                if (const std::optional<double> value = as_number(cell.get())) {
                    numbers.push_back(*value);
                    continue;
                }
                // The column turns out to be text: the numbers read so far
                // join the texts in their shortest positional rendering.
                text_mode = true;
                texts.reserve(rows);
                for (const double number : numbers) texts.push_back(format_float(number));
                numbers.clear();
            }
            texts.push_back(object_str(cell.get()));
        }

        if (text_mode) {
            store_text_column(texts, c, rows, cols, table.data, table.encoding);
        } else {
            for (std::size_t k = 0; k < numbers.size(); ++k) table.data[k * cols + c] = numbers[k];
        }
    }
    return table;
}

}  // namespace gapweave::py
