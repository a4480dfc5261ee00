#include "module/stdout_sink.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "engine/escaped.hpp"

namespace orrery {

namespace {

std::uintptr_t this_thread_identity() noexcept {
    static thread_local char marker;
    return reinterpret_cast<std::uintptr_t>(&marker);
}

constexpr char spaces_block[] =
    "                                                                "
    "                                                                ";

}  // namespace

StdoutSink& StdoutSink::instance() {
    // Never destroyed: the sink outlives every caller, including ones that
    // run while the process exits.
    static StdoutSink* sink = new StdoutSink();
    return *sink;
}

void StdoutSink::acquire() {
    const std::uintptr_t me = this_thread_identity();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

void StdoutSink::release() {
    if (--depth_ == 0) {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
}

IoStatus StdoutSink::fragment(Spaces sp) {
    // Runs of spaces are written from a fixed block, one slice at a time.
    std::uint64_t left = sp.count;
    while (left > 0) {
        const std::size_t n = left < sizeof spaces_block - 1 ? static_cast<std::size_t>(left) : sizeof spaces_block - 1;
        IoStatus st = write_all(spaces_block, n);
        if (!st) return st;
        left -= n;
    }
    return {};
}

// Line-buffered write of one fragment: everything up to the last line feed
// goes out now; the rest waits in the buffer unless it would overflow it.
IoStatus StdoutSink::write_all(const char* data, std::size_t n) {
    const void* nl = n > 0 ? memrchr(data, '\n', n) : nullptr;
    if (nl == nullptr) {
        if (len_ > 0 && buf_[len_ - 1] == '\n') {
            IoStatus st = flush();
            if (!st) return st;
        }
        return buffer_or_write(data, n);
    }
    const std::size_t lines = static_cast<std::size_t>(static_cast<const char*>(nl) - data) + 1;
    IoStatus st = len_ == 0 ? raw_write_all(data, lines) : buffer_or_write(data, lines);
    if (st && len_ > 0) st = flush();
    if (!st) return st;
    return buffer_or_write(data + lines, n - lines);
}

IoStatus StdoutSink::buffer_or_write(const char* data, std::size_t n) {
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

IoStatus StdoutSink::flush() {
    std::size_t written = 0;
    IoStatus st;
    while (written < len_) {
        const ssize_t r = ::write(1, buf_ + written, len_ - written);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EBADF) {
                written = len_;  // standard output is closed: the text is discarded
                break;
            }
            st = IoStatus::from_errno(errno);
            break;
        }
        if (r == 0) {
            st = IoStatus::write_zero("failed to write the buffered data");
            break;
        }
        written += static_cast<std::size_t>(r);
    }
    if (written > 0) {
        std::memmove(buf_, buf_ + written, len_ - written);
        len_ -= written;
    }
    return st;
}

IoStatus StdoutSink::raw_write_all(const char* data, std::size_t n) {
    while (n > 0) {
        const std::size_t chunk = n < static_cast<std::size_t>(SSIZE_MAX) ? n : static_cast<std::size_t>(SSIZE_MAX);
        const ssize_t r = ::write(1, data, chunk);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EBADF) return {};
            return IoStatus::from_errno(errno);
        }
        if (r == 0) return IoStatus::write_zero("failed to write whole buffer");
        data += r;
        n -= static_cast<std::size_t>(r);
    }
    return {};
}

IoStatus StdoutSink::write_escaped(const unsigned char* data, std::size_t n) {
    if (n == 0) return {};
    Lock lock(*this);
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
