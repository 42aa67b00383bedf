#include "support/large_vector.hpp"

#include "support/huge_pages.hpp"

#if defined(__unix__)
#include <sys/mman.h>
#endif

namespace gapweave::detail {

void* allocate_large(std::size_t bytes) {
#if defined(__unix__)
    if (bytes >= kLargeBytes) {
        void* data =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) throw std::bad_alloc();
        advise_huge_pages(data, bytes);
        return data;
    }
#endif
    return ::operator new(bytes);
}

void release_large(void* data, std::size_t bytes) noexcept {
#if defined(__unix__)
    if (bytes >= kLargeBytes) {
        munmap(data, bytes);
        return;
    }
#endif
    ::operator delete(data);
}

}  // namespace gapweave::detail
