// The walks of the renderer's containers: what each one reads again, when
// a change ends the call, and what it keeps hold of across the points where
// Python code may run.
//
// Code may run at a `repr()`, `str()` or attribute read, and at every write
// to a sink whose writes may run code (one that waits for a reader lets other
// threads run, and runs signal handlers). After such a point nothing borrowed
// before it is used: what a step uses is held, and sizes are read again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

#include "boundary/fault.hpp"
#include "boundary/ref.hpp"
#include "boundary/result.hpp"
#include "engine/depth.hpp"

namespace orrery::pretty::detail {

// An object a walk handed out, kept until the step that uses it ends: an
// owned reference when the sink's writes may run code, otherwise a borrowed
// pointer (nothing can run between the walk's read and its use but code the
// renderer holds the object across itself).
template <bool Owned>
class Held;

template <>
class Held<true> {
public:
    Held() noexcept = default;
    explicit Held(PyObject* p) noexcept : ref_(Ref::borrow(p)) {}
    // The reference held before is let go after `p` is held.
    void take(PyObject* p) noexcept { ref_ = Ref::borrow(p); }
    PyObject* get() const noexcept { return ref_.get(); }

private:
    Ref ref_;
};

template <>
class Held<false> {
public:
    Held() noexcept = default;
    explicit Held(PyObject* p) noexcept : p_(p) {}
    void take(PyObject* p) noexcept { p_ = p; }
    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// A list or tuple, walked by index. The walk holds the container. A list's
// end is the smaller of its size at the start and its size now, read again
// after every point where code may have run: one that shrinks ends early at
// its new end, and elements appended meanwhile are not visited. A tuple
// cannot change. Whatever happens to a list, its form is whole: the walk
// takes an element before the line start that leads to it, so every line
// started is filled, and the closing always follows the last line.
template <bool IsList>
class SequenceWalk {
public:
    explicit SequenceWalk(PyObject* seq) noexcept : seq_(Ref::borrow(seq)), start_(Py_SIZE(seq)) {}

    Py_ssize_t end() const noexcept {
        if constexpr (IsList) return std::min(start_, Py_SIZE(seq_.get()));
        else return start_;
    }

    // The elements' storage (borrowed: read it again after code ran).
    PyObject* const* items() const noexcept {
        if constexpr (IsList) return reinterpret_cast<PyListObject*>(seq_.get())->ob_item;
        else return reinterpret_cast<PyTupleObject*>(seq_.get())->ob_item;
    }
    // Element `i`, below end() as last read.
    PyObject* at(Py_ssize_t i) const noexcept { return items()[i]; }

private:
    Ref seq_;
    Py_ssize_t start_;
};

// The checks before every step of a walk over a dict (a dict's entries or a
// dataclass's fields mapping), the one that finds the end included: a size
// other than `start`, the size at the start, ends the call with the internal
// fault "dictionary changed size during iteration", and an entry more than
// it started with (`expected`, the entries still to come, at -1: keys
// replaced) with "dictionary keys changed during iteration". A value
// replaced under an unchanged key goes unseen: the walk shows what it read.
[[gnu::always_inline]] inline bool dict_step_passes(PyObject* dict, Py_ssize_t start, Py_ssize_t expected) noexcept {
    return PyDict_GET_SIZE(dict) == start && expected != -1;
}
[[gnu::always_inline]] inline void check_dict_step(PyObject* dict, Py_ssize_t start, Py_ssize_t expected) {
    if (dict_step_passes(dict, start, expected)) [[likely]]
        return;
    fault(PyDict_GET_SIZE(dict) != start ? "dictionary changed size during iteration"
                                         : "dictionary keys changed during iteration");
}

// A dict in storage order, checked by check_dict_step.
class DictWalk {
public:
    explicit DictWalk(PyObject* dict) noexcept
        : dict_(Ref::borrow(dict)), start_(PyDict_GET_SIZE(dict)), expected_(start_) {}

    // Whether the next step would pass its checks.
    bool intact() const noexcept { return dict_step_passes(dict_.get(), start_, expected_); }

    // The next entry, borrowed (valid until code runs); false at the end.
    bool next(PyObject*& key, PyObject*& value) {
        check_dict_step(dict_.get(), start_, expected_);
        if (!PyDict_Next(dict_.get(), &pos_, &key, &value)) return false;
        --expected_;
        return true;
    }
    // The same, kept as the sink needs (see Held).
    template <bool Owned>
    bool next(Held<Owned>& key, Held<Owned>& value) {
        PyObject* k;
        PyObject* v;
        if (!next(k, v)) return false;
        // Both are held before the entry they replace is let go: dropping a
        // reference can run code (a finaliser) that changes the dict.
        Held<Owned> new_key(k), new_value(v);
        key = std::move(new_key);
        value = std::move(new_value);
        return true;
    }

    // Where the walk stands, to take the same steps again from there.
    struct Mark {
        Py_ssize_t pos;
        Py_ssize_t expected;
    };
    Mark mark() const noexcept { return {pos_, expected_}; }
    void rewind(Mark m) noexcept {
        pos_ = m.pos;
        expected_ = m.expected;
    }

private:
    Ref dict_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t start_;
    Py_ssize_t expected_;
};

// The containers open on the path from the root to the object being
// rendered. One met again on its own path contains itself: rendering it would
// only repeat the same text ever deeper, so the call ends. Rendering the same
// container again takes the same steps as the time before, so from there on
// the path repeats itself, and it is enough to compare each container with
// one kept further up: the one at the deepest power of two above it (a
// cycle's length L, starting D levels down, is found by depth 2·max(D, L) + L
// at the latest; a container that contains itself directly at once). That
// costs a comparison per container, where searching the whole path would
// cost a search.
class Path {
public:
    // What a container leaves to restore when it is closed.
    using Mark = PyObject*;

    // Whether `obj` is the one kept.
    [[gnu::always_inline]] bool meets(PyObject* obj) const noexcept { return obj == kept_; }
    // Adds `obj`, which is not the one kept.
    [[gnu::always_inline]] Mark enter(PyObject* obj) noexcept {
        Mark mark = kept_;
        ++depth_;
        if ((depth_ & (depth_ - 1)) == 0) [[unlikely]]
            kept_ = obj;
        return mark;
    }
    // Removes the last one added.
    [[gnu::always_inline]] void leave(Mark mark) noexcept {
        --depth_;
        kept_ = mark;
    }

private:
    std::uint64_t depth_ = 0;
    PyObject* kept_ = nullptr;
};

// Undoes the depth checks, which passed, and ends the call.
[[gnu::cold, gnu::noinline]] inline Status contains_itself() {
    leave_depth();
    return PyErr::lazy(PyExc_RecursionError, "the object being pretty-printed contains itself");
}

// The checks before a container is opened: the depth checks, then the
// path's. Once they pass, the container is opened at once by a Nest, which
// undoes them both; when they fail, nothing is left to undo.
[[gnu::always_inline]] inline Status may_open(const Path& path, PyObject* obj, StackFloor& floor) {
    TRY(enter_depth(floor));
    if (path.meets(obj)) [[unlikely]]
        return contains_itself();
    return ok();
}

// One container opened by the renderer, after may_open() passed. Leaving the
// scope closes it on every path.
class Nest {
public:
    Nest(Path& path, PyObject* obj) noexcept : path_(path), mark_(path.enter(obj)) {}
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;
    ~Nest() {
        path_.leave(mark_);
        leave_depth();
    }

private:
    Path& path_;
    Path::Mark mark_;
};

}  // namespace orrery::pretty::detail
