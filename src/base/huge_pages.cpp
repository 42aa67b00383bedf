#include "base/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace gapweave {

namespace {

constexpr std::uintptr_t kHugePage = kHugePageBytes;

}  // namespace

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (data == nullptr || bytes < kHugePageBytes) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (begin > UINTPTR_MAX - bytes) return;
    const std::uintptr_t end = begin + bytes;
    const std::uintptr_t first = (begin + (kHugePage - 1)) & ~(kHugePage - 1);
    const std::uintptr_t last = end & ~(kHugePage - 1);
    if (first >= last) return;
    // A refusal (EINVAL where THP is compiled out, for instance) is harmless.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace gapweave
