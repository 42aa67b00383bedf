#include "base/large_vector.hpp"

#include "base/huge_pages.hpp"

#if defined(__unix__)
#include <sys/mman.h>
#endif

namespace gapweave::detail {

#if defined(__unix__)
namespace {

// Mappings are whole huge pages, which the kernel then places on a huge-page
// boundary, so that every huge page of the request can be backed as one.
// For a request that was mapped, or is checked before it is.
std::size_t mapped_bytes(std::size_t bytes) noexcept {
    return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

}  // namespace
#endif

void* allocate_large(std::size_t bytes) {
#if defined(__unix__)
    if (bytes >= kLargeBytes) {
        if (bytes > static_cast<std::size_t>(-1) - (kHugePageBytes - 1)) throw std::bad_alloc();
        const std::size_t mapped = mapped_bytes(bytes);
        void* data =
            mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) throw std::bad_alloc();
        // The tail past the request shares the last huge page; it is backed
        // too when small beside the request, which saves hundreds of page
        // faults (and, for the sorted columns that picks read at random,
        // misses in the address cache) for at most an eighth more memory.
        advise_huge_pages(data, mapped - bytes <= bytes / 8 ? mapped : bytes);
        return data;
    }
#endif
    return ::operator new(bytes);
}

void release_large(void* data, std::size_t bytes) noexcept {
#if defined(__unix__)
    if (bytes >= kLargeBytes) {
        munmap(data, mapped_bytes(bytes));
        return;
    }
#endif
    ::operator delete(data);
}

}  // namespace gapweave::detail
