// Direct rendering of exact built-in leaf values, byte-identical to their
// repr() but without creating an intermediate str object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "boundary/cpython_compat.hpp"
#include "engine/kernel.hpp"
#include "engine/platform.hpp"


namespace orrery::leaves {

// Strings longer than this go through repr() (bounding the scratch space).
inline constexpr Py_ssize_t max_direct_str = Py_ssize_t{1} << 20;

// Room for repr(s) of an exact str `s`, as UTF-8 bytes or as code units:
// an upper bound of its size, and 16 more that the escaping of text in
// blocks may write past it.
inline std::size_t str_repr_bound(PyObject* s) noexcept {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return 4 * n + 2 + 16;
        case PyUnicode_2BYTE_KIND: return 6 * n + 2 + 16;
        default: return 10 * n + 2 + 16;
    }
}

// Writes the UTF-8 of repr(s) to `dst` (room for str_repr_bound(s) bytes)
// and returns its length.
std::size_t str_repr(PyObject* s, char* dst) noexcept;

// What repr() of an exact str will hold, found in one pass over its text.
struct StrShape {
    char quote;       // the delimiter repr() picks
    bool plain;       // the text goes between the quotes unchanged
    Py_UCS4 maxchar;  // the widest character repr() writes (0x7F, 0xFF, 0xFFFF or 0x10FFFF)
};
StrShape str_shape(PyObject* s) noexcept;

// For each printable code point of the basic multilingual plane, the last
// one of the run of printable code points it starts (0 for one that is not
// printable); constant data, or null until first needed where the tables are
// asked of the interpreter.
extern std::atomic<const std::uint16_t*> printable_runs;

// Whether every character beyond ASCII of the text is printable, asked of
// each character (building the tables it reads on first use).
template <class Char>
bool printable_chars(const Char* data, std::size_t n) noexcept;
// printable_chars of text whose characters all lie below U+20000.
bool printable_chars_in_planes(const Py_UCS4* data, std::size_t n) noexcept;

// Whether the run of printable code points holding `low` reaches `high`
// (the smallest and the largest character beyond ASCII of some text), so
// that every character between them is printable; false also while the
// runs are not built yet.
inline bool within_one_run(Py_UCS4 low, Py_UCS4 high) noexcept {
    const std::uint16_t* runs = printable_runs.load(std::memory_order_acquire);
    return runs != nullptr && high < 0x10000 && runs[low] >= high;
}

// printable_text when the runs do not answer at once (building them on
// first use).
template <class Char>
bool printable_text_slow(const Char* data, std::size_t n, Py_UCS4 low, Py_UCS4 high) noexcept;

// Whether every character beyond ASCII of the text is printable, given the
// smallest (`low`) and the largest (`high`, at least 0x80) of them. Text of
// one script mostly lies within one run: one lookup, inline.
template <class Char>
inline bool printable_text(const Char* data, std::size_t n, Py_UCS4 low, Py_UCS4 high) noexcept {
    if (within_one_run(low, high)) [[likely]]
        return true;
    return printable_text_slow(data, n, low, high);
}

// Writes repr(s) as code units of type Unit (wide enough for shape.maxchar)
// to `dst`, with room for str_repr_bound(s) units; returns how many.
// `copied` says the text is already at dst + 1 as it is: escaped text is
// then kept up to its first escaped character.
template <class Unit>
std::size_t str_repr_units(PyObject* s, const StrShape& shape, Unit* dst, bool copied = false) noexcept;

// Room needed by int_repr.
inline constexpr std::size_t int_repr_bound = 24;

// '0' in every byte.
inline constexpr std::uint64_t ascii_zeros = 0x3030303030303030ull;

// The 8 digits of x < 10^8, leading zeros included, as byte values 0-9 in
// one word, the first digit in its lowest byte. Two groups of four in the
// two 32-bit halves, each split into pairs in 16-bit lanes, each pair into
// two digits in bytes; every lane's division by 100 or 10 is a
// multiplication and a shift, exact for what the lane holds (x * 10486 >>
// 20 is x / 100 below 10^4, x * 103 >> 10 is x / 10 below 100), and no
// lane's product reaches the next lane.
[[gnu::always_inline]] inline std::uint64_t digit_bytes8(std::uint32_t x) noexcept {
    const std::uint64_t quads = (x / 10000) | (std::uint64_t{x % 10000} << 32);
    const std::uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007F0000007Full;
    const std::uint64_t pairs = hundreds | ((quads - hundreds * 100) << 16);
    const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;
    return tens | ((pairs - tens * 10) << 8);
}

// Number of decimal digits of `u`, from its bit length: log10(2) ~ 1233 /
// 4096, corrected by one comparison.
inline unsigned decimal_digits(std::uint64_t u) noexcept {
    static constexpr std::uint64_t powers[] = {
        1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
        1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
        100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
        1000000000000000000ull, 10000000000000000000ull};
    const unsigned bits = 64 - static_cast<unsigned>(std::countl_zero(u | 1));
    unsigned digits = (bits * 1233) >> 12;
    digits += u >= powers[digits];
    return digits + (digits == 0);  // zero has one digit
}

// Writes 8 ASCII characters, the bytes of `w` from its lowest up, as units
// at `p`.
template <class Unit>
[[gnu::always_inline]] inline void put_ascii8(Unit* p, std::uint64_t w) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        if constexpr (std::endian::native == std::endian::big) w = platform::byteswap64(w);
        std::memcpy(p, &w, 8);
    } else {
        kernel::put_wide8(p, w);
    }
}

// Writes repr() of a value that fits a signed 64-bit integer as units at
// `p`, with room for int_repr_bound units; returns how many. The digits are
// made in registers, eight at a time, and each group is written in one go:
// text made in memory a byte at a time and then read back in wider loads
// would wait for those stores to complete.
template <class Unit>
[[gnu::always_inline]] inline std::size_t int_units(long long v, Unit* p) noexcept {
    constexpr std::uint64_t e8 = 100000000ull;
    std::uint64_t u = static_cast<std::uint64_t>(v);
    const bool negative = v < 0;
    p[0] = '-';
    p += negative;
    if (negative) u = 0 - u;
    const unsigned count = decimal_digits(u);
    // Each group but the last starts with the zeros above the value's
    // digits shifted out, and its last units are overwritten by the next.
    unsigned left = count;
    if (left > 16) {
        put_ascii8(p, (digit_bytes8(static_cast<std::uint32_t>(u / (e8 * e8))) | ascii_zeros) >> (8 * (24 - left)));
        p += left - 16;
        u %= e8 * e8;
        left = 16;
    }
    if (left > 8) {
        put_ascii8(p, (digit_bytes8(static_cast<std::uint32_t>(u / e8)) | ascii_zeros) >> (8 * (16 - left)));
        p += left - 8;
        u %= e8;
        left = 8;
    }
    put_ascii8(p, (digit_bytes8(static_cast<std::uint32_t>(u)) | ascii_zeros) >> (8 * (8 - left)));
    return negative + count;
}

// Writes repr() of a value that fits a signed 64-bit integer.
std::size_t int_repr(long long v, char* dst) noexcept;

// The value of an exact int if it fits a signed 64-bit integer. Small values
// are read straight from the object; the rest ask the interpreter.
inline bool small_int_value(PyObject* obj, long long& out) noexcept {
    if (compat::compact_long_value(obj, out)) return true;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0;
}

// Room needed by float_repr.
inline constexpr std::size_t float_repr_bound = 48;

// Writes repr() of a float: the shortest digits that read back as the same
// value, in fixed notation for exponents from -4 to 15 and with an exponent
// otherwise, as the interpreter formats it.
std::size_t float_repr(double v, char* dst) noexcept;

}  // namespace orrery::leaves
