#include "engine/leaves.hpp"

#include "engine/kernel.hpp"
#include "engine/printable_ranges.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>


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

// Printability of the basic multilingual plane and of the plane above it:
// what the documented Py_UNICODE_ISPRINTABLE (the only per-character form of
// str.isprintable() in the C API) answers. For the CPython releases whose
// Unicode version printable_ranges.hpp knows, the tables are constant data
// made from its ranges when the module is compiled; otherwise they are asked
// of the interpreter on first need, under the interpreter lock. Code points
// above plane 1 are asked one at a time.
inline constexpr Py_UCS4 bits_end = 0x20000;
using PrintableBits = std::array<std::uint64_t, bits_end / 64>;
// For a printable code point c, the last one of the run of printable code
// points that starts at c; 0 for one that is not printable. Text whose
// characters beyond ASCII lie between `low` and `high` is printable when
// run_end[low] >= high, one lookup for most text written in one script.
using RunEnds = std::array<std::uint16_t, 0x10000>;
// The bits as bytes of 0 or 1, and one 0 at bits_end standing for every code
// point from there on: text is checked with one load and one AND per
// character.
using PrintableBytes = std::array<std::uint8_t, bits_end + 1>;

#if ORRERY_PRINTABLE_BUILT_IN

// Calls `flip(c)` for each code point whose printability, Py_UNICODE_ISPRINTABLE's
// answer, the changes up to this release's Unicode version flip (from none
// printable). Each table below is a constant expression of its own, made
// from these ranges rather than a pass over every code point: the compilers
// bound the steps of one.
template <class Flip>
constexpr void release_changes(Flip flip) {
    const int count = printable_data::for_release(PY_MINOR_VERSION);
    for (int i = 0; i < count; ++i)
        for (const printable_data::Range& r : printable_data::changes[i])
            for (std::uint32_t c = r.first; c <= r.last; ++c) flip(c);
}

// Printability as bytes of 0 or 1.
constexpr PrintableBytes make_is_printable() {
    PrintableBytes is{};
    release_changes([&is](std::uint32_t c) { is[c] ^= 1; });
    return is;
}
constexpr PrintableBytes is_printable = make_is_printable();

// One bit per code point below bits_end: set for a character repr() shows as
// itself, and for every ASCII character (those it escapes are found by the
// scan of the text).
constexpr PrintableBits make_bits() {
    PrintableBits bits{};
    release_changes([&bits](std::uint32_t c) { bits[c >> 6] ^= std::uint64_t{1} << (c & 63); });
    bits[0] = bits[1] = ~std::uint64_t{0};
    return bits;
}

// From the top down: a printable code point followed by a printable one ends
// where that one's run ends.
constexpr RunEnds make_run_ends() {
    RunEnds ends{};
    std::uint16_t end = 0;  // of the run the code point above is in; 0 if none
    for (std::uint32_t c = 0x10000; c-- > 0;) {
        if (!is_printable[c]) {
            end = 0;
            continue;
        }
        if (end == 0) end = static_cast<std::uint16_t>(c);
        ends[c] = end;
    }
    return ends;
}

constexpr PrintableBytes make_bytes() {
    PrintableBytes bytes = is_printable;
    for (std::uint32_t c = 0; c < 0x80; ++c) bytes[c] = 1;
    return bytes;
}

constexpr PrintableBits printable_bit_table = make_bits();
constexpr RunEnds printable_run_ends = make_run_ends();
constexpr PrintableBytes printable_byte_table = make_bytes();

template <class Char>
inline const PrintableBits& printable_bits() {
    return printable_bit_table;
}

inline const RunEnds& run_ends() { return printable_run_ends; }
inline const std::uint8_t* printable_bytes() { return printable_byte_table.data(); }

#else

struct PrintableTables {
    // Plane 1 is filled when a str of 4-byte characters first needs it.
    PrintableBits bits;
    RunEnds run_end;
    PrintableBytes bytes;
};

PrintableTables printable_storage;

[[gnu::noinline, gnu::cold]] void build_printable() {
    static const bool built = [] {
        PrintableTables& t = printable_storage;
        // One pass from the top down: a printable code point followed by a
        // printable one ends where that one's run ends. (Code point 0 is not
        // printable.)
        std::uint16_t run_end = 0;  // of the run the code point above is in; 0 if none
        for (Py_UCS4 c = 0x10000; c-- > 0;) {
            if (!Py_UNICODE_ISPRINTABLE(c)) {
                run_end = 0;
                continue;
            }
            if (run_end == 0) run_end = static_cast<std::uint16_t>(c);
            t.bits[c >> 6] |= std::uint64_t{1} << (c & 63);
            t.bytes[c] = 1;
            t.run_end[c] = run_end;
        }
        t.bits[0] = t.bits[1] = ~std::uint64_t{0};
        std::fill_n(t.bytes.begin(), 0x80, std::uint8_t{1});
        printable_runs.store(t.run_end.data(), std::memory_order_release);
        return true;
    }();
    (void)built;
}

std::atomic<bool> plane1_built{false};

[[gnu::noinline, gnu::cold]] void build_plane1() {
    static const bool built = [] {
        for (Py_UCS4 c = 0x10000; c < bits_end; ++c)
            if (Py_UNICODE_ISPRINTABLE(c)) {
                printable_storage.bits[c >> 6] |= std::uint64_t{1} << (c & 63);
                printable_storage.bytes[c] = 1;
            }
        plane1_built.store(true, std::memory_order_release);
        return true;
    }();
    (void)built;
}

inline const PrintableTables& printable_tables() {
    if (printable_runs.load(std::memory_order_acquire) == nullptr) [[unlikely]]
        build_printable();
    return printable_storage;
}

// The printability bits for text of type Char: plane 1 only for 4-byte text.
template <class Char>
inline const PrintableBits& printable_bits() {
    const PrintableTables& t = printable_tables();
    if constexpr (sizeof(Char) == 4) {
        if (!plane1_built.load(std::memory_order_acquire)) [[unlikely]]
            build_plane1();
    }
    return t.bits;
}

inline const RunEnds& run_ends() { return printable_tables().run_end; }
// Read only after printable_bits of the text's type.
inline const std::uint8_t* printable_bytes() { return printable_storage.bytes.data(); }

#endif

// Whether repr() shows `c` as itself (or finds its escape among ASCII);
// `bits` from printable_bits of text that may hold `c`.
inline bool printable(const PrintableBits& bits, Py_UCS4 c) {
    if (c < bits_end) [[likely]]
        return (bits[c >> 6] >> (c & 63)) & 1;
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

// Writes one character that repr() shows as itself: UTF-8 bytes into a char
// buffer, one code unit into a str's storage.
inline char* put_raw(char* p, Py_UCS4 c) { return put_utf8(p, c); }
template <class Unit>
inline Unit* put_raw(Unit* p, Py_UCS4 c) {
    *p++ = static_cast<Unit>(c);
    return p;
}

template <class Out>
inline Out* put_hex(Out* p, Py_UCS4 c, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) *p++ = static_cast<Out>(hex[(c >> shift) & 15]);
    return p;
}

template <class Out>
inline Out* put_escape(Out* p, char letter) {
    p[0] = '\\';
    p[1] = static_cast<Out>(letter);
    return p + 2;
}

// Writes how repr() shows a character that it escapes (or, below DEL, one
// that it shows as itself), `quote` being the quote it uses.
template <class Out>
inline Out* put_escaped(Out* p, Py_UCS4 c, char quote) {
    if (c == static_cast<Py_UCS4>(quote) || c == '\\') return put_escape(p, static_cast<char>(c));
    if (c == '\t') return put_escape(p, 't');
    if (c == '\n') return put_escape(p, 'n');
    if (c == '\r') return put_escape(p, 'r');
    if (c < ' ' || c == 0x7F) return put_hex(put_escape(p, 'x'), c, 2);
    if (c < 0x7F) {
        *p++ = static_cast<Out>(c);
        return p;
    }
    if (c <= 0xFF) return put_hex(put_escape(p, 'x'), c, 2);
    if (c <= 0xFFFF) return put_hex(put_escape(p, 'u'), c, 4);
    return put_hex(put_escape(p, 'U'), c, 8);
}

// The characters of repr(s) between its quotes for data[from, to), one at a
// time.
template <class Char, class Out>
Out* escape_chars(const Char* data, Py_ssize_t from, Py_ssize_t to, char quote, Out* p) {
    const PrintableBits& bits = printable_bits<Char>();
    for (Py_ssize_t i = from; i < to; ++i) {
        const Py_UCS4 c = data[i];
        if (c < 0x7F && !ascii_special[c]) {
            *p++ = static_cast<Out>(c);
        } else if (c > 0x7F && printable(bits, c)) {
            p = put_raw(p, c);
        } else {
            p = put_escaped(p, c, quote);
        }
    }
    return p;
}

using kernel::has_dquote;
using kernel::has_squote;
using kernel::needs_escape;

// repr()'s rules for single characters, for the kernel's escaping loops.
struct EscapeRules {
    char quote;
    template <class Char, class Out>
    Out* chars(const Char* data, std::size_t from, std::size_t to, Out* p) const {
        return escape_chars(data, static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(to), quote, p);
    }
    template <class Out>
    Out* put(Out* p, Py_UCS4 c) const {
        return put_escaped(p, c, quote);
    }
    template <class Char>
    static const PrintableBits& table() {
        return printable_bits<Char>();
    }
    static bool printable(const PrintableBits& bits, Py_UCS4 c) { return leaves::printable(bits, c); }
};

// The characters of repr(s) between its quotes, for text that needs escapes
// and is no wider than the result, `copied` as for kernel::escape_blocks.
template <class Char, class Out>
Out* escape_blocks(const Char* data, std::size_t n, char quote, Out* p, bool copied) {
    return kernel::escape_blocks(data, 0, n, quote, p, copied, EscapeRules{quote});
}

// The characters of repr(s) between its quotes, for text that needs escapes.
// Blocks of 16 plain ASCII characters (most of such text) are copied whole.
template <class Char, class Out>
Out* escape_all(const Char* data, Py_ssize_t n, char quote, Out* p) {
    const auto i = kernel::escape_plain_blocks(data, static_cast<std::size_t>(n), quote, p, EscapeRules{quote});
    return escape_chars(data, static_cast<Py_ssize_t>(i), n, quote, p);
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

// repr() uses single quotes unless the text holds one and no double quote;
// it escapes the chosen quote (so text with both is never plain).
StrShape shape_of(unsigned bits, Py_UCS4 top) {
    const bool squote = bits & has_squote;
    const bool dquote = bits & has_dquote;
    const Py_UCS4 maxchar = top < 0x80 ? 0x7F : top < 0x100 ? 0xFF : top < 0x10000 ? 0xFFFF : 0x10FFFF;
    return {squote && !dquote ? '"' : '\'', !(bits & needs_escape) && !(squote && dquote), maxchar};
}

template <class Out>
Out* copy_text(PyObject* s, Out* p) {
    return with_chars(s, [p](const auto* data, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) p[i] = static_cast<Out>(data[i]);
        return p + n;
    });
}

}  // namespace

#if ORRERY_PRINTABLE_BUILT_IN
std::atomic<const std::uint16_t*> printable_runs{printable_run_ends.data()};
#else
std::atomic<const std::uint16_t*> printable_runs{nullptr};
#endif

namespace {

// printable_chars for text that holds a character from bits_end on, or one
// that is not printable.
template <class Char>
[[gnu::noinline]] bool printable_chars_beyond(const Char* data, std::size_t n) noexcept {
    const PrintableBits& bits = printable_bits<Char>();
    for (std::size_t i = 0; i < n; ++i)
        if (!printable(bits, data[i])) return false;
    return true;
}

// The printability bytes of data[from, n) ANDed: 1 when every character is
// printable, for text whose characters all lie below bits_end when
// InPlanes. No branch per character: every code point from bits_end on
// reads the 0 at bits_end.
template <class Char, bool InPlanes>
inline unsigned printable_run(const Char* data, std::size_t from, std::size_t n) noexcept {
    const std::uint8_t* bytes = printable_bytes();
    unsigned all = 1;
#pragma GCC unroll 4
    for (std::size_t i = from; i < n; ++i) {
        Py_UCS4 c = data[i];
        if constexpr (sizeof(Char) == 4 && !InPlanes) c = std::min(c, bits_end);
        all &= bytes[c];
    }
    return all;
}

// printable_run of long 2- or 4-byte text: such text of several scripts is
// mostly prose, mostly ASCII, so it is read 16 characters at a time, of
// which only those beyond ASCII are looked up.
template <class Char, bool InPlanes>
[[gnu::noinline]] unsigned printable_prose(const Char* data, std::size_t n) noexcept {
    unsigned all = 1;
    const std::size_t i =
        kernel::blocks_beyond_ascii(data, n, [&](std::size_t at) { all &= printable_run<Char, InPlanes>(data + at, 0, 16); });
    return all & printable_run<Char, InPlanes>(data, i, n);
}

// printable_chars, for text whose characters all lie below bits_end when
// InPlanes. Short text, often a few letters beyond ASCII alone, is looked
// up whole.
template <class Char, bool InPlanes>
inline bool printable_chars_of(const Char* data, std::size_t n) noexcept {
    (void)printable_bits<Char>();
    const unsigned all = sizeof(Char) > 1 && n >= 64 ? printable_prose<Char, InPlanes>(data, n)
                                                     : printable_run<Char, InPlanes>(data, 0, n);
    if (all != 0) [[likely]]
        return true;
    if constexpr (sizeof(Char) == 4 && !InPlanes) return printable_chars_beyond(data, n);
    return false;
}

}  // namespace

template <class Char>
bool printable_chars(const Char* data, std::size_t n) noexcept {
    return printable_chars_of<Char, false>(data, n);
}

bool printable_chars_in_planes(const Py_UCS4* data, std::size_t n) noexcept {
    return printable_chars_of<Py_UCS4, true>(data, n);
}

template bool printable_chars<Py_UCS1>(const Py_UCS1*, std::size_t) noexcept;
template bool printable_chars<Py_UCS2>(const Py_UCS2*, std::size_t) noexcept;
template bool printable_chars<Py_UCS4>(const Py_UCS4*, std::size_t) noexcept;

template <class Char>
bool printable_text_slow(const Char* data, std::size_t n, Py_UCS4 low, Py_UCS4 high) noexcept {
    if (high < 0x10000 && run_ends()[low] >= high) return true;
    return printable_chars(data, n);
}

template bool printable_text_slow<Py_UCS1>(const Py_UCS1*, std::size_t, Py_UCS4, Py_UCS4) noexcept;
template bool printable_text_slow<Py_UCS2>(const Py_UCS2*, std::size_t, Py_UCS4, Py_UCS4) noexcept;
template bool printable_text_slow<Py_UCS4>(const Py_UCS4*, std::size_t, Py_UCS4, Py_UCS4) noexcept;

StrShape str_shape(PyObject* s) noexcept {
    const bool inside = PyUnicode_IS_COMPACT(s);
    if (PyUnicode_IS_ASCII(s)) {
        const auto* data = static_cast<const Py_UCS1*>(PyUnicode_DATA(s));
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        return shape_of(kernel::copy_scan<Py_UCS1, void, kernel::Follow::escapes>(data, n, nullptr, inside).bits, 0);
    }
    return with_chars(s, [inside](const auto* data, Py_ssize_t length) {
        using Char = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        const auto n = static_cast<std::size_t>(length);
        const kernel::Scan r = kernel::copy_scan<Char, void, kernel::Follow::bounds>(data, n, nullptr, inside);
        if (r.high < 0x80 || printable_text(data, n, r.low, r.high)) return shape_of(r.bits, r.high);
        // Some characters are escaped: only the printable ones count.
        const PrintableBits& bits = printable_bits<Char>();
        Py_UCS4 top = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Py_UCS4 c = data[i];
            if (c > top && printable(bits, c)) top = c;
        }
        return shape_of(r.bits | needs_escape, top);
    });
}

template <class Unit>
std::size_t str_repr_units(PyObject* s, const StrShape& shape, Unit* dst, [[maybe_unused]] bool copied) noexcept {
    Unit* p = dst;
    *p++ = static_cast<Unit>(shape.quote);
    if (shape.plain) {
        p = copy_text(s, p);
    } else {
        p = with_chars(s, [&](const auto* data, Py_ssize_t n) {
            if constexpr (sizeof(*data) <= sizeof(Unit))
                return escape_blocks(data, static_cast<std::size_t>(n), shape.quote, p, copied);
            return escape_all(data, n, shape.quote, p);
        });
    }
    *p++ = static_cast<Unit>(shape.quote);
    return static_cast<std::size_t>(p - dst);
}

template std::size_t str_repr_units<Py_UCS1>(PyObject*, const StrShape&, Py_UCS1*, bool) noexcept;
template std::size_t str_repr_units<Py_UCS2>(PyObject*, const StrShape&, Py_UCS2*, bool) noexcept;
template std::size_t str_repr_units<Py_UCS4>(PyObject*, const StrShape&, Py_UCS4*, bool) noexcept;

std::size_t str_repr(PyObject* s, char* dst) noexcept {
    const StrShape shape = str_shape(s);
    char* p = dst;
    *p++ = shape.quote;
    if (shape.plain && PyUnicode_IS_ASCII(s)) {
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        std::memcpy(p, PyUnicode_DATA(s), n);
        p += n;
    } else if (shape.plain) {
        // Every character as itself, encoded.
        p = with_chars(s, [p](const auto* data, Py_ssize_t n) {
            char* q = p;
            for (Py_ssize_t i = 0; i < n; ++i) {
                const Py_UCS4 c = data[i];
                if (c < 0x80)
                    *q++ = static_cast<char>(c);
                else
                    q = put_utf8(q, c);
            }
            return q;
        });
    } else {
        p = with_chars(s, [&](const auto* data, Py_ssize_t n) { return escape_all(data, n, shape.quote, p); });
    }
    *p++ = shape.quote;
    return static_cast<std::size_t>(p - dst);
}

std::size_t int_repr(long long v, char* dst) noexcept { return int_units(v, dst); }

namespace {

// The powers of ten a double holds exactly.
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The shortest digits of `a` (positive) that read back as `a`, when some
// decimal of at most 15 significant digits does (the values documents
// mostly hold: measurements, rounded figures). Returns how many digits it
// wrote to `digits`, 0 when `a` has no such form or lies outside 1e-7 to
// 1e15 (the general path takes those); `decpt` places the point: `a` is
// 0.DIGITS x 10^decpt.
//
// Why it is exact: with t = a x 10^J scaled into [1e14, 1e15], every decimal
// of at most 15 significant digits within `a`'s rounding interval (of width
// at most a x 2^-52) is N x 10^-J for an integer N, and only one such N
// fits, since the interval is narrower than 10^-J. N lies within 0.12 of
// a x 10^J, which rounds to within 0.12 more, so N is the nearest integer
// to the computed t. N/10^J reads back as `a` exactly when the division of
// the two exact doubles, rounded to nearest as the interpreter's reading of
// a decimal is, gives `a`; N without its trailing zeros is then the
// shortest form, and being the only one of its length also the closest.
int short_digits(double a, char* digits, int& decpt) noexcept {
    if (!(a >= 1e-7 && a < 1e15)) return 0;
    // floor(log10(a)) is k or k + 1 for a in [2^e, 2^(e+1)), k = floor(e log10(2)).
    const int e = static_cast<int>((std::bit_cast<std::uint64_t>(a) >> 52) & 0x7FF) - 1023;
    int j = 14 - ((e * 78913) >> 18);
    double t = a * exact_powers_of_ten[j];
    if (t >= 1e15) {
        if (j == 0) return 0;
        --j;
        t = a * exact_powers_of_ten[j];
    }
    long long n = kernel::round_to_integer(t);
    if (n > 1000000000000000LL || static_cast<double>(n) / exact_powers_of_ten[j] != a) return 0;
    while (n % 10000 == 0) {
        n /= 10000;
        j -= 4;
    }
    while (n % 10 == 0) {
        n /= 10;
        --j;
    }
    const int count = static_cast<int>(int_repr(n, digits));
    decpt = count - j;
    return count;
}

// The powers of five below 2^64 that the fixed-notation path scales by.
constexpr std::uint64_t pow5_u64[] = {1ull,
                                      5ull,
                                      25ull,
                                      125ull,
                                      625ull,
                                      3125ull,
                                      15625ull,
                                      78125ull,
                                      390625ull,
                                      1953125ull,
                                      9765625ull,
                                      48828125ull,
                                      244140625ull,
                                      1220703125ull,
                                      6103515625ull,
                                      30517578125ull,
                                      152587890625ull,
                                      762939453125ull,
                                      3814697265625ull,
                                      19073486328125ull};

// repr() of `a` (positive) from 2^-13 to 1e15, written to `p`, the range
// where repr() writes the digits with a point and no exponent; returns the
// end. Writes up to 34 bytes from `p` on (the text is at most 22 of them).
//
// Finding the digits: a = m x 2^-s for an integer m in [2^52, 2^53); with
// P = 10^J such that a x P lies in [1e15, 1e16), a decimal of 16
// significant digits is N / P for an integer N. Reading a decimal rounds it
// to the nearest double, ties to the even mantissa, so the decimals that
// read back as `a` are those in its rounding interval: half a step
// (2^-s / 2) above `a`, as much below (a quarter of a step when m = 2^52:
// the double below is half as far), the ends included only when m is even.
// Counted in units of 2^(J-s-2) (P is 5^J x 2^J) from F x 2^(s-J+2),
// F = floor(a x P), a x P is 4 x rest (rest being a x P's fraction over
// 2^(s-J)) and the interval's ends lie 2 x 5^J (5^J below a power of two)
// either side: integers below 2^50 in size, compared exactly. The interval
// holds a x P and is at most 2 x a x P / 2^53 < 2.3 wide in units of 1 / P,
// so it holds at most one multiple of 10, and if it holds one, that one
// without its trailing zeros is repr()'s digits: every decimal of 15 digits
// or fewer in the interval is such a multiple (or lies below 1e15, and
// then so does the interval's start, and 1e15 is inside), so it is the
// shortest and, the only one of its length, the closest. Otherwise, if it
// holds an integer at all it holds F or F + 1, and the one of these inside
// it that is nearer to a x P is the closest of 16 digits (on an exact half,
// the even one, as repr() picks). When neither is inside, 17 digits are
// needed: in units of 1 / (10 P) the half-width is a x 10P / (2m) >
// 1e16 x 2^-54 > 0.55, so the integer nearest to a x 10P (halves to the
// even one) lies inside and is the closest of 17 digits. A power of two
// never gets that far: every one in the range has 15 digits or fewer.
char* fixed_float_text(double a, char* p) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(a);
    const int e = static_cast<int>(bits >> 52) - 1023;
    constexpr std::uint64_t hidden = 1ull << 52;
    const std::uint64_t m = (bits & (hidden - 1)) | hidden;
    // floor(log10(a)) is k or k + 1, k = floor(e log10(2)), so a x 10^(15-k)
    // lies in [1e15, 1e17): one step back when it reaches 1e16. The shift
    // s - J stays from 2 to 47 over the range.
    int j = 15 - ((e * 78913) >> 18);
    int shift = 52 - e - j;
    // a x P as F = floor(a x P) and the fraction's numerator `rest` over
    // 2^shift.
    std::uint64_t n, rest;
    const auto scale = [&] {
        const platform::Product x = platform::multiply_wide(m, pow5_u64[j]);
        n = (x.high << (63 - shift) << 1) | (x.low >> shift);
        rest = x.low & ((std::uint64_t{1} << shift) - 1);
    };
    scale();
    if (n >= 10000000000000000ull) {
        --j;
        ++shift;
        scale();
    }
    // The interval's ends relative to F, in units of 2^(J-s-2): a x P is
    // F + 4 x rest, the half-widths 2 x 5^J (5^J below a power of two),
    // all below 2^50 in size.
    const auto p5 = static_cast<std::int64_t>(pow5_u64[j]);
    const auto at = static_cast<std::int64_t>(rest << 2);
    const std::int64_t lo = at - (m == hidden ? p5 : p5 << 1);
    const std::int64_t hi = at + (p5 << 1);
    const bool ends_in = (m & 1) == 0;
    // The integers inside the interval: from `first` to `last` (an
    // arithmetic shift floors the negative lower end).
    const int unit = shift + 2;
    const std::int64_t unit_mask = (std::int64_t{1} << unit) - 1;
    const std::uint64_t first = n + static_cast<std::uint64_t>(lo >> unit) + 1 - (ends_in && (lo & unit_mask) == 0);
    const std::uint64_t last = n + static_cast<std::uint64_t>(hi >> unit) - (!ends_in && (hi & unit_mask) == 0);
    // F + 1 is always above the interval's start, F always below its end.
    const std::uint64_t tens = last - last % 10;
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    const bool short_form = tens >= first;
    if (short_form) {
        n = tens;
    } else if (n >= first) {
        // Both inside: the nearer, by a x P's fraction against a half.
        if (n + 1 <= last) n += rest > half || (rest == half && (n & 1));
    } else if (n + 1 <= last) {
        ++n;
    } else {
        const std::uint64_t rest10 = rest * 10;
        n = n * 10 + (rest10 >> shift);
        const std::uint64_t frac = rest10 & ((std::uint64_t{1} << shift) - 1);
        n += frac > half || (frac == half && (n & 1));
        ++j;
    }
    // n is from 1e15 to 1e17 (1e16 and up: 17 digits, the first apart), and
    // a is n / 10^j. Only a short form ends in zeros.
    auto top = static_cast<std::uint32_t>(n / 100000000);
    const auto bottom = static_cast<std::uint32_t>(n - std::uint64_t{top} * 100000000);
    const int lead = top >= 100000000;
    const int count = 16 + lead;
    const char lead_digit = static_cast<char>('0' + top / 100000000);
    top %= 100000000;
    const std::uint64_t head = digit_bytes8(top);
    const std::uint64_t tail = digit_bytes8(bottom);
    int ndigits = count;
    if (short_form) {
        // Trailing zero digits are the word's high zero bytes.
        ndigits -= tail != 0 ? std::countl_zero(tail) >> 3 : 8 + (head != 0 ? std::countl_zero(head) >> 3 : 8);
    }
    const int decpt = count - j;
    const std::uint64_t head_text = head + ascii_zeros;
    const std::uint64_t tail_text = tail + ascii_zeros;
    // The 16 digits after the first of 17 (or all 16), stored at `at`.
    const auto put16 = [&](char* at) {
        put_ascii8(at, head_text);
        put_ascii8(at + 8, tail_text);
    };
    if (decpt <= 0) {
        // "0." and -decpt zeros (at most 3) before the digits.
        std::memcpy(p, "0.000000", 8);
        char* q = p + 2 - decpt;
        *q = lead_digit;
        put16(q + lead);
        return p + 2 - decpt + ndigits;
    }
    *p = lead_digit;
    put16(p + lead);
    if (decpt >= ndigits) {
        // An integer: the digits past ndigits are zeros already.
        std::memcpy(p + decpt, ".0", 2);
        return p + decpt + 2;
    }
    // The digits from decpt on move one place up, behind the point: the
    // 16-digit block shifted down by the digits before it in the block.
    const auto k = static_cast<unsigned>(8 * (decpt - lead));
    const std::uint64_t after_low = k < 64 ? (head_text >> k) | (tail_text << (63 - k) << 1) : tail_text >> (k - 64);
    const std::uint64_t after_high = k < 64 ? tail_text >> k : 0;
    put_ascii8(p + decpt + 1, after_low);
    put_ascii8(p + decpt + 9, after_high);
    p[decpt] = '.';
    return p + ndigits + 1;
}

// The shortest digits of `a` (positive, finite, not zero), in general,
// written to `buf` (32 bytes); returns where they start.
const char* any_digits(double a, char* buf, int& count, int& decpt) noexcept {
    // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]XX".
    const char* end = std::to_chars(buf, buf + 32, a, std::chars_format::scientific).ptr;
    // The exponent has two or three digits; the digits before it are the
    // first one and, after a point, the rest: the first moves onto the
    // point, to stand before the rest.
    const char* q = end[-4] == 'e' ? end - 4 : end - 5;
    const char* first = buf;
    if (buf[1] == '.') {
        buf[1] = buf[0];
        ++first;
    }
    count = static_cast<int>(q - first);
    int exp10 = (q[2] - '0') * 10 + (q[3] - '0');
    if (end - q == 5) exp10 = exp10 * 10 + (q[4] - '0');
    if (q[1] == '-') exp10 = -exp10;
    decpt = exp10 + 1;
    return first;
}

// repr() of any float, written to `dst`; returns the length.
[[gnu::noinline]] std::size_t any_float_repr(double v, char* dst) noexcept {
    char* p = dst;
    if (std::isnan(v)) {
        std::memcpy(p, "nan", 3);
        return 3;
    }
    if (std::signbit(v)) *p++ = '-';
    const double a = std::fabs(v);
    if (std::isinf(a)) {
        std::memcpy(p, "inf", 3);
        return static_cast<std::size_t>(p + 3 - dst);
    }
    if (a == 0) {
        std::memcpy(p, "0.0", 3);
        return static_cast<std::size_t>(p + 3 - dst);
    }
    // The digits read as 0.DIGITS x 10^decpt.
    char buf[32];
    const char* digits = buf;
    int decpt = 0;
    int ndigits = short_digits(a, buf, decpt);
    if (ndigits == 0) digits = any_digits(a, buf, ndigits, decpt);
    const int exp10 = decpt - 1;
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

}  // namespace

std::size_t float_repr(double v, char* dst) noexcept {
    // Positive doubles order as their bits do: one comparison of the bits
    // without the sign finds the fixed-notation range, leaving NaN, the
    // infinities, zero and the rest to the general way.
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    constexpr std::uint64_t low = std::bit_cast<std::uint64_t>(0x1p-13);
    constexpr std::uint64_t high = std::bit_cast<std::uint64_t>(1e15);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    const std::uint64_t magnitude = bits & ~sign;
    if (magnitude - low >= high - low) [[unlikely]]
        return any_float_repr(v, dst);
    // The sign's '-' is stored either way and kept only for a negative value.
    dst[0] = '-';
    char* p = dst + (bits >> 63);
    return static_cast<std::size_t>(fixed_float_text(std::bit_cast<double>(magnitude), p) - dst);
}

}  // namespace orrery::leaves
