// Results that carry either a value or a pending Python exception.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "boundary/pyerr.hpp"

namespace orrery {

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(true) {
        new (&value_) T(std::move(value));
    }
    Result(PyErr err) noexcept : ok_(false) { new (&err_) PyErr(std::move(err)); }
    Result(Result&& o) noexcept : ok_(o.ok_) {
        if (ok_) new (&value_) T(std::move(o.value_));
        else new (&err_) PyErr(std::move(o.err_));
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result& operator=(Result&&) = delete;
    ~Result() {
        if (ok_) value_.~T();
        else err_.~PyErr();
    }

    explicit operator bool() const noexcept { return ok_; }
    T& value() & noexcept { return value_; }
    T&& value() && noexcept { return std::move(value_); }
    PyErr&& error() && noexcept { return std::move(err_); }

private:
    bool ok_;
    union {
        T value_;
        PyErr err_;
    };
};

// Success without a value, or a pending exception.
class [[nodiscard]] Status {
public:
    Status() noexcept = default;
    Status(PyErr err) noexcept : err_(std::move(err)), failed_(true) {}
    explicit operator bool() const noexcept { return !failed_; }
    PyErr&& error() && noexcept { return std::move(err_); }

private:
    PyErr err_;
    bool failed_ = false;
};

inline Status ok() noexcept { return {}; }

}  // namespace orrery

// TRY(expr) evaluates a Result or Status and, on failure, returns its error
// from the enclosing function. TRY_SET(target, expr) does the same and then
// stores the value in `target`, a declaration (`TRY_SET(Ref r, f())`) or an
// existing variable; it expands to several statements, so an `if` that uses it
// needs braces.
#define ORRERY_CAT2(a, b) a##b
#define ORRERY_CAT(a, b) ORRERY_CAT2(a, b)
#define TRY(...)                                  \
    do {                                          \
        auto&& try_r_ = (__VA_ARGS__);            \
        if (!try_r_) [[unlikely]]                 \
            return std::move(try_r_).error();     \
    } while (0)
#define TRY_SET(target, ...)                                        \
    auto&& ORRERY_CAT(try_r_, __LINE__) = (__VA_ARGS__);            \
    if (!ORRERY_CAT(try_r_, __LINE__)) [[unlikely]]                 \
        return std::move(ORRERY_CAT(try_r_, __LINE__)).error();     \
    target = ::orrery::detail::take(std::move(ORRERY_CAT(try_r_, __LINE__)))

namespace orrery::detail {
template <class T>
inline T take(Result<T>&& r) noexcept {
    return std::move(r).value();
}
inline void take(Status&&) noexcept {}
}  // namespace orrery::detail
