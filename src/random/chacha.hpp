// The ChaCha stream cipher with 12 rounds, used as a random word generator.
//
// The input block is laid out as ChaCha was first published: four constant
// words, eight key words, a 64-bit block counter (low word first) and a
// 64-bit stream number that this engine always leaves at zero. Blocks are
// produced four at a time so that most draws are an index check and a load.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace gapweave {

inline constexpr std::size_t kChaChaBlockWords = 16;
inline constexpr std::size_t kChaChaBlocksPerRefill = 4;
inline constexpr std::size_t kChaChaBufferWords = kChaChaBlockWords * kChaChaBlocksPerRefill;

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, kChaChaBlockWords>;
using ChaChaBuffer = std::array<std::uint32_t, kChaChaBufferWords>;

// The keyed input block and its block counter.
class ChaChaCore {
public:
    // Counter and stream number start at zero.
    explicit ChaChaCore(const ChaChaKey& key) noexcept;

    // The output block for the given counter value; the core is unchanged.
    ChaChaBlock block(std::uint64_t counter) const noexcept;

    // Writes the blocks for counters c, c + 1, c + 2, c + 3 into `out` in
    // that order and advances the counter to c + 4.
    void generate(ChaChaBuffer& out) noexcept;

    // Replaces the key and restarts the counter at zero.
    void rekey(const ChaChaKey& key) noexcept;

    ChaChaKey key() const noexcept;
    std::uint64_t block_counter() const noexcept;
    void set_block_counter(std::uint64_t counter) noexcept;

    bool operator==(const ChaChaCore&) const = default;

private:
    ChaChaBlock input_{};
};

// Buffered reading of a block generator's words as one continuous sequence.
//
// `Core` supplies `void generate(ChaChaBuffer&)`, which fills the buffer
// with the next four blocks. Reads of 32 and 64 bits may be mixed freely:
// no word is skipped or read twice, and a 64-bit read that starts on the
// last buffered word takes its high half from the next refill.
template <class Core>
class BlockStream {
public:
    explicit BlockStream(Core core) noexcept : core_(std::move(core)) {}

    std::uint32_t next_u32() {
        if (index_ >= kChaChaBufferWords) refill();
        return buffer_[index_++];
    }

    // The first word read is the low half, the second the high half.
    std::uint64_t next_u64() {
        constexpr std::size_t last = kChaChaBufferWords - 1;
        std::uint64_t low;
        std::uint64_t high;
        if (index_ < last) {
            low = buffer_[index_];
            high = buffer_[index_ + 1];
            index_ += 2;
        } else if (index_ == last) {
            low = buffer_[last];
            refill();
            high = buffer_[0];
            index_ = 1;
        } else {
            refill();
            low = buffer_[0];
            high = buffer_[1];
            index_ = 2;
        }
        return (high << 32) | low;
    }

    // Positions the stream at word `word` of the core's sequence (counted
    // from block counter zero), in exactly the state reading that many
    // words from a fresh stream leaves: the same counter, buffer contents
    // and index, whatever mix of 32- and 64-bit reads got there. A fresh
    // stream has nothing buffered, so word 0 restores that empty buffer;
    // otherwise the refill holding the last read word is buffered, which is
    // why a multiple of the buffer size leaves the index at the end rather
    // than at the start of the next refill.
    void seek(std::uint64_t word) noexcept {
        if (word == 0) {
            core_.set_block_counter(0);
            buffer_ = ChaChaBuffer{};
            index_ = kChaChaBufferWords;
            return;
        }
        const std::uint64_t refill_start = (word - 1) / kChaChaBufferWords * kChaChaBufferWords;
        core_.set_block_counter(refill_start / kChaChaBlockWords);
        core_.generate(buffer_);
        index_ = static_cast<std::size_t>(word - refill_start);
    }

    const Core& core() const noexcept { return core_; }
    // Position of the next unread word; the buffer size means empty.
    std::size_t index() const noexcept { return index_; }

    bool operator==(const BlockStream&) const = default;

private:
    void refill() {
        core_.generate(buffer_);
        index_ = 0;
    }

    Core core_;
    ChaChaBuffer buffer_{};
    std::size_t index_ = kChaChaBufferWords;
};

}  // namespace gapweave
