#include "engine/leaves.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

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

// Printability of the Latin-1 range, asked of the interpreter once.
const std::array<bool, 256>& latin1_printable() {
    static const std::array<bool, 256> table = [] {
        std::array<bool, 256> t{};
        for (int c = 0; c < 256; ++c) t[c] = _PyUnicode_IsPrintable(static_cast<Py_UCS4>(c)) != 0;
        return t;
    }();
    return table;
}

inline bool printable(Py_UCS4 c) {
    return c < 256 ? latin1_printable()[c] : _PyUnicode_IsPrintable(c) != 0;
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
        } else if (printable(c)) {
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
    bool squote = false;
    bool dquote = false;
    bool plain = true;  // ASCII only, nothing to escape
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = data[i];
        if (c >= 128) {
            plain = false;
        } else if (ascii_special[c]) {
            squote |= c == '\'';
            dquote |= c == '"';
            plain &= c == '\'' || c == '"';
        }
    }
    // Single quotes unless the text holds one and no double quote.
    const char quote = squote && !dquote ? '"' : '\'';
    char* p = dst;
    *p++ = quote;
    if (plain && !(squote && dquote)) {
        // Only one kind of quote can occur, and it is not the delimiter.
        for (Py_ssize_t i = 0; i < n; ++i) p[i] = static_cast<char>(data[i]);
        p += n;
    } else {
        p = escape_all(data, n, quote, p);
    }
    *p++ = quote;
    return static_cast<std::size_t>(p - dst);
}

// ASCII text: one branch-free scan decides whether a plain copy will do.
std::size_t ascii_repr(const Py_UCS1* data, Py_ssize_t n, char* dst) {
    bool special = false;
    for (Py_ssize_t i = 0; i < n; ++i) special |= ascii_special[data[i]];
    if (special) return repr_of(data, n, dst);
    dst[0] = '\'';
    std::memcpy(dst + 1, data, static_cast<std::size_t>(n));
    dst[n + 1] = '\'';
    return static_cast<std::size_t>(n) + 2;
}

}  // namespace

std::size_t str_repr(PyObject* s, char* dst) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    if (PyUnicode_IS_ASCII(s)) return ascii_repr(static_cast<const Py_UCS1*>(data), n, dst);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return repr_of(static_cast<const Py_UCS1*>(data), n, dst);
        case PyUnicode_2BYTE_KIND: return repr_of(static_cast<const Py_UCS2*>(data), n, dst);
        default: return repr_of(static_cast<const Py_UCS4*>(data), n, dst);
    }
}

std::size_t int_repr(long long v, char* dst) noexcept {
    return static_cast<std::size_t>(std::to_chars(dst, dst + int_repr_bound, v).ptr - dst);
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
