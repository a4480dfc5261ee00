#include "engine/sink.hpp"

#include <algorithm>
#include <atomic>
#include <string>

#include "boundary/fault.hpp"
#include "boundary/cpython_compat.hpp"
#include "engine/leaves.hpp"
#include "engine/memory.hpp"
#include "engine/kernel.hpp"

namespace orrery {

namespace {

// Storage of a fresh sink, in units: small results stay in the small-object
// allocator.
constexpr std::size_t first_capacity = 256;

// Storage up to this many bytes is resized in place.
constexpr std::size_t small_block = 64 << 10;

// Storage size in bytes of the last result. Once the text outgrows the small
// block, storage jumps to this size when it is enough: one large block per
// call, which is what a program formatting similar data again and again
// needs. Reallocating large blocks by doubling instead makes the allocator
// map fresh pages for the result on every call (its threshold for mapping
// adapts to the size of blocks freed before), and the page faults then cost
// more than the rendering.
std::atomic<std::size_t> last_result_bytes{0};

// Where the result's pages may be fresh, the writers fill it a window at a
// time, and each window's pages are asked for in one call before they are
// reached (a trap per page costs more). The window is a thirty-second of
// the text so far, up to 1 MiB, so that the pages resident ahead of the text
// never add more than that to the result's own; text up to 256 KiB goes
// without. Once a window's pages are found resident (storage the allocator
// reuses, or pages that came in whole with a huge page), the writers fill
// the storage to its end, and ask again only of storage grown or replaced.
constexpr std::size_t prefault_from = 256 << 10;
constexpr std::size_t max_window = 1 << 20;

template <class From, class To>
void convert(const unsigned char* from, unsigned char* to, std::size_t n) {
    const auto* src = reinterpret_cast<const From*>(from);
    auto* dst = reinterpret_cast<To*>(to);
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<To>(src[i]);
}

// Copies n units of text between storages of the given unit sizes, widening
// if need be.
void copy_units(const unsigned char* from, unsigned from_unit, unsigned char* to, unsigned to_unit,
                std::size_t n) {
    switch (from_unit * 8 + to_unit) {
        case 1 * 8 + 1: std::memcpy(to, from, n); break;
        case 1 * 8 + 2: convert<Py_UCS1, Py_UCS2>(from, to, n); break;
        case 1 * 8 + 4: convert<Py_UCS1, Py_UCS4>(from, to, n); break;
        case 2 * 8 + 2: std::memcpy(to, from, n * 2); break;
        case 2 * 8 + 4: convert<Py_UCS2, Py_UCS4>(from, to, n); break;
        case 4 * 8 + 4: std::memcpy(to, from, n * 4); break;
        default: fault("narrowing the result");
    }
}

// Storage moved to a fresh block is copied this many units at a time, and
// the old block's pages are given back as they are copied once it holds at
// least release_from bytes.
constexpr std::size_t copy_stretch = 64 << 10;
constexpr std::size_t release_from = 1 << 20;
// A widening copy asks for huge pages when it writes at least this many
// bytes, so that the part of the old block held meanwhile (at most 1 MiB)
// is small beside the result.
constexpr std::size_t huge_copy_from = std::size_t{32} << 20;

// Decodes well-formed UTF-8 (the engine's own text, and str() results
// encoded without lone surrogates).
std::u32string decode_utf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned b = p[i];
        std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        if ((b >= 0x80 && b < 0xC2) || b > 0xF4 || len > n - i) fault("malformed UTF-8 text");
        char32_t c = len == 1 ? b : b & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) fault("malformed UTF-8 text");
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        out.push_back(c);
        i += len;
    }
    return out;
}

// Resizes a str that is still private to this call (one reference, no hash)
// in place; false with an exception set on failure, `s` unchanged.
bool resize(Ref& s, std::size_t length) {
    PyObject* p = s.release();
    const bool ok = PyUnicode_Resize(&p, static_cast<Py_ssize_t>(length)) == 0;
    s = Ref::steal(p);
    return ok;
}

// put_plain's answer when the text's characters beyond ASCII are to be
// looked up one by one (with the quote repr() uses in the low bits).
constexpr unsigned check_chars = 0x100;
// With check_chars, for 4-byte text: all its characters lie below U+20000.
constexpr unsigned in_planes = 0x200;

// Writes repr() of a str whose text goes between the quotes unchanged: the
// text is copied while it is scanned, and the quotes are written when the
// scan finds nothing to escape (returns 0). Otherwise returns the quote
// repr() uses, with check_chars when the printability of the characters
// beyond ASCII is still to be found, having written only into the room past
// the result. Room for n + 2 units and the sink's overrun.
template <class Char, bool Wide, class Unit>
[[gnu::always_inline]] inline unsigned put_plain(Unit* p, const Char* text, std::size_t n, bool inside_object) {
    using namespace kernel;
    // Beyond ASCII, 1-byte text finds the characters repr() escapes in the
    // scan; 2-byte text is mostly printable by the run its smallest
    // character starts. Text of 4-byte characters holds one above the basic
    // multilingual plane, beyond the runs: its characters are looked up one
    // by one afterwards.
    constexpr Follow follow = !Wide || sizeof(Char) == 4 ? Follow::escapes
                              : sizeof(Char) == 1        ? Follow::latin1
                                                         : Follow::bounds;
    const Scan r = copy_scan<Char, Unit, follow>(text, n, p + 1, inside_object);
    // repr() uses single quotes unless the text holds one and no double
    // quote; it escapes the one it uses.
    unsigned quote = '\'';
    if (r.bits != 0) [[unlikely]] {
        if ((r.bits & (has_squote | has_dquote)) == has_squote) quote = '"';
        if ((r.bits & needs_escape) || (r.bits & (has_squote | has_dquote)) == (has_squote | has_dquote)) return quote;
    }
    if constexpr (follow == Follow::bounds) {
        if (r.high >= 0x80) {
            // Text of one script mostly lies within one run of printable
            // code points: one lookup.
            if (!leaves::within_one_run(r.low, r.high)) [[unlikely]]
                return quote | check_chars;
        }
    } else if constexpr (Wide && sizeof(Char) == 4) {
        return quote | check_chars | (r.high < 0x20000 ? in_planes : 0u);
    }
    p[0] = static_cast<Unit>(quote);
    p[n + 1] = static_cast<Unit>(quote);
    return 0;
}

// Writes repr(s) as units of `unit` bytes; returns how many. `copied` as
// for str_repr_units.
std::size_t repr_units(unsigned unit, PyObject* s, const leaves::StrShape& shape, unsigned char* p,
                       bool copied = false) {
    switch (unit) {
        case 1: return leaves::str_repr_units(s, shape, reinterpret_cast<Py_UCS1*>(p), copied);
        case 2: return leaves::str_repr_units(s, shape, reinterpret_cast<Py_UCS2*>(p), copied);
        default: return leaves::str_repr_units(s, shape, reinterpret_cast<Py_UCS4*>(p), copied);
    }
}

// Sets the length of a fresh compact str that nobody else has seen yet,
// keeping the fields that repeat it consistent.
void set_length(PyObject* s, std::size_t length) {
    compat::set_str_length(s, static_cast<Py_ssize_t>(length));
}

// Bytes per character of a str whose widest character is `maxchar`.
unsigned unit_for(Py_UCS4 maxchar) { return maxchar < 0x100 ? 1 : maxchar < 0x10000 ? 2 : 4; }

Py_UCS4 width_class(Py_UCS4 c) { return c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF; }

}  // namespace

void MemorySink::grow(std::size_t n) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 8 - size_) throw std::bad_alloc();
    const std::size_t want = size_ + n;
    if (want <= cap_) {
        // The writers reached the end of the pages asked for ahead of them.
        set_room(n);
        return;
    }
    std::size_t cap = std::max(cap_, first_capacity);
    while (cap < want) cap *= 2;
    if (cap * unit_ > small_block && cap_ * unit_ <= small_block) {
        // The first large block: fresh, of the last result's size if that
        // is enough.
        const std::size_t hint = last_result_bytes.load(std::memory_order_relaxed) / unit_;
        replace_storage(want <= hint ? hint : cap, maxchar_);
        set_room(n);
        return;
    }
    // Otherwise the str is resized in place: a small block by the small-object
    // allocator, a large one by remapping its pages (so the old and new blocks
    // never take memory at once). A remapped block is not marked for huge
    // pages: that made its whole untouched capacity resident.
    if (!str_) {
        str_ = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(cap), maxchar_));
        if (!str_) PyErr_Clear();
    } else if (!resize(str_, cap)) {
        PyErr_Clear();
        str_.reset();
    }
    if (!str_) {
        data_ = nullptr;
        cap_ = room_ = size_ = 0;
        throw std::bad_alloc();
    }
    data_ = static_cast<unsigned char*>(PyUnicode_DATA(str_.get()));
    cap_ = cap;
    prefault_ = true;  // the storage's new part: its residency is its own
    set_room(n);
}

void MemorySink::set_room(std::size_t n) {
    room_ = cap_;
    if (!prefault_) return;
    const std::size_t written = size_ * unit_;
    if (written < prefault_from) {
        // Asked again when the text reaches the size where windows start.
        room_ = std::min(cap_, std::max(size_ + n, prefault_from / unit_));
        return;
    }
    const std::size_t end = std::min(cap_, size_ + n + std::min(written / 32, max_window) / unit_);
    if (!prefault_for_write(data_ + size_ * unit_, data_ + end * unit_)) {
        prefault_ = false;
        return;
    }
    fresh_ = true;
    room_ = end;
}

void MemorySink::replace_storage(std::size_t cap, Py_UCS4 maxchar, bool sized_by_last) {
    // A large block is taken fresh and marked for huge pages before any of
    // it is touched, then the text so far is copied (widened if need be).
    Ref fresh = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(cap), maxchar));
    if (!fresh) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    auto* to = static_cast<unsigned char*>(PyUnicode_DATA(fresh.get()));
    const unsigned unit = PyUnicode_KIND(fresh.get());
    // The text so far is copied from its end back to its start, a stretch
    // at a time, and the old block's pages behind each stretch are given
    // back at once: widening a large result late then holds little more
    // than the widened text, not both copies. Only where the storage has
    // been fresh memory (pages found missing ahead of the writers during
    // this call, even if later ones came in whole with huge pages): storage
    // the allocator reuses is resident already, and giving its pages back
    // would only make the next call fault them in.
    const bool release = fresh_ && size_ * unit_ >= release_from;
    // Widened storage is marked only where the copy fills it (a huge page
    // reaching past the text would stay resident unwritten), and only when
    // that is large: each huge page comes in while the half or quarter of
    // it still to be copied is held in the old block. Storage of the last
    // result's size is marked whole, as a block that grows into it is.
    if (maxchar <= maxchar_ || sized_by_last) {
        advise_sequential_fill(to, cap * unit);
    } else {
        if (size_ * unit >= huge_copy_from) advise_sequential_fill(to, size_ * unit);
        else advise_small_pages(to, cap * unit);
        // Where huge pages are the system's default, the allocator's and
        // the str's own first writes may have brought one in past the text.
        if (release) release_pages(to + size_ * unit, to + cap * unit);
    }
    // Pages past the text (come in ahead of the writers) go first.
    unsigned char* kept_end = data_ + cap_ * unit_;
    for (std::size_t end = size_; end > 0;) {
        const std::size_t begin = end > copy_stretch ? end - copy_stretch : 0;
        copy_units(data_ + begin * unit_, unit_, to + begin * unit, unit, end - begin);
        if (release) kept_end = release_pages(data_ + begin * unit_, kept_end);
        end = begin;
    }
    str_ = std::move(fresh);
    data_ = to;
    cap_ = cap;
    prefault_ = true;
    unit_ = unit;
    maxchar_ = maxchar;
    choose_str_writers();
}

void MemorySink::widen(Py_UCS4 maxchar) {
    if (maxchar <= maxchar_) return;
    if (!str_) {
        maxchar_ = maxchar;
        unit_ = unit_for(maxchar);
        choose_str_writers();
        return;
    }
    // Large storage widened takes the last result's size when that holds
    // the text so far: the block the last result left behind, not fresh
    // pages, on every call of a program that formats similar data again.
    const std::size_t hint = last_result_bytes.load(std::memory_order_relaxed) / unit_for(maxchar);
    const bool hinted = cap_ * unit_ > small_block && hint > size_;
    replace_storage(hinted ? hint : cap_, maxchar, hinted);
    set_room(0);
}

void MemorySink::append_utf8(std::string_view s) {
    const std::u32string chars = decode_utf8(s);
    Py_UCS4 top = 0;
    for (char32_t c : chars) top = std::max<Py_UCS4>(top, c);
    widen(width_class(top));
    unsigned char* p = reserve(chars.size());
    switch (unit_) {
        case 1: convert<char32_t, Py_UCS1>(reinterpret_cast<const unsigned char*>(chars.data()), p, chars.size()); break;
        case 2: convert<char32_t, Py_UCS2>(reinterpret_cast<const unsigned char*>(chars.data()), p, chars.size()); break;
        default: convert<char32_t, Py_UCS4>(reinterpret_cast<const unsigned char*>(chars.data()), p, chars.size()); break;
    }
    size_ += chars.size();
}

bool MemorySink::append_ascii_repr(PyObject* s) {
    // A str made the old way (before 3.12) keeps its text apart from the
    // object: the general path reads it, as 1-byte text.
    if (!PyUnicode_IS_COMPACT(s)) [[unlikely]]
        return append_wide_repr(s);
    return ascii_writer_(*this, s);
}

bool MemorySink::append_wide_repr(PyObject* s) { return wide_writers_[PyUnicode_KIND(s)](*this, s); }

void MemorySink::choose_str_writers() {
    // ASCII text right after the header fits a result of any width; other
    // text fits as it is a result at least as wide, or widens it.
    switch (unit_) {
        case 1:
            ascii_writer_ = write_compact_ascii<Py_UCS1>;
            wide_writers_ = {write_widening, maxchar_ < 0xFF ? write_widening : write_fitting<Py_UCS1, Py_UCS1>,
                             write_widening, write_widening, write_widening};
            break;
        case 2:
            ascii_writer_ = write_compact_ascii<Py_UCS2>;
            wide_writers_ = {write_widening, write_fitting<Py_UCS1, Py_UCS2>, write_fitting<Py_UCS2, Py_UCS2>,
                             write_widening, write_widening};
            break;
        default:
            ascii_writer_ = write_compact_ascii<Py_UCS4>;
            wide_writers_ = {write_widening, write_fitting<Py_UCS1, Py_UCS4>, write_fitting<Py_UCS2, Py_UCS4>,
                             write_widening, write_fitting<Py_UCS4, Py_UCS4>};
            break;
    }
}

// The writers below leave every call that is not their last step to a
// function of their own, so that the common path saves no registers.
template <class Unit>
bool MemorySink::write_compact_ascii(MemorySink& m, PyObject* s) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (!m.has_room(n + 2)) [[unlikely]]
        return write_grown<Py_UCS1, Unit, true>(m, s);
    const auto* text = static_cast<const Py_UCS1*>(compat::compact_ascii_text(s));
    const unsigned quote = put_plain<Py_UCS1, false>(reinterpret_cast<Unit*>(m.data_) + m.size_, text, n, true);
    if (quote == 0) [[likely]] {
        m.size_ += n + 2;
        return true;
    }
    return m.append_escaped(s, n, static_cast<char>(quote));
}

template <class Char, class Unit>
bool MemorySink::write_fitting(MemorySink& m, PyObject* s) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (!m.has_room(n + 2)) [[unlikely]]
        return write_grown<Char, Unit, false>(m, s);
    // No compact ASCII str comes here: compact text follows the longer
    // header of text beyond ASCII.
    const bool compact = PyUnicode_IS_COMPACT(s);
    const auto* text = static_cast<const Char*>(compact ? compat::compact_text(s) : compat::legacy_text(s));
    const unsigned quote = put_plain<Char, true>(reinterpret_cast<Unit*>(m.data_) + m.size_, text, n, compact);
    if (quote == 0) [[likely]] {
        m.size_ += n + 2;
        return true;
    }
    if (quote & check_chars) return write_checked<Char, Unit>(m, s, text, n, quote);
    return m.append_escaped(s, n, static_cast<char>(quote));
}

template <class Char, class Unit, bool Ascii>
[[gnu::noinline]] bool MemorySink::write_grown(MemorySink& m, PyObject* s) {
    m.make_room(static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) + 2);
    if constexpr (Ascii) return write_compact_ascii<Unit>(m, s);
    return write_fitting<Char, Unit>(m, s);
}

template <class Char, class Unit>
[[gnu::noinline]] bool MemorySink::write_checked(MemorySink& m, PyObject* s, const Char* text, std::size_t n,
                                                 unsigned plain) {
    const char quote = static_cast<char>(plain);
    bool printable;
    if constexpr (sizeof(Char) == 4) {
        printable = (plain & in_planes) ? leaves::printable_chars_in_planes(text, n) : leaves::printable_chars(text, n);
    } else {
        printable = leaves::printable_chars(text, n);
    }
    if (!printable) return m.append_escaped(s, n, quote);
    Unit* p = reinterpret_cast<Unit*>(m.data_) + m.size_;
    p[0] = static_cast<Unit>(quote);
    p[n + 1] = static_cast<Unit>(quote);
    m.size_ += n + 2;
    return true;
}

bool MemorySink::write_widening(MemorySink& m, PyObject* s) {
    const leaves::StrShape shape = leaves::str_shape(s);
    if (!shape.plain && PyUnicode_GET_LENGTH(s) > leaves::max_direct_str) return false;
    m.widen(shape.maxchar);
    const std::size_t bound = shape.plain ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) + 2
                                          : leaves::str_repr_bound(s);
    unsigned char* p = m.reserve(bound);
    m.size_ += repr_units(m.unit_, s, shape, p);
    return true;
}

template bool MemorySink::write_compact_ascii<Py_UCS1>(MemorySink&, PyObject*);
template bool MemorySink::write_compact_ascii<Py_UCS2>(MemorySink&, PyObject*);
template bool MemorySink::write_compact_ascii<Py_UCS4>(MemorySink&, PyObject*);

bool MemorySink::append_escaped(PyObject* s, std::size_t n, char quote) {
    // The result is already as wide as any character the text shows as
    // itself.
    if (n > static_cast<std::size_t>(leaves::max_direct_str)) return false;
    const leaves::StrShape shape{quote, false, maxchar_};
    // The scan that found the escape copied the text after the opening
    // quote: kept when making room for the escapes left it in place.
    const unsigned char* scanned = data_ + size_ * unit_;
    unsigned char* p = reserve(leaves::str_repr_bound(s));
    size_ += repr_units(unit_, s, shape, p, p == scanned);
    return true;
}

PyObject* MemorySink::to_str() {
    if (!str_) return PyUnicode_New(0, 0);
    if (cap_ * unit_ > small_block && cap_ - size_ <= cap_ / 8 + 4096) {
        // A large block with little to spare is kept as it is: shrinking
        // it would hand the allocator a smaller block to free than the
        // next call asks for, and that call would get fresh pages again.
        // The str is still private, so its length can be set in place.
        set_length(str_.get(), size_);
    } else if (!resize(str_, size_)) {
        return nullptr;
    }
    data_ = nullptr;
    cap_ = room_ = 0;
    // Room to spare: the writers ask for more than they end up using.
    const std::size_t bytes = size_ * unit_;
    last_result_bytes.store(bytes + bytes / 16 + 4096, std::memory_order_relaxed);
    return str_.release();
}

}  // namespace orrery
