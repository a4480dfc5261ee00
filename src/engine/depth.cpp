#include "engine/depth.hpp"

#include <pthread.h>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace orrery {

namespace {

// The calling thread's floor once found (0 before), and whether finding it
// is put off until a render goes deep (-1 before it is known).
thread_local std::uintptr_t known_floor = 0;
thread_local signed char put_off = -1;

// How far below its first frame a render goes before the floor is found
// when finding it is costly: far more than ordinary documents nest, far less
// than the part of any stack kept below the floor.
constexpr std::uintptr_t unprobed_depth = 64u << 10;

// Whether finding the floor costs more than a render of a small document.
// For the main thread of a Linux process the stack's bounds are read from
// /proc/self/maps (hundreds of thousands of instructions); other threads
// keep theirs at hand.
bool probe_is_costly() noexcept {
#if defined(__linux__)
    return syscall(SYS_gettid) == getpid();
#else
    return false;
#endif
}

}  // namespace

std::uintptr_t native_stack_floor() noexcept {
    if (known_floor != 0) return known_floor;
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
        known_floor = here > (256u << 10) ? here - (256u << 10) : 1;
        return known_floor;
    }
    // Half the stack, whatever its size: a 64 KiB thread still renders
    // ordinary documents, and every repr() called at the deepest level has
    // the other half (4 MiB of an 8 MiB main thread) for its own recursion.
    known_floor = reinterpret_cast<std::uintptr_t>(addr) + size / 2;
    return known_floor;
}

StackFloor::StackFloor() noexcept {
    if (known_floor == 0) {
        if (put_off < 0) put_off = probe_is_costly() ? 1 : 0;
        if (put_off == 1) {
            const std::uintptr_t here = platform::frame_address();
            limit_ = here > unprobed_depth ? here - unprobed_depth : 0;
            provisional_ = true;
            return;
        }
    }
    limit_ = native_stack_floor();
}

bool StackFloor::settle(std::uintptr_t frame) noexcept {
    if (!provisional_) return false;
    provisional_ = false;
    limit_ = native_stack_floor();
    return frame >= limit_;
}

}  // namespace orrery
