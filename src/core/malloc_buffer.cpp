#include "core/malloc_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace rowmerge {

void advise_huge_pages(void* start, std::size_t bytes) noexcept {
    constexpr std::size_t threshold = std::size_t{4} << 20;
    constexpr std::uintptr_t page = 4096;
    if (bytes < threshold) {
        return;
    }
    // madvise wants page-aligned ranges: advise the whole pages inside the buffer.
    const auto begin = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(page - 1);
    if (last > first) {
        // A hint: failure is harmless.
        ::madvise(static_cast<char*>(start) + (first - begin), last - first, MADV_HUGEPAGE);
    }
}

}  // namespace rowmerge
