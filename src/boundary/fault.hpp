// Internal faults: unexpected failures of the native code that have no error
// path of their own. They unwind as C++ exceptions, releasing what each frame
// holds, and are turned into a Python exception at the call boundary.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace orrery {

class Fault {
public:
    enum class Kind { Static, Owned, Empty };

    static Fault with_static(const char* text) noexcept { return Fault(Kind::Static, text, {}); }
    static Fault with_owned(std::string text) noexcept { return Fault(Kind::Owned, nullptr, std::move(text)); }
    static Fault empty() noexcept { return Fault(Kind::Empty, nullptr, {}); }

    bool has_message() const noexcept { return kind_ != Kind::Empty; }
    // The message text, or nullptr for a fault without one.
    const char* message() const noexcept {
        switch (kind_) {
            case Kind::Static: return static_;
            case Kind::Owned: return owned_.c_str();
            case Kind::Empty: break;
        }
        return nullptr;
    }

private:
    Fault(Kind k, const char* s, std::string o) noexcept : kind_(k), static_(s), owned_(std::move(o)) {}
    Kind kind_;
    const char* static_;
    std::string owned_;
};

// Starts an internal fault: writes a diagnostic naming the message and the
// place in the native code to standard error, then unwinds.
[[noreturn]] void fault(const char* message,
                        std::source_location where = std::source_location::current());

// An interpreter call that must not fail returned NULL: prints the pending
// Python error and starts the fault "Python API call failed". A MemoryError
// is cleared and unwinds as std::bad_alloc instead.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// Returns `p`, or starts the "Python API call failed" fault when it is NULL.
template <class T>
inline T* must(T* p, std::source_location where = std::source_location::current()) {
    if (p == nullptr) [[unlikely]]
        api_call_failed(where);
    return p;
}

// A fault escaped the boundary's own translation work: report and abort.
[[noreturn]] void abort_uncaught(const char* message) noexcept;

// Writes all of `len` bytes to file descriptor 2, ignoring failures.
void write_stderr(const char* data, std::size_t len) noexcept;

}  // namespace orrery
