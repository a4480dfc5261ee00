#include "engine/depth.hpp"

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
        const std::uintptr_t here = platform::frame_address();
        floor = here > (256u << 10) ? here - (256u << 10) : 1;
        return floor;
    }
    // Half the stack, whatever its size: a 64 KiB thread still renders
    // ordinary documents, and every repr() called at the deepest level has
    // the other half (4 MiB of an 8 MiB main thread) for its own recursion.
    floor = reinterpret_cast<std::uintptr_t>(addr) + size / 2;
    return floor;
}

}  // namespace orrery
