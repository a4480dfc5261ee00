// The process-wide, line-buffered writer on file descriptor 1.
//
// It writes to the descriptor directly (not through sys.stdout) and holds a
// re-entrant lock for one formatted piece at a time. It is created on first
// use and never destroyed or flushed on exit.
//
// A write that would have to wait for a reader (a full pipe, a paused
// terminal) waits with the interpreter lock released, so other threads, and
// a reader in this process, keep running; writes that can go through at once,
// or after a wait of at most a millisecond, keep the interpreter lock, so a
// busy thread cannot make every line wait for its turn. A thread that finds the sink's lock taken waits for it with the
// interpreter lock released as well. Signal handlers interrupting a write run
// as they would for the interpreter's own output; one that raises ends the
// write with its exception.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "engine/sink.hpp"

namespace orrery {

class StdoutSink {
public:
    static constexpr std::size_t capacity = 1024;

    // A write can wait with the interpreter lock released (other threads
    // run) and runs signal handlers.
    static constexpr bool writes_may_run_code = true;

    static StdoutSink& instance();

    // The sink, ready for one printing call: finds out once per call whether
    // writes to file descriptor 1 can wait for a reader.
    static StdoutSink& for_print();

    template <class... Fragments>
    IoStatus write_fmt(const Fragments&... fragments) {
#ifdef ORRERY_TEST_HOOKS
        if (IoStatus hooked = run_yield_hook(); !hooked) return hooked;
#endif
        Lock lock(*this);
        IoStatus st = lock.status();
        if (!st) return st;
        (void)((st = fragment(fragments), static_cast<bool>(st)) && ...);
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

#ifdef ORRERY_TEST_HOOKS
    // Test builds only: `hook` (a callable, or None for none) is called
    // before every write, standing for whatever other threads and signal
    // handlers could run while a write waits. An exception it raises fails
    // the write. Writes made by the hook itself do not call it again.
    static void set_yield_hook(PyObject* hook);
    static IoStatus run_yield_hook();
#endif

private:
    StdoutSink() = default;

    // How a write to file descriptor 1 is kept from waiting while the
    // interpreter lock is held.
    enum class Output : std::uint8_t {
        never_waits,  // seekable (a regular file, the null device): no reader to wait for
        nowait,       // the kernel fails a write that would wait with EAGAIN
        poll,         // no such write here: a zero-timeout poll first
    };

    // Holds the sink's lock for one piece. Taking it fails only for a signal
    // handler that prints while its own thread is inside a write.
    class Lock {
    public:
        explicit Lock(StdoutSink& s) : s_(s), status_(s_.acquire()) {}
        ~Lock() {
            if (status_) s_.release();
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        IoStatus status() const noexcept { return status_; }

    private:
        StdoutSink& s_;
        IoStatus status_;
    };

    IoStatus acquire();
    [[gnu::noinline]] void wait_for_mutex();
    void release();

    IoStatus fragment(std::string_view text) { return write_all(text.data(), text.size()); }
    IoStatus fragment(Spaces sp);

    IoStatus write_all(const char* data, std::size_t n);
    IoStatus buffer_or_write(const char* data, std::size_t n);
    IoStatus flush();
    IoStatus raw_write_all(const char* data, std::size_t n);
    [[gnu::always_inline]] inline IoStatus write_out(const char* data, std::size_t n, std::size_t& done,
                                                     const char* zero_text);
    // write_once's result when a signal handler raised before a wait.
    static constexpr ssize_t handler_raised = -2;
    ssize_t write_once(const char* data, std::size_t n);
    ssize_t try_write(const char* data, std::size_t n);
    bool run_signal_handlers();

    std::mutex mutex_;
    std::atomic<std::uintptr_t> owner_{0};
    std::atomic<Output> output_{Output::nowait};
    std::uint32_t depth_ = 0;
    bool in_handlers_ = false;  // the owner runs signal handlers inside a write
    std::size_t len_ = 0;
    char buf_[capacity];
};

}  // namespace orrery
