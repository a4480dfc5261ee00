// What the dataclass form keeps about the fields mappings it walks, so that
// instances of one class cost less than the first: each field's line start
// made once per name and margin and, where a mapping carries a version that
// changes whenever it is changed, the walk itself replayed while nothing has
// changed it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "boundary/cpython_compat.hpp"
#include "boundary/fault.hpp"
#include "boundary/ref.hpp"
#include "engine/walks.hpp"
#include "engine/dataclass_text.hpp"

namespace orrery::pretty::detail {

// A dict's version: up to 3.11 the interpreter gives a dict a new number,
// unique in the process, when it is made and whenever it is changed. Later
// versions deprecate the number; there a walk is never replayed.
using compat::dict_version;
using compat::dict_versions;

// One entry of a mapping as a walk met it, with the line start of the field
// it names.
struct FieldEntry {
    // The key when it is an exact ASCII str (held, so its text stays what the
    // piece was made of); null otherwise.
    Ref key;
    // The entry's key, value and the walk's position after it, as met. Only
    // read back while the mapping provably has not changed since.
    PyObject* seen_key = nullptr;
    PyObject* field = nullptr;
    Py_ssize_t pos = 0;
    // ",\n", the margin, the name and "=", for the margin `column` (no piece
    // while `column` is no_piece, never a margin). Padded so that a whole
    // block can always be copied.
    static constexpr std::uint64_t no_piece = ~std::uint64_t{0};
    std::uint64_t column = no_piece;
    std::uint8_t size = 0;
    std::array<char, 2 + piece_block + 16> piece;

    // Makes the piece for `margin`; false when it is too long for one.
    bool make_piece(std::uint64_t margin) noexcept {
        column = no_piece;
        const auto text = ascii_text(key.get());
        if (!text || margin > piece_block || text->size() + 3 > piece_block - margin) return false;
        piece.fill(' ');
        piece[0] = ',';
        piece[1] = '\n';
        std::memcpy(piece.data() + 2 + margin, text->data(), text->size());
        piece[2 + margin + text->size()] = '=';
        column = margin;
        size = static_cast<std::uint8_t>(2 + margin + text->size() + 1);
        return true;
    }
};

// A class name followed by "(\n", kept for the name it was made of (an
// exact ASCII str, held, so its text stays what the block was made of).
struct Opening {
    Ref name;
    std::uint8_t size = 0;  // no block while 0
    std::array<char, piece_block> text{};
};

// ",\n", the margin and ")", closing a form whose fields start at the
// margin's next step, kept for the margin it was made for.
struct Closing {
    std::uint64_t column = FieldEntry::no_piece;  // no block while no_piece
    std::uint8_t size = 0;
    std::array<char, piece_block> text{};
};

// The entries of the last mapping walked at one nesting depth of the form.
struct FieldsPlan {
    Opening opening;
    Closing closing;
    std::vector<FieldEntry> entries;
    FieldEntry spare;  // stands for the entries of a mapping past those kept
    // The mapping whose whole walk `entries` holds, and its version then
    // (identity and version name one state of one dict for good, since no
    // two dicts or states share a version). Null when there is none.
    PyObject* dict = nullptr;
    std::uint64_t version = 0;
    std::size_t count = 0;
};

// Walks a fields mapping as the dict walk does (the same entries, order and
// faults), replaying a plan's entries instead of asking the dict while the
// mapping keeps the version the plan was made at. The caller holds the
// mapping for as long as the walk lasts.
class FieldsWalk {
public:
    FieldsWalk(PyObject* dict, FieldsPlan& plan) noexcept
        : dict_(dict), plan_(plan), start_(PyDict_GET_SIZE(dict)), expected_(start_),
          version_(dict_version(dict)) {
        replay_ = dict_versions && plan.dict == dict && plan.version == version_;
        if (replay_) {
            cursor_ = plan.entries.data();
            replay_end_ = cursor_ + plan.count;
        }
        plan.dict = nullptr;  // until this walk ends with the mapping unchanged
    }

    // Entries kept of one mapping: past these a walk keeps nothing more (and
    // is never replayed), so a mapping of any size costs a bounded record.
    static constexpr std::size_t max_entries = 64;

    // The next entry (borrowed: valid until Python code runs) and its record
    // (past the entries kept, a spare one that keeps no key).
    [[gnu::always_inline]] bool next(PyObject*& key, PyObject*& field, FieldEntry*& entry) {
        if constexpr (!dict_versions) {
            return ask(key, field, entry);
        } else {
            // While the mapping keeps the version it had when the walk began,
            // it keeps its size and entries: the checks of a step hold, and
            // the entries are those kept.
            if (replay_ && dict_version(dict_) == version_) [[likely]] {
                if (cursor_ == replay_end_) {
                    index_ = plan_.count;
                    return finish();
                }
                entry = cursor_++;
                key = entry->seen_key;
                field = entry->field;
                return true;
            }
            return ask_apart(key, field, entry);
        }
    }

private:
    // The next entry from the dict itself, from where the walk has got to,
    // after the checks of a step.
    [[gnu::always_inline]] bool ask(PyObject*& key, PyObject*& field, FieldEntry*& entry) {
        check_dict_step(dict_, start_, expected_);
        if (!PyDict_Next(dict_, &pos_, &key, &field)) return finish();
        --expected_;
        entry = record(key, field);
        return true;
    }
    // The same, out of line where it is the exception; a replay ends here,
    // and the walk goes on from the last entry it gave.
    [[gnu::noinline]] bool ask_apart(PyObject*& key, PyObject*& field, FieldEntry*& entry) {
        if (replay_) {
            replay_ = false;
            index_ = static_cast<std::size_t>(cursor_ - plan_.entries.data());
            pos_ = index_ == 0 ? 0 : plan_.entries[index_ - 1].pos;
            expected_ = start_ - static_cast<Py_ssize_t>(index_);
        }
        return ask(key, field, entry);
    }

    [[gnu::always_inline]] FieldEntry* record(PyObject* key, PyObject* field) {
        if (index_ >= max_entries) [[unlikely]] {
            ++index_;
            return &plan_.spare;
        }
        if (index_ == plan_.entries.size()) [[unlikely]]
            plan_.entries.emplace_back();
        FieldEntry& e = plan_.entries[index_++];
        if (e.key.get() != key) [[unlikely]] {
            e.key = PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key) ? Ref::borrow(key) : Ref();
            e.column = FieldEntry::no_piece;
        }
        e.seen_key = key;
        e.field = field;
        e.pos = pos_;
        return &e;
    }

    // The walk is over: a mapping that kept its version throughout, and
    // whose entries were all kept, is the plan's from now on.
    bool finish() noexcept {
        if (dict_versions && dict_version(dict_) == version_ && index_ <= max_entries) {
            plan_.dict = dict_;
            plan_.version = version_;
            plan_.count = index_;
        }
        return false;
    }

    PyObject* dict_;
    FieldsPlan& plan_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t start_;
    Py_ssize_t expected_;
    std::uint64_t version_;
    std::size_t index_ = 0;  // entries given so far, once the walk asks the dict
    bool replay_;
    // While replaying: the next entry kept and the end of those kept.
    FieldEntry* cursor_ = nullptr;
    FieldEntry* replay_end_ = nullptr;
};

// The plans of one call, one per nesting depth of the form (a nested form
// walks its own mapping while the outer walk is still going on), up to a
// depth; deeper forms walk without keeping anything.
class FieldsPlans {
public:
    // The plan of the form being entered (the scratch plan beyond the depths
    // kept), for as long as the scope lives.
    class Scope {
    public:
        explicit Scope(FieldsPlans& plans) : plans_(plans), plan_(plans.enter()) {
            if (plan_ == nullptr) [[unlikely]]
                plan_ = &scratch_.emplace();
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() { --plans_.depth_; }
        FieldsPlan& plan() noexcept { return *plan_; }

    private:
        FieldsPlans& plans_;
        FieldsPlan* plan_;
        std::optional<FieldsPlan> scratch_;
    };

private:
    FieldsPlan* enter() {
        const std::size_t d = depth_++;
        if (d >= max_depth) return nullptr;
        if (d == plans_.size()) plans_.push_back(std::make_unique<FieldsPlan>());
        return plans_[d].get();
    }

    static constexpr std::size_t max_depth = 16;
    std::vector<std::unique_ptr<FieldsPlan>> plans_;
    std::size_t depth_ = 0;
};

// Writes the first `size` bytes of a kept block (readable for piece_block
// bytes): most (a short name at a small margin) fit half a block, copied
// as such.
template <class Sink>
[[gnu::always_inline]] inline IoStatus write_block(Sink& out, const char* block, std::size_t size) {
    return out.write_generated(piece_block, [&](char* dst) ORRERY_INLINE_LAMBDA {
        if (size <= piece_block / 2) [[likely]]
            std::memcpy(dst, block, piece_block / 2);
        else
            std::memcpy(dst, block, piece_block);
        return size;
    });
}

// Writes the class name `name` (the text of `name_obj`, ASCII when `ascii`
// says so) and "(\n": from the block kept for that name object, made here
// when the name is another one.
template <class Sink>
[[gnu::always_inline]] inline IoStatus write_opening(Sink& out, Opening& kept, PyObject* name_obj, std::string_view name,
                                                     bool ascii) {
    if (kept.name.get() != name_obj) [[unlikely]] {
        const bool fits = ascii && name.size() + 2 <= piece_block;
        kept.name = fits ? Ref::borrow(name_obj) : Ref();
        kept.size = fits ? static_cast<std::uint8_t>(name.size() + 2) : 0;
        if (fits) {
            std::memcpy(kept.text.data(), name.data(), name.size());
            std::memcpy(kept.text.data() + name.size(), "(\n", 2);
        }
    }
    if (kept.size == 0) return write_piece(out, std::string_view(), 0, ascii, name, "(\n");
    return write_block(out, kept.text.data(), kept.size);
}

// Writes ",\n", `column` spaces and ")" after the last field: from the block
// kept for that margin, made here for another one.
template <class Sink>
[[gnu::always_inline]] inline IoStatus write_closing(Sink& out, Closing& kept, std::uint64_t column) {
    if (kept.column != column) [[unlikely]] {
        if (column + 3 > piece_block) return write_piece(out, ",\n", column, true, std::string_view(), ")");
        kept.text.fill(' ');
        kept.text[0] = ',';
        kept.text[1] = '\n';
        kept.text[2 + column] = ')';
        kept.size = static_cast<std::uint8_t>(column + 3);
        kept.column = column;
    }
    return write_block(out, kept.text.data(), kept.size);
}

// Writes the piece of `entry` at its column: from its start after a field,
// from its margin (without ",\n") for the first field.
template <class Sink>
[[gnu::always_inline]] inline IoStatus write_field_piece(Sink& out, const FieldEntry& entry, bool first) {
    const std::size_t skip = first ? 2 : 0;
    return write_block(out, entry.piece.data() + skip, entry.size - skip);
}

}  // namespace orrery::pretty::detail
