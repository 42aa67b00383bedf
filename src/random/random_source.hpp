// A generator's seeded stream of random 32-bit words.
//
// Every random decision of a generator object is drawn from its own
// RandomSource: ChaCha with 12 rounds, keyed by expanding a 64-bit seed with
// PCG32. The same seed and the same sequence of draws give the same words on
// every platform, which makes seeded runs reproducible. The source is a
// plain value: drawing never allocates and never fails.
#pragma once

#include <cstdint>

#include "random/chacha.hpp"

namespace gapweave {

class RandomSource {
public:
    // Key = eight successive PCG32 (XSH-RR) outputs started from `seed`;
    // block counter 0, nothing buffered.
    static RandomSource seed_from_u64(std::uint64_t seed) noexcept;

    std::uint32_t next_u32() noexcept { return stream_.next_u32(); }

    // Two successive words: the first is the low half, the second the high.
    std::uint64_t next_u64() noexcept { return stream_.next_u64(); }

    // A double in [0, 1) from the top 53 bits of next_u64(); 0.0 is
    // possible, 1.0 is not.
    double uniform_f64() noexcept {
        constexpr double kTwoToMinus53 = 0x1.0p-53;
        return static_cast<double>(next_u64() >> 11) * kTwoToMinus53;
    }

    // An integer in 0 ... n - 1 for 1 <= n <= 2^32 - 1 by Canon's method:
    // the high half of word × n, corrected by a second word only when the
    // low half is close enough to overflow for it to matter. Takes one or
    // two words and never rejects.
    std::uint32_t uniform_below(std::uint32_t n) noexcept;

    // Inspection, for tests and diagnostics.
    ChaChaKey key() const noexcept { return stream_.core().key(); }
    std::uint64_t block_counter() const noexcept { return stream_.core().block_counter(); }
    // Words read since seeding.
    std::uint64_t words_consumed() const noexcept;

    // Moves to the point where `words` words have been read since seeding,
    // forwards or backwards. Afterwards the source equals (operator==) a
    // copy of the seeded source that read that many words, so draws taken
    // from any position can be split among copies and the original placed
    // after the last of them.
    void seek(std::uint64_t words) noexcept { stream_.seek(words); }

    // Equal sources have the same key, counter, buffer and read position,
    // so they give the same words from here on.
    bool operator==(const RandomSource&) const = default;

private:
    explicit RandomSource(const ChaChaKey& key) noexcept : stream_(ChaChaCore(key)) {}

    BlockStream<ChaChaCore> stream_;
};

}  // namespace gapweave
