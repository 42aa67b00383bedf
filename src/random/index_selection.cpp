#include "random/index_selection.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <unordered_set>
#include <utility>

#include "base/fault.hpp"

namespace gapweave {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

constexpr ChunkBound compute_chunk_bound(std::uint32_t start) noexcept {
    std::uint64_t product = start;
    std::uint64_t next_factor = std::uint64_t{start} + 1;
    while (product * next_factor <= kMaxU32) {
        product *= next_factor;
        ++next_factor;
    }
    return {static_cast<std::uint32_t>(product), static_cast<std::uint8_t>(next_factor - start)};
}

// A full shuffle's chooser asks for start 2 first, every time: 2 × 3 × ... × 12.
constexpr ChunkBound kChunkBoundOf2 = compute_chunk_bound(2);
static_assert(kChunkBoundOf2 == ChunkBound{479001600, 11});

void check_amount(std::uint32_t length, std::uint32_t amount) {
    expect(amount <= length, "`amount` of samples must be less than or equal to `length`");
}

}  // namespace

ChunkBound chunk_bound(std::uint32_t start) {
    expect(start > 0, "chunk bound needs a start of at least 1");
    return start == 2 ? kChunkBoundOf2 : compute_chunk_bound(start);
}

std::uint32_t IncreasingUniform::next_index() {
    const std::uint32_t next_n = n_ + 1;
    std::uint8_t left;
    if (chunk_remaining_ > 0) {
        left = static_cast<std::uint8_t>(chunk_remaining_ - 1);
    } else {
        const ChunkBound chunk = chunk_bound(next_n);
        chunk_ = source_.uniform_below(chunk.bound);
        left = static_cast<std::uint8_t>(chunk.count - 1);
    }
    std::uint32_t result;
    if (left == 0) {
        // The last digit is what remains of the chunk after the divisions.
        result = chunk_;
    } else {
        result = chunk_ % next_n;
        chunk_ /= next_n;
    }
    chunk_remaining_ = left;
    n_ = next_n;
    return result;
}

ShuffleParts partial_shuffle(std::span<std::uint32_t> list, RandomSource& source,
                             std::size_t amount) {
    expect(list.size() < kMaxU32, "list too long to shuffle");
    const std::size_t length = list.size();
    const std::size_t first = amount >= length ? 0 : length - amount;
    IncreasingUniform chooser(source, static_cast<std::uint32_t>(first));
    for (std::size_t i = first; i < length; ++i) {
        const std::uint32_t j = chooser.next_index();
        std::swap(list[i], list[j]);
    }
    return {list.subspan(first), list.first(first)};
}

SampleMethod choose_sample_method(std::uint32_t length, std::uint32_t amount) noexcept {
    // Each intermediate is stored as a float so that every operation is
    // rounded to single precision, as the thresholds were tuned.
    const bool large = length >= 500000;
    const float n = static_cast<float>(length);
    const float k = static_cast<float>(amount);
    if (amount < 163) {
        const float c0 = large ? 8.0f / 45.0f : 1.6f;
        const float c1 = large ? 70.0f / 9.0f : 10.0f;
        const float scaled = c0 * k;
        const float sum = c1 + scaled;
        const float limit = sum * k;
        return amount >= 12 && n < limit ? SampleMethod::Inplace : SampleMethod::Floyd;
    }
    const float c = large ? 330.0f / 9.0f : 270.0f;
    const float limit = c * k;
    return n < limit ? SampleMethod::Inplace : SampleMethod::Rejection;
}

std::vector<std::uint32_t> sample_indices(RandomSource& source, std::uint32_t length,
                                          std::uint32_t amount) {
    check_amount(length, amount);
    switch (choose_sample_method(length, amount)) {
        case SampleMethod::Floyd: return sample_by_floyd(source, length, amount);
        case SampleMethod::Inplace: return sample_inplace(source, length, amount);
        case SampleMethod::Rejection: return sample_by_rejection(source, length, amount);
    }
    throw Fault("unknown sampling method");
}

std::vector<std::uint32_t> sample_by_floyd(RandomSource& source, std::uint32_t length,
                                           std::uint32_t amount) {
    check_amount(length, amount);
    std::vector<std::uint32_t> indices;
    indices.reserve(amount);
    // j + 1 <= length, so every range fits in 32 bits.
    for (std::uint32_t j = length - amount; j < length; ++j) {
        const std::uint32_t t = source.uniform_below(j + 1);
        if (const auto taken = std::find(indices.begin(), indices.end(), t);
            taken != indices.end()) {
            *taken = j;
        }
        indices.push_back(t);
    }
    return indices;
}

std::vector<std::uint32_t> sample_inplace(RandomSource& source, std::uint32_t length,
                                          std::uint32_t amount) {
    check_amount(length, amount);
    std::vector<std::uint32_t> indices(length);
    std::iota(indices.begin(), indices.end(), std::uint32_t{0});
    for (std::uint32_t i = 0; i < amount; ++i) {
        const std::uint32_t j = i + source.uniform_below(length - i);
        std::swap(indices[i], indices[j]);
    }
    indices.resize(amount);
    return indices;
}

std::vector<std::uint32_t> sample_by_rejection(RandomSource& source, std::uint32_t length,
                                               std::uint32_t amount) {
    check_amount(length, amount);
    // The set only answers "already taken?"; the result's order is the
    // order of acceptance, kept in `indices`.
    std::unordered_set<std::uint32_t> taken;
    taken.reserve(amount);
    std::vector<std::uint32_t> indices;
    indices.reserve(amount);
    for (std::uint32_t drawn = 0; drawn < amount; ++drawn) {
        std::uint32_t position = uniform_below_zoned(source, length);
        while (!taken.insert(position).second) position = uniform_below_zoned(source, length);
        indices.push_back(position);
    }
    return indices;
}

std::uint32_t uniform_below_zoned(RandomSource& source, std::uint32_t range) {
    expect(range > 0, "zoned draw needs a range of at least 1");
    // Words whose low half falls below zone = (2^32 - range) mod range would
    // make some results more likely than others, so they are redrawn.
    const std::uint32_t zone = (0u - range) % range;
    while (true) {
        const std::uint64_t product = std::uint64_t{source.next_u32()} * range;
        if (static_cast<std::uint32_t>(product) >= zone) {
            return static_cast<std::uint32_t>(product >> 32);
        }
    }
}

}  // namespace gapweave
