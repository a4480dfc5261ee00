// The SSE2 text kernel, for x86-64: the operations kernel.hpp lists, 16
// bytes at a time. Included by kernel.hpp only.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/kernel.hpp"

namespace orrery::kernel {

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

// Copies and classifies the text of a compact ASCII str shorter than 16
// characters, as copy_scan does, writing 16 units at `dst`.
template <class Unit>
[[gnu::always_inline]] inline Scan copy_short_ascii(const Py_UCS1* text, std::size_t n, Unit* dst) noexcept {
    // The 16 bytes ending at the text's end lie in the object (its header
    // is longer, see compat::compact_ascii_text). They are shifted down in registers, the text to the
    // first lanes, and the lanes past it hold 'a' (plain, classified as
    // nothing): going through memory instead (a block stored, then read
    // at an offset) stalls the read until the stores are done.
    const std::size_t back = 16 - n;
    const auto* block = text + (static_cast<std::ptrdiff_t>(n) - 16);
    const __m128i t = _mm_or_si128(shift_down(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), back),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(filler_bytes<Py_UCS1>.data() + back)));
    Classes<Py_UCS1, Follow::escapes> classes;
    classes.add(t);
    store16<Py_UCS1>(dst, t);
    return classes.result();
}

// Widens ASCII text in a 16-byte aligned buffer whose size is a multiple of
// 16, whole blocks at a time: writes up to 15 units past the text.
template <class Unit>
[[gnu::always_inline]] inline void widen_blocks(Unit* p, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; i += 16)
        store16<Py_UCS1>(p + i, _mm_load_si128(reinterpret_cast<const __m128i*>(text + i)));
}

// Writes 8 ASCII characters, the bytes of `w` from its lowest up, as units
// of 2 or 4 bytes at `p`.
template <class Unit>
[[gnu::always_inline]] inline void put_wide8(Unit* p, std::uint64_t w) noexcept {
    static_assert(sizeof(Unit) == 2 || sizeof(Unit) == 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i units = _mm_unpacklo_epi8(_mm_cvtsi64_si128(static_cast<long long>(w)), zero);
    if constexpr (sizeof(Unit) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), units);
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi16(units, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p) + 1, _mm_unpackhi_epi16(units, zero));
    }
}

// Rounds to nearest, as llrint does, in one instruction.
[[gnu::always_inline]] inline long long round_to_integer(double t) noexcept {
    return _mm_cvtsd_si64(_mm_set_sd(t));
}

// The class bits of 16 bytes, counting only the lanes set in `lanes`.
inline unsigned classify16(__m128i v, unsigned lanes) {
    const __m128i escape = _mm_or_si128(
        _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f))),
        _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    unsigned bits = 0;
    bits |= (static_cast<unsigned>(_mm_movemask_epi8(escape)) & lanes) != 0 ? needs_escape : 0u;
    bits |= (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\'')))) & lanes) != 0
                ? has_squote
                : 0u;
    bits |= (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')))) & lanes) != 0
                ? has_dquote
                : 0u;
    return bits;
}

// 16 characters narrowed to bytes: ASCII characters keep their value, every
// other character becomes a byte of 0x80 or more.
template <class Char>
inline __m128i narrow16(const Char* p) {
    const auto load = [p](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + k); };
    if constexpr (sizeof(Char) == 1) {
        return load(0);
    } else if constexpr (sizeof(Char) == 2) {
        // The narrowing saturates signed values: 0x8000 and above would
        // become 0, so every character is first capped at 0xFF.
        const __m128i top = _mm_set1_epi16(0xFF);
        const auto cap = [&top](__m128i v) { return _mm_sub_epi16(v, _mm_subs_epu16(v, top)); };
        return _mm_packus_epi16(cap(load(0)), cap(load(1)));
    } else {
        // Code points are at most 0x10FFFF: the signed narrowing keeps every
        // one beyond ASCII at 0x80 or more.
        return _mm_packus_epi16(_mm_packs_epi32(load(0), load(1)), _mm_packs_epi32(load(2), load(3)));
    }
}

// Copies the blocks of 16 characters from the text's start while they hold
// only ASCII that repr() shows as is, advancing `p`; a block that does not
// is escaped by rules.chars. Returns where whole blocks end.
template <class Char, class Out, class Rules>
[[gnu::always_inline]] inline std::size_t escape_plain_blocks(const Char* data, std::size_t n, char quote, Out*& p,
                                                              const Rules& rules) {
    const unsigned stops = needs_escape | (quote == '\'' ? has_squote : has_dquote);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = narrow16(data + i);
        if (_mm_movemask_epi8(v) == 0 && (classify16(v, 0xFFFF) & stops) == 0) {
            store16<Py_UCS1>(p, v);
            p += 16;
        } else {
            p = rules.chars(data, i, i + 16, p);
        }
    }
    return i;
}

// The characters beyond ASCII of 16 bytes of 2- or 4-byte text, as lanes of
// all ones.
template <class Char>
inline __m128i beyond_ascii(__m128i v) {
    // Signed comparisons: of 2-byte characters with the top bit flipped,
    // which orders them as unsigned ones; of code points, at most 0x10FFFF.
    if constexpr (sizeof(Char) == 2)
        return _mm_cmpgt_epi16(_mm_xor_si128(v, _mm_set1_epi16(-0x8000)), _mm_set1_epi16(0x7F - 0x8000));
    else return _mm_cmpgt_epi32(v, _mm_set1_epi32(0x7F));
}

// Which characters of 16 bytes of text repr() escapes, as lanes of all ones:
// `special`, those it always escapes (ASCII controls, DEL, backslash,
// `quote`, and the characters of Latin-1 it does not print); `beyond`, the
// characters of 2- and 4-byte text beyond ASCII, escaped unless printable.
template <class Char>
inline void escapes_of(__m128i v, __m128i quote, __m128i& special, __m128i& beyond) {
    if constexpr (sizeof(Char) == 1) {
        // The controls of both halves at once: the low seven bits below 0x20.
        const auto eq = [v](int c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))); };
        special = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(_mm_and_si128(v, _mm_set1_epi8(0x7F)), _mm_set1_epi8(0x20)),
                                            _mm_or_si128(eq(0x7F), eq(0xA0))),
                               _mm_or_si128(_mm_or_si128(eq(0xAD), eq('\\')), _mm_cmpeq_epi8(v, quote)));
        beyond = _mm_setzero_si128();
    } else if constexpr (sizeof(Char) == 2) {
        // Signed comparisons of the characters with the top bit flipped
        // order them as unsigned ones.
        const __m128i flipped = _mm_xor_si128(v, _mm_set1_epi16(-0x8000));
        special = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi16(flipped, _mm_set1_epi16(0x20 - 0x8000)),
                                            _mm_cmpeq_epi16(v, _mm_set1_epi16(0x7F))),
                               _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('\\')), _mm_cmpeq_epi16(v, quote)));
        beyond = beyond_ascii<Char>(v);
    } else {
        // Code points are at most 0x10FFFF: signed comparisons hold.
        special = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi32(v, _mm_set1_epi32(0x20)),
                                            _mm_cmpeq_epi32(v, _mm_set1_epi32(0x7F))),
                               _mm_or_si128(_mm_cmpeq_epi32(v, _mm_set1_epi32('\\')), _mm_cmpeq_epi32(v, quote)));
        beyond = beyond_ascii<Char>(v);
    }
}

// One bit per character, in order, of lanes of all ones in `m`, the
// registers holding 16 characters of type Char.
template <class Char>
inline unsigned char_bits(const __m128i* m) {
    __m128i bytes;
    if constexpr (sizeof(Char) == 1) bytes = m[0];
    else if constexpr (sizeof(Char) == 2) bytes = _mm_packs_epi16(m[0], m[1]);
    else bytes = _mm_packs_epi16(_mm_packs_epi32(m[0], m[1]), _mm_packs_epi32(m[2], m[3]));
    return static_cast<unsigned>(_mm_movemask_epi8(bytes));
}

// Where copying a block stops: the first of the characters (bits as
// char_bits) that repr() escapes, as its bit; 0 for none. Those beyond
// ASCII before the first special one are looked up one by one.
template <class Char, class Rules, class Table>
inline unsigned first_escaped(const Rules& rules, const Table& table, const Char* at, unsigned special, unsigned beyond) {
    for (unsigned b = beyond & (special - 1) & ~special; b != 0; b &= b - 1)
        if (!rules.printable(table, at[std::countr_zero(b)])) return b & -b;
    return special & -special;
}

// The characters of repr(s) between its quotes for data[from, n), as units
// of type Out at least as wide as Char, for text that needs escapes: 16
// characters are copied at a time, up to the next character repr()
// escapes, from which the next block starts. Less than 16 characters from
// the end, the same in single registers, the last one ending at the text's
// end, its lanes still to write moved to the front. Writes up to 15 units
// past the end. When `copied`, the text is already at `p` (from `from` on):
// the blocks before the first escaped character are only read.
template <class Char, class Out, class Rules>
[[gnu::always_inline]] inline Out* escape_blocks(const Char* data, std::size_t from, std::size_t n, char quote, Out* p,
                                                 bool copied, const Rules& rules) {
    static_assert(sizeof(Char) <= sizeof(Out));
    constexpr std::size_t lanes = 16 / sizeof(Char);
    if (n < lanes) return rules.chars(data, from, n, p);
    const auto load = [](const void* at) { return _mm_loadu_si128(static_cast<const __m128i*>(at)); };
    const __m128i q = sizeof(Char) == 1   ? _mm_set1_epi8(quote)
                      : sizeof(Char) == 2 ? _mm_set1_epi16(quote)
                                          : _mm_set1_epi32(quote);
    const auto& table = rules.template table<Char>();
    std::size_t i = from;
    // Steps to the character after the one `stop` marks, having written it.
    const auto escape_at = [&](unsigned stop) {
        const auto k = static_cast<std::size_t>(std::countr_zero(stop));
        p = rules.put(p + k, data[i + k]);
        i += k + 1;
    };
    // A block of 16 characters from i, its characters written when `store`
    // holds: whether one is escaped (having written it and stepped past).
    const auto block = [&](auto store) {
        __m128i v[sizeof(Char)], special[sizeof(Char)], beyond[sizeof(Char)];
        for (std::size_t k = 0; k < sizeof(Char); ++k) {
            v[k] = load(data + i + k * lanes);
            escapes_of<Char>(v[k], q, special[k], beyond[k]);
        }
        const unsigned stop = first_escaped(rules, table, data + i, char_bits<Char>(special), char_bits<Char>(beyond));
        if constexpr (store.value)
            for (std::size_t k = 0; k < sizeof(Char); ++k) store16<Char>(p + k * lanes, v[k]);
        if (stop == 0) {
            p += 16;
            i += 16;
            return false;
        }
        escape_at(stop);
        return true;
    };
    if (copied)
        while (i + 16 <= n && !block(std::false_type{})) {
        }
    while (i + 16 <= n) block(std::true_type{});
    while (i < n) {
        __m128i v;
        std::size_t count = lanes;
        if (i + lanes <= n) {
            v = load(data + i);
        } else {
            count = n - i;
            const std::size_t move = (lanes - count) * sizeof(Char);
            v = _mm_or_si128(shift_down(load(data + n - lanes), move),
                             load(filler_bytes<Char>.data() + move));
        }
        __m128i special, beyond;
        escapes_of<Char>(v, q, special, beyond);
        const auto one = [](__m128i m) {
            __m128i r[sizeof(Char)] = {m};
            return char_bits<Char>(r) & ((1u << lanes) - 1);
        };
        const unsigned stop = first_escaped(rules, table, data + i, one(special), one(beyond));
        store16<Char>(p, v);
        if (stop == 0) {
            p += count;
            i += count;
        } else {
            escape_at(stop);
        }
    }
    return p;
}

// Calls `f(at)` for each block of 16 characters from data[at] holding one
// beyond ASCII, for 2- and 4-byte text. Returns where whole blocks end.
template <class Char, class F>
[[gnu::always_inline]] inline std::size_t blocks_beyond_ascii(const Char* data, std::size_t n, F&& f) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i beyond = _mm_setzero_si128();
        for (std::size_t k = 0; k < sizeof(Char); ++k)
            beyond = _mm_or_si128(beyond, beyond_ascii<Char>(_mm_loadu_si128(
                                              reinterpret_cast<const __m128i*>(data + i + k * (16 / sizeof(Char))))));
        if (_mm_movemask_epi8(beyond) != 0) f(i);
    }
    return i;
}

}  // namespace orrery::kernel
