// Fallback seed from the real-time clock, for generators built without one.
#pragma once

#include <cstdint>
#include <ctime>

namespace gapweave {

// Nanoseconds since the Unix epoch of a CLOCK_REALTIME reading:
// seconds × 1 000 000 000 + nanoseconds within the second, modulo 2^64.
// A reading before the epoch is a Fault "Getting time failed: ...".
std::uint64_t nanos_since_epoch(const std::timespec& reading);

// Reads CLOCK_REALTIME and returns nanos_since_epoch of it. A failing clock
// or one before the epoch is a Fault "Getting time failed: ...".
std::uint64_t clock_seed();

}  // namespace gapweave
