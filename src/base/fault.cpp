#include "base/fault.hpp"

#include <cstdio>

namespace gapweave {

std::string Fault::describe() const {
    return message_ + " at " + where_.file_name() + ":" + std::to_string(where_.line());
}

void raise_fault(const char* message, std::source_location where) { throw Fault(message, where); }

void check_index(std::size_t index, std::size_t len, std::source_location where) {
    if (index >= len) {
        throw Fault("index out of bounds: the len is " + std::to_string(len) +
                        " but the index is " + std::to_string(index),
                    where);
    }
}

void report_fault(const char* prefix, const Fault& fault) noexcept {
    try {
        std::string line = std::string(prefix) + ": " + fault.describe() + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
        std::fputs(prefix, stderr);
        std::fputs(": (fault message lost)\n", stderr);
    }
}

}  // namespace gapweave
