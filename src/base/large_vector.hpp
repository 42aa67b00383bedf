// Vectors for a call's large working buffers (sorted columns, keys,
// targets): their storage comes straight from the system and goes straight
// back to it, so that memory a call frees is returned at once instead of
// being kept by the heap for later requests that may not fit it, which
// would add to the call's peak. The storage is mapped in whole huge pages
// and advised them before its first write, and elements made without a
// value are left unwritten.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace gapweave {

namespace detail {

// Storage of at least kLargeBytes from the system (zeroed pages), smaller
// requests from the ordinary heap; std::bad_alloc when none is left.
inline constexpr std::size_t kLargeBytes = std::size_t{1} << 20;
void* allocate_large(std::size_t bytes);
void release_large(void* data, std::size_t bytes) noexcept;

}  // namespace detail

template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(detail::allocate_large(count * sizeof(T)));
    }
    void deallocate(T* data, std::size_t count) noexcept {
        detail::release_large(data, count * sizeof(T));
    }

    // Elements made without arguments are default-initialised: a buffer
    // about to be filled is not written twice.
    template <class U>
    void construct(U* at) noexcept(noexcept(U())) {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace gapweave
