// Hints to the kernel about large buffers the engine is about to fill.
#pragma once

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

// Tells the kernel that the whole pages inside [begin, end) of a buffer the
// caller owns will not be read again: their memory goes back to the system
// at once instead of when the buffer is freed. The bytes there are undefined
// afterwards. Only a hint; failures are ignored. Returns `begin` rounded up
// to a page boundary: passed as `end` of the stretch just below, the page
// that the two share is given back with that one.
inline unsigned char* release_pages(unsigned char* begin, unsigned char* end) noexcept {
#if defined(MADV_DONTNEED) && defined(_SC_PAGESIZE)
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    return begin + (from - reinterpret_cast<std::uintptr_t>(begin));
#else
    (void)end;
    return begin;
#endif
}

}  // namespace orrery
