#include "generators/nth_smallest.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/fault.hpp"

namespace gapweave {

namespace {

// nth_smallest with `Count` wide enough for the number of keys: 32-bit
// counts keep the histogram within a core's cache.
template <class Count>
std::uint64_t narrow_to_nth(std::span<const std::uint64_t> keys, std::size_t position) {
    constexpr int kDigitBits = 16;
    constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
    constexpr std::size_t kSmall = 1 << 12;  // few enough to search directly
    std::vector<std::uint64_t> narrowed;
    std::span<const std::uint64_t> current = keys;
    std::vector<Count> counts(std::size_t{1} << kDigitBits);
    for (int shift = 64 - kDigitBits; current.size() > kSmall; shift -= kDigitBits) {
        const auto digit = [shift](std::uint64_t key) {
            return static_cast<std::size_t>((key >> shift) & kDigitMask);
        };
        std::fill(counts.begin(), counts.end(), 0);
        for (std::uint64_t key : current) ++counts[digit(key)];
        std::size_t bucket = 0;
        while (position >= counts[bucket]) position -= counts[bucket++];
        // The keys left share every digit above this one; at the last digit
        // the bucket's keys are all the answer.
        if (shift == 0) return (current.front() & ~kDigitMask) | bucket;
        if (counts[bucket] == current.size()) continue;
        std::vector<std::uint64_t> next;
        next.reserve(counts[bucket]);
        for (std::uint64_t key : current) {
            if (digit(key) == bucket) next.push_back(key);
        }
        narrowed = std::move(next);
        current = narrowed;
    }
    std::vector<std::uint64_t> rest(current.begin(), current.end());
    const auto nth = rest.begin() + static_cast<std::ptrdiff_t>(position);
    std::nth_element(rest.begin(), nth, rest.end());
    return *nth;
}

}  // namespace

std::uint64_t nth_smallest(std::span<const std::uint64_t> keys, std::size_t position) {
    check_index(position, keys.size());
    return keys.size() < UINT32_MAX ? narrow_to_nth<std::uint32_t>(keys, position)
                                    : narrow_to_nth<std::uint64_t>(keys, position);
}

std::uint64_t next_in_order(std::span<const std::uint64_t> keys, std::size_t position,
                            std::uint64_t key) {
    std::size_t at_most = 0;
    std::uint64_t above = UINT64_MAX;
    for (const std::uint64_t k : keys) {
        at_most += k <= key;
        above = k > key && k < above ? k : above;
    }
    return at_most > position + 1 ? key : above;
}

}  // namespace gapweave
