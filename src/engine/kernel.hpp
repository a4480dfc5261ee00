// The text kernel: the operations on runs of characters that the engine
// does in wide registers where the processor has them. Two headers define
// them all, in namespace orrery::kernel, with the same results:
// kernel_sse2.hpp for x86-64 and kernel_scalar.hpp, in standard C++, for
// every other processor (and for x86-64 when ORRERY_PORTABLE_KERNELS is
// defined, see platform.hpp). This header picks one. Every operation is
// inline, for the engine's hot loops:
//
//   copy_scan<Char, Unit, F>(text, n, dst, inside_object) -> Scan
//       copies a str's text as units of type Unit and classifies it;
//   copy_short_ascii<Unit>(text, n, dst) -> Scan
//       the same for compact ASCII text shorter than 16 characters;
//   widen_blocks<Unit>(p, text, n)
//       widens ASCII text from a 16-byte aligned buffer, in blocks of 16;
//   put_wide8<Unit>(p, w)
//       writes the 8 bytes of `w` from its lowest up as 2- or 4-byte units;
//   round_to_integer(t) -> long long
//       rounds to nearest, ties to even, as std::llrint;
//   escape_plain_blocks(data, n, p, rules) -> index
//       copies the leading blocks of 16 characters that need no escape;
//   escape_blocks(data, from, n, quote, p, copied, rules) -> Out*
//       the characters of repr(s) between its quotes, escapes included;
//   blocks_beyond_ascii(data, n, f) -> index
//       calls f(at) for each block of 16 characters holding one beyond ASCII.
//
// `rules` gives repr()'s rules for single characters (see EscapeRules in
// leaves.cpp): chars(data, from, to, p) escapes a run one at a time,
// put(p, c) writes one escaped character, table<Char>() and
// printable(table, c) say whether a character beyond ASCII is shown as is.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "engine/platform.hpp"

namespace orrery::kernel {

// Bits of Scan::bits: an ASCII control, DEL or backslash; a single quote; a
// double quote.
enum : unsigned { needs_escape = 1, has_squote = 2, has_dquote = 4 };

// What a scan finds in a str's text, in one pass that copies it into the
// result (in the result's width): whether any character needs an escape
// among ASCII, which quote characters occur, and the smallest and largest
// character beyond ASCII (their printability is decided afterwards, see
// leaves::printable_text).
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

}  // namespace orrery::kernel

#if ORRERY_KERNEL_SSE2
#include "engine/kernel_sse2.hpp"
#else
#include "engine/kernel_scalar.hpp"
#endif
