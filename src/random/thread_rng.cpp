#include "random/thread_rng.hpp"

#include <array>
#include <cstddef>
#include <string>

#include "base/fault.hpp"
#include "random/os_random.hpp"

namespace gapweave {
namespace {

// 32 key bytes from the operating system, read as eight little-endian words
// (the byte order does not matter for an unpredictable key, but keeping it
// fixed makes the key's meaning independent of the platform).
ChaChaKey os_key(const char* failure_prefix) {
    std::array<std::byte, sizeof(ChaChaKey)> bytes{};
    if (const auto error = fill_from_os(bytes)) {
        throw Fault(failure_prefix + error.message());
    }
    ChaChaKey key{};
    for (std::size_t w = 0; w < key.size(); ++w) {
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < 4; ++b) {
            word |= std::uint32_t{std::to_integer<std::uint8_t>(bytes[4 * w + b])} << (8 * b);
        }
        key[w] = word;
    }
    return key;
}

}  // namespace

ThreadRng& ThreadRng::local() {
    // A throwing initialiser leaves the variable uninitialised, so a thread
    // whose first keying failed tries again on its next call.
    thread_local ThreadRng rng(os_key("could not initialize ThreadRng: "));
    return rng;
}

void ThreadRng::RekeyingCore::generate(ChaChaBuffer& out) {
    if (core.block_counter() >= kRekeyAfterBlocks) {
        core.rekey(os_key("could not reseed ThreadRng: "));
    }
    core.generate(out);
}

std::uint64_t thread_rng_next_u64() { return ThreadRng::local().next_u64(); }

}  // namespace gapweave
