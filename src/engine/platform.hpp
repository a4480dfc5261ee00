// What depends on the compiler or the processor, in one place: the text
// kernel the build uses, and the few compiler builtins the engine asks for,
// each with a portable fallback in standard C++.
//
// Text kernels: the string scans, escapes, digit writers and sink fills have
// an SSE2 kernel for x86-64 and a portable scalar one that gives the same
// results everywhere else. ORRERY_KERNEL_SSE2 is 1 when the SSE2 kernel is
// built; defining ORRERY_PORTABLE_KERNELS (the CMake option of that name)
// builds the scalar kernel on x86-64 too, so that it is tested there.
// kernel.hpp includes the kernel built (kernel_sse2.hpp or kernel_scalar.hpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__SSE2__) && !defined(ORRERY_PORTABLE_KERNELS)
#define ORRERY_KERNEL_SSE2 1
#include <emmintrin.h>
#else
#define ORRERY_KERNEL_SSE2 0
#endif

// Forces a lambda's body inline where it is called (standard attributes
// cannot name a lambda's call operator before C++23).
#if defined(__GNUC__)
#define ORRERY_INLINE_LAMBDA __attribute__((always_inline))
#else
#define ORRERY_INLINE_LAMBDA
#endif

namespace orrery::platform {

// The bytes of `w` in reverse order (std::byteswap is C++23).
constexpr std::uint64_t byteswap64(std::uint64_t w) noexcept {
    w = ((w & 0x00FF00FF00FF00FFull) << 8) | ((w >> 8) & 0x00FF00FF00FF00FFull);
    w = ((w & 0x0000FFFF0000FFFFull) << 16) | ((w >> 16) & 0x0000FFFF0000FFFFull);
    return (w << 32) | (w >> 32);
}
static_assert(byteswap64(0x0102030405060708ull) == 0x0807060504030201ull);

// An address within the calling function's frame, for the native stack
// check: the frame address where the compiler gives it, else the address of
// a local (as good a measure, a few bytes off).
[[gnu::always_inline]] inline std::uintptr_t frame_address() noexcept {
#if defined(__GNUC__)
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#else
    volatile char here = 0;
    return reinterpret_cast<std::uintptr_t>(&here);
#endif
}

// Asks for the cache line at `p` ahead of its use; a hint only.
[[gnu::always_inline]] inline void prefetch([[maybe_unused]] const void* p) noexcept {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#endif
}

// Returns `v` unchanged, hiding its value from the optimizer (which would
// otherwise rewrite a comparison or a mask against it into something slower
// or a branch). Without a compiler barrier this is the identity.
[[gnu::always_inline]] inline std::ptrdiff_t opaque(std::ptrdiff_t v) noexcept {
#if defined(__GNUC__)
    __asm__("" : "+r"(v));
#endif
    return v;
}
#if ORRERY_KERNEL_SSE2
[[gnu::always_inline]] inline __m128i opaque(__m128i v) noexcept {
    __asm__("" : "+x"(v));
    return v;
}
#endif

// The 128-bit product of two 64-bit numbers, in two halves.
struct Product {
    std::uint64_t high, low;
};
[[gnu::always_inline]] inline Product multiply_wide(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ using u128 = unsigned __int128;
    const u128 x = static_cast<u128>(a) * b;
    return {static_cast<std::uint64_t>(x >> 64), static_cast<std::uint64_t>(x)};
#else
    const std::uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (mid << 32) | (p00 & 0xFFFFFFFF)};
#endif
}

// The last occurrence of byte `c` in data[0, n), or nullptr.
inline const char* find_last(const char* data, std::size_t n, char c) noexcept {
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    if (n == 0) return nullptr;
    return static_cast<const char*>(memrchr(data, c, n));
#else
    while (n > 0) {
        if (data[n - 1] == c) return data + n - 1;
        --n;
    }
    return nullptr;
#endif
}

}  // namespace orrery::platform
