#include "generators/planned/radix_sort.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace gapweave {

void radix_sort(std::vector<KeyedRow>& entries) {
    // Least significant digit first, skipping digits that are the same in
    // every key (common in the exponent bits of real data).
    constexpr int kBits = 11;
    constexpr int kDigits = (64 + kBits - 1) / kBits;
    constexpr std::uint64_t kMask = (std::uint64_t{1} << kBits) - 1;
    std::vector<std::array<std::uint32_t, kMask + 1>> counts(kDigits);
    for (const KeyedRow& e : entries) {
        for (int d = 0; d < kDigits; ++d) ++counts[d][(e.key >> (kBits * d)) & kMask];
    }
    std::vector<KeyedRow> scratch(entries.size());
    for (int d = 0; d < kDigits; ++d) {
        auto& count = counts[d];
        if (std::any_of(count.begin(), count.end(),
                        [&](std::uint32_t n) { return n == entries.size(); })) {
            continue;
        }
        std::uint32_t offset = 0;
        for (std::uint32_t& n : count) offset += std::exchange(n, offset);
        for (const KeyedRow& e : entries) scratch[count[(e.key >> (kBits * d)) & kMask]++] = e;
        entries.swap(scratch);
    }
}

}  // namespace gapweave
