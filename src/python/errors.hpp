// Turning Python errors into the engine's fault messages.
#pragma once

#include <string>

#include "base/fault.hpp"
#include "python/pyref.hpp"

namespace gapweave::py {

// Takes the current exception out of the error indicator (normalised);
// empty when none is set.
Owned take_raised_exception();

// Takes (and clears) the current Python exception and describes it as
// "TypeName: message"; "unknown error" when none is set.
std::string take_error_description();

// A fault "<prefix>: <description of the current Python error>", which it
// clears; used where a failing host step is an internal fault.
Fault fault_from_error(const std::string& prefix,
                       std::source_location where = std::source_location::current());

}  // namespace gapweave::py
