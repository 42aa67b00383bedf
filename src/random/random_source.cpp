#include "random/random_source.hpp"

#include <bit>

namespace gapweave {
namespace {

constexpr std::uint64_t kPcgMultiplier = 6364136223846793005ULL;  // 0x5851F42D4C957F2D
constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;  // 0xA17654E46FBE17F3

// One PCG32 XSH-RR step: advance the state, then form the output from it.
constexpr std::uint32_t pcg32_next(std::uint64_t& state) noexcept {
    state = state * kPcgMultiplier + kPcgIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rotation = static_cast<int>(state >> 59);
    return std::rotr(xorshifted, rotation);
}

}  // namespace

RandomSource RandomSource::seed_from_u64(std::uint64_t seed) noexcept {
    ChaChaKey key{};
    std::uint64_t state = seed;
    for (auto& word : key) word = pcg32_next(state);
    return RandomSource(key);
}

std::uint32_t RandomSource::uniform_below(std::uint32_t n) noexcept {
    const std::uint64_t product = std::uint64_t{next_u32()} * n;
    auto result = static_cast<std::uint32_t>(product >> 32);
    const auto low = static_cast<std::uint32_t>(product);
    // 0 - n in 32 bits is 2^32 - n. Only when the low half lies within n of
    // overflowing can the next word's contribution carry into the result.
    if (low > static_cast<std::uint32_t>(0u - n)) {
        const auto high2 = static_cast<std::uint32_t>((std::uint64_t{next_u32()} * n) >> 32);
        if (static_cast<std::uint32_t>(low + high2) < low) ++result;
    }
    return result;
}

std::uint64_t RandomSource::words_consumed() const noexcept {
    // Every refill adds four blocks; the unread part of the buffer is the
    // words not yet taken from them.
    return block_counter() * kChaChaBlockWords - (kChaChaBufferWords - stream_.index());
}

}  // namespace gapweave
