#include "base/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace gapweave {

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // Shortest digits in scientific form "d.ddde±x", then moved into place.
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    (void)ec;  // 64 bytes always fit a double
    std::string_view text(buf, static_cast<std::size_t>(end - buf));

    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const auto e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos)) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());

    // The decimal point sits after `point` digits (may be <= 0 or past the end).
    const long point = 1L + exponent;
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out.push_back('.');
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace gapweave
