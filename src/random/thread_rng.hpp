// A per-thread generator keyed from the operating system's random source.
//
// Used where a seed must be unpredictable rather than reproducible. Each
// thread gets its own ChaCha12 stream on first use, so no locking is needed;
// after 1024 blocks (64 KiB) of output it takes a fresh key from the
// operating system before producing more.
#pragma once

#include <cstdint>

#include "random/chacha.hpp"

namespace gapweave {

class ThreadRng {
public:
    // Blocks produced under one key before the next refill rekeys.
    static constexpr std::uint64_t kRekeyAfterBlocks = 1024;

    // The calling thread's generator, created and keyed at its first use.
    // A failing operating system source is a Fault
    // "could not initialize ThreadRng: ..."; the next call tries again.
    static ThreadRng& local();

    // A failed rekey is a Fault "could not reseed ThreadRng: ..."; nothing
    // has been read, so the next draw tries to rekey again.
    std::uint32_t next_u32() { return stream_.next_u32(); }
    std::uint64_t next_u64() { return stream_.next_u64(); }

    std::uint64_t block_counter() const noexcept { return stream_.core().core.block_counter(); }

    ThreadRng(const ThreadRng&) = delete;
    ThreadRng& operator=(const ThreadRng&) = delete;

private:
    // The ChaCha core with the rekeying rule applied before each refill.
    struct RekeyingCore {
        ChaChaCore core;
        void generate(ChaChaBuffer& out);
    };

    explicit ThreadRng(const ChaChaKey& key) noexcept : stream_(RekeyingCore{ChaChaCore(key)}) {}

    BlockStream<RekeyingCore> stream_;
};

// One 64-bit draw from the calling thread's ThreadRng.
std::uint64_t thread_rng_next_u64();

}  // namespace gapweave
