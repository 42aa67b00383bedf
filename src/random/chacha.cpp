#include "random/chacha.hpp"

#include <bit>

namespace gapweave {
namespace {

// "expand 32-byte k" read as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr std::size_t kKeyStart = 4;
constexpr std::size_t kCounterLow = 12;
constexpr std::size_t kCounterHigh = 13;
constexpr int kDoubleRounds = 6;  // 12 rounds

constexpr void quarter_round(ChaChaBlock& x, std::size_t a, std::size_t b, std::size_t c,
                             std::size_t d) noexcept {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

ChaChaCore::ChaChaCore(const ChaChaKey& key) noexcept {
    for (std::size_t i = 0; i < kSigma.size(); ++i) input_[i] = kSigma[i];
    rekey(key);
}

ChaChaBlock ChaChaCore::block(std::uint64_t counter) const noexcept {
    ChaChaBlock in = input_;
    in[kCounterLow] = static_cast<std::uint32_t>(counter);
    in[kCounterHigh] = static_cast<std::uint32_t>(counter >> 32);

    ChaChaBlock x = in;
    for (int round = 0; round < kDoubleRounds; ++round) {
        // Column round.
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        // Diagonal round.
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < kChaChaBlockWords; ++i) x[i] += in[i];
    return x;
}

void ChaChaCore::generate(ChaChaBuffer& out) noexcept {
    // The four blocks of a refill side by side: lane b of every vector
    // belongs to block b, so each operation advances all four at once.
    static_assert(kChaChaBlocksPerRefill == 4);
    using Lanes = std::uint32_t __attribute__((vector_size(16)));
    const auto rotl = [](Lanes v, int n) { return (v << n) | (v >> (32 - n)); };

    const std::uint64_t first = block_counter();
    Lanes in[kChaChaBlockWords];
    for (std::size_t i = 0; i < kChaChaBlockWords; ++i)
        in[i] = Lanes{input_[i], input_[i], input_[i], input_[i]};
    for (std::uint32_t b = 0; b < 4; ++b) {
        const std::uint64_t counter = first + b;
        in[kCounterLow][b] = static_cast<std::uint32_t>(counter);
        in[kCounterHigh][b] = static_cast<std::uint32_t>(counter >> 32);
    }
    Lanes x[kChaChaBlockWords];
    for (std::size_t i = 0; i < kChaChaBlockWords; ++i) x[i] = in[i];
    const auto quarter = [&](std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
        x[a] += x[b];
        x[d] = rotl(x[d] ^ x[a], 16);
        x[c] += x[d];
        x[b] = rotl(x[b] ^ x[c], 12);
        x[a] += x[b];
        x[d] = rotl(x[d] ^ x[a], 8);
        x[c] += x[d];
        x[b] = rotl(x[b] ^ x[c], 7);
    };
    for (int round = 0; round < kDoubleRounds; ++round) {
        quarter(0, 4, 8, 12);
        quarter(1, 5, 9, 13);
        quarter(2, 6, 10, 14);
        quarter(3, 7, 11, 15);
        quarter(0, 5, 10, 15);
        quarter(1, 6, 11, 12);
        quarter(2, 7, 8, 13);
        quarter(3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < kChaChaBlockWords; ++i) {
        const Lanes words = x[i] + in[i];
        for (std::size_t b = 0; b < 4; ++b) out[b * kChaChaBlockWords + i] = words[b];
    }
    set_block_counter(first + kChaChaBlocksPerRefill);
}

void ChaChaCore::rekey(const ChaChaKey& key) noexcept {
    for (std::size_t i = 0; i < key.size(); ++i) input_[kKeyStart + i] = key[i];
    // Counter and stream number both restart at zero.
    for (std::size_t i = kCounterLow; i < kChaChaBlockWords; ++i) input_[i] = 0;
}

ChaChaKey ChaChaCore::key() const noexcept {
    ChaChaKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = input_[kKeyStart + i];
    return key;
}

std::uint64_t ChaChaCore::block_counter() const noexcept {
    return (std::uint64_t{input_[kCounterHigh]} << 32) | input_[kCounterLow];
}

void ChaChaCore::set_block_counter(std::uint64_t counter) noexcept {
    input_[kCounterLow] = static_cast<std::uint32_t>(counter);
    input_[kCounterHigh] = static_cast<std::uint32_t>(counter >> 32);
}

}  // namespace gapweave
