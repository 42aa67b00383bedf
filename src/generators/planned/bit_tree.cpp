#include "generators/planned/bit_tree.hpp"

#include <bit>

namespace gapweave {

BitTree::BitTree(std::size_t size, bool full) : size_(size) {
    std::size_t bits = size;
    do {
        const std::size_t words = (bits + 63) / 64;
        std::vector<std::uint64_t> level(words, full ? ~std::uint64_t{0} : 0);
        if (full && bits % 64 != 0) level.back() = (std::uint64_t{1} << (bits % 64)) - 1;
        if (words == 0) level.push_back(0);  // an empty set still has a top word
        levels_.push_back(std::move(level));
        bits = words;
    } while (bits > 1);
}

void BitTree::set(std::size_t i) noexcept {
    for (auto& level : levels_) {
        std::uint64_t& word = level[i / 64];
        const bool was_empty = word == 0;
        word |= std::uint64_t{1} << (i % 64);
        if (!was_empty) return;  // the levels above already know this word
        i /= 64;
    }
}

void BitTree::reset(std::size_t i) noexcept {
    for (auto& level : levels_) {
        std::uint64_t& word = level[i / 64];
        word &= ~(std::uint64_t{1} << (i % 64));
        if (word != 0) return;  // the word still has members: nothing changes above
        i /= 64;
    }
}

std::size_t BitTree::next(std::size_t i) const noexcept {
    if (i >= size_) return npos;
    // Climb while the rest of the current word is empty...
    std::size_t level = 0;
    std::size_t index = i;
    for (;;) {
        const auto& words = levels_[level];
        const std::size_t w = index / 64;
        if (w >= words.size()) return npos;
        const std::uint64_t rest = words[w] & (~std::uint64_t{0} << (index % 64));
        if (rest != 0) {
            index = w * 64 + static_cast<std::size_t>(std::countr_zero(rest));
            break;
        }
        if (level + 1 == levels_.size()) return npos;
        ++level;
        index = w + 1;
    }
    // ...then descend along the lowest members.
    while (level > 0) {
        --level;
        index = index * 64 + static_cast<std::size_t>(std::countr_zero(levels_[level][index]));
    }
    return index;
}

std::size_t BitTree::prev(std::size_t i) const noexcept {
    if (i == npos || size_ == 0) return npos;
    if (i >= size_) i = size_ - 1;
    std::size_t level = 0;
    std::size_t index = i;
    for (;;) {
        const auto& words = levels_[level];
        const std::size_t w = index / 64;
        const std::uint64_t rest = words[w] & (~std::uint64_t{0} >> (63 - index % 64));
        if (rest != 0) {
            index = w * 64 + 63 - static_cast<std::size_t>(std::countl_zero(rest));
            break;
        }
        if (w == 0 || level + 1 == levels_.size()) return npos;
        ++level;
        index = w - 1;
    }
    while (level > 0) {
        --level;
        index = index * 64 + 63 - static_cast<std::size_t>(std::countl_zero(levels_[level][index]));
    }
    return index;
}

}  // namespace gapweave
