// Hints to the kernel about large buffers the engine is about to fill.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace orrery {

// Asks for transparent huge pages on the whole 2 MiB blocks inside a large
// buffer that will be written front to back: one fault per 2 MiB instead of
// one per 4 KiB. Only a hint; failures are ignored.
inline void advise_sequential_fill(void* data, std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t block = std::uintptr_t{2} << 20;
    if (size < 2 * block) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + block - 1) & ~(block - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(block - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

inline std::uintptr_t page_size() noexcept { return static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)); }

// Asks for small pages only on a buffer, where the system would otherwise
// back it with huge pages by default: a huge page comes in whole on its
// first write. Only a hint; failures are ignored.
inline void advise_small_pages(void* data, std::size_t size) noexcept {
#if defined(MADV_NOHUGEPAGE)
    const std::uintptr_t page = page_size();
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_NOHUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

// Tells the kernel that the whole pages inside [begin, end) of a buffer the
// caller owns will not be read again: their memory goes back to the system
// at once instead of when the buffer is freed. The bytes there are undefined
// afterwards. Only a hint; failures are ignored. Returns `begin` rounded up
// to a page boundary: passed as `end` of the stretch just below, the page
// that the two share is given back with that one.
inline unsigned char* release_pages(unsigned char* begin, unsigned char* end) noexcept {
#if defined(MADV_DONTNEED)
    const std::uintptr_t page = page_size();
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    return begin + (from - reinterpret_cast<std::uintptr_t>(begin));
#else
    (void)end;
    return begin;
#endif
}

// Asks for the pages of [begin, end), about to be written front to back, to
// be made resident in one call rather than one fault each, unless they are
// all resident already (memory the allocator hands out again). Returns
// whether any page was missing: false tells the caller that asking again is
// likely to be wasted. Only a hint: failures are ignored, and without the
// kernel's support (before Linux 5.14) nothing is done.
inline bool prefault_for_write(void* begin, void* end) noexcept {
#if defined(MADV_POPULATE_WRITE)
    const std::uintptr_t page = page_size();
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(end) + page - 1) & ~(page - 1);
    if (to <= from) return true;
    // The first pages tell: the allocator hands out a block resident or not
    // as a whole, or resident up to some point.
    unsigned char resident[512];
    const std::uintptr_t seen = std::min<std::uintptr_t>((to - from) / page, sizeof resident);
    if (mincore(reinterpret_cast<void*>(from), seen * page, resident) != 0) return false;
    std::uintptr_t missing = 0;
    for (std::uintptr_t i = 0; i < seen; ++i) missing += ~resident[i] & 1;
    if (missing == 0) return false;
    madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    return true;
#else
    (void)begin;
    (void)end;
    return false;
#endif
}

}  // namespace orrery
