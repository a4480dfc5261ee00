#include "boundary/pyerr.hpp"

#include <cstring>
#include <mutex>
#include <thread>

#include "boundary/fault.hpp"
#include "boundary/interned.hpp"
#include "boundary/once.hpp"
#include "boundary/text.hpp"

namespace orrery {

struct PyErr::State {
    // Lazy form: a process-lifetime class, or a rule that yields one.
    PyObject* cls = nullptr;
    ClassRule rule = nullptr;
    LazyArg arg;
    // Normalized form.
    bool is_normalized = false;
    Ref type, value, traceback;
    // Normalization guard: which thread is normalizing, under a small mutex.
    std::once_flag once;
    std::mutex mutex;
    std::thread::id normalizing;
};

PyErr::PyErr(StatePtr s) noexcept : state_(std::move(s)) {}
void PyErr::StateDeleter::operator()(State* s) const noexcept { delete s; }
PyErr::StatePtr PyErr::new_state() { return StatePtr(new State()); }

PyErr PyErr::lazy(PyObject* cls, LazyArg arg) {
    auto s = new_state();
    s->cls = cls;
    s->arg = std::move(arg);
    return PyErr(std::move(s));
}

PyErr PyErr::lazy(ClassRule rule, LazyArg arg) {
    auto s = new_state();
    s->rule = rule;
    s->arg = std::move(arg);
    return PyErr(std::move(s));
}

PyErr PyErr::cast_error(PyTypeObject* from, PyTypeObject* to) {
    return lazy(PyExc_TypeError,
                CastArg{Ref::borrow(reinterpret_cast<PyObject*>(from)), reinterpret_cast<PyObject*>(to)});
}

// ---------------------------------------------------------------------------
// The PanicException class.

namespace {

std::atomic<PyObject*> panic_class{nullptr};

constexpr const char panic_doc[] =
    "\n"
    "The exception raised when the native code of orrery, called from Python, fails unexpectedly.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

}  // namespace

PyObject* panic_exception_class() {
    auto cls = publish_once(panic_class, []() -> Result<Ref> {
        PyObject* made = PyErr_NewExceptionWithDoc("tessel_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
        if (made != nullptr) return Ref::steal(made);
        // Running out of memory becomes the caller's MemoryError; any other
        // failure to make the class ends the process.
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Print();
            abort_uncaught("Failed to initialize new exception type.");
        }
        return PyErr::fetch();
    });
    if (cls) return cls.value();
    std::move(cls).error().restore();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Materialising lazy arguments.

namespace {

// __qualname__ of a type as UTF-8, or the fixed fallback when it cannot be read.
std::string qualname_of(PyObject* type) {
    Ref q = Ref::steal(PyObject_GetAttr(type, names::qualname.get()));
    if (!q || !PyUnicode_Check(q.get())) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    Py_ssize_t n = 0;
    const char* data = PyUnicode_AsUTF8AndSize(q.get(), &n);
    if (data != nullptr) return std::string(data, static_cast<std::size_t>(n));
    PyErr_Clear();
    return lossy_utf8(q.get());
}

Ref str_from(std::string_view text) {
    return Ref::steal(must(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

// The C library's description of an error number, whichever strerror_r
// flavour the C library provides.
[[maybe_unused]] const char* pick_strerror(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* pick_strerror(const char* rc, const char*) { return rc; }

Ref io_text(const IoArg& io) {
    if (io.code == 0) return str_from(io.text);
    char buf[256];
    buf[0] = '\0';
    const char* desc = pick_strerror(strerror_r(io.code, buf, sizeof buf), buf);
    std::string text = desc != nullptr ? desc : "Unknown error";
    text += " (os error ";
    text += std::to_string(io.code);
    text += ')';
    return Ref::steal(must(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
}

Ref make_arg(LazyArg& arg) {
    struct Visitor {
        Ref operator()(const char* s) { return str_from(s); }
        Ref operator()(const std::string& s) { return str_from(s); }
        Ref operator()(const CastArg& c) {
            std::string text = "'";
            text += qualname_of(c.from.get());
            text += "' object cannot be cast as '";
            text += qualname_of(c.to);
            text += "'";
            return str_from(text);
        }
        Ref operator()(const IoArg& io) { return io_text(io); }
        Ref operator()(const PanicArg& p) {
            Ref msg = str_from(p.message);
            Ref tuple = Ref::steal(must(PyTuple_New(1)));
            PyTuple_SET_ITEM(tuple.get(), 0, msg.release());
            return tuple;
        }
    };
    return std::visit(Visitor{}, arg);
}

// Sets a lazy error as the interpreter's current exception, instantiated at
// once. When its class cannot be made (memory ran out), the exception set is
// the MemoryError of that failure.
void raise_lazy(PyObject* static_cls, ClassRule rule, LazyArg& arg) {
    Ref cls = Ref::borrow(rule != nullptr ? rule() : static_cls);
    if (!cls) return;
    Ref value = make_arg(arg);
    if (PyType_Check(cls.get()) && PyExceptionClass_Check(cls.get())) {
        PyErr_SetObject(cls.get(), value.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    cls.reset();
    value.reset();
#if PY_VERSION_HEX < 0x030C0000
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyErr_Restore(t, v, tb);
#endif
}

struct Raw {
    Ref type, value, traceback;
};

// Takes the interpreter's current exception, normalized, traceback attached.
bool take_raw(Raw& raw) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* v = PyErr_GetRaisedException();
    if (v == nullptr) return false;
    raw.value = Ref::steal(v);
    raw.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(v)));
    raw.traceback = Ref::steal(PyException_GetTraceback(v));
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (t == nullptr) return false;
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
    raw.type = Ref::steal(t);
    raw.value = Ref::steal(v);
    raw.traceback = Ref::steal(tb);
#endif
    return true;
}

void restore_raw(Raw&& raw) {
    PyErr_Restore(raw.type.release(), raw.value.release(), raw.traceback.release());
}

constexpr const char resume_banner[] =
    "--- Tessel is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

[[noreturn]] void resume_panic(Raw&& raw) {
    std::string message;
    Ref s = Ref::steal(PyObject_Str(raw.value.get()));
    if (s) {
        message = std::string(Utf8::of_str(std::move(s)).view());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    write_stderr(resume_banner, sizeof resume_banner - 1);
    restore_raw(std::move(raw));
    PyErr_PrintEx(0);
    throw Fault::with_owned(std::move(message));
}

}  // namespace

// ---------------------------------------------------------------------------

PyErr PyErr::fetch() {
    Raw raw;
    if (!take_raw(raw)) {
        return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    // Only an existing class can have instances, so there is nothing to
    // compare against before the class was first made.
    PyObject* panic = panic_class.load(std::memory_order_acquire);
    if (panic != nullptr && raw.type.get() == panic) resume_panic(std::move(raw));
    auto s = new_state();
    s->is_normalized = true;
    s->type = std::move(raw.type);
    s->value = std::move(raw.value);
    s->traceback = std::move(raw.traceback);
    return PyErr(std::move(s));
}

void PyErr::restore() && {
    StatePtr s = std::move(state_);
    if (!s) {
        PyErr_SetString(PyExc_SystemError, "orrery: raised an empty error");
        return;
    }
    if (s->is_normalized) {
        restore_raw(Raw{std::move(s->type), std::move(s->value), std::move(s->traceback)});
    } else {
        raise_lazy(s->cls, s->rule, s->arg);
    }
}

PyErr::State& PyErr::normalized() {
    State& s = *state_;
    if (s.is_normalized) return s;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.normalizing == std::this_thread::get_id()) fault("Re-entrant normalization of PyErrState detected");
    }
    once_detached(s.once, [&s] {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.normalizing = std::this_thread::get_id();
        }
        raise_lazy(s.cls, s.rule, s.arg);
        Raw raw;
        take_raw(raw);
        s.type = std::move(raw.type);
        s.value = std::move(raw.value);
        s.traceback = std::move(raw.traceback);
        s.is_normalized = true;
    });
    return s;
}

PyObject* PyErr::type() { return normalized().type.get(); }

Ref PyErr::instance() {
    State& s = normalized();
    if (s.traceback) PyException_SetTraceback(s.value.get(), s.traceback.get());
    return Ref::borrow(s.value.get());
}

std::optional<PyErr> PyErr::cause() {
    Ref c = Ref::steal(PyException_GetCause(normalized().value.get()));
    if (!c) return std::nullopt;
    auto s = new_state();
    s->is_normalized = true;
    s->type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(c.get())));
    s->traceback = Ref::steal(PyException_GetTraceback(c.get()));
    s->value = std::move(c);
    return PyErr(std::move(s));
}

void PyErr::set_cause(std::optional<PyErr> cause) {
    PyObject* self = normalized().value.get();
    // PyException_SetCause steals the reference it is given.
    PyException_SetCause(self, cause ? cause->instance().release() : nullptr);
}

}  // namespace orrery
