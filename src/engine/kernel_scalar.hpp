// The portable scalar text kernel: the operations kernel.hpp lists, one
// character at a time, in standard C++ for any processor and byte order.
// Included by kernel.hpp only.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/kernel.hpp"

namespace orrery::kernel {

// Copies `n` characters to `dst` as units of type Unit (no copy when Unit is
// void) and classifies them.
template <class Char, class Unit, Follow F>
[[gnu::always_inline]] inline Scan copy_scan(const Char* text, std::size_t n, Unit* dst, bool) {
    Scan r{0, 0xFFFFFFFF, 0};
    for (std::size_t i = 0; i < n; ++i) {
        const Py_UCS4 c = text[i];
        if constexpr (!std::is_void_v<Unit>) dst[i] = static_cast<Unit>(c);
        if (c < 0x20 || c == 0x7F || c == '\\') r.bits |= needs_escape;
        if (F == Follow::latin1 && ((c >= 0x80 && c <= 0xA0) || c == 0xAD)) r.bits |= needs_escape;
        if (c == '\'') r.bits |= has_squote;
        if (c == '"') r.bits |= has_dquote;
        if (c >= 0x80 && c < r.low) r.low = c;
        if (c > r.high) r.high = c;
    }
    return r;
}

template <class Unit>
[[gnu::always_inline]] inline Scan copy_short_ascii(const Py_UCS1* text, std::size_t n, Unit* dst) noexcept {
    return copy_scan<Py_UCS1, Unit, Follow::escapes>(text, n, dst, true);
}

template <class Unit>
[[gnu::always_inline]] inline void widen_blocks(Unit* p, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(text[i]);
}

template <class Unit>
[[gnu::always_inline]] inline void put_wide8(Unit* p, std::uint64_t w) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<Unit>((w >> (8 * i)) & 0xFF);
}

[[gnu::always_inline]] inline long long round_to_integer(double t) noexcept { return std::llrint(t); }

// No blocks here: the caller escapes the whole text one character at a time.
template <class Char, class Out, class Rules>
[[gnu::always_inline]] inline std::size_t escape_plain_blocks(const Char*, std::size_t, char, Out*&, const Rules&) {
    return 0;
}

template <class Char, class Out, class Rules>
[[gnu::always_inline]] inline Out* escape_blocks(const Char* data, std::size_t from, std::size_t n, char, Out* p, bool, const Rules& rules) {
    return rules.chars(data, from, n, p);
}

template <class Char, class F>
[[gnu::always_inline]] inline std::size_t blocks_beyond_ascii(const Char*, std::size_t, F&&) {
    return 0;
}

}  // namespace orrery::kernel
