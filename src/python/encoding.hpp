// Label encoding of text columns: each distinct text of a column becomes a
// code (its rank in byte order among the column's distinct texts), stored
// in the matrix as a double; the decoders let output assembly put the
// texts back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "python/table.hpp"

namespace gapweave::py {

struct LabelCodes {
    std::vector<double> codes;                               // one per text, in order
    std::unordered_map<std::string, std::uint64_t> encoder;  // text -> code
};

// Codes for `texts`: the rank of each text among the distinct texts sorted
// by their UTF-8 bytes ("B" < "a", "10" < "9", "" first).
LabelCodes label_encode(const std::vector<std::string>& texts);

// A table matrix together with the encoding of its text columns.
struct EncodedTable {
    std::vector<double> data;  // rows * cols, row-major
    EncodingInfo encoding;
};

// Reads a data frame column by column, looking each one up by its label
// text: "str" and "object" columns are label-encoded, the others are
// converted to float64 by pandas. Host errors throw ErrorSet.
EncodedTable encode_dataframe(PyObject* frame, std::size_t rows, std::size_t cols,
                              const std::vector<std::string>& labels);

// Reads a 2-D object array cell by cell. A column stays numeric while its
// cells convert to float; from the first cell that doesn't, the column is
// text and gets label-encoded. Its failures are gapweave::Fault, except
// MemoryError (ErrorSet) when the matrix cannot be allocated.
EncodedTable encode_object_array(PyObject* array, std::size_t rows, std::size_t cols);

}  // namespace gapweave::py
