// Native checks of the argument binders and the I/O-error table: parameter
// shapes (positional-only, keyword-only) and error numbers that the module's
// own entries never produce from Python.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/binding.hpp"
#include "boundary/io_error.hpp"

using namespace orrery;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what, const std::string& got = {}, const std::string& want = {}) {
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAIL %s\n  got:  %s\n  want: %s\n", what.c_str(), got.c_str(), want.c_str());
}

std::string utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = s != nullptr && PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    return p != nullptr ? std::string(p, static_cast<std::size_t>(n)) : std::string("<not str>");
}

// A raised and normalized exception.
struct Raised {
    Ref type, value;
    std::string text;
};

Raised raise(PyErr err) {
    std::move(err).restore();
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    Py_XDECREF(tb);
    Raised r{Ref::steal(t), Ref::steal(v), {}};
    Ref s = Ref::steal(r.value ? PyObject_Str(r.value.get()) : nullptr);
    r.text = utf8(s.get());
    PyErr_Clear();
    return r;
}

Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// f(a, b, c, /, d=None, *, x, y, z=None) and C.m(a, /, *, x).
constexpr std::string_view f_pos[] = {"a", "b", "c", "d"};
constexpr KeywordOnlyParam f_kw[] = {{"x", true}, {"y", true}, {"z", false}};
constexpr std::string_view m_pos[] = {"a"};
constexpr KeywordOnlyParam m_kw[] = {{"x", true}};
const FunctionDescription F{nullptr, "f", f_pos, 3, 3, f_kw};
const FunctionDescription M{"C", "m", m_pos, 1, 1, m_kw};

struct BindCase {
    const FunctionDescription* desc;
    int nargs;             // positional values are "0", "1", ...
    const char* keywords;  // one letter per keyword, in the caller's order; the value is the letter
    const char* want;      // the error text, or "=" + the slots ('.' for empty)
};

const BindCase bind_cases[] = {
    {&F, 3, "xy", "=012.xy."},
    {&F, 3, "zdyx", "=012dxyz"},
    {&F, 4, "yx", "=0123xy."},
    {&M, 1, "x", "=0x"},
    {&F, 3, "axy", "f() got some positional-only arguments passed as keyword arguments: 'a'"},
    {&F, 3, "abxy", "f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'"},
    {&F, 3, "cxaby", "f() got some positional-only arguments passed as keyword arguments: 'c', 'a', and 'b'"},
    {&F, 3, "", "f() missing 2 required keyword arguments: 'x' and 'y'"},
    {&F, 3, "yz", "f() missing 1 required keyword argument: 'x'"},
    {&F, 1, "", "f() missing 2 required positional arguments: 'b' and 'c'"},
    {&F, 0, "", "f() missing 3 required positional arguments: 'a', 'b', and 'c'"},
    {&F, 4, "dxy", "f() got multiple values for argument 'd'"},
    // Precedence: too many positional beats every keyword fault.
    {&F, 5, "qa", "f() takes from 3 to 4 positional arguments but 5 were given"},
    {&M, 2, "xq", "C.m() takes 1 positional arguments but 2 were given"},
    // The first faulty keyword in the caller's order wins; positional-only
    // names are reported only after every keyword was looked at.
    {&F, 4, "qd", "f() got an unexpected keyword argument 'q'"},
    {&F, 4, "dq", "f() got multiple values for argument 'd'"},
    {&F, 3, "aqxy", "f() got an unexpected keyword argument 'q'"},
    // Positional-only by keyword beats missing required parameters of both kinds.
    {&F, 0, "b", "f() got some positional-only arguments passed as keyword arguments: 'b'"},
    {&M, 0, "a", "C.m() got some positional-only arguments passed as keyword arguments: 'a'"},
    {&M, 0, "", "C.m() missing 1 required positional argument: 'a'"},
    {&M, 1, "", "C.m() missing 1 required keyword argument: 'x'"},
    // A keyword-only parameter given twice (possible only in a vectorcall).
    {&F, 3, "xyx", "f() got multiple values for argument 'x'"},
    {&M, 1, "xx", "C.m() got multiple values for argument 'x'"},
};

std::string outcome(Status st, const std::vector<PyObject*>& slots) {
    if (!st) return raise(std::move(st).error()).text;
    std::string out = "=";
    for (PyObject* s : slots) out += s != nullptr ? utf8(s) : std::string(".");
    return out;
}

void run_bind_case(const BindCase& c) {
    const std::string kw = c.keywords;
    const auto nkw = static_cast<Py_ssize_t>(kw.size());
    std::vector<Ref> owned;  // keeps the argument values alive
    std::vector<PyObject*> vec;
    for (int i = 0; i < c.nargs; ++i) owned.push_back(str(std::to_string(i)));
    for (char k : kw) owned.push_back(str(std::string(1, k)));
    for (const Ref& r : owned) vec.push_back(r.get());
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    for (Py_ssize_t i = 0; i < nkw; ++i) PyTuple_SET_ITEM(kwnames.get(), i, str(kw.substr(i, 1)).release());

    const std::string label = std::string(c.desc->function_name) + " nargs=" + std::to_string(c.nargs) +
                              " keywords='" + kw + "'";
    std::vector<PyObject*> slots(c.desc->slot_count(), nullptr);
    // A null args array and a null kwnames stand for "none".
    std::string got = outcome(extract_arguments_fastcall(*c.desc, vec.empty() ? nullptr : vec.data(), c.nargs,
                                                         nkw != 0 ? kwnames.get() : nullptr, slots.data()),
                              slots);
    check(got == c.want, "fastcall " + label, got, c.want);

    // A dict cannot hold a keyword twice.
    Ref args = Ref::steal(PyTuple_New(c.nargs));
    for (int i = 0; i < c.nargs; ++i) PyTuple_SET_ITEM(args.get(), i, Ref::borrow(vec[i]).release());
    Ref kwargs = Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames.get(), i), vec[c.nargs + i]);
    }
    if (PyDict_GET_SIZE(kwargs.get()) != nkw) return;
    std::fill(slots.begin(), slots.end(), nullptr);
    got = outcome(extract_arguments_tuple_dict(*c.desc, args.get(), nkw != 0 ? kwargs.get() : nullptr, slots.data()),
                  slots);
    check(got == c.want, "tuple_dict " + label, got, c.want);
}

struct IoCase {
    int code;
    PyObject* cls;
};

bool attr_is_none(PyObject* obj, const char* name) {
    Ref v = Ref::steal(PyObject_GetAttrString(obj, name));
    PyErr_Clear();
    return v.get() == Py_None;
}

// The exact class, the text, a one-string args and no errno/strerror/filename.
void check_io(IoStatus status, PyObject* cls, const std::string& want, const std::string& label) {
    Raised r = raise(io_error(status));
    check(r.type.get() == cls && r.value && Py_TYPE(r.value.get()) == reinterpret_cast<PyTypeObject*>(cls),
          label + ": class", r.value ? Py_TYPE(r.value.get())->tp_name : "<none>",
          reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    check(r.text == want, label + ": text", r.text, want);
    Ref args = Ref::steal(r.value ? PyObject_GetAttrString(r.value.get(), "args") : nullptr);
    PyErr_Clear();
    check(args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
              utf8(PyTuple_GET_ITEM(args.get(), 0)) == want,
          label + ": args is the one text");
    if (PyObject_IsSubclass(cls, PyExc_OSError) == 1) {
        for (const char* a : {"errno", "strerror", "filename"}) {
            check(attr_is_none(r.value.get(), a), label + ": " + a + " is None");
        }
    }
}

void run_io_cases() {
    const IoCase cases[] = {
        {EPERM, PyExc_PermissionError},
        {EACCES, PyExc_PermissionError},
        {ENOENT, PyExc_FileNotFoundError},
        {EINTR, PyExc_InterruptedError},
        {EAGAIN, PyExc_BlockingIOError},
        {ENOMEM, PyExc_MemoryError},
        {EEXIST, PyExc_FileExistsError},
        {ENOTDIR, PyExc_NotADirectoryError},
        {EISDIR, PyExc_IsADirectoryError},
        {EPIPE, PyExc_BrokenPipeError},
        {ECONNABORTED, PyExc_ConnectionAbortedError},
        {ECONNRESET, PyExc_ConnectionResetError},
        {ETIMEDOUT, PyExc_TimeoutError},
        {ECONNREFUSED, PyExc_ConnectionRefusedError},
        // The interpreter would pick a subclass for these; the table does not.
        {EINPROGRESS, PyExc_OSError},
        {ECHILD, PyExc_OSError},
        {ESRCH, PyExc_OSError},
    };
    for (const IoCase& c : cases) {
        const std::string want = std::string(std::strerror(c.code)) + " (os error " + std::to_string(c.code) + ")";
        check_io(IoStatus::from_errno(c.code), c.cls, want, "errno " + std::to_string(c.code));
    }
    check_io(IoStatus::write_zero("failed to write whole buffer"), PyExc_OSError, "failed to write whole buffer",
             "write_zero");
}

}  // namespace

int main() {
    Py_Initialize();
    for (const BindCase& c : bind_cases) run_bind_case(c);
    run_io_cases();
    check(PyErr_Occurred() == nullptr, "no error left pending");
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}
