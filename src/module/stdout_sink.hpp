// The process-wide, line-buffered writer on file descriptor 1.
//
// It writes to the descriptor directly (not through sys.stdout) and holds a
// re-entrant lock for one formatted piece at a time, never while Python code
// runs. It is created on first use and never destroyed or flushed on exit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/sink.hpp"

namespace orrery {

class StdoutSink {
public:
    static constexpr std::size_t capacity = 1024;

    static StdoutSink& instance();

    template <class... Fragments>
    IoStatus write_fmt(const Fragments&... fragments) {
        Lock lock(*this);
        IoStatus st;
        ((st = fragment(fragments), static_cast<bool>(st)) && ...);
        return st;
    }

    // One piece produced by `fill(dst) -> size`, at most `bound` bytes,
    // written as a single fragment.
    template <class Fill>
    IoStatus write_generated(std::size_t bound, Fill&& fill) {
        char small[256];
        if (bound <= sizeof small) return write_fmt(std::string_view(small, fill(small)));
        std::string scratch(bound, '\0');
        scratch.resize(fill(scratch.data()));
        return write_fmt(std::string_view(scratch));
    }

    // The escapes of `n` bytes, with the same effect on the descriptor as one
    // four-byte piece per byte.
    IoStatus write_escaped(const unsigned char* data, std::size_t n);

private:
    StdoutSink() = default;

    class Lock {
    public:
        explicit Lock(StdoutSink& s) : s_(s) { s_.acquire(); }
        ~Lock() { s_.release(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        StdoutSink& s_;
    };

    void acquire();
    void release();

    IoStatus fragment(std::string_view text) { return write_all(text.data(), text.size()); }
    IoStatus fragment(Spaces sp);

    IoStatus write_all(const char* data, std::size_t n);
    IoStatus buffer_or_write(const char* data, std::size_t n);
    IoStatus flush();
    static IoStatus raw_write_all(const char* data, std::size_t n);

    std::mutex mutex_;
    std::atomic<std::uintptr_t> owner_{0};
    std::uint32_t depth_ = 0;
    std::size_t len_ = 0;
    char buf_[capacity];
};

}  // namespace orrery
