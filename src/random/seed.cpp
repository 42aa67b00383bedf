#include "random/seed.hpp"

#include <time.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "base/fault.hpp"

namespace gapweave {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

[[noreturn]] void time_failed(const std::string& description) {
    throw Fault("Getting time failed: " + description);
}

}  // namespace

std::uint64_t nanos_since_epoch(const std::timespec& reading) {
    if (reading.tv_sec < 0) {
        // tv_nsec is always a non-negative part of the second, so the reading
        // lies before the epoch exactly when the seconds are negative.
        time_failed("clock reads " + std::to_string(reading.tv_sec) + " s + " +
                    std::to_string(reading.tv_nsec) + " ns, before the Unix epoch");
    }
    // Unsigned arithmetic wraps, which is the wanted reduction modulo 2^64.
    return static_cast<std::uint64_t>(reading.tv_sec) * kNanosPerSecond +
           static_cast<std::uint64_t>(reading.tv_nsec);
}

std::uint64_t clock_seed() {
    std::timespec reading{};
    if (::clock_gettime(CLOCK_REALTIME, &reading) != 0) {
        time_failed(std::generic_category().message(errno));
    }
    return nanos_since_epoch(reading);
}

}  // namespace gapweave
