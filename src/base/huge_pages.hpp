// Advice to the kernel that a large buffer about to be filled be backed by
// transparent huge pages, so that filling it takes one fault per 2 MiB
// instead of one per 4 KiB.
#pragma once

#include <cstddef>

namespace gapweave {

// Huge page size of x86-64 and of arm64 with 4 KiB base pages.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Asks for huge pages over the 2 MiB-aligned part of [data, data + bytes)
// when the range holds one. Only advice: nothing happens on systems without
// it, on ranges too small, or when the kernel refuses; the memory's contents
// are unchanged.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace gapweave
