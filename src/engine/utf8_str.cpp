#include "engine/utf8_str.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "boundary/ref.hpp"
#include "engine/memory.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orrery {

namespace {

// Copies the run of ASCII bytes at the start of `p`, widened to Unit, and
// returns its length (at most `room`).
template <class Unit>
std::size_t ascii_run(const unsigned char* p, std::size_t n, Unit* out, std::size_t room) {
    const std::size_t limit = n < room ? n : room;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= limit) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const int mask = _mm_movemask_epi8(v);
        if (mask != 0) {
            // Finish the ASCII bytes before the first non-ASCII one.
            const int ascii = __builtin_ctz(static_cast<unsigned>(mask));
            for (int k = 0; k < ascii; ++k) out[i + k] = static_cast<Unit>(p[i + k]);
            return i + static_cast<std::size_t>(ascii);
        }
        if constexpr (std::is_same_v<Unit, Py_UCS1>) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
        } else {
            const __m128i lo = _mm_unpacklo_epi8(v, zero);
            const __m128i hi = _mm_unpackhi_epi8(v, zero);
            if constexpr (std::is_same_v<Unit, Py_UCS2>) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), lo);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), hi);
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi16(lo, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), _mm_unpackhi_epi16(lo, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpacklo_epi16(hi, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 12), _mm_unpackhi_epi16(hi, zero));
            }
        }
        i += 16;
    }
#endif
    while (i < limit && p[i] < 0x80) {
        out[i] = static_cast<Unit>(p[i]);
        ++i;
    }
    return i;
}

constexpr std::size_t malformed = SIZE_MAX;

// Decodes UTF-8 into at most `nchars` code units of type Unit; returns how
// many it wrote, or `malformed` if the text is not well-formed.
template <class Unit>
std::size_t decode(const unsigned char* p, std::size_t n, Unit* out, std::size_t nchars) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            const std::size_t run = ascii_run(p + i, n - i, out + j, nchars - j);
            i += run;
            j += run;
            if (i >= n) break;
        }
        if (j >= nchars) return malformed;
        const unsigned b = p[i];
        Py_UCS4 c;
        std::size_t len;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if (b >= 0xC2 && b < 0xE0) {
            c = b & 0x1F;
            len = 2;
        } else if (b >= 0xE0 && b < 0xF0) {
            c = b & 0x0F;
            len = 3;
        } else if (b >= 0xF0 && b < 0xF5) {
            c = b & 0x07;
            len = 4;
        } else {
            return malformed;
        }
        if (len > n - i) return malformed;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned cb = p[i + k];
            if ((cb & 0xC0) != 0x80) return malformed;
            c = (c << 6) | (cb & 0x3F);
        }
        out[j++] = static_cast<Unit>(c);
        i += len;
    }
    return j;
}

// The largest byte and the number of continuation bytes (10xxxxxx) of `p`.
void scan(const unsigned char* p, std::size_t n, unsigned char& top, std::size_t& continuation) {
    std::size_t i = 0;
    unsigned char t = 0;
    std::size_t cont = 0;
#if defined(__SSE2__)
    __m128i vmax = _mm_setzero_si128();
    const __m128i below = _mm_set1_epi8(-64);  // 0x80-0xBF are the signed bytes below -64
    while (i + 16 <= n) {
        // Per-lane counts stay below 256 by summing at most 255 blocks at a time.
        __m128i counts = _mm_setzero_si128();
        const std::size_t stop = std::min(n - 15, i + 255 * 16);
        for (; i < stop; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            vmax = _mm_max_epu8(vmax, v);
            counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(v, below));
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        cont += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), vmax);
    for (unsigned char lane : lanes) t = lane > t ? lane : t;
#endif
    for (; i < n; ++i) {
        t = p[i] > t ? p[i] : t;
        cont += (p[i] & 0xC0) == 0x80;
    }
    top = t;
    continuation = cont;
}

// Fills `out` (of kind Unit, `nchars` long) with the UTF-8 text, the string
// pieces inserted at their offsets. Returns false if the text is malformed.
template <class Unit>
bool fill(PyObject* out, const unsigned char* p, std::size_t size, std::span<const StrPiece> pieces,
          std::size_t nchars) {
    Unit* units = static_cast<Unit*>(PyUnicode_DATA(out));
    std::size_t bytes = 0;
    std::size_t chars = 0;
    auto text_until = [&](std::size_t end) {
        const std::size_t n = decode(p + bytes, end - bytes, units + chars, nchars - chars);
        if (n == malformed) return false;
        chars += n;
        bytes = end;
        return true;
    };
    for (const StrPiece& piece : pieces) {
        if (piece.offset < bytes || piece.offset > size || !text_until(piece.offset)) return false;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(piece.str.get());
        if (static_cast<std::size_t>(len) > nchars - chars) return false;
        if (PyUnicode_CopyCharacters(out, static_cast<Py_ssize_t>(chars), piece.str.get(), 0, len) != len) return false;
        chars += static_cast<std::size_t>(len);
    }
    return text_until(size) && chars == nchars;
}

}  // namespace

PyObject* str_from_engine_text(const char* data, std::size_t size, std::span<const StrPiece> pieces) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    unsigned char top = 0;
    std::size_t continuation = 0;
    scan(p, size, top, continuation);

    // The largest lead byte tells the widest character: C2-C3 lead Latin-1,
    // C4-EF the rest of the basic plane, F0 and up the supplementary planes.
    // A str's own width is exact, since the interpreter stores each string
    // in the narrowest form that holds its widest character.
    Py_UCS4 maxchar = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
    std::size_t nchars = size - continuation;
    for (const StrPiece& piece : pieces) {
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(piece.str.get()));
        nchars += static_cast<std::size_t>(PyUnicode_GET_LENGTH(piece.str.get()));
    }
    if (nchars > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(nchars), maxchar));
    if (!str) return nullptr;
    PyObject* s = str.get();
    advise_sequential_fill(PyUnicode_DATA(s), nchars * PyUnicode_KIND(s));
    bool ok;
    if (maxchar == 0x7F && pieces.empty()) {
        std::memcpy(PyUnicode_DATA(s), data, size);
        ok = true;
    } else {
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND: ok = fill<Py_UCS1>(s, p, size, pieces, nchars); break;
            case PyUnicode_2BYTE_KIND: ok = fill<Py_UCS2>(s, p, size, pieces, nchars); break;
            default: ok = fill<Py_UCS4>(s, p, size, pieces, nchars); break;
        }
    }
    if (ok) return str.release();
    // Only a broken invariant of the engine gets here.
    str.reset();
    PyErr_SetString(PyExc_SystemError, "orrery: rendered text is not well-formed UTF-8");
    return nullptr;
}

}  // namespace orrery
