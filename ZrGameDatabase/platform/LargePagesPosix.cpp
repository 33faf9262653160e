// LargePagesPosix.cpp: large pages through Linux's transparent huge pages.
//
// Many systems back memory with huge pages only where it was asked for (the "madvise" setting),
// and only where a whole, aligned huge page lies inside the range. Elsewhere this does nothing.
#include "platform/LargePages.h"

#include <sys/mman.h>

#include <cstdint>

namespace Database::Platform {

void PreferLargePages(void* address, std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    if (address == nullptr || size < kLargePageSize || begin > UINTPTR_MAX - size)
        return;
    constexpr auto kMask = static_cast<std::uintptr_t>(kLargePageSize - 1);
    const std::uintptr_t first = (begin + kMask) & ~kMask;
    const std::uintptr_t end = (begin + size) & ~kMask;
    if (first < end)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);  // a refusal changes nothing
#else
    (void)address;
    (void)size;
#endif
}

}  // namespace Database::Platform
