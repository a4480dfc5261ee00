#include "engine/leaves.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orrery::leaves {

namespace {

constexpr char hex[] = "0123456789abcdef";

// Bytes of ASCII strings that need more than a plain copy: controls, DEL,
// backslash and both quote characters.
constexpr std::array<bool, 128> ascii_special = [] {
    std::array<bool, 128> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = true;
    t[0x7f] = t['\\'] = t['\''] = t['"'] = true;
    return t;
}();

// Printability of the basic multilingual plane, one bit per code point,
// asked of the interpreter once (on first need, under the interpreter lock)
// through the documented Py_UNICODE_ISPRINTABLE, the only per-character form
// of str.isprintable() in the C API.
using PrintableBits = std::array<std::uint64_t, 1024>;

const PrintableBits& bmp_printable() {
    static const PrintableBits bits = [] {
        PrintableBits b{};
        for (Py_UCS4 c = 0; c < 0x10000; ++c) {
            if (Py_UNICODE_ISPRINTABLE(c)) b[c >> 6] |= std::uint64_t{1} << (c & 63);
        }
        return b;
    }();
    return bits;
}

inline bool printable(const PrintableBits& bmp, Py_UCS4 c) {
    if (c < 0x10000) return (bmp[c >> 6] >> (c & 63)) & 1;
    return Py_UNICODE_ISPRINTABLE(c) != 0;
}

inline char* put_utf8(char* p, Py_UCS4 c) {
    if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (c >> 18));
        *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
    return p;
}

inline char* put_hex(char* p, Py_UCS4 c, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) *p++ = hex[(c >> shift) & 15];
    return p;
}

template <class Char>
char* escape_all(const Char* data, Py_ssize_t n, char quote, char* p) {
    const PrintableBits& bmp = bmp_printable();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = data[i];
        if (c < 0x7F && !ascii_special[c]) {
            *p++ = static_cast<char>(c);
        } else if (c == static_cast<Py_UCS4>(quote) || c == '\\') {
            *p++ = '\\';
            *p++ = static_cast<char>(c);
        } else if (c == '\t') {
            *p++ = '\\';
            *p++ = 't';
        } else if (c == '\n') {
            *p++ = '\\';
            *p++ = 'n';
        } else if (c == '\r') {
            *p++ = '\\';
            *p++ = 'r';
        } else if (c < ' ' || c == 0x7F) {
            *p++ = '\\';
            *p++ = 'x';
            p = put_hex(p, c, 2);
        } else if (c < 0x7F) {
            *p++ = static_cast<char>(c);
        } else if (printable(bmp, c)) {
            p = put_utf8(p, c);
        } else if (c <= 0xFF) {
            *p++ = '\\';
            *p++ = 'x';
            p = put_hex(p, c, 2);
        } else if (c <= 0xFFFF) {
            *p++ = '\\';
            *p++ = 'u';
            p = put_hex(p, c, 4);
        } else {
            *p++ = '\\';
            *p++ = 'U';
            p = put_hex(p, c, 8);
        }
    }
    return p;
}

template <class Char>
std::size_t repr_of(const Char* data, Py_ssize_t n, char* dst) {
    // A branch-free scan for the two quote characters picks the delimiter:
    // single quotes unless the text holds one and no double quote.
    bool squote = false;
    bool dquote = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        squote |= data[i] == '\'';
        dquote |= data[i] == '"';
    }
    const char quote = squote && !dquote ? '"' : '\'';
    char* p = dst;
    *p++ = quote;
    p = escape_all(data, n, quote, p);
    *p++ = quote;
    return static_cast<std::size_t>(p - dst);
}

// ASCII text: one branch-free scan decides whether a plain copy will do.
std::size_t ascii_repr(const Py_UCS1* data, Py_ssize_t n, char* dst) {
    bool special = false;
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7f);
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i squote = _mm_set1_epi8('\'');
    const __m128i dquote = _mm_set1_epi8('"');
    __m128i any = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        any = _mm_or_si128(any, _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, del)),
                                              _mm_or_si128(_mm_cmpeq_epi8(v, backslash),
                                                           _mm_or_si128(_mm_cmpeq_epi8(v, squote),
                                                                        _mm_cmpeq_epi8(v, dquote)))));
    }
    special = _mm_movemask_epi8(any) != 0;
#endif
    for (; i < n; ++i) special |= ascii_special[data[i]];
    if (special) return repr_of(data, n, dst);
    dst[0] = '\'';
    std::memcpy(dst + 1, data, static_cast<std::size_t>(n));
    dst[n + 1] = '\'';
    return static_cast<std::size_t>(n) + 2;
}

template <class Char>
bool plain_text(const Char* data, Py_ssize_t n, char& quote) {
    const PrintableBits& bmp = bmp_printable();
    bool squote = false;
    bool dquote = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = data[i];
        if (c < 0x7F) {
            if (c < ' ' || c == '\\') return false;
            squote |= c == '\'';
            dquote |= c == '"';
        } else if (!printable(bmp, c)) {
            return false;
        }
    }
    if (squote && dquote) return false;
    quote = squote ? '"' : '\'';
    return true;
}

// Calls `f(chars, length)` with the string's characters in their stored width.
template <class F>
auto with_chars(PyObject* s, F&& f) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(data), n);
        default: return f(static_cast<const Py_UCS4*>(data), n);
    }
}

}  // namespace

bool plain_repr(PyObject* s, char& quote) noexcept {
    return with_chars(s, [&](const auto* data, Py_ssize_t n) { return plain_text(data, n, quote); });
}

std::size_t str_repr(PyObject* s, char* dst) noexcept {
    if (PyUnicode_IS_ASCII(s))
        return ascii_repr(static_cast<const Py_UCS1*>(PyUnicode_DATA(s)), PyUnicode_GET_LENGTH(s), dst);
    return with_chars(s, [&](const auto* data, Py_ssize_t n) { return repr_of(data, n, dst); });
}

namespace {
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
}  // namespace

std::size_t int_repr(long long v, char* dst) noexcept {
    char* p = dst;
    unsigned long long u = static_cast<unsigned long long>(v);
    if (v < 0) {
        *p++ = '-';
        u = 0 - u;
    }
    // Decimal digits from the bit length: log10(2) ~ 1233 / 4096, corrected
    // by one comparison.
    static constexpr unsigned long long powers[] = {
        1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
        1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
        100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
        1000000000000000000ull, 10000000000000000000ull};
    const unsigned bits = 64 - static_cast<unsigned>(__builtin_clzll(u | 1));
    unsigned digits = (bits * 1233) >> 12;
    digits += u >= powers[digits];
    digits += digits == 0;  // zero has one digit
    // Digits are written two at a time, from the last one back.
    char* q = p + digits;
    while (u >= 100) {
        const unsigned r = static_cast<unsigned>(u % 100);
        u /= 100;
        q -= 2;
        q[0] = digit_pairs[2 * r];
        q[1] = digit_pairs[2 * r + 1];
    }
    if (u >= 10) {
        q[-2] = digit_pairs[2 * u];
        q[-1] = digit_pairs[2 * u + 1];
    } else {
        q[-1] = static_cast<char>('0' + u);
    }
    return static_cast<std::size_t>(p - dst) + digits;
}

std::size_t float_repr(double v, char* dst) noexcept {
    char* p = dst;
    if (std::isnan(v)) {
        std::memcpy(p, "nan", 3);
        return 3;
    }
    if (std::signbit(v)) *p++ = '-';
    if (std::isinf(v)) {
        std::memcpy(p, "inf", 3);
        return static_cast<std::size_t>(p + 3 - dst);
    }
    // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]XX".
    char sci[32];
    const char* end = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific).ptr;
    char digits[20];
    int ndigits = 0;
    const char* q = sci;
    for (; q < end && *q != 'e'; ++q) {
        if (*q != '.') digits[ndigits++] = *q;
    }
    int exp10 = 0;
    std::from_chars(q + (q[1] == '+' ? 2 : 1), end, exp10);
    const int decpt = exp10 + 1;  // digits read as 0.DDD x 10^decpt
    if (decpt <= -4 || decpt > 16) {
        *p++ = digits[0];
        if (ndigits > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, static_cast<std::size_t>(ndigits - 1));
            p += ndigits - 1;
        }
        *p++ = 'e';
        *p++ = exp10 < 0 ? '-' : '+';
        const int mag = exp10 < 0 ? -exp10 : exp10;
        if (mag < 10) *p++ = '0';
        p = std::to_chars(p, p + 4, mag).ptr;
    } else if (decpt <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = 0; i < -decpt; ++i) *p++ = '0';
        std::memcpy(p, digits, static_cast<std::size_t>(ndigits));
        p += ndigits;
    } else if (decpt < ndigits) {
        std::memcpy(p, digits, static_cast<std::size_t>(decpt));
        p += decpt;
        *p++ = '.';
        std::memcpy(p, digits + decpt, static_cast<std::size_t>(ndigits - decpt));
        p += ndigits - decpt;
    } else {
        std::memcpy(p, digits, static_cast<std::size_t>(ndigits));
        p += ndigits;
        for (int i = ndigits; i < decpt; ++i) *p++ = '0';
        *p++ = '.';
        *p++ = '0';
    }
    return static_cast<std::size_t>(p - dst);
}

}  // namespace orrery::leaves
