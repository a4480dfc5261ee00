// One pass over a str's text that copies it into the result (in the result's
// width) and finds, at the same time, what repr() needs to know: whether any
// character needs an escape among ASCII, which quote characters occur, and
// the smallest and largest character beyond ASCII (their printability is
// decided afterwards, see leaves::printable_text).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/platform.hpp"

namespace orrery::strscan {

// Bits of Scan::bits: an ASCII control, DEL or backslash; a single quote; a
// double quote.
enum : unsigned { needs_escape = 1, has_squote = 2, has_dquote = 4 };

struct Scan {
    unsigned bits;
    // Smallest character beyond ASCII, when `high` is beyond ASCII (for
    // 2-byte text, DEL when it holds one).
    Py_UCS4 low;
    // Largest character (below 0x80 when all are ASCII); for 4-byte text
    // followed for escapes, every bit set in some character.
    Py_UCS4 high;
};

// Units past the text that copy_scan may write (overwritten by later text).
inline constexpr std::size_t slack = 16;

// What a scan follows besides escapes and quotes.
enum class Follow {
    // Nothing more: ASCII text (for 1-byte text), or text whose characters
    // beyond ASCII are looked up afterwards.
    escapes,
    // The smallest and the largest character beyond ASCII.
    bounds,
    // 1-byte text: the characters beyond ASCII that repr() escapes (0x80 to
    // 0xA0, and 0xAD; the rest of Latin-1 is printable) count as escapes.
    latin1,
};

#if ORRERY_KERNEL_SSE2

// Writes 16 bytes holding characters of type Char as units of type Unit.
template <class Char, class Unit>
inline void store16(Unit* p, __m128i v) {
    auto* out = reinterpret_cast<__m128i*>(p);
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(Char) == sizeof(Unit)) {
        _mm_storeu_si128(out, v);
    } else if constexpr (sizeof(Char) == 1) {
        const __m128i lo = _mm_unpacklo_epi8(v, zero);
        const __m128i hi = _mm_unpackhi_epi8(v, zero);
        if constexpr (sizeof(Unit) == 2) {
            _mm_storeu_si128(out, lo);
            _mm_storeu_si128(out + 1, hi);
        } else {
            _mm_storeu_si128(out, _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(hi, zero));
        }
    } else {
        static_assert(sizeof(Char) == 2 && sizeof(Unit) == 4);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(v, zero));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(v, zero));
    }
}

// 'a' in every lane: plain ASCII, standing for lanes past the text.
template <class Char>
inline __m128i filler() {
    if constexpr (sizeof(Char) == 1) return _mm_set1_epi8('a');
    if constexpr (sizeof(Char) == 2) return _mm_set1_epi16('a');
    if constexpr (sizeof(Char) == 4) return _mm_set1_epi32('a');
}

// Moves the bytes of `v` down by `k` (0 to 16) places, shifting in zeros:
// three shifts of both halves by a count in a register, those by counts of
// 64 or more (or below 0) giving zeros.
inline __m128i shift_down(__m128i v, std::size_t k) {
    const auto bits = static_cast<long long>(8 * k);
    const __m128i high = _mm_srli_si128(v, 8);
    return _mm_or_si128(_mm_or_si128(_mm_srl_epi64(v, _mm_cvtsi64_si128(bits)),
                                     _mm_sll_epi64(high, _mm_cvtsi64_si128(64 - bits))),
                        _mm_srl_epi64(high, _mm_cvtsi64_si128(bits - 64)));
}

// 16 zero bytes, then 16 bytes of 'a' as characters of type Char: read from
// 16 - n bytes in, the lanes from byte n on hold 'a'.
template <class Char>
inline constexpr auto filler_bytes = [] {
    std::array<unsigned char, 32> b{};
    for (std::size_t i = 16; i < 32; i += sizeof(Char)) b[i] = 'a';
    return b;
}();

// What the lanes seen so far hold.
template <class Char, Follow F>
class Classes {
    static_assert(F != Follow::latin1 || sizeof(Char) == 1);

public:
    void add(__m128i v) {
        __m128i escape;
        if constexpr (sizeof(Char) == 1 && F == Follow::escapes) {
            // ASCII only: DEL and the controls follow one another modulo
            // 256, through the bytes beyond ASCII. Adding 0x60 moves them to
            // -33 (DEL) up to 127 as signed bytes, every other character to
            // -34 or less.
            // (The bound is hidden from the compiler, which would otherwise
            // turn the comparison around at the cost of one more.)
            const __m128i bound = platform::opaque(_mm_set1_epi8(-34));
            escape = _mm_cmpgt_epi8(_mm_add_epi8(v, _mm_set1_epi8(0x60)), bound);
        } else if constexpr (sizeof(Char) == 1 && F == Follow::latin1) {
            // The controls of both halves at once: the low seven bits below
            // 0x20. DEL, no-break space and the soft hyphen one by one.
            escape = _mm_or_si128(
                _mm_cmplt_epi8(_mm_and_si128(v, _mm_set1_epi8(0x7F)), _mm_set1_epi8(0x20)),
                _mm_or_si128(_mm_or_si128(eq(v, 0x7F), eq(v, 0xA0)), eq(v, 0xAD)));
        } else if constexpr (sizeof(Char) == 1) {
            escape = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v), eq(v, 0x7F));
        } else if constexpr (sizeof(Char) == 2) {
            // Signed comparisons of the characters with the top bit flipped
            // order them as unsigned ones.
            const __m128i flipped = _mm_xor_si128(v, _mm_set1_epi16(-0x8000));
            escape = _mm_cmplt_epi16(flipped, _mm_set1_epi16(0x20 - 0x8000));
            if constexpr (F == Follow::bounds) {
                // The largest, and the largest of 0x807E less each character
                // (signed, as above; 0x7E less the flipped character): the
                // smallest from DEL on, to which the characters below DEL
                // give values below all others. DEL is found there.
                high_ = _mm_max_epi16(high_, flipped);
                low_ = _mm_max_epi16(low_, _mm_sub_epi16(_mm_set1_epi16(0x7E), flipped));
            } else {
                escape = _mm_or_si128(escape, eq(v, 0x7F));
            }
        } else {
            // Code points are at most 0x10FFFF: signed comparisons hold.
            escape = _mm_or_si128(_mm_cmplt_epi32(v, _mm_set1_epi32(0x20)), eq(v, 0x7F));
        }
        if constexpr (ors) any_.v = _mm_or_si128(any_.v, v);
        escape_ = _mm_or_si128(escape_, _mm_or_si128(escape, eq(v, '\\')));
        squote_ = _mm_or_si128(squote_, eq(v, '\''));
        dquote_ = _mm_or_si128(dquote_, eq(v, '"'));
        if constexpr (F == Follow::bounds && sizeof(Char) != 2) {
            // The minimum is taken over the characters less 0x80, wrapping
            // around: ASCII becomes the largest values, out of the way.
            if constexpr (sizeof(Char) == 1) {
                low_ = _mm_min_epu8(low_, _mm_add_epi8(v, _mm_set1_epi8(-0x80)));
                high_ = _mm_max_epu8(high_, v);
            } else {
                // Signed comparisons: the sign bit flipped after the
                // subtraction puts ASCII above every other character.
                const __m128i w = _mm_xor_si128(_mm_sub_epi32(v, _mm_set1_epi32(0x80)),
                                                _mm_set1_epi32(static_cast<int>(0x80000000u)));
                low_ = select(_mm_cmplt_epi32(w, low_), w, low_);
                high_ = select(_mm_cmpgt_epi32(v, high_), v, high_);
            }
        }
    }

    [[gnu::always_inline]] Scan result() const {
        Scan r{};
        // Most text holds none of them: one test says so.
        if (_mm_movemask_epi8(_mm_or_si128(escape_, _mm_or_si128(squote_, dquote_))) != 0) [[unlikely]]
            r.bits = (_mm_movemask_epi8(escape_) != 0 ? needs_escape : 0u) |
                     (_mm_movemask_epi8(squote_) != 0 ? has_squote : 0u) |
                     (_mm_movemask_epi8(dquote_) != 0 ? has_dquote : 0u);
        if constexpr (ors) {
            // Every bit set in some character: below a power of two when
            // all characters are.
            const __m128i x = _mm_or_si128(any_.v, _mm_srli_si128(any_.v, 8));
            r.high = static_cast<Py_UCS4>(_mm_cvtsi128_si32(_mm_or_si128(x, _mm_srli_si128(x, 4))));
        }
        if constexpr (F == Follow::bounds) {
            __m128i lo = low_, hi = high_;
            if constexpr (sizeof(Char) == 4) {
                alignas(16) std::uint32_t l[4], h[4];
                _mm_store_si128(reinterpret_cast<__m128i*>(l), lo);
                _mm_store_si128(reinterpret_cast<__m128i*>(h), hi);
                r.low = (std::min(std::min(l[0] ^ 0x80000000u, l[1] ^ 0x80000000u),
                                  std::min(l[2] ^ 0x80000000u, l[3] ^ 0x80000000u))) + 0x80;
                r.high = std::max(std::max(h[0], h[1]), std::max(h[2], h[3]));
            } else if constexpr (sizeof(Char) == 2) {
                // Both maxima at once: the largest from the lanes of the
                // low half, the other from the high half.
                __m128i m = _mm_max_epi16(_mm_unpacklo_epi64(hi, lo), _mm_unpackhi_epi64(hi, lo));
                m = _mm_max_epi16(m, _mm_srli_epi64(m, 32));
                m = _mm_max_epi16(m, _mm_srli_epi64(m, 16));
                r.high = (static_cast<unsigned>(_mm_cvtsi128_si32(m)) ^ 0x8000u) & 0xFFFFu;
                r.low = (0x807Eu - static_cast<unsigned>(_mm_extract_epi16(m, 4))) & 0xFFFFu;
                // Text with a character beyond ASCII holds DEL when the
                // smallest from DEL on is DEL.
                r.bits |= r.low == 0x7F ? needs_escape : 0u;
            } else {
                // Halve the lanes until one holds the minimum (maximum).
                const auto halve = [&](auto shift) {
                    lo = _mm_min_epu8(lo, _mm_srli_si128(lo, shift.value));
                    hi = _mm_max_epu8(hi, _mm_srli_si128(hi, shift.value));
                };
                halve(std::integral_constant<int, 8>{});
                halve(std::integral_constant<int, 4>{});
                halve(std::integral_constant<int, 2>{});
                halve(std::integral_constant<int, 1>{});
                r.low = (static_cast<unsigned>(_mm_cvtsi128_si32(lo)) + 0x80) & 0xFFu;
                r.high = static_cast<unsigned>(_mm_cvtsi128_si32(hi)) & 0xFFu;
            }
        }
        return r;
    }

private:
    static __m128i eq(__m128i v, int c) {
        if constexpr (sizeof(Char) == 1) return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c)));
        if constexpr (sizeof(Char) == 2) return _mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(c)));
        if constexpr (sizeof(Char) == 4) return _mm_cmpeq_epi32(v, _mm_set1_epi32(c));
    }
    static __m128i select(__m128i mask, __m128i a, __m128i b) {
        return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
    }

    static __m128i initial_low() {
        if constexpr (sizeof(Char) == 4) return _mm_set1_epi32(0x7FFFFFFF);
        if constexpr (sizeof(Char) == 2) return _mm_set1_epi16(-0x8000);
        return _mm_set1_epi32(-1);
    }
    static __m128i initial_high() {
        if constexpr (sizeof(Char) == 2) return _mm_set1_epi16(-0x8000);
        return _mm_setzero_si128();
    }

    __m128i escape_ = _mm_setzero_si128();
    __m128i squote_ = _mm_setzero_si128();
    __m128i dquote_ = _mm_setzero_si128();
    // 4-byte text's characters ORed, when following escapes.
    struct None {};
    struct Ored {
        __m128i v = _mm_setzero_si128();
    };
    static constexpr bool ors = F == Follow::escapes && sizeof(Char) == 4;
    [[no_unique_address]] std::conditional_t<ors, Ored, None> any_{};
    __m128i low_ = initial_low();
    __m128i high_ = initial_high();
};

// Copies `n` characters to `dst` as units of type Unit (no copy when Unit is
// void) and classifies them. Writes at most `slack` units past the text.
// `inside_object` says the 16 bytes ending at the text's end lie in one
// allocation even when the text is shorter: the text of a compact str
// follows its header, at least 16 bytes long (see compat::compact_text).
// Short text is then read in whole blocks, from up to 16 bytes before its
// start, instead of character by character.
template <class Char, class Unit, Follow F>
[[gnu::always_inline]] inline Scan copy_scan(const Char* text, std::size_t n, Unit* dst, bool inside_object) {
    constexpr std::size_t lanes = 16 / sizeof(Char);
    const auto load = [](const void* at) { return _mm_loadu_si128(static_cast<const __m128i*>(at)); };
    Classes<Char, F> classes;
    // Short text is copied and classified with no branch on its length
    // (strs of varied lengths would mispredict it): text of up to two
    // blocks when written as units of at most 2 bytes, other text of one
    // (there a second block costs more than the branch).
    constexpr bool two_blocks = sizeof(Char) <= 2 && sizeof(std::conditional_t<std::is_void_v<Unit>, char, Unit>) <= 2;
    constexpr std::size_t short_text = two_blocks ? 2 * lanes : lanes;
    if (n <= short_text && inside_object) {
        // The last block is the 16 bytes ending at the text's end. For text
        // of one block or less it is moved down in registers to the front
        // (writing it out and reading it back at another offset would wait
        // until the writes reach the cache) and the lanes past the text are
        // set to 'a' (plain ASCII, classified as nothing; the units written
        // for them lie in the slack).
        // Where the last block starts, in characters from the text's start:
        // before it (in the str's header) for text of less than one block.
        const auto last_at = static_cast<std::ptrdiff_t>(n) - static_cast<std::ptrdiff_t>(lanes);
        // All ones for two blocks, else zero; hidden from the compiler, which
        // would otherwise branch on it.
        const std::ptrdiff_t two = platform::opaque(two_blocks ? -static_cast<std::ptrdiff_t>(n > lanes) : 0);
        const auto move = static_cast<std::size_t>((-last_at * static_cast<std::ptrdiff_t>(sizeof(Char))) & ~two);
        const auto* bytes = reinterpret_cast<const unsigned char*>(text);
        const auto at = [&](std::ptrdiff_t chars) { return bytes + chars * static_cast<std::ptrdiff_t>(sizeof(Char)); };
        const __m128i last = _mm_or_si128(shift_down(load(at(last_at)), move), load(filler_bytes<Char>.data() + move));
        if constexpr (two_blocks) {
            // The first block of two, or the last block again.
            const __m128i keep = _mm_set1_epi64x(static_cast<long long>(two));
            const __m128i first =
                _mm_or_si128(_mm_and_si128(keep, load(at(last_at & ~two))), _mm_andnot_si128(keep, last));
            classes.add(first);
            if constexpr (!std::is_void_v<Unit>) store16<Char>(dst, first);
        }
        classes.add(last);
        if constexpr (!std::is_void_v<Unit>) store16<Char>(dst + (last_at & two), last);
        return classes.result();
    }
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        const __m128i v = load(text + i);
        classes.add(v);
        if constexpr (!std::is_void_v<Unit>) store16<Char>(dst + i, v);
    }
    if (i < n) {
        if (n >= lanes) {
            // The last block ends at the text's end, overlapping the one
            // before: its lanes are classified again and rewritten unchanged.
            const __m128i v = load(text + n - lanes);
            classes.add(v);
            if constexpr (!std::is_void_v<Unit>) store16<Char>(dst + n - lanes, v);
        } else {
            alignas(16) Char block[lanes];
            _mm_store_si128(reinterpret_cast<__m128i*>(block), filler<Char>());
            for (std::size_t k = 0; k < n; ++k) block[k] = text[k];
            const __m128i v = load(block);
            classes.add(v);
            if constexpr (!std::is_void_v<Unit>) store16<Char>(dst, v);
        }
    }
    return classes.result();
}

#else

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

#endif

}  // namespace orrery::strscan
