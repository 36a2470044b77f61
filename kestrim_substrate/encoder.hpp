// The writer: a value to canonical JSON, scalars, strings and arrays here, objects and
// their member order in objects.hpp and object_order.hpp.
//
// Every writer takes the write position and returns the new one (see Sink); nullptr means
// it failed and an exception is set. No user code runs while a value is written
// (subclasses are read by their stored value, keys are compared natively); that is what
// lets the writer hold the document's parts by borrowed references (see Encoder::object).
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kestrim_substrate/buffers.hpp"
#include "kestrim_substrate/errors.hpp"
#include "kestrim_substrate/es_number.hpp"
#include "kestrim_substrate/member.hpp"
#include "kestrim_substrate/text_kernels.hpp"
#include "kestrim_substrate/utf8_kernels.hpp"

namespace kestrim {
namespace {

// Asks for the first line of a value not yet written. A large document's values lie all over
// the heap, so reading a value's type is a cache miss more often than not, and the writer
// would wait on one at every value; asked for a few values ahead, the misses overlap.
inline void prefetch_value(const PyObject* obj) noexcept { __builtin_prefetch(obj); }

// Items of an array asked for this far ahead of the one being written; their insides
// (prefetch_inside) this far ahead, once their first line is likely in; and the members of
// the next (prefetch_members), once its table is.
constexpr Py_ssize_t kPrefetchItems = 4;
constexpr Py_ssize_t kInsideItems = 2;

// A large object's members are asked for this far ahead of the one being read, in each pass
// over its keys: they lie all over the heap, and its table is too large to ask for at once
// (a small object's members are asked for all at once, at most kAskedAtOnce of them).
constexpr std::size_t kMembersAhead = 12;
constexpr std::ptrdiff_t kAskedAtOnce = 64;

// Asks for a key's header and the line after it, where most of a key's text lies.
inline void prefetch_key(const PyObject* key) noexcept {
    __builtin_prefetch(key);
    __builtin_prefetch(reinterpret_cast<const char*>(key) + 64);
}

// Asks for what writing obj reads after its first line, for a value whose first line was
// asked for a while ago (prefetch_value): a container's table or item array, which would
// otherwise be one more miss waited for after the one on its header; the rest of a string
// that runs past its first line. Only hints: a wrong guess costs bandwidth, never a fault.
inline void prefetch_inside(const PyObject* obj) noexcept {
    const PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyDict_Type) {
        // The table's header and its first slots: a few lines hold a small dict's all.
        const char* const table =
            reinterpret_cast<const char*>(reinterpret_cast<const PyDictObject*>(obj)->ma_keys);
        __builtin_prefetch(table);
        __builtin_prefetch(table + 64);
        __builtin_prefetch(table + 128);
    } else if (type == &PyList_Type) {
        __builtin_prefetch(reinterpret_cast<const PyListObject*>(obj)->ob_item);
    } else if (type == &PyUnicode_Type && compat::unicode_is_ready(const_cast<PyObject*>(obj))) {
        // The end of the text: a string of a few dozen bytes mostly ends a line further on.
        PyObject* const s = const_cast<PyObject*>(obj);
        __builtin_prefetch(static_cast<const char*>(PyUnicode_DATA(s)) +
                           PyUnicode_GET_LENGTH(s) * PyUnicode_KIND(s));
    }
}

// Asks for the keys and values of a dict, the first items of a list: what writing obj reads
// once its table or item array is in (prefetch_inside, a value earlier), so that their misses
// overlap with writing the value before obj rather than wait at its start. It reads obj's
// header and table, and waits on them if they are not in yet: a wait the writer would have
// come to at obj anyway.
inline void prefetch_members(PyObject* obj) noexcept {
    const PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyDict_Type) {
        const DictItems items = compat::dict_items(obj);
        const DictSlot* const end = std::min(items.end, items.begin + kAskedAtOnce);
        for (const DictSlot* slot = items.begin; slot < end; ++slot) {
            __builtin_prefetch(slot->key);
            __builtin_prefetch(slot->value);
        }
    } else if (type == &PyList_Type) {
        const Py_ssize_t n = std::min(PyList_GET_SIZE(obj), kPrefetchItems);
        for (Py_ssize_t i = 0; i < n; ++i) prefetch_value(PyList_GET_ITEM(obj, i));
    }
}

// Strings are written in slices so one reservation covers a slice's worst case (\u00xx).
constexpr Py_ssize_t kSliceUnits = 512;
constexpr std::size_t kMaxBytesPerUnit = 6;

class Encoder {
public:
    // With a hash, the output is streamed into it; without, it stays in the buffer.
    explicit Encoder(Sha256* hash, Sink::Spill spill = Sink::Spill::Heap) noexcept
        : out_(hash, spill) {}

    Sink& out() noexcept { return out_; }

    // Every case is a call in tail position, so this adds no frame of its own; the subclass
    // tests, which call into the interpreter, are out of line. Inlined by force: left to its
    // budget, the compiler stopped inlining it once the large-object paths came (a call for
    // every value, 2-7% slower on small objects).
    [[gnu::always_inline]] char* value(PyObject* obj, char* p) {
        if (PyUnicode_CheckExact(obj)) return string_value(obj, p);
        if (PyLong_CheckExact(obj)) return integer(obj, p);
        if (PyDict_CheckExact(obj)) return object(obj, p);
        if (PyList_CheckExact(obj)) return array(obj, true, p);
        if (obj == Py_None) return literal("null", 4, p);
        if (obj == Py_True) return literal("true", 4, p);
        if (obj == Py_False) return literal("false", 5, p);
        if (PyFloat_CheckExact(obj)) return number(PyFloat_AS_DOUBLE(obj), p);
        if (PyTuple_Check(obj)) return array(obj, false, p);
        return subclass_value(obj, p);
    }

    // An object given as members whose keys are already in canonical order.
    char* sorted_members(PyObject* const* keys, PyObject* const* values, Py_ssize_t n, char* p);
    // The text around the values of an object with these keys (see KestrimJcsMembers).
    char* member_pieces(PyObject* const* keys, Py_ssize_t n, std::vector<std::size_t>& ends);
    // The object of prepared members with these values.
    char* prepared(const KestrimJcsMembers& members, PyObject* const* values, char* p);

private:
    char* put(char* p, char c) {
        p = out_.room(p, 1);
        *p = c;
        return p + 1;
    }

    // Scalars, containers and sorting stay out of line: inlined, their locals would widen the
    // frames of the recursion through value(), array(), object() and write_members(), and with
    // them the stack a level costs.
    [[gnu::noinline]] char* literal(const char* text, std::size_t n, char* p) {
        p = out_.room(p, n);
        std::memcpy(p, text, n);
        return p + n;
    }

    // The common case ends in no call but tail calls, so it needs no frame: anything else
    // (no room, a value the interpreter's storage does not give without a call; see
    // compat::small_int) goes out of line.
    [[gnu::noinline]] char* integer(PyObject* obj, char* p) {
        if (!out_.fits(p, 1 + es::kMaxDecimalChars)) return integer_elsewhere(obj, p);
        std::uint64_t magnitude;
        bool negative;
        if (!compat::small_int(obj, magnitude, negative)) return integer_elsewhere(obj, p);
        if (magnitude > static_cast<std::uint64_t>(kMaxSafeInteger)) return integer_refused(obj);
        *p = '-';
        return es::write_decimal(magnitude, p + negative);
    }

    [[gnu::noinline]] char* integer_elsewhere(PyObject* obj, char* p) {
        std::uint64_t magnitude;
        bool negative;
        if (!safe_integer(obj, magnitude, negative)) return integer_refused(obj);
        p = out_.room(p, 1 + es::kMaxDecimalChars);
        *p = '-';
        return es::write_decimal(magnitude, p + negative);
    }

    [[gnu::noinline]] static char* integer_refused(PyObject* obj) {
        integer_out_of_range(obj);
        return nullptr;
    }

    // Subclasses, by their stored value. bool cannot be subclassed, so PyLong_Check is safe
    // after the identity tests in value().
    [[gnu::noinline]] char* subclass_value(PyObject* obj, char* p) {
        if (PyUnicode_Check(obj)) return string_value(obj, p);
        if (PyLong_Check(obj)) return integer(obj, p);
        if (PyFloat_Check(obj)) return number(PyFloat_AS_DOUBLE(obj), p);
        if (PyDict_Check(obj)) return object(obj, p);
        if (PyList_Check(obj)) return array(obj, true, p);
        not_serializable(obj);
        return nullptr;
    }

    [[gnu::noinline]] char* string_value(PyObject* s, char* p) { return string(s, p); }

    [[gnu::noinline]] char* number(double v, char* p) {
        if (!std::isfinite(v)) {
            PyErr_Format(PyExc_ValueError, "float %s is not representable in canonical JSON",
                         std::isnan(v) ? "nan"
                         : v > 0       ? "inf"
                                       : "-inf");
            return nullptr;
        }
        p = out_.room(p, es::kNumberRoom);
        return p + es::format_double(v, p);
    }

    // n ASCII code units at text as a string, or with `member` as a key: `"key":`, with
    // `comma` after an earlier member. One check for room, one pass over the text; all else
    // (no room, something to escape) goes out of line, so that this needs no frame.
    char* ascii_string(const Py_UCS1* text, std::size_t n, char* p, bool member, bool comma) {
        if (!out_.fits(p, n * kMaxBytesPerUnit + 4 + kScratch))
            return escaped_string(text, n, p, member, comma);
        char* q = p + comma;
        *p = ',';
        *q++ = '"';
        if (!copy_plain(q, text, n)) return escaped_string(text, n, p, member, comma);
        q += n;
        *q++ = '"';
        *q = ':';
        return q + member;
    }

    [[gnu::noinline]] char* escaped_string(const Py_UCS1* text, std::size_t n, char* p, bool member,
                                           bool comma) {
        p = out_.room(p, n * kMaxBytesPerUnit + 4 + kScratch);
        *p = ',';
        p += comma;
        *p++ = '"';
        p = put_ascii(p, text, text, text + n);
        *p++ = '"';
        *p = ':';
        return p + member;
    }

    // A string, or a key as ascii_string() writes it. The usual case, a short str of ASCII, is
    // written inline.
    char* string(PyObject* s, char* p, bool member = false, bool comma = false) {
        if (PyUnicode_IS_COMPACT_ASCII(s) && PyUnicode_GET_LENGTH(s) <= kSliceUnits) {
            return ascii_string(compat::compact_ascii_text(s),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)), p, member,
                                comma);
        }
        if (comma) p = put(p, ',');
        p = any_string(s, p);
        if (p != nullptr && member) p = put(p, ':');
        return p;
    }

    [[gnu::noinline]] char* any_string(PyObject* s, char* p) {
        if (compat::unicode_ready(s) < 0) return nullptr;
        // Text in another script whose UTF-8 the interpreter holds already is copied from it,
        // as ASCII is; text with anything to escape is written from its code units below.
        Py_ssize_t utf8_length;
        if (const std::uint8_t* utf8 = compat::cached_utf8(s, &utf8_length)) {
            const auto m = static_cast<std::size_t>(utf8_length);
            p = out_.room(p, m + 2);
            if (copy_plain<PlainBytes::kUtf8>(p + 1, utf8, m)) {
                p[0] = '"';
                p[m + 1] = '"';
                return p + m + 2;
            }
        }
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void* data = PyUnicode_DATA(s);
        p = put(p, '"');
        Py_ssize_t bad = -1;
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                if (PyUnicode_IS_ASCII(s)) {
                    p = ascii(static_cast<const Py_UCS1*>(data), n, p);
                } else {
                    bad = units(static_cast<const Py_UCS1*>(data), n, p);
                }
                break;
            case PyUnicode_2BYTE_KIND: bad = units(static_cast<const Py_UCS2*>(data), n, p); break;
            default: bad = units(static_cast<const Py_UCS4*>(data), n, p); break;
        }
        if (bad >= 0) {
            lone_surrogate(PyUnicode_READ_CHAR(s, bad), bad);
            return nullptr;
        }
        return put(p, '"');
    }

    char* ascii(const Py_UCS1* text, Py_ssize_t n, char* p) {
        const Py_UCS1* const end = text + n;
        for (const Py_UCS1* s = text; s < end;) {
            const Py_UCS1* const stop = s + std::min(end - s, kSliceUnits);
            p = out_.room(p, static_cast<std::size_t>(stop - s) * kMaxBytesPerUnit + kScratch);
            p = put_ascii(p, text, s, stop);
            s = stop;
        }
        return p;
    }

    // Encodes code units to UTF-8 with escapes, moving p on; returns the index of a lone
    // surrogate, or -1.
    template <typename CharT>
    Py_ssize_t units(const CharT* s, Py_ssize_t n, char*& out) {
        char* p = out;
        for (Py_ssize_t start = 0; start < n; start += kSliceUnits) {
            const Py_ssize_t stop = std::min(n, start + kSliceUnits);
            const auto count = static_cast<std::size_t>(stop - start);
            p = out_.room(p, count * kMaxBytesPerUnit);
            const std::ptrdiff_t bad = put_units(p, s + start, count);
            if (bad >= 0) {
                out = p;
                return start + bad;
            }
        }
        out = p;
        return -1;
    }

    [[gnu::noinline]] char* array(PyObject* seq, bool is_list, char* p) {
        DepthGuard guard(nesting_);
        if (!guard.enter()) return nullptr;
        p = put(p, '[');
        // Items are borrowed, as members are (see object()). The size is read again each time
        // round: nothing should change the list, but if anything did, we stay within its
        // current items.
        auto size = [seq, is_list] {
            return is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        };
        auto item_at = [seq, is_list](Py_ssize_t i) {
            return is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
        };
        for (Py_ssize_t i = 0; i < std::min(size(), kPrefetchItems); ++i)
            prefetch_value(item_at(i));
        for (Py_ssize_t i = 0; i < size(); ++i) {
            PyObject* const item = item_at(i);
            if (i + kPrefetchItems < size()) prefetch_value(item_at(i + kPrefetchItems));
            if (i + kInsideItems < size()) prefetch_inside(item_at(i + kInsideItems));
            if (i + 1 < size()) prefetch_members(item_at(i + 1));
            if (i > 0) p = put(p, ',');
            p = value(item, p);
            if (p == nullptr) return nullptr;
        }
        return put(p, ']');
    }

    // Objects: defined in objects.hpp (reading and writing) and object_order.hpp (the order).
    static bool set_member(Member& m, PyObject* key, PyObject* val);
    [[gnu::noinline]] char* object(PyObject* dict, char* p);
    static bool narrow_key(PyObject* key) noexcept;
    static bool narrow_keys_in_order(const DictItems& items) noexcept;
    template <bool kMany>
    char* members_in_place(const DictItems& items, char* p);
    [[gnu::noinline]] bool large_from_table(const DictItems& items, char*& p);
    template <typename Heads>
    bool sort_keys(const DictItems& items, const StackFrame<SlotKey>& frame, Heads& heads);
    static void retake_heads(SlotKey* first, std::size_t n, std::ptrdiff_t skip) noexcept;
    [[gnu::noinline]] static bool sort_slot_keys(SlotKey* first, std::size_t n,
                                                 std::ptrdiff_t skip) noexcept;
    [[gnu::noinline]] bool sort_wide_keys(const DictItems& items, SlotKey* first, std::size_t done,
                                          const DictSlot* from, const StackFrame<SlotKey>& frame);
    static int compare_slot_keys(const SlotKey& a, const SlotKey& b, std::ptrdiff_t skip) noexcept;
    template <bool kMany>
    char* table_members(const StackFrame<SlotKey>& frame, char* p);
    [[gnu::always_inline]] char* slot_member(const DictSlot* slot, char* p, bool comma);
    [[gnu::noinline]] char* slot_member_apart(const DictSlot* slot, char* p, bool comma);
    [[gnu::noinline]] static bool sort_members(Member* first, std::size_t n);
    static bool sort_narrow_members(Member* first, std::size_t n);
    static bool check_order(const Member* first, std::size_t n);
    char* write_members(const MemberFrame& frame, char* p);

    Sink out_;
    MemberStack members_;
    FrameStack<SlotKey> slot_keys_;
    Nesting nesting_;
};
}  // namespace
}  // namespace kestrim
