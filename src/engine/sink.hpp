// Text sinks: where rendered text goes.
//
// A sink has one operation, write_fmt, that writes one formatted piece made
// of fragments (UTF-8 strings and runs of spaces) as one unit. Two kinds
// exist: MemorySink below, which never fails, and the standard-output sink.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "boundary/cpython_compat.hpp"
#include "boundary/io_error.hpp"
#include "boundary/ref.hpp"
#include "engine/leaves.hpp"
#include "engine/kernel.hpp"

namespace orrery {

// A run of `count` spaces.
struct Spaces {
    std::uint64_t count;
};

// A sink also says whether a write can run Python code (a write that waits
// lets other threads run; signal handlers run inside it): after such a write
// nothing borrowed before it may be used.
template <class S>
concept TextSink = requires(S& s, std::string_view text, Spaces sp) {
    { s.write_fmt(text) } -> std::same_as<IoStatus>;
    { s.write_fmt(sp, sp, text, text) } -> std::same_as<IoStatus>;
    { std::bool_constant<S::writes_may_run_code>{} };
};

// Builds the result str of one call in the str's own storage, one code unit
// per character. It starts at one byte per character (ASCII) and is widened,
// the text so far converted once, when a wider character is first written,
// so the result always has the width of its widest character. Structural
// text (spaces, punctuation, numbers) is ASCII and written as units of the
// current width. Running out of memory throws std::bad_alloc.
//
// The writes the renderer makes for every element are forced inline: its
// element loops are large enough that the compiler otherwise calls them out
// of line, where the constant punctuation they write is no longer folded.
class MemorySink {
public:
    MemorySink() noexcept = default;
    MemorySink(const MemorySink&) = delete;
    MemorySink& operator=(const MemorySink&) = delete;

    // Writing runs no Python code: a walk may keep borrowed references and
    // sizes across writes.
    static constexpr bool writes_may_run_code = false;

    template <class... Fragments>
    [[gnu::always_inline]] IoStatus write_fmt(const Fragments&... fragments) {
        if constexpr (sizeof...(Fragments) > 1) {
            // An ASCII piece (the common case: margins, punctuation, names)
            // takes one room check for all its fragments.
            if ((ascii_fragment(fragments) && ...)) {
                unsigned char* p = reserve((room(fragments) + ...));
                switch (unit_) {
                    case 1: (put<Py_UCS1>(p, fragments), ...); break;
                    case 2: (put<Py_UCS2>(p, fragments), ...); break;
                    default: (put<Py_UCS4>(p, fragments), ...); break;
                }
                return {};
            }
        }
        (append(fragments), ...);
        return {};
    }

    // A line break or an opening (",\n", "{\n", ...) and the margin of the
    // next line, or a line break, a margin and a closing ("}", ")", ...). A
    // lead and a closing of up to max_lead ASCII characters take one room
    // check, and the margin is written as one run.
    [[gnu::always_inline]] IoStatus write_fmt(std::string_view lead, Spaces margin) {
        if (!short_ascii(lead)) [[unlikely]]
            return write_fmt<std::string_view, Spaces>(lead, margin);
        put_line(lead, static_cast<std::size_t>(margin.count), {});
        return {};
    }
    [[gnu::always_inline]] IoStatus write_fmt(std::string_view lead, Spaces margin, std::string_view close) {
        if (!short_ascii(lead) || !short_ascii(close)) [[unlikely]]
            return write_fmt<std::string_view, Spaces, std::string_view>(lead, margin, close);
        put_line(lead, static_cast<std::size_t>(margin.count), close);
        return {};
    }

    // Bytes per character of the result so far: 1, 2 or 4.
    unsigned unit() const noexcept { return unit_; }

    // ",\n" and the margin of the next line, `margin` spaces, into a result
    // whose characters the caller knows to be `Unit`s (unit() is its size).
    template <class Unit>
    [[gnu::always_inline]] void write_break_as(Spaces margin) {
        const auto n = static_cast<std::size_t>(margin.count);
        // Growing keeps the width: the units are where `Unit` says.
        make_room(n + 2);
        put_break<Unit>(data_ + size_ * sizeof(Unit), n);
        size_ += n + 2;
    }

    // One piece of ASCII text produced in place by `fill(dst) -> size`, at
    // most `bound` bytes.
    template <class Fill>
    [[gnu::always_inline]] IoStatus write_generated(std::size_t bound, Fill&& fill) {
        if (unit_ == 1) {
            size_ += fill(reinterpret_cast<char*>(reserve(bound)));
        } else if (bound <= 64) {
            // Made in a buffer, then widened 16 characters at a time (the
            // units past the text lie in the overrun).
            alignas(16) char text[64];
            const std::size_t n = fill(text);
            unsigned char* p = reserve(n);
            if (unit_ == 2) kernel::widen_blocks(reinterpret_cast<Py_UCS2*>(p), text, n);
            else kernel::widen_blocks(reinterpret_cast<Py_UCS4*>(p), text, n);
            size_ += n;
        } else {
            std::string text(bound, '\0');
            append_ascii(text.data(), fill(text.data()));
        }
        return {};
    }

    // repr() of an int that fits a signed 64-bit integer, written in the
    // result's own width.
    [[gnu::always_inline]] IoStatus write_int(long long v) {
        unsigned char* p = reserve(leaves::int_repr_bound);
        switch (unit_) {
            case 1: size_ += leaves::int_units(v, reinterpret_cast<Py_UCS1*>(p)); break;
            case 2: size_ += leaves::int_units(v, reinterpret_cast<Py_UCS2*>(p)); break;
            default: size_ += leaves::int_units(v, reinterpret_cast<Py_UCS4*>(p)); break;
        }
        return {};
    }

    // Writes repr() of an exact str. Returns false, writing nothing, when the
    // string is too long to be escaped here. ASCII strs, the common case,
    // go to a function of their own; either function goes on to the writer
    // for the str's width and the result's, chosen when the result last
    // widened.
    [[gnu::always_inline]] bool append_str_repr(PyObject* s) {
        return PyUnicode_IS_ASCII(s) ? append_ascii_repr(s) : append_wide_repr(s);
    }

    // append_str_repr of an exact str of ASCII characters stored in the
    // object, into a result whose characters the caller knows to be `Unit`s.
    template <class Unit>
    [[gnu::always_inline]] bool append_compact_ascii_as(PyObject* s) {
        return write_compact_ascii<Unit>(*this, s);
    }

    // append_str_repr of any other exact str.
    bool append_other_repr(PyObject* s) { return append_wide_repr(s); }

    // A dict entry's start as one piece: `open` and a line break (the
    // previous line's end or the dict's opening), `margin` spaces, repr(key)
    // and ": ". Taken by a key that is an exact str of ASCII characters stored
    // in the object (most keys) and whose repr() is its text between quotes;
    // returns false for any other key, having written nothing (only into the
    // room past the result).
    [[gnu::always_inline]] bool write_key_line(char open, Spaces margin, PyObject* key) {
        if (!PyUnicode_IS_COMPACT_ASCII(key)) [[unlikely]]
            return false;
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
        const auto m = static_cast<std::size_t>(margin.count);
        const auto* text = static_cast<const Py_UCS1*>(compat::compact_ascii_text(key));
        unsigned char* p = reserve(m + n + 6);
        bool plain;
        switch (unit_) {
            case 1: plain = put_key_line(reinterpret_cast<Py_UCS1*>(p), open, m, text, n); break;
            case 2: plain = put_key_line(reinterpret_cast<Py_UCS2*>(p), open, m, text, n); break;
            default: plain = put_key_line(reinterpret_cast<Py_UCS4*>(p), open, m, text, n); break;
        }
        if (!plain) [[unlikely]]
            return false;
        size_ += m + n + 6;
        return true;
    }

    // UTF-8 text (ASCII in the common case).
    [[gnu::always_inline]] void append(std::string_view s) {
        if (is_ascii(s)) [[likely]]
            append_ascii(s.data(), s.size());
        else
            append_utf8(s);
    }
    void append(Spaces sp) {
        const auto n = static_cast<std::size_t>(sp.count);
        switch (unit_) {
            case 1: put_spaces<Py_UCS1>(n); break;
            case 2: put_spaces<Py_UCS2>(n); break;
            default: put_spaces<Py_UCS4>(n); break;
        }
    }
    void append(char c) { append_ascii(&c, 1); }

    // The whole text as a str, or NULL with an exception set. Ends the sink.
    PyObject* to_str();

private:
    static bool is_ascii(std::string_view s) noexcept {
        unsigned char any = 0;
        for (char c : s) any |= static_cast<unsigned char>(c);
        return any < 0x80;
    }
    static bool ascii_fragment(std::string_view s) noexcept { return is_ascii(s); }
    static bool ascii_fragment(Spaces) noexcept { return true; }
    // Units a fragment keeps (what it writes past them lies in the overrun).
    static std::size_t room(std::string_view s) noexcept { return s.size(); }
    static std::size_t room(Spaces sp) noexcept { return static_cast<std::size_t>(sp.count); }
    // Writes an ASCII fragment at `p` (room reserved), advancing `p`.
    template <class Unit>
    void put(unsigned char*& p, std::string_view s) noexcept {
        auto* u = reinterpret_cast<Unit*>(p);
        if constexpr (sizeof(Unit) == 1) {
            if (s.size() <= 8) {
                for (std::size_t i = 0; i < s.size(); ++i) u[i] = static_cast<unsigned char>(s[i]);
            } else {
                std::memcpy(u, s.data(), s.size());
            }
        } else {
            widen_into(u, s.data(), s.size());
        }
        p += s.size() * sizeof(Unit);
        size_ += s.size();
    }
    template <class Unit>
    void put(unsigned char*& p, Spaces sp) noexcept {
        const auto n = static_cast<std::size_t>(sp.count);
        fill_spaces(reinterpret_cast<Unit*>(p), n);
        p += n * sizeof(Unit);
        size_ += n;
    }
    // Units a writer may store past the `n` it keeps, overwritten by later
    // text: the block copies of scanned text (kernel::slack), of widened
    // text (up to 15 units), of digits, and of spaces (64 bytes from the
    // run's end, at least one block). Every room check adds it, here and
    // nowhere else: writers ask for the units they keep.
    static constexpr std::size_t overrun = 64;
    static_assert(kernel::slack <= overrun);
    // Whether `n` more units and the overrun fit.
    bool has_room(std::size_t n) const noexcept { return room_ - size_ >= n + overrun; }
    // Makes room for `n` more units and the overrun.
    void make_room(std::size_t n) {
        if (!has_room(n)) [[unlikely]]
            grow(n + overrun);
    }
    // make_room, returning where the units go (bytes of the storage).
    unsigned char* reserve(std::size_t n) {
        make_room(n);
        return data_ + size_ * unit_;
    }
    [[gnu::always_inline]] void append_ascii(const char* s, std::size_t n) {
        unsigned char* p = reserve(n);
        switch (unit_) {
            case 1:
                // Most pieces are a few bytes long: copy those inline.
                if (n <= 8) {
                    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(s[i]);
                } else {
                    std::memcpy(p, s, n);
                }
                break;
            case 2: widen_into(reinterpret_cast<Py_UCS2*>(p), s, n); break;
            default: widen_into(reinterpret_cast<Py_UCS4*>(p), s, n); break;
        }
        size_ += n;
    }
    template <class Unit>
    static void widen_into(Unit* p, const char* s, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(s[i]);
    }
    // Spaces are written in blocks of 64 bytes, at least one (the room for it
    // is always reserved, so a short margin takes one block and no test); the
    // units past the run are overwritten by later text. A block is four
    // stores of one 16-byte value kept in a register.
    template <class Unit>
    using Chunk = std::array<Unit, 16 / sizeof(Unit)>;
    // 16 bytes of spaces, and the same starting with ",\n".
    template <class Unit>
    static constexpr Chunk<Unit> blank_chunk = [] {
        Chunk<Unit> c{};
        c.fill(' ');
        return c;
    }();
    template <class Unit>
    static constexpr Chunk<Unit> break_chunk = [] {
        Chunk<Unit> c = blank_chunk<Unit>;
        c[0] = ',';
        c[1] = '\n';
        return c;
    }();
    template <class Unit>
    static void fill_spaces(Unit* p, std::size_t n) noexcept {
        const Chunk<Unit> blank = blank_chunk<Unit>;
        auto* out = reinterpret_cast<unsigned char*>(p);
        const unsigned char* end = out + n * sizeof(Unit);
        do {
            for (std::size_t k = 0; k < 64; k += 16) std::memcpy(out + k, &blank, 16);
            out += 64;
        } while (out < end);
    }
    // Writes ",\n" and `n` spaces at `p` (room reserved for n + 2 units and
    // 64 bytes more): the line break is the first units of the first block
    // of spaces, and at least 64 bytes are written, with no test for the
    // common short margins.
    template <class Unit>
    [[gnu::always_inline]] static void put_break(unsigned char* p, std::size_t n) noexcept {
        const Chunk<Unit> blank = blank_chunk<Unit>;
        std::memcpy(p, &break_chunk<Unit>, 16);
        for (std::size_t k = 16; k < 64; k += 16) std::memcpy(p + k, &blank, 16);
        const unsigned char* end = p + (n + 2) * sizeof(Unit);
        for (p += 64; p < end; p += 64)
            for (std::size_t k = 0; k < 64; k += 16) std::memcpy(p + k, &blank, 16);
    }
    // Longest lead or closing written in one piece with a margin.
    static constexpr std::size_t max_lead = 8;
    static bool short_ascii(std::string_view s) noexcept { return s.size() <= max_lead && is_ascii(s); }
    [[gnu::always_inline]] void put_line(std::string_view lead, std::size_t n, std::string_view close) {
        unsigned char* p = reserve(2 * max_lead + n);
        switch (unit_) {
            case 1: put_line(reinterpret_cast<Py_UCS1*>(p), lead, n, close); break;
            case 2: put_line(reinterpret_cast<Py_UCS2*>(p), lead, n, close); break;
            default: put_line(reinterpret_cast<Py_UCS4*>(p), lead, n, close); break;
        }
        size_ += lead.size() + n + close.size();
    }
    // Writes `lead`, `n` spaces and `close` at `p` (room reserved as above):
    // the closing goes over what the block copies of spaces wrote past them.
    template <class Unit>
    [[gnu::always_inline]] static void put_line(Unit* p, std::string_view lead, std::size_t n,
                                                std::string_view close) noexcept {
        for (std::size_t i = 0; i < lead.size(); ++i) p[i] = static_cast<unsigned char>(lead[i]);
        p += lead.size();
        fill_spaces(p, n);
        p += n;
        for (std::size_t i = 0; i < close.size(); ++i) p[i] = static_cast<unsigned char>(close[i]);
    }
    // Writes what write_key_line writes at `p` (room reserved for it); false
    // when the key's repr() is not its text between single or double quotes.
    template <class Unit>
    [[gnu::always_inline]] static bool put_key_line(Unit* p, char open, std::size_t m, const Py_UCS1* text,
                                                    std::size_t n) noexcept {
        using namespace kernel;
        p[0] = static_cast<unsigned char>(open);
        p[1] = '\n';
        p += 2;
        fill_spaces(p, m);
        p += m;
        const Scan r = n < 16 ? copy_short_ascii(text, n, p + 1) : copy_scan<Py_UCS1, Unit, Follow::escapes>(text, n, p + 1, true);
        // repr() uses single quotes unless the text holds one and no double
        // quote; text that would need an escape goes the general way.
        Unit quote = '\'';
        if (r.bits != 0) [[unlikely]] {
            if (r.bits != has_squote) return false;
            quote = '"';
        }
        p[0] = quote;
        p[n + 1] = quote;
        p[n + 2] = ':';
        p[n + 3] = ' ';
        return true;
    }
    template <class Unit>
    void put_spaces(std::size_t n) {
        fill_spaces(reinterpret_cast<Unit*>(reserve(n)), n);
        size_ += n;
    }
    void append_utf8(std::string_view s);
    // The str writers: of a compact ASCII str, of a str whose characters the
    // result holds as they are (Char into Unit), and of a str wider than the
    // result. write_grown is write_compact_ascii (Ascii) or write_fitting
    // after growing the storage; write_checked ends write_fitting when the
    // characters beyond ASCII are to be looked up one by one (`text` and `n`
    // are the str's, `plain` is put_plain's answer).
    using StrWriter = bool (*)(MemorySink&, PyObject*);
    // append_str_repr of an ASCII str, and of a str with a character beyond
    // ASCII or whose text lies apart from the object.
    bool append_ascii_repr(PyObject* s);
    bool append_wide_repr(PyObject* s);
    template <class Unit>
    static bool write_compact_ascii(MemorySink& m, PyObject* s);
    template <class Char, class Unit>
    static bool write_fitting(MemorySink& m, PyObject* s);
    template <class Char, class Unit, bool Ascii>
    static bool write_grown(MemorySink& m, PyObject* s);
    template <class Char, class Unit>
    static bool write_checked(MemorySink& m, PyObject* s, const Char* text, std::size_t n, unsigned plain);
    static bool write_widening(MemorySink& m, PyObject* s);
    // Sets the writers for the result's width.
    void choose_str_writers();
    // Writes repr() of `s`, `n` characters long, whose text holds a
    // character that is escaped; `quote` is the one repr() uses. The scan
    // that found it has copied the text past the result, one unit in.
    bool append_escaped(PyObject* s, std::size_t n, char quote);
    void grow(std::size_t n);
    // Sets how much of the storage the writers may fill before asking again,
    // `n` units at least; see grow().
    void set_room(std::size_t n);
    void replace_storage(std::size_t cap, Py_UCS4 maxchar, bool sized_by_last = false);
    // Makes the storage able to hold `maxchar` (0x7F, 0xFF, 0xFFFF or 0x10FFFF).
    void widen(Py_UCS4 maxchar);

    Ref str_;  // the result being built; its length is the capacity
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;  // units written
    std::size_t cap_ = 0;   // units of storage
    std::size_t room_ = 0;  // units the writers may fill before grow()
    bool prefault_ = true;  // whether set_room() still asks for pages ahead
    bool fresh_ = false;    // whether pages of the storage came in during this call
    unsigned unit_ = 1;     // bytes per unit
    Py_UCS4 maxchar_ = 0x7F;
    // The writers for the current width: of compact ASCII strs, and of
    // others by their kind (1, 2 or 4 bytes per character; the others
    // widen the result first or take the general path).
    StrWriter ascii_writer_ = write_compact_ascii<Py_UCS1>;
    std::array<StrWriter, 5> wide_writers_ = {write_widening, write_widening, write_widening, write_widening,
                                              write_widening};
};

}  // namespace orrery
