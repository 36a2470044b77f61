// The order of an object's members: its keys put in canonical order (UTF-16 code units;
// equal keys refused), read from the dict's table where the interpreter's layout allows, else
// from the members read one by one; members given in order by the C API, checked.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kestrim_substrate/encoder.hpp"
#include "kestrim_substrate/key_order.hpp"

namespace kestrim {
namespace {

// An exact str of 1-byte code units, whose text can be read and compared in place.
inline bool Encoder::narrow_key(PyObject* key) noexcept {
    return PyUnicode_CheckExact(key) && compat::unicode_is_ready(key) &&
           PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND;
}

// Whether the keys are all 1-byte str already in canonical order, as keys often come (objects
// built from canonical text, or built in order): then the members are written as the table
// holds them, with no member stack and no sorting. The check reads only the keys, so that
// when it fails nothing has been written.
inline bool Encoder::narrow_keys_in_order(const DictItems& items) noexcept {
    const Py_UCS1* prev_text = nullptr;
    Py_ssize_t prev_length = 0;
    std::uint64_t prev_head = 0;
    for (const DictSlot* slot = items.begin; slot < items.end; ++slot) {
        if (slot->value == nullptr) continue;
        PyObject* const key = slot->key;
        if (!narrow_key(key)) return false;
        const auto* text = static_cast<const Py_UCS1*>(PyUnicode_DATA(key));
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        const std::uint64_t head = key_head(text, length);
        if (prev_text != nullptr &&
            compare_narrow(prev_head, prev_text, prev_length, head, text, length) >= 0) {
            return false;
        }
        prev_text = text;
        prev_length = length;
        prev_head = head;
    }
    return true;
}

// Sorts a few keys by `order` (-1, 0 or 1), by insertion, as most objects' keys are sorted;
// false if two are equal.
template <typename Order>
bool insert_distinct(SlotKey* first, std::size_t n, const Order& order) {
    for (std::size_t i = 1; i < n; ++i) {
        const SlotKey k = first[i];
        std::size_t j = i;
        int o = -1;
        while (j > 0 && (o = order(k, first[j - 1])) < 0) {
            first[j] = first[j - 1];
            --j;
        }
        if (o == 0) return false;
        first[j] = k;
    }
    return true;
}

// The same for any number of keys: more than a few by std::sort, then a pass for ties.
template <typename Order>
bool sort_distinct(SlotKey* first, std::size_t n, const Order& order) {
    if (n <= kInlineMembers) return insert_distinct(first, n, order);
    std::sort(first, first + n,
              [&order](const SlotKey& a, const SlotKey& b) { return order(a, b) < 0; });
    for (std::size_t i = 1; i < n; ++i) {
        if (order(first[i - 1], first[i]) == 0) return false;
    }
    return true;
}

// Whether the keys are all exact str, as keys nearly always are, when they are not in order
// already. If so, they go to the key stack in canonical order and the members are written
// from the table (see table_members), with no Member to fill for each: 1-byte keys here,
// and from the first wider one on, all of them by sort_wide_keys. Only the keys are read,
// so that when this fails nothing has been written. Heads are KeyHeads for few keys,
// SkippedHeads for many.
template <typename Heads>
inline bool Encoder::sort_keys(const DictItems& items, const StackFrame<SlotKey>& frame,
                               Heads& heads) {
    SlotKey* const first = slot_keys_.extend(static_cast<std::size_t>(items.end - items.begin));
    std::size_t count = 0;
    for (const DictSlot* slot = items.begin; slot < items.end; ++slot) {
        if constexpr (Heads::kMany) {
            if (items.end - slot > static_cast<std::ptrdiff_t>(kMembersAhead))
                prefetch_key(slot[kMembersAhead].key);
        }
        if (slot->value == nullptr) continue;
        PyObject* const key = slot->key;
        if (!narrow_key(key)) {
            // sort_wide_keys widens heads of the keys themselves.
            retake_heads(first, heads.skip() != 0 ? count : heads.stale(), 0);
            return sort_wide_keys(items, first, count, slot, frame);
        }
        first[count++] =
            SlotKey{heads.next(PyUnicode_1BYTE_DATA(key), PyUnicode_GET_LENGTH(key)), slot};
    }
    slot_keys_.truncate(frame.base() + count);
    retake_heads(first, heads.stale(), heads.skip());
    return sort_slot_keys(first, count, heads.skip());
}

// The heads of the first n keys on the stack, taken again `skip` units into the keys.
inline void Encoder::retake_heads(SlotKey* first, std::size_t n, std::ptrdiff_t skip) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* const key = first[i].slot->key;
        first[i].head =
            key_head(PyUnicode_1BYTE_DATA(key) + skip, PyUnicode_GET_LENGTH(key) - skip);
    }
}

// The UTF-16 head (utf16_head) of a ready str's text from code point `skip` on.
inline std::uint64_t utf16_head_from(PyObject* key, Py_ssize_t skip) noexcept {
    const void* const text = PyUnicode_DATA(key);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key) - skip;
    switch (PyUnicode_KIND(key)) {
        case PyUnicode_1BYTE_KIND:
            return utf16_head(static_cast<const Py_UCS1*>(text) + skip, length);
        case PyUnicode_2BYTE_KIND:
            return utf16_head(static_cast<const Py_UCS2*>(text) + skip, length);
        default: return utf16_head(static_cast<const Py_UCS4*>(text) + skip, length);
    }
}

// The code points that all n >= 2 keys on the stack share, counted while at least a wide
// head's worth (kWideHeadUnits), else 0: the wide keys' form of SkippedHeads. It takes a
// pass of its own, the keys being of mixed widths; asked for ahead, their misses overlap.
inline Py_ssize_t shared_code_points(const SlotKey* first, std::size_t n) noexcept {
    PyObject* const lead = first[0].slot->key;
    const int lead_kind = PyUnicode_KIND(lead);
    const void* const lead_text = PyUnicode_DATA(lead);
    Py_ssize_t prefix = PyUnicode_GET_LENGTH(lead);
    for (std::size_t i = 1; i < n && prefix >= kWideHeadUnits; ++i) {
        if (i + kMembersAhead < n) prefetch_key(first[i + kMembersAhead].slot->key);
        PyObject* const key = first[i].slot->key;
        const int kind = PyUnicode_KIND(key);
        const void* const text = PyUnicode_DATA(key);
        const Py_ssize_t limit = std::min(prefix, PyUnicode_GET_LENGTH(key));
        Py_ssize_t k = 0;
        while (k < limit &&
               PyUnicode_READ(kind, text, k) == PyUnicode_READ(lead_kind, lead_text, k)) {
            ++k;
        }
        prefix = k;
    }
    return prefix >= kWideHeadUnits ? prefix : 0;
}

// The keys of a dict whose keys are all exact str, some wider than 1 byte (a name in another
// script among ASCII ones, as in a third of a multilingual log's records): on the key stack in
// canonical order as sort_keys puts narrow ones, by heads of their UTF-16 units, so that one
// such key does not send its whole object to the general path. The first `done` keys, up to
// the slot `from`, are 1-byte ones whose narrow heads sort_keys has put on the stack; the
// stack has room for every slot. Only keys are read; false if a key is not an exact str that
// can be read in place, or if two have equal text (see sort_slot_keys).
[[gnu::noinline]] bool Encoder::sort_wide_keys(const DictItems& items, SlotKey* first,
                                               std::size_t done, const DictSlot* from,
                                               const StackFrame<SlotKey>& frame) {
    for (std::size_t i = 0; i < done; ++i) first[i].head = widen_head(first[i].head);
    std::size_t n = done;
    const bool many = items.end - items.begin > static_cast<std::ptrdiff_t>(kInlineMembers);
    for (const DictSlot* slot = from; slot < items.end; ++slot) {
        if (many && items.end - slot > static_cast<std::ptrdiff_t>(kMembersAhead))
            prefetch_key(slot[kMembersAhead].key);
        if (slot->value == nullptr) continue;
        PyObject* const key = slot->key;
        if (!PyUnicode_CheckExact(key) || !compat::unicode_is_ready(key)) return false;
        first[n++] = SlotKey{utf16_head_from(key, 0), slot};
    }
    slot_keys_.truncate(frame.base() + n);
    // Many keys with a long shared prefix (a catalogue's "msg.", say): heads past it, as
    // SkippedHeads gives them for 1-byte keys.
    const Py_ssize_t skip = n > kInlineMembers ? shared_code_points(first, n) : 0;
    if (skip > 0) {
        for (std::size_t i = 0; i < n; ++i)
            first[i].head = utf16_head_from(first[i].slot->key, skip);
    }
    const auto order = [skip](const SlotKey& a, const SlotKey& b) {
        if (a.head != b.head) return a.head < b.head ? -1 : 1;
        PyObject* const x = a.slot->key;
        PyObject* const y = b.slot->key;
        const Py_ssize_t nx = PyUnicode_GET_LENGTH(x) - skip;
        const Py_ssize_t ny = PyUnicode_GET_LENGTH(y) - skip;
        const int kx = PyUnicode_KIND(x);
        const int ky = PyUnicode_KIND(y);
        // Most ties are two 1-byte keys that begin with the same word: past the four units
        // the heads share, their narrow heads tell them apart.
        if (kx == PyUnicode_1BYTE_KIND && ky == PyUnicode_1BYTE_KIND && nx >= 4 && ny >= 4) {
            const Py_UCS1* const tx = PyUnicode_1BYTE_DATA(x) + skip + 4;
            const Py_UCS1* const ty = PyUnicode_1BYTE_DATA(y) + skip + 4;
            return compare_narrow(key_head(tx, nx - 4), tx, nx - 4, key_head(ty, ny - 4), ty,
                                  ny - 4);
        }
        return compare_text(static_cast<const char*>(PyUnicode_DATA(x)) + skip * kx, kx, nx,
                            static_cast<const char*>(PyUnicode_DATA(y)) + skip * ky, ky, ny);
    };
    return sort_distinct(first, n, order);
}

// Puts the keys, their heads taken `skip` units in, in canonical order; false if two have
// equal text. Exact str keys of one dict never do: the dict would hold them as one. Should
// it happen all the same, the general path reports it.
[[gnu::noinline]] bool Encoder::sort_slot_keys(SlotKey* first, std::size_t n,
                                               std::ptrdiff_t skip) noexcept {
    return sort_distinct(first, n, [skip](const SlotKey& a, const SlotKey& b) {
        return compare_slot_keys(a, b, skip);
    });
}

// Heads (taken `skip` units into keys that all share those units) first, so that a key's
// text is looked up only on a tie.
inline int Encoder::compare_slot_keys(const SlotKey& a, const SlotKey& b,
                                      std::ptrdiff_t skip) noexcept {
    if (a.head != b.head) return a.head < b.head ? -1 : 1;
    PyObject* const x = a.slot->key;
    PyObject* const y = b.slot->key;
    return compare_narrow(a.head, PyUnicode_1BYTE_DATA(x) + skip, PyUnicode_GET_LENGTH(x) - skip,
                          b.head, PyUnicode_1BYTE_DATA(y) + skip, PyUnicode_GET_LENGTH(y) - skip);
}

// Sorts by key; keys with equal text are refused. Distinct dict keys can still have equal
// text: str subclasses with their own __eq__/__hash__.
[[gnu::noinline]] bool Encoder::sort_members(Member* first, std::size_t n) {
    if (n <= kInlineMembers) {
        // Insertion sort compares every key with its final left neighbour, so it finds
        // equal keys on the way.
        for (std::size_t i = 1; i < n; ++i) {
            std::size_t j = i;
            int order = -1;
            while (j > 0 && (order = compare_keys(first[i], first[j - 1])) < 0) --j;
            if (order == 0) return duplicate_key(first[i].key);
            if (j < i) std::rotate(first + j, first + i, first + i + 1);
        }
        return true;
    }
    if (std::all_of(first, first + n,
                    [](const Member& m) { return m.kind == PyUnicode_1BYTE_KIND; })) {
        return sort_narrow_members(first, n);
    }
    std::sort(first, first + n,
              [](const Member& a, const Member& b) { return compare_keys(a, b) < 0; });
    for (std::size_t i = 1; i < n; ++i) {
        if (compare_keys(first[i - 1], first[i]) == 0) return duplicate_key(first[i].key);
    }
    return true;
}

// Many members whose keys are all 1-byte text: as sort_slot_keys sorts keys read in place,
// with heads past a long shared prefix.
bool Encoder::sort_narrow_members(Member* first, std::size_t n) {
    const auto text_of = [](const Member& m) { return static_cast<const std::uint8_t*>(m.text); };
    SkippedHeads heads(kHeadUnits);
    for (std::size_t i = 0; i < n; ++i)
        first[i].head = heads.next(text_of(first[i]), first[i].length);
    const std::ptrdiff_t skip = heads.skip();
    for (std::size_t i = 0; i < heads.stale(); ++i) {
        first[i].head = key_head(text_of(first[i]) + skip, first[i].length - skip);
    }
    const auto order = [skip](const Member& a, const Member& b) {
        return compare_narrow(a.head, static_cast<const std::uint8_t*>(a.text) + skip,
                              a.length - skip, b.head,
                              static_cast<const std::uint8_t*>(b.text) + skip, b.length - skip);
    };
    std::sort(first, first + n,
              [&order](const Member& a, const Member& b) { return order(a, b) < 0; });
    for (std::size_t i = 1; i < n; ++i) {
        if (order(first[i - 1], first[i]) == 0) return duplicate_key(first[i].key);
    }
    return true;
}

// Members given in order must be: strictly increasing keys.
inline bool Encoder::check_order(const Member* first, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        const int order = compare_keys(first[i - 1], first[i]);
        if (order == 0) return duplicate_key(first[i].key);
        if (order > 0) {
            PyErr_Format(PyExc_ValueError, "object key '%U' is out of canonical order",
                         first[i].key);
            return false;
        }
    }
    return true;
}
}  // namespace
}  // namespace kestrim
