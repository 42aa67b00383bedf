// Internal faults: broken invariants and fatal errors of the engine.
//
// A fault stops the current operation. On the calling thread the module's
// boundary turns it into the Python exception PanicException; on a pool
// worker it ends that worker, which the pool replaces. The engine itself
// never touches Python, so faults are plain C++ exceptions that carry their
// message and the place in the source where they were raised.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace gapweave {

class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

    // "message at file:line" for the standard error stream.
    std::string describe() const;

private:
    std::string message_;
    std::source_location where_;
};

// Raises the fault `message` at `where`. Out of line, so that a message
// stays one string of the binary rather than being copied into the code of
// every caller.
[[noreturn]] void raise_fault(const char* message, std::source_location where);

// Raises a fault unless `condition` holds.
inline void expect(bool condition, const char* message,
                   std::source_location where = std::source_location::current()) {
    if (!condition) raise_fault(message, where);
}

// Bounds-checked index into a container of `len` items: a fault when
// `index` is not below `len`.
void check_index(std::size_t index, std::size_t len,
                 std::source_location where = std::source_location::current());

// Writes "<prefix>: <fault description>" to standard error in one write.
void report_fault(const char* prefix, const Fault& fault) noexcept;

}  // namespace gapweave
