#include "module/stdout_sink.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "boundary/once.hpp"
#include "engine/platform.hpp"
#include "engine/escaped.hpp"

namespace orrery {

namespace {

std::uintptr_t this_thread_identity() noexcept {
    static thread_local char marker;
    return reinterpret_cast<std::uintptr_t>(&marker);
}

// Runs of spaces shorter than the buffer are copied from here.
constexpr auto spaces_block = [] {
    std::array<char, StdoutSink::capacity> a{};
    a.fill(' ');
    return a;
}();

// write(2) with a per-call request not to wait: fails with EAGAIN where a
// plain write would block, or with EOPNOTSUPP (EINVAL, ENOSYS on older
// kernels) where the descriptor cannot honour the request. The descriptor's
// own flags, shared with every process that has it open, are left alone.
ssize_t write_nowait(const char* data, std::size_t n) {
#ifdef SYS_pwritev2
    constexpr long rwf_nowait = 0x8;  // RWF_NOWAIT
    iovec v{const_cast<char*>(data), n};
    // Offset -1: write at the current position, as write(2) does.
    return static_cast<ssize_t>(::syscall(SYS_pwritev2, 1, &v, 1, -1L, 0L, rwf_nowait));
#else
    (void)data;
    (void)n;
    errno = ENOSYS;
    return -1;
#endif
}

// A write that waits for the reader, with the interpreter lock released
// meanwhile. Taking the lock back ends the thread (by unwinding) if the
// interpreter is exiting; the sink's lock is then freed by its holder's
// destructor.
ssize_t write_detached(const char* data, std::size_t n) {
    struct Outcome {
        ssize_t r;
        int error;
    };
    const Outcome o = call_detached([=]() noexcept { return Outcome{::write(1, data, n), errno}; });
    errno = o.error;
    return o.r;
}

}  // namespace

StdoutSink& StdoutSink::instance() {
    // Never destroyed: the sink outlives every caller, including ones that
    // run while the process exits.
    static StdoutSink* sink = new StdoutSink();
    return *sink;
}

StdoutSink& StdoutSink::for_print() {
    StdoutSink& sink = instance();
    // A seekable descriptor (a regular file, the null device) never waits
    // for a reader; a pipe, socket or terminal can. File descriptor 1 can be
    // replaced between calls (in-process capture does exactly that), so this
    // is asked once per call; asking per line would cost as much as the
    // writes themselves. A closed descriptor fails every write at once.
    const bool seekable = ::lseek(1, 0, SEEK_CUR) >= 0 || errno == EBADF;
    sink.output_.store(seekable ? Output::never_waits : Output::nowait, std::memory_order_relaxed);
    return sink;
}

IoStatus StdoutSink::acquire() {
    const std::uintptr_t me = this_thread_identity();
    if (owner_.load(std::memory_order_relaxed) == me) {
        if (in_handlers_) {
            // The write this thread is inside cannot be split or resumed
            // under the handler's output.
            PyErr_SetString(PyExc_RuntimeError,
                            "reentrant print: code run while this thread was writing to standard output "
                            "(a signal handler) printed");
            return IoStatus::exception_set();
        }
        ++depth_;
        return {};
    }
    if (!mutex_.try_lock()) [[unlikely]]
        wait_for_mutex();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return {};
}

// The holder may be waiting for a reader with the interpreter lock released
// and need it back to finish: wait without it.
void StdoutSink::wait_for_mutex() {
    lock_detached(mutex_).release();
}

void StdoutSink::release() {
    if (--depth_ == 0) {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
}

IoStatus StdoutSink::fragment(Spaces sp) {
    // A run of spaces is one fragment like any other text, so the line
    // buffer treats it as a whole. An empty run (the margin at column 0)
    // never follows a finished line in the buffer, so it has nothing to do.
    if (sp.count == 0) return {};
    if (sp.count < capacity) return write_all(spaces_block.data(), static_cast<std::size_t>(sp.count));
    const std::string run(static_cast<std::size_t>(sp.count), ' ');
    return write_all(run.data(), run.size());
}

// Line-buffered write of one fragment: everything up to the last line feed
// goes out now; the rest waits in the buffer unless it would overflow it.
IoStatus StdoutSink::write_all(const char* data, std::size_t n) {
    const char* nl = platform::find_last(data, n, '\n');
    if (nl == nullptr) {
        if (len_ > 0 && buf_[len_ - 1] == '\n') {
            IoStatus st = flush();
            if (!st) return st;
        }
        return buffer_or_write(data, n);
    }
    const std::size_t lines = static_cast<std::size_t>(nl - data) + 1;
    IoStatus st = len_ == 0 ? raw_write_all(data, lines) : buffer_or_write(data, lines);
    if (st && len_ > 0) st = flush();
    if (!st) return st;
    return buffer_or_write(data + lines, n - lines);
}

IoStatus StdoutSink::buffer_or_write(const char* data, std::size_t n) {
    // An empty fragment may come without storage (a null pointer): nothing
    // to copy, and nothing to flush for it.
    if (n == 0) return {};
    const std::size_t free = capacity - len_;
    if (n < free) {
        std::memcpy(buf_ + len_, data, n);
        len_ += n;
        return {};
    }
    if (n > free) {
        IoStatus st = flush();
        if (!st) return st;
    }
    if (n >= capacity) return raw_write_all(data, n);
    std::memcpy(buf_ + len_, data, n);
    len_ += n;
    return {};
}

// write(2) calls until `n` bytes are out, each for all that is left; `done`
// counts what went out. A closed descriptor takes everything (the text is
// discarded).
inline IoStatus StdoutSink::write_out(const char* data, std::size_t n, std::size_t& done, const char* zero_text) {
    while (done < n) {
        const std::size_t left = n - done;
        const std::size_t chunk = left < static_cast<std::size_t>(SSIZE_MAX) ? left : static_cast<std::size_t>(SSIZE_MAX);
        const ssize_t r = output_.load(std::memory_order_relaxed) == Output::never_waits
                              ? ::write(1, data + done, chunk)
                              : write_once(data + done, chunk);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        if (r == 0) return IoStatus::write_zero(zero_text);
        if (r == handler_raised) return IoStatus::exception_set();
        if (errno == EINTR) {
            if (!run_signal_handlers()) return IoStatus::exception_set();
            continue;
        }
        if (errno == EBADF) {
            done = n;
            return {};
        }
        return IoStatus::from_errno(errno);
    }
    return {};
}

// Whatever is written leaves the buffer; the rest stays, in order, and is
// tried again by the next flush.
IoStatus StdoutSink::flush() {
    std::size_t written = 0;
    IoStatus st = write_out(buf_, len_, written, "failed to write the buffered data");
    if (written > 0) {
        std::memmove(buf_, buf_ + written, len_ - written);
        len_ -= written;
    }
    return st;
}

IoStatus StdoutSink::raw_write_all(const char* data, std::size_t n) {
    std::size_t done = 0;
    return write_out(data, n, done, "failed to write whole buffer");
}

// An attempt that cannot wait: the bytes written, or -1 with errno (EAGAIN
// where the write would have waited).
ssize_t StdoutSink::try_write(const char* data, std::size_t n) {
    if (output_.load(std::memory_order_relaxed) == Output::nowait) {
        const ssize_t r = write_nowait(data, n);
        if (r >= 0 || (errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS)) return r;
        output_.store(Output::poll, std::memory_order_relaxed);
    }
    pollfd p{1, POLLOUT, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0 && errno == EINTR) return -1;
    // A reader that has gone or a closed descriptor fails the write at once.
    // POLLOUT on a pipe means a whole page is free: a write of up to
    // PIPE_BUF bytes goes through without waiting.
    if (ready > 0 && ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
                      ((p.revents & POLLOUT) != 0 && n <= PIPE_BUF)))
        return ::write(1, data, n);
    errno = EAGAIN;
    return -1;
}

// One write(2), on an output that can wait for a reader, that never waits
// for long while this thread holds the interpreter lock.
//
// What is left: a terminal reports itself writable with room for a single
// byte, so where only the poll is available a longer write can still wait
// with the lock held for the terminal to take the rest; that reader is
// another process (the terminal), which keeps reading unless output is
// paused, and a paused terminal reports no room at all. And a pipe written
// concurrently by another process, or by a thread outside this sink, can
// fill between that poll and the write.
ssize_t StdoutSink::write_once(const char* data, std::size_t n) {
    ssize_t r = try_write(data, n);
    if (r >= 0 || errno != EAGAIN) return r;
    // Handlers of signals that arrived while this call was rendering run
    // before the wait, which only a signal arriving during it interrupts.
    if (!run_signal_handlers()) return handler_raised;
    // A reader in another process usually makes room within microseconds.
    // Wait that long with the interpreter lock held: giving it up to a busy
    // thread can cost a whole switch interval (5 ms) to get it back, every
    // time the pipe is full. Only a slower reader (such as one in this
    // process, which needs the lock) makes the write wait without it.
    pollfd p{1, POLLOUT, 0};
    const timespec brief{0, 1'000'000};
    const int ready = ::ppoll(&p, 1, &brief, nullptr);
    if (ready < 0 && errno == EINTR) return -1;
    if (ready > 0) {
        r = try_write(data, n);
        if (r >= 0 || errno != EAGAIN) return r;
    }
    return write_detached(data, n);
}

// Signal handlers (and whatever else the interpreter runs at this point,
// such as a scheduled garbage collection) run with the sink's lock held: the
// piece being written cannot be split. Printing from this thread meanwhile is
// refused.
bool StdoutSink::run_signal_handlers() {
    struct Running {
        bool& flag;
        explicit Running(bool& f) : flag(f) { flag = true; }
        ~Running() { flag = false; }
    } running(in_handlers_);
    return PyErr_CheckSignals() == 0;
}

#ifdef ORRERY_TEST_HOOKS
namespace {
// Never destroyed, as the sink.
Ref& yield_hook() {
    static Ref* hook = new Ref();
    return *hook;
}
bool in_yield_hook = false;
}  // namespace

void StdoutSink::set_yield_hook(PyObject* hook) {
    yield_hook() = hook == Py_None ? Ref() : Ref::borrow(hook);
}

IoStatus StdoutSink::run_yield_hook() {
    if (!yield_hook() || in_yield_hook) return {};
    in_yield_hook = true;
    Ref hook = Ref::borrow(yield_hook().get());
    Ref r = Ref::steal(PyObject_CallNoArgs(hook.get()));
    in_yield_hook = false;
    return r ? IoStatus{} : IoStatus::exception_set();
}
#endif

IoStatus StdoutSink::write_escaped(const unsigned char* data, std::size_t n) {
    if (n == 0) return {};
#ifdef ORRERY_TEST_HOOKS
    if (IoStatus hooked = run_yield_hook(); !hooked) return hooked;
#endif
    Lock lock(*this);
    if (!lock.status()) return lock.status();
    // A piece without a line feed first pushes out a finished line.
    if (len_ > 0 && buf_[len_ - 1] == '\n') {
        IoStatus st = flush();
        if (!st) return st;
    }
    while (n > 0) {
        // A four-byte piece that does not fit the free space flushes first.
        if (capacity - len_ < 4) {
            IoStatus st = flush();
            if (!st) return st;
        }
        std::size_t k = (capacity - len_) / 4;
        if (k > n) k = n;
        escaped::encode(data, k, buf_ + len_);
        len_ += 4 * k;
        data += k;
        n -= k;
    }
    return {};
}

}  // namespace orrery
