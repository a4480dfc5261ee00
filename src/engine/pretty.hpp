// The pretty-print engine: renders any Python object as indented text into a
// text sink. Lists, dicts, tuples and dataclass instances are opened up one
// element per line; every other object is written as its repr().
#pragma once

#include <cstdint>
#include <optional>

#include "boundary/fault.hpp"
#include "boundary/cpython_compat.hpp"
#include "boundary/interned.hpp"
#include "boundary/result.hpp"
#include "boundary/text.hpp"
#include "engine/dataclass_reads.hpp"
#include "engine/dataclass_text.hpp"
#include "engine/depth.hpp"
#include "engine/leaves.hpp"
#include "engine/platform.hpp"
#include "engine/sink.hpp"
#include "engine/walks.hpp"

namespace orrery::pretty {

// Leading spaces on one line are capped: beyond this the call fails with
// OverflowError instead of producing (or trying to allocate) unbounded text.
inline constexpr std::uint64_t max_line_indent = 65536;

namespace detail {

// Writes one piece; an I/O error of the sink ends the call.
#define TRY_IO(...)                                    \
    do {                                               \
        ::orrery::IoStatus st_ = (__VA_ARGS__);        \
        if (!st_) [[unlikely]]                         \
            return ::orrery::io_error(st_);            \
    } while (0)

// The UTF-8 text of a name for writing: an exact ASCII str is its own UTF-8,
// read in place (the caller holds the str); anything else is converted into
// `holder` by text_of.
inline std::string_view name_text(PyObject* name, Utf8& holder) {
    if (PyUnicode_CheckExact(name) && PyUnicode_IS_COMPACT_ASCII(name))
        return {static_cast<const char*>(PyUnicode_DATA(name)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(name))};
    holder = text_of(name);
    return holder.view();
}

// How many elements of a list or tuple ahead of the one being rendered are
// fetched into the cache.
inline constexpr Py_ssize_t prefetch_distance = 8;

// Lists and tuples of up to this many elements are walked inline, one
// element at a time; longer ones in runs of leaves.
inline constexpr Py_ssize_t short_sequence = 8;

// How many entries of a dict ahead of the one being rendered are read, and
// their values fetched into the cache.
inline constexpr unsigned dict_read_ahead = 4;

// Ends every element's line.
inline constexpr std::string_view separator = ",\n";

// Types whose instances can never carry "__dataclass_fields__": the lookup
// would always fail without running Python code, so it is skipped.
inline bool never_dataclass(PyTypeObject* t) noexcept {
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyList_Type || t == &PyDict_Type || t == &PyTuple_Type ||
           t == &PyBytes_Type || t == &PySet_Type || t == &PyFrozenSet_Type || t == &PyComplex_Type;
}

// Reads an attribute, telling "missing" (0) from found (1) and failure (-1)
// without building an AttributeError.
inline int lookup_optional(PyObject* obj, PyObject* name, PyObject** out) {
    return compat::get_optional_attr(obj, name, out);
}

template <TextSink Sink>
class Renderer {
public:
    Renderer(Sink& out, std::uint64_t indent) noexcept : out_(out), indent_(indent), floor_{} {}

    Status render(PyObject* obj, std::uint64_t column) {
        switch (write_leaf(obj)) {
            case Leaf::written:
            case Leaf::widened: return ok();
            case Leaf::failed: return take_failure();
            case Leaf::other: break;
        }
        return render_other(obj, column);
    }

private:
    // What write_leaf did with an object.
    enum class Leaf : std::uint8_t {
        written,  // an exact built-in leaf, written
        failed,   // writing it failed: the error is in failure_
        other,    // not written: anything else, or too large for the direct path
        widened,  // written by write_leaf<Unit>, and the result is now wider
    };

    Status take_failure() { return std::move(failure_); }

    // An element of a container that write_leaf did not write (`leaf` says
    // why), rendered at `column`. Exact built-in leaves are written through a
    // borrowed reference (writing them runs no Python code); anything else is
    // held while it is rendered, since the code that runs can drop the
    // container's reference.
    Status render_unwritten(PyObject* item, std::uint64_t column, Leaf leaf) {
        if (leaf == Leaf::failed) return take_failure();
        Ref held = Ref::borrow(item);
        // Exact dicts and lists, most of what is left, without a call more.
        PyTypeObject* type = Py_TYPE(item);
        if (type == &PyDict_Type) return dict_form(item, column);
        if (type == &PyList_Type) return sequence_form<true>(item, column);
        return render_other(item, column);
    }

    // The same for a list or tuple element, out of line: inlined, it made
    // the element loop keep fewer of its values in registers.
    [[gnu::noinline]] Status render_element(PyObject* item, std::uint64_t column, Leaf leaf) {
        return render_unwritten(item, column, leaf);
    }

    // Everything but the leaves write_leaf takes. Exact dicts and lists
    // first, inline: they are most of a document's containers and never
    // dataclass instances, and a small list in a dataclass field then costs
    // no call on its way.
    [[gnu::always_inline]] Status render_other(PyObject* obj, std::uint64_t column) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyDict_Type) return dict_form(obj, column);
        if (type == &PyList_Type) {
            // A quarter of the small lists met are empty: "[]" in place.
            if (Py_SIZE(obj) == 0) return write_text(std::string_view("[]"));
            return sequence_form<true>(obj, column);
        }
        return render_rest(obj, column);
    }

    // Writes one fixed piece of text.
    Status write_text(std::string_view text) {
        Sink& out = out_;
        TRY_IO(out.write_fmt(text));
        return ok();
    }

    // Everything but the leaves, exact dicts and exact lists.
    [[gnu::noinline]] Status render_rest(PyObject* obj, std::uint64_t column) {
        PyTypeObject* type = Py_TYPE(obj);
        // Anything else may run Python code (attribute reads, repr()).
        ++code_runs_;
        // A class is never a dataclass instance, whatever its attributes.
        if (!never_dataclass(type) && !PyType_Check(obj)) {
            PyObject* fields = nullptr;
            const int found = lookup_optional(obj, names::dataclass_fields.get(), &fields);
            Ref first = Ref::steal(fields);
            if (found > 0) return dataclass_form(obj, column, std::move(first));
            if (found < 0) TRY(ordinary_failure());
        }
        if (PyList_Check(obj)) return sequence_form<true>(obj, column);
        if (PyDict_Check(obj)) return dict_form(obj, column);
        if (PyTuple_Check(obj)) return sequence_form<false>(obj, column);
        return other_form(obj);
    }

    // Whether write_leaf may write `obj`.
    static bool leaf_type(PyObject* obj) noexcept {
        PyTypeObject* t = Py_TYPE(obj);
        return t == &PyUnicode_Type || t == &PyLong_Type || obj == Py_None || t == &PyBool_Type ||
               t == &PyFloat_Type;
    }

    // Writes an exact built-in leaf without calling repr(), testing the types
    // in the order of how common they are in documents. Writing one runs no
    // Python code (and allocates no object the cycle collector tracks), so a
    // borrowed reference to it stays valid while it is written. Inlined into
    // the element loops, so that a leaf costs no call and no Status.
    [[gnu::always_inline]] Leaf write_leaf(PyObject* obj) { return write_leaf(out_, obj); }
    // The same into `out`, the renderer's sink, which a loop keeps at hand;
    // `Unit`, when given, is the size of the result's characters.
    template <class Unit = void>
    [[gnu::always_inline]] Leaf write_leaf(Sink& out, PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        IoStatus st;
        if (type == &PyUnicode_Type) {
            if constexpr (!std::is_void_v<Unit>) return write_str_as<Unit>(out, obj);
            if (compat::ready_str(obj) < 0) {
                failure_ = PyErr::fetch();
                return Leaf::failed;
            }
            if constexpr (requires { out.append_str_repr(obj); }) {
                // Written straight into the result, in its own width.
                return out.append_str_repr(obj) ? Leaf::written : Leaf::other;
            }
            if (PyUnicode_GET_LENGTH(obj) > leaves::max_direct_str) return Leaf::other;
            st = out.write_generated(leaves::str_repr_bound(obj), [obj](char* dst) { return leaves::str_repr(obj, dst); });
        } else if (type == &PyLong_Type) {
            long long v = 0;
            if (!leaves::small_int_value(obj, v)) return Leaf::other;
            if constexpr (requires { out.write_int(v); })
                st = out.write_int(v);
            else
                st = out.write_generated(leaves::int_repr_bound, [v](char* dst) { return leaves::int_repr(v, dst); });
        } else if (obj == Py_None) {
            st = out.write_fmt(std::string_view("None"));
        } else if (type == &PyBool_Type) {
            // Each word written as a constant of its own, folded into stores.
            st = obj == Py_True ? out.write_fmt(std::string_view("True")) : out.write_fmt(std::string_view("False"));
        } else if (type == &PyFloat_Type) {
            const double v = PyFloat_AS_DOUBLE(obj);
            st = out.write_generated(leaves::float_repr_bound, [v](char* dst) { return leaves::float_repr(v, dst); });
        } else {
            return Leaf::other;
        }
        if (!st) [[unlikely]] {
            failure_ = io_error(st);
            return Leaf::failed;
        }
        return Leaf::written;
    }

    // write_leaf of an exact str into a result whose characters are `Unit`s:
    // one of ASCII text in the object (most strs) goes straight to the
    // writer for that width.
    template <class Unit>
    [[gnu::always_inline]] Leaf write_str_as(MemorySink& out, PyObject* obj) {
        // A compact str is always ready.
        if (PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]]
            return out.append_compact_ascii_as<Unit>(obj) ? Leaf::written : Leaf::other;
        if (compat::ready_str(obj) < 0) {
            failure_ = PyErr::fetch();
            return Leaf::failed;
        }
        if (!out.append_other_repr(obj)) return Leaf::other;
        // Only text beyond ASCII widens the result.
        return out.unit() == sizeof(Unit) ? Leaf::written : Leaf::widened;
    }

    // Starts a line inside a container at `column`: `lead` (",\n" or the
    // opening) and the margin, `child` spaces. The result in memory takes the
    // margin as one run, `child` having been worked out once per container;
    // other sinks get the container's margin and the step as the two runs
    // their buffering is laid out for.
    [[gnu::always_inline]] static IoStatus line_start(Sink& out, std::string_view lead, std::uint64_t column,
                                                      std::uint64_t child) {
        if constexpr (std::is_same_v<Sink, MemorySink>) return out.write_fmt(lead, Spaces{child});
        else return out.write_fmt(lead, Spaces{column}, Spaces{child - column});
    }

    Result<std::uint64_t> child_column(std::uint64_t column) const {
        if (indent_ > max_line_indent || column + indent_ > max_line_indent) [[unlikely]]
            return PyErr::lazy(PyExc_OverflowError, "pretty-printing indentation exceeds 65536 spaces");
        return column + indent_;
    }

    Status other_form(PyObject* obj) {
        Sink& out = out_;
        Ref repr = Ref::steal(PyObject_Repr(obj));
        if (!repr) return PyErr::fetch();
        Utf8 text = text_of(repr.get());
        TRY_IO(out.write_fmt(text.view()));
        return ok();
    }

    // Lists and tuples: one element per line, walked by SequenceWalk.
    template <bool IsList>
    Status sequence_form(PyObject* obj, std::uint64_t column) {
        Sink& out = out_;
        constexpr std::string_view empty = IsList ? "[]" : "()";
        constexpr std::string_view open = IsList ? "[\n" : "(\n";
        constexpr std::string_view close = IsList ? "]" : ")";
        if (Py_SIZE(obj) == 0) {
            TRY_IO(out.write_fmt(empty));
            return ok();
        }
        TRY(may_open(path_, obj, floor_));
        Nest nest(path_, obj);
        TRY_SET(const std::uint64_t child, child_column(column));
        if constexpr (std::is_same_v<Sink, MemorySink>) {
            // Short ones (most lists in documents) cost less inline.
            if (Py_SIZE(obj) > short_sequence) {
                TRY_IO(line_start(out, open, column, child));
                return items_in_memory<IsList>(obj, column, child);
            }
        }
        // Each element is taken before the line start that leads to it, and
        // the walk's end read again after every write or element that may
        // have run code.
        SequenceWalk<IsList> walk(obj);
        Py_ssize_t end = walk.end();
        Held<yields> item(walk.at(0));
        TRY_IO(line_start(out, open, column, child));
        for (Py_ssize_t i = 0;;) {
            if constexpr (yields) end = walk.end();
            // Elements are mostly separate objects met for the first time:
            // ask for one a few places ahead (its header and the text after it).
            if (i + prefetch_distance < end) prefetch_object(walk.at(i + prefetch_distance));
            const Leaf leaf = write_leaf(out, item.get());
            if (leaf != Leaf::written) TRY(render_element(item.get(), child, leaf));
            if (yields || leaf != Leaf::written) end = walk.end();
            if (++i >= end) break;
            item.take(walk.at(i));
            TRY_IO(line_start(out, separator, column, child));
        }
        TRY_IO(out.write_fmt(separator, Spaces{column}, close));
        return ok();
    }

    // The elements of a list or tuple rendered into the result in memory
    // (after the opening): runs of leaves are written by leaf_run, in the
    // result's width of the moment, and the walk comes back here for
    // anything else and whenever the result widens.
    template <bool IsList>
    [[gnu::noinline]] Status items_in_memory(PyObject* obj, std::uint64_t column, std::uint64_t child) {
        MemorySink& out = out_;
        constexpr std::string_view close = IsList ? "]" : ")";
        const SequenceWalk<IsList> walk(obj);
        Py_ssize_t end = walk.end();
        for (Py_ssize_t i = 0;;) {
            Step step{i, Leaf::other};
            // Anything but a leaf goes straight to its form.
            if (leaf_type(walk.at(i))) switch (out.unit()) {
                case 1: step = leaf_run<IsList, Py_UCS1>(obj, i, end, child); break;
                case 2: step = leaf_run<IsList, Py_UCS2>(obj, i, end, child); break;
                default: step = leaf_run<IsList, Py_UCS4>(obj, i, end, child); break;
            }
            i = step.index;
            if (step.leaf != Leaf::written) {
                // Rendering it may run code that shrinks the list.
                TRY(render_element(walk.at(i), child, step.leaf));
                end = walk.end();
            }
            if (++i >= end) break;
            TRY_IO(line_start(out, separator, column, child));
        }
        TRY_IO(out.write_fmt(separator, Spaces{column}, close));
        return ok();
    }

    // Where leaf_run stopped: at element `index`, written (its line not yet
    // ended) or not (`leaf` says why).
    struct Step {
        Py_ssize_t index;
        Leaf leaf;
    };

    // Writes the elements of `seq` from `i` on, each followed by the next
    // one's line start, while they are leaves written in place (which runs
    // no code: `end` holds) and the result stays a `Unit` per character.
    template <bool IsList, class Unit>
    [[gnu::noinline]] Step leaf_run(PyObject* seq, Py_ssize_t i, Py_ssize_t end, std::uint64_t child) {
        MemorySink& out = out_;
        for (;; ++i) {
            PyObject* const* items = IsList ? reinterpret_cast<PyListObject*>(seq)->ob_item
                                            : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
            // Elements are mostly separate objects met for the first time:
            // ask for one a few places ahead (its header and the text after it).
            if (i + prefetch_distance < end) prefetch_object(items[i + prefetch_distance]);
            const Leaf leaf = write_leaf<Unit>(out, items[i]);
            if (leaf != Leaf::written) [[unlikely]]
                return {i, leaf == Leaf::widened ? Leaf::written : leaf};
            if (i + 1 >= end) [[unlikely]]
                return {i, Leaf::written};
            out.write_break_as<Unit>(Spaces{child});
        }
    }

    // Dicts: one entry per line, walked by DictWalk.
    Status dict_form(PyObject* obj, std::uint64_t column) {
        Sink& out = out_;
        if (PyDict_GET_SIZE(obj) == 0) {
            TRY_IO(out.write_fmt(std::string_view("{}")));
            return ok();
        }
        TRY(may_open(path_, obj, floor_));
        Nest nest(path_, obj);
        TRY_SET(const std::uint64_t child, child_column(column));
        if constexpr (requires { out.write_key_line(',', Spaces{child}, obj); }) {
            return dict_entries_in_memory(obj, column, child);
        }
        TRY_IO(line_start(out, std::string_view("{\n"), column, child));
        DictWalk walk(obj);
        // Each entry is held from the walk's step to the end of its line:
        // the line start before it and the writes of its key can run code.
        Held<yields> key, value;
        // Each entry's ",\n" goes out with what follows it: the next entry's
        // margin, or the closing line. A walk about to fault gets the ",\n"
        // first, as any entry's line is ended before the walk goes on.
        bool more = walk.next(key, value);
        while (more) {
            // The value is mostly an object met for the first time, its key
            // one met before (an interned name): ask for the value's header
            // and the text after it while the key is written.
            prefetch_object(value.get());
            TRY(write_entry(key.get(), value.get(), child));
            if (!walk.intact()) TRY_IO(out.write_fmt(separator));
            more = walk.next(key, value);
            if (more) TRY_IO(line_start(out, separator, column, child));
        }
        TRY_IO(out.write_fmt(separator, Spaces{column}, std::string_view("}")));
        return ok();
    }

    // The entries of a dict rendered into the result in memory, which is
    // thrown away when the call fails: the ",\n" ending an entry's line can
    // wait for the walk's next step, to go out with the next key.
    [[gnu::always_inline]] Status dict_entries_in_memory(PyObject* obj, std::uint64_t column, std::uint64_t child) {
        Sink& out = out_;
        DictWalk walk(obj);
        // Entries are read a few ahead of the one being written, so that
        // their values (mostly objects met for the first time) are on their
        // way meanwhile. Those read ahead are read again when writing an
        // entry may have run code, which can change the dict.
        struct Ahead {
            PyObject* key;
            PyObject* value;
            DictWalk::Mark after;  // the walk just past this entry
        };
        Ahead ahead[dict_read_ahead];
        unsigned first = 0, count = 0;
        // Reads one entry more; false at the walk's end.
        const auto read_one = [&] {
            Ahead& a = ahead[(first + count) % dict_read_ahead];
            if (!walk.next(a.key, a.value)) return false;
            a.after = walk.mark();
            prefetch_object(a.value);
            ++count;
            return true;
        };
        const auto read_ahead = [&] {
            while (count < dict_read_ahead && read_one()) {
            }
        };
        read_ahead();
        bool ended = count < dict_read_ahead;
        // The first key opens the dict; every other one ends the line before.
        char open = '{';
        while (count != 0) {
            const Ahead entry = ahead[first];
            first = (first + 1) % dict_read_ahead;
            --count;
            const std::uint64_t runs = code_runs_;
            // Most keys: the line start, the key and ": " in one piece.
            if (Py_TYPE(entry.key) == &PyUnicode_Type && out.write_key_line(open, Spaces{child}, entry.key))
                [[likely]] {
                TRY(write_value(entry.value, child));
            } else {
                TRY_IO(line_start(out, open == '{' ? std::string_view("{\n") : separator, column, child));
                TRY(write_entry(entry.key, entry.value, child));
            }
            if (code_runs_ != runs) [[unlikely]] {
                walk.rewind(entry.after);
                count = 0;
                read_ahead();
                ended = count < dict_read_ahead;
            } else if (!ended) {
                ended = !read_one();
            }
            open = ',';
        }
        TRY_IO(out.write_fmt(separator, Spaces{column}, std::string_view("}")));
        return ok();
    }

    // A dict entry after its line start: the key, ": " and the value.
    [[gnu::always_inline]] Status write_entry(PyObject* key, PyObject* value, std::uint64_t column) {
        Sink& out = out_;
        const Leaf written = write_leaf(key);
        if (written == Leaf::failed) [[unlikely]]
            return take_failure();
        if (written == Leaf::other) return write_other_entry(key, value, column);
        TRY_IO(out.write_fmt(std::string_view(": ")));
        return write_value(value, column);
    }

    // A dict entry's value after its key: a leaf in place, anything else
    // rendered at `column`.
    [[gnu::always_inline]] Status write_value(PyObject* value, std::uint64_t column) {
        if (const Leaf leaf = write_leaf(value); leaf != Leaf::written) [[unlikely]]
            return render_unwritten(value, column, leaf);
        return ok();
    }

    // An entry whose key is not a leaf written in place: rendering the key
    // may run code that changes the dict, so both are held.
    [[gnu::noinline]] Status write_other_entry(PyObject* key, PyObject* value, std::uint64_t column) {
        Sink& out = out_;
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        TRY(render_other(k.get(), column));
        TRY_IO(out.write_fmt(std::string_view(": ")));
        return render(v.get(), column);
    }

    // Asks for an object met for the first time: its header and the text
    // after it.
    static void prefetch_object(PyObject* obj) noexcept {
        platform::prefetch(obj);
        platform::prefetch(reinterpret_cast<char*>(obj) + 64);
    }

    // A failed dataclass test means "not a dataclass" only when it raised an
    // ordinary error (an Exception); an interrupt, an exit request or any
    // other BaseException ends the call.
    static Status ordinary_failure() {
        PyErr err = PyErr::fetch();
        if (PyErr_GivenExceptionMatches(err.type(), PyExc_Exception)) return ok();
        return err;
    }

    static Result<Ref> get_attr(PyObject* obj, PyObject* name) {
        PyObject* v = read_attr(obj, name);
        if (v == nullptr) return PyErr::fetch();
        return Ref::steal(v);
    }

    // str() of an object: an exact str is its own str() and is kept as it is.
    static Result<Ref> str_of(Ref obj) {
        if (PyUnicode_CheckExact(obj.get())) return obj;
        PyObject* s = PyObject_Str(obj.get());
        if (s == nullptr) return PyErr::fetch();
        return Ref::steal(s);
    }

    // `first` is what the dataclass test read of "__dataclass_fields__". It
    // stands for the second read while nothing can have run in between and
    // that read would run no code either; otherwise it is dropped before
    // the first read that may run code, and the mapping is read again.
    Status dataclass_form(PyObject* obj, std::uint64_t column, Ref first) {
        // A result kept in memory is thrown away when the call fails, so the
        // ",\n" after a field's value can wait to go out with the next
        // piece; any other sink gets it as soon as the value is written.
        constexpr bool defer_break = std::is_same_v<Sink, MemorySink>;
        Sink& out = out_;
        const DataclassReads reads = dataclass_types_.of(Py_TYPE(obj));
        if (!reads.fields_repeatable || !reads.class_is_type) first.reset();
        TRY(may_open(path_, obj, floor_));
        Nest nest(path_, obj);
        Ref cls;
        if (reads.class_is_type) cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        else {
            TRY_SET(cls, get_attr(obj, names::class_.get()));
        }
        PyObject* plain_name = plain_class_name(cls.get());
        if (plain_name == nullptr) first.reset();
        Ref name_obj;
        if (plain_name != nullptr) name_obj = Ref::borrow(plain_name);
        else {
            TRY_SET(name_obj, get_attr(cls.get(), names::name.get()));
        }
        if (!PyUnicode_CheckExact(name_obj.get())) first.reset();
        TRY_SET(Ref name_str, str_of(std::move(name_obj)));
        Utf8 name_holder;
        const std::string_view name = name_text(name_str.get(), name_holder);
        const bool name_ascii = ascii_text(name_str.get()).has_value();

        Ref fields;
        if (first) fields = std::move(first);
        else {
            TRY_SET(fields, get_attr(obj, names::dataclass_fields.get()));
        }
        if (!PyDict_Check(fields.get())) return PyErr::cast_error(Py_TYPE(fields.get()), &PyDict_Type);
        // The form opens with the first real field; pseudo-fields are walked
        // over (the walk still checks the whole mapping for changes).
        std::optional<std::uint64_t> child;
        bool first_field = true;  // no ",\n" is pending before the next piece
        if (PyDict_GET_SIZE(fields.get()) != 0) {
            TRY_SET(const FieldKinds* kinds, dataclass_types_.kinds());
            FieldsPlans::Scope scope(dataclass_types_.plans());
            FieldsWalk walk(fields.get(), scope.plan());
            PyObject* entry_key;
            PyObject* field;
            FieldEntry* entry;
            while (walk.next(entry_key, field, entry)) {
                // The key is held from here on: the code that may run below
                // can change the mapping. The entry holds it when it keeps
                // the key; otherwise `own_name` does. The field is only read
                // before that (is_pseudo_field holds it when it runs code).
                PyObject* field_name = entry_key;
                const bool kept = entry->key.get() != nullptr;  // and so an exact ASCII str
                Ref own_name;
                if (!kept) [[unlikely]]
                    own_name = Ref::borrow(entry_key);
                if (kinds != nullptr) {
                    // A Field's kind from its slot where that is its answer.
                    PyObject* kind = Py_TYPE(field) == kinds->field_class ? slot_value(*kinds, field) : nullptr;
                    bool pseudo;
                    if (kind != nullptr) pseudo = kind != kinds->field_marker;
                    else {
                        TRY_SET(pseudo, is_pseudo_field(*kinds, field));
                    }
                    if (pseudo) continue;
                }
                if (!child) {
                    TRY_SET(child, child_column(column));
                    TRY_IO(write_opening(out_, scope.plan().opening, name_str.get(), name, name_ascii));
                }
                // The key's str(): an exact str (the common case) is its own.
                if (!kept && !PyUnicode_CheckExact(field_name)) [[unlikely]] {
                    TRY_SET(own_name, str_of(std::move(own_name)));
                    field_name = own_name.get();
                }
                PyObject* read = read_attr(obj, field_name);
                if (read == nullptr) [[unlikely]]
                    return PyErr::fetch();
                Ref value = Ref::steal(read);
                // The line start made for an earlier instance, or made now.
                if (entry->column == *child) [[likely]]
                    TRY_IO(write_field_piece(out_, *entry, first_field));
                else
                    TRY(write_field_start(*entry, first_field, *child, field_name));
                // render() with the leaf written in place, as in the element loops.
                if (const Leaf leaf = write_leaf(value.get()); leaf != Leaf::written)
                    TRY(leaf == Leaf::failed ? take_failure() : render_other(value.get(), *child));
                if constexpr (defer_break) first_field = false;
                else TRY_IO(out.write_fmt(std::string_view(",\n")));
            }
            if (child) {
                // The last field's ",\n" is still pending in memory.
                if constexpr (defer_break) TRY_IO(write_closing(out_, scope.plan().closing, column));
                else TRY_IO(write_piece(out_, std::string_view(), column, true, std::string_view(), ")"));
                return ok();
            }
        }
        TRY_IO(write_piece(out_, std::string_view(), 0, name_ascii, name, "()"));
        return ok();
    }

    // A field's line start where no piece kept for its entry fits: the
    // entry's piece made now for `spaces`, or the line start written from
    // the name's text. `first` tells that no ",\n" is pending before it.
    [[gnu::noinline]] Status write_field_start(FieldEntry& entry, bool first, std::uint64_t spaces,
                                               PyObject* field_name) {
        constexpr bool defer_break = std::is_same_v<Sink, MemorySink>;
        if (entry.key && entry.make_piece(spaces)) {
            TRY_IO(write_field_piece(out_, entry, first));
            return ok();
        }
        const std::string_view lead = defer_break && !first ? ",\n" : "";
        if (const auto ascii = ascii_text(field_name)) {
            TRY_IO(write_piece(out_, lead, spaces, true, *ascii, "="));
            return ok();
        }
        Utf8 holder;
        const std::string_view text = name_text(field_name, holder);
        TRY_IO(write_piece(out_, lead, spaces, false, text, "="));
        return ok();
    }

    // A class-variable or init-only entry of a fields mapping: an instance of
    // Field or of a subclass (by its real type, never by a claimed __class__)
    // whose `_field_type` is not the real-field marker of the same module
    // (the current one, or the one before a reload). Any other value, a
    // Field or not, describes a field.
    // The caller has tried the slot of an instance of exactly Field first.
    Result<bool> is_pseudo_field(const FieldKinds& kinds, PyObject* field) {
        const FieldKinds* own = kinds.of_class(Py_TYPE(field));
        if (own == nullptr) return false;
        Ref held = Ref::borrow(field);
        TRY_SET(Ref kind, get_attr(held.get(), names::field_type.get()));
        return kind.get() != own->field_marker;
    }

    // `_field_type` of an instance of exactly Field read from its slot, or
    // null when the attribute must be read instead. While Field reads
    // attributes the generic way and the lookup of the name on the class
    // still finds the member descriptor seen when the kinds were fetched,
    // the attribute read returns what that data descriptor reads: the slot's
    // value, or AttributeError for an empty slot (left to the attribute read).
    // The lookup is made again only when Field has changed since the last;
    // while it has not, it still reads attributes the generic way (setting
    // an attribute reader on a class changes its tag).
    PyObject* slot_value(const FieldKinds& kinds, PyObject* field) {
        PyTypeObject* t = kinds.field_class;
        if (!field_class_stamp_.holds(t)) [[unlikely]] {
            if (kinds.slot == nullptr || !generic_reads(t)) return nullptr;
            if (compat::type_lookup(t, names::field_type.get()) != kinds.slot) return nullptr;
            field_class_stamp_.take(t);
        }
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(field) + kinds.slot_offset);
    }

    // Whether the sink's writes are points where code may run: the walks
    // then hold what they hand out across them.
    static constexpr bool yields = Sink::writes_may_run_code;

    Sink& out_;
    const std::uint64_t indent_;
    StackFloor floor_;
    DataclassTypes dataclass_types_;
    TypeStamp field_class_stamp_;
    Path path_;
    Status failure_;  // why the last write_leaf failed
    // Counts the objects rendered in a way that may run Python code: a
    // container walk that read ahead reads again when it has changed.
    std::uint64_t code_runs_ = 0;
};

#undef TRY_IO

}  // namespace detail

// Renders `obj` into `out`, its lines starting at `column`.
template <TextSink Sink>
Status print(PyObject* obj, std::uint64_t indent, std::uint64_t column, Sink& out) {
    return detail::Renderer<Sink>(out, indent).render(obj, column);
}

}  // namespace orrery::pretty
