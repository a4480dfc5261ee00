// Pieces of the dataclass form whose text is known to be ASCII (a field's
// line start, the class name with its bracket), written without checking
// each byte again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "boundary/io_error.hpp"
#include "engine/platform.hpp"
#include "engine/sink.hpp"

namespace orrery::pretty::detail {

// The text of an exact str that holds only ASCII, read in place (valid while
// the str is held); nothing for any other object.
inline std::optional<std::string_view> ascii_text(PyObject* s) noexcept {
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_COMPACT_ASCII(s)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
}

// Copies `n` bytes with a few overlapping word moves (names are short)
// instead of a call or a loop; reads and writes only the `n` bytes.
inline void copy_short(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8) {
        std::uint64_t w;
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&w, src + i, 8);
            std::memcpy(dst + i, &w, 8);
        }
        std::memcpy(&w, src + n - 8, 8);
        std::memcpy(dst + n - 8, &w, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
    }
}

// The room a short piece is made in, lead included: a piece generated in
// place up to this size never needs a buffer of its own, whatever the width
// of the result.
inline constexpr std::size_t piece_block = 64;
// The longest piece written here after its lead; anything longer takes the
// general path.
inline constexpr std::size_t short_piece = piece_block - 2;

// Writes `lead`, `spaces` spaces, `text` and `tail` as one piece, whatever
// they hold.
template <class Sink>
[[gnu::noinline]] IoStatus write_any_piece(Sink& out, std::string_view lead, std::uint64_t spaces,
                                           std::string_view text, std::string_view tail) {
    return out.write_fmt(lead, Spaces{spaces}, text, tail);
}

// Writes `lead`, `spaces` spaces, `text` and `tail` as one piece; `ascii`
// tells that `text` is known to be ASCII (`lead` and `tail` always are;
// `lead` is at most two bytes). A short ASCII piece is made in the sink's
// room for `piece_block` bytes: spaces fill it whole, then the lead and the
// text go over them.
template <class Sink>
[[gnu::always_inline]] inline IoStatus write_piece(Sink& out, std::string_view lead, std::uint64_t spaces, bool ascii,
                                                   std::string_view text, std::string_view tail) {
    if (!ascii || lead.size() > 2 || spaces > short_piece || text.size() + tail.size() > short_piece - spaces) [[unlikely]]
        return write_any_piece(out, lead, spaces, text, tail);
    static constexpr auto blank = [] {
        std::array<char, piece_block> b{};
        b.fill(' ');
        return b;
    }();
    // Inlined so that the literal tail is copied as a constant.
    return out.write_generated(piece_block, [&](char* dst) ORRERY_INLINE_LAMBDA {
        std::memcpy(dst, blank.data(), piece_block);
        // Both lead bytes are stored whatever its size: a byte that is not
        // part of it is a blank, or goes under the text.
        dst[0] = lead.empty() ? ' ' : lead[0];
        dst[1] = lead.size() < 2 ? ' ' : lead[1];
        dst += lead.size();
        copy_short(dst + spaces, text.data(), text.size());
        char* p = dst + spaces + text.size();
        for (char c : tail) *p++ = c;
        return static_cast<std::size_t>(p - dst) + lead.size();
    });
}

}  // namespace orrery::pretty::detail
