// Text sinks: where rendered text goes.
//
// A sink has one operation, write_fmt, that writes one formatted piece made
// of fragments (byte strings and runs of spaces) as one unit. Two kinds
// exist: MemorySink below, which never fails, and the standard-output sink.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "boundary/io_error.hpp"
#include "engine/utf8_str.hpp"

namespace orrery {

// A run of `count` spaces.
struct Spaces {
    std::uint64_t count;
};

template <class S>
concept TextSink = requires(S& s, std::string_view text, Spaces sp) {
    { s.write_fmt(text) } -> std::same_as<IoStatus>;
    { s.write_fmt(sp, sp, text, text) } -> std::same_as<IoStatus>;
};

// A growable byte buffer owned by one call. Appends are inline; growth is
// out of line. Running out of memory throws std::bad_alloc.
class MemorySink {
public:
    MemorySink() noexcept = default;
    MemorySink(const MemorySink&) = delete;
    MemorySink& operator=(const MemorySink&) = delete;
    ~MemorySink() { std::free(data_); }

    template <class... Fragments>
    IoStatus write_fmt(const Fragments&... fragments) {
        (append(fragments), ...);
        return {};
    }

    const char* data() const noexcept { return data_ != nullptr ? data_ : ""; }
    std::size_t size() const noexcept { return size_; }

    // Places the characters of `s` here, unchanged, without encoding them.
    void append_str(PyObject* s) { pieces_.push_back({size_, Ref::borrow(s)}); }

    // The whole text as a new str, or NULL with an exception set.
    PyObject* to_str() const { return str_from_engine_text(data(), size_, pieces_); }

    // Room for `n` more bytes; returns where they go. Used by writers that
    // fill the buffer directly.
    char* reserve(std::size_t n) {
        if (cap_ - size_ < n) [[unlikely]]
            grow(n);
        return data_ + size_;
    }
    void commit(std::size_t n) noexcept { size_ += n; }

    // One piece produced in place by `fill(dst) -> size`, at most `bound` bytes.
    template <class Fill>
    IoStatus write_generated(std::size_t bound, Fill&& fill) {
        commit(fill(reserve(bound)));
        return {};
    }

    void append(std::string_view s) {
        char* p = reserve(s.size());
        // Most pieces are a few bytes long: copy those inline.
        if (s.size() <= 8) {
            for (std::size_t i = 0; i < s.size(); ++i) p[i] = s[i];
        } else {
            std::memcpy(p, s.data(), s.size());
        }
        size_ += s.size();
    }
    void append(Spaces sp) {
        static constexpr char blank[16] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                           ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
        const auto n = static_cast<std::size_t>(sp.count);
        char* p = reserve(n < 16 ? 16 : n);
        if (n <= 16) std::memcpy(p, blank, 16);  // the bytes past n are overwritten later
        else std::memset(p, ' ', n);
        size_ += n;
    }
    void append(char c) {
        char* p = reserve(1);
        *p = c;
        ++size_;
    }

private:
    void grow(std::size_t n);
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
    std::vector<StrPiece> pieces_;
};

}  // namespace orrery
