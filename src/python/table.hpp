// What table intake hands to the generators and output assembly takes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

namespace gapweave::py {

// Label encoding of text columns: for each encoded column, code -> text.
struct EncodingInfo {
    std::unordered_map<std::size_t, std::unordered_map<std::uint64_t, std::string>> decoders;
    std::vector<std::size_t> encoded_columns;  // ascending
};

// The kind of object that came in, so that the same kind goes back out.
struct OutArray {};
struct OutDataFrame {
    std::vector<std::string> labels;  // str() of each column label, in column order
};
using Out = std::variant<OutArray, OutDataFrame>;

struct Intake {
    std::vector<double> data;  // rows * cols, row-major, NaN = missing
    std::size_t rows = 0;
    std::size_t cols = 0;
    Out out;
    std::optional<EncodingInfo> encoding;
};

}  // namespace gapweave::py
