#include "engine/depth.hpp"

#include <algorithm>
#include <pthread.h>

namespace orrery {

std::uintptr_t native_stack_floor() noexcept {
    static thread_local std::uintptr_t floor = 0;
    if (floor != 0) return floor;
    pthread_attr_t attr;
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
    }
    if (addr == nullptr || size == 0) {
        // Unknown bounds: assume a small stack below the current frame.
        auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        floor = here > (256u << 10) ? here - (256u << 10) : 1;
        return floor;
    }
    const std::size_t reserve = std::clamp<std::size_t>(size / 4, 64u << 10, 256u << 10);
    floor = reinterpret_cast<std::uintptr_t>(addr) + reserve;
    return floor;
}

}  // namespace orrery
