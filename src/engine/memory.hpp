// Hints to the kernel about large buffers the engine is about to fill.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

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

}  // namespace orrery
