// Bytes from the operating system's random source.
#pragma once

#include <cstddef>
#include <span>
#include <system_error>

namespace gapweave {

// Fills `out` completely from the kernel's random source. Uses getrandom
// when the kernel and sandbox allow it (decided once per process);
// otherwise waits until /dev/random is readable and reads /dev/urandom,
// whose descriptor is opened once and kept. Returns the error that stopped
// it, or an empty error code on success.
std::error_code fill_from_os(std::span<std::byte> out) noexcept;

}  // namespace gapweave
