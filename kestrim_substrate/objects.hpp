// Objects: their members read from the dict (in place where the interpreter's layout
// allows), put in canonical order (UTF-16 code units of the keys; equal keys refused) and
// written; members given in order by the C API, checked; member names prepared once.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "kestrim_substrate/encoder.hpp"

namespace kestrim {
namespace {

// An object given as members whose keys are already in canonical order.
inline char* Encoder::sorted_members(PyObject* const* keys, PyObject* const* values, Py_ssize_t n,
                                     char* p) {
    DepthGuard guard(nesting_);
    if (!guard.enter()) return nullptr;
    MemberFrame frame(members_);
    Member* const first = members_.extend(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!set_member(first[i], keys[i], values[i])) return nullptr;
    }
    if (!check_order(first, static_cast<std::size_t>(n))) return nullptr;
    return write_members(frame, p);
}

// The text around the values of an object with these keys (see KestrimJcsMembers), as
// sorted_members checks and writes it, from the start of the buffer; the end of each
// piece goes to ends.
inline char* Encoder::member_pieces(PyObject* const* keys, Py_ssize_t n,
                                    std::vector<std::size_t>& ends) {
    MemberFrame frame(members_);
    Member* const first = members_.extend(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!set_member(first[i], keys[i], nullptr)) return nullptr;
    }
    if (!check_order(first, static_cast<std::size_t>(n))) return nullptr;
    char* p = put(out_.start(), '{');
    for (Py_ssize_t i = 0; i < n; ++i) {
        p = string(keys[i], p, true, i > 0);
        if (p == nullptr) return nullptr;
        ends.push_back(static_cast<std::size_t>(p - out_.data()));
    }
    p = put(p, '}');
    ends.push_back(static_cast<std::size_t>(p - out_.data()));
    return p;
}

// The object of prepared members with these values. A level of nesting, as the dict
// it stands for would be.
inline char* Encoder::prepared(const KestrimJcsMembers& members, PyObject* const* values, char* p) {
    DepthGuard guard(nesting_);
    if (!guard.enter()) return nullptr;
    std::size_t start = 0;
    for (Py_ssize_t i = 0;; ++i) {
        const std::size_t n = members.ends[i] - start;
        p = out_.room(p, n + kScratch);
        // Pieces are followed by kScratch readable bytes: copied by words.
        for (std::size_t k = 0; k < n; k += 8) std::memcpy(p + k, members.text + start + k, 8);
        p += n;
        if (i == members.count) return p;
        start = members.ends[i];
        p = value(values[i], p);
        if (p == nullptr) return nullptr;
        out_.feed(p);
    }
}

inline bool Encoder::set_member(Member& m, PyObject* key, PyObject* val) {
    if (!PyUnicode_CheckExact(key) && !PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "keys must be str, not %.200s", Py_TYPE(key)->tp_name);
        return false;
    }
    m.key = key;
    m.value = val;
    m.ascii = PyUnicode_IS_COMPACT_ASCII(key);
    if (m.ascii) {
        m.text = compat::compact_ascii_text(key);
        m.length = PyUnicode_GET_LENGTH(key);
        m.kind = PyUnicode_1BYTE_KIND;
    } else {
        if (compat::unicode_ready(key) < 0) return false;
        m.text = PyUnicode_DATA(key);
        m.length = PyUnicode_GET_LENGTH(key);
        m.kind = PyUnicode_KIND(key);
    }
    if (m.kind == PyUnicode_1BYTE_KIND)
        m.head = key_head(static_cast<const Py_UCS1*>(m.text), m.length);
    return true;
}

// dict subclasses too are read through the dict API, as their stored items.
//
// Keys, values and list items are held by borrowed references, and so are the containers
// below the argument. That is safe because nothing can release them while we write:
// their owners (this dict, those lists) change only if code runs that is not ours, and
// none does. Subclasses are read by their stored value; keys are compared natively; the
// only allocations on the way are of our own buffers and of the ready form of a legacy
// str, none of which can start a garbage collection, so no finaliser runs. Only raising
// an exception can collect (and run finalisers), and after raising every path returns at
// once without touching a borrowed reference again.
[[gnu::noinline]] char* Encoder::object(PyObject* dict, char* p) {
    DepthGuard guard(nesting_);
    if (!guard.enter()) return nullptr;
    const DictItems items = compat::dict_items(dict);
    if (items.readable()) {
        // In a large document, the keys and values of nested objects are scattered over the
        // heap (keys made at run time are not shared), and reading each is a cache miss more
        // often than not. All asked for at once, the misses overlap instead of coming one
        // after another as keys are checked and values written. Not for the outermost object:
        // the caller has usually just built or touched it, and there the requests only cost
        // (about 8 ns on the six-field object).
        if (nesting_.depth > 1) {
            const DictSlot* const end = std::min(items.end, items.begin + kAskedAtOnce);
            for (const DictSlot* slot = items.begin; slot < end; ++slot) {
                __builtin_prefetch(slot->key);
                if (slot->value != nullptr) prefetch_value(slot->value);
            }
        }
        if (items.end - items.begin > static_cast<std::ptrdiff_t>(kInlineMembers)) {
            if (large_from_table(items, p)) return p;
        } else {
            if (narrow_keys_in_order(items)) return members_in_place<false>(items, p);
            StackFrame<SlotKey> keys(slot_keys_);
            KeyHeads heads;
            if (sort_keys(items, keys, heads)) return table_members<false>(keys, p);
        }
    }
    MemberFrame frame(members_);
    // As many members as the dict has, the dict being unchanged.
    const auto n = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
    Member* const first = members_.extend(n);
    std::size_t count = 0;
    if (items.readable()) {
        const bool many = n > kInlineMembers;
        for (const DictSlot* slot = items.begin; slot < items.end && count < n; ++slot) {
            if (many && items.end - slot > static_cast<std::ptrdiff_t>(kMembersAhead))
                prefetch_key(slot[kMembersAhead].key);
            if (slot->value == nullptr) continue;
            prefetch_value(slot->value);
            if (!set_member(first[count++], slot->key, slot->value)) return nullptr;
        }
    } else {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* val;
        while (count < n && PyDict_Next(dict, &pos, &key, &val)) {
            if (!set_member(first[count++], key, val)) return nullptr;
        }
    }
    members_.truncate(frame.base() + count);
    if (!sort_members(first, count)) return nullptr;
    return write_members(frame, p);
}

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

// A large object written from its table as object() writes a small one, with its members
// asked for some way ahead of the one being read (kMembersAhead) and its keys sorted by heads
// past the prefix they share (SkippedHeads): apart from object(), so that the code for small
// objects, nearly all of them, stays as compact as it was. False if the members must be read
// one by one instead; else p is the end of what was written, or null with an exception set.
[[gnu::noinline]] bool Encoder::large_from_table(const DictItems& items, char*& p) {
    if (narrow_keys_in_order(items)) {
        p = members_in_place<true>(items, p);
        return true;
    }
    StackFrame<SlotKey> keys(slot_keys_);
    SkippedHeads heads(kHeadUnits);
    if (!sort_keys(items, keys, heads)) return false;
    p = table_members<true>(keys, p);
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

template <bool kMany>
inline char* Encoder::members_in_place(const DictItems& items, char* p) {
    p = put(p, '{');
    bool comma = false;
    const bool nested = nesting_.depth > 1;
    if (nested && items.end - items.begin > 1 && items.begin[1].value != nullptr)
        prefetch_inside(items.begin[1].value);
    for (const DictSlot* slot = items.begin; slot < items.end; ++slot) {
        if (kMany && items.end - slot > static_cast<std::ptrdiff_t>(kMembersAhead)) {
            prefetch_key(slot[kMembersAhead].key);
            if (slot[kMembersAhead].value != nullptr) prefetch_value(slot[kMembersAhead].value);
        }
        if (slot->value == nullptr) continue;
        if (nested && slot + 1 < items.end && slot[1].value != nullptr) {
            if (slot + 2 < items.end && slot[2].value != nullptr) prefetch_inside(slot[2].value);
            prefetch_members(slot[1].value);
        }
        p = kMany ? slot_member_apart(slot, p, comma) : slot_member(slot, p, comma);
        if (p == nullptr) return nullptr;
        comma = true;
    }
    return put(p, '}');
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

// The members of the keys sort_keys has ordered, from the dict's table.
template <bool kMany>
inline char* Encoder::table_members(const StackFrame<SlotKey>& frame, char* p) {
    p = put(p, '{');
    const std::size_t count = frame.count();
    const bool nested = nesting_.depth > 1;
    if (nested && count > 1) prefetch_inside(slot_keys_[frame.base() + 1].slot->value);
    for (std::size_t i = 0; i < count; ++i) {
        // Sorted, a large object's members are read all over its table: each one's slot is
        // asked for, then, once that is in, its key and value.
        if (kMany && i + 2 * kMembersAhead < count)
            __builtin_prefetch(slot_keys_[frame.base() + i + 2 * kMembersAhead].slot);
        if (kMany && i + kMembersAhead < count) {
            const DictSlot* const ahead = slot_keys_[frame.base() + i + kMembersAhead].slot;
            prefetch_key(ahead->key);
            prefetch_value(ahead->value);
        }
        // Indexed afresh each time: nested objects may move the key stack.
        if (nested && i + 1 < count) {
            if (i + 2 < count) prefetch_inside(slot_keys_[frame.base() + i + 2].slot->value);
            prefetch_members(slot_keys_[frame.base() + i + 1].slot->value);
        }
        const DictSlot* const slot = slot_keys_[frame.base() + i].slot;
        p = kMany ? slot_member_apart(slot, p, i > 0) : slot_member(slot, p, i > 0);
        if (p == nullptr) return nullptr;
    }
    return put(p, '}');
}

// The member in a table slot, then whole blocks to the hash. Inlined by force, as value()
// is: each object's loop over its members is where a document's time goes. A large object's
// loop calls it (slot_member_apart), waiting on memory more than on the call, so that the
// code inlined for large objects does not crowd out the inlining that small ones rely on.
[[gnu::noinline]] char* Encoder::slot_member_apart(const DictSlot* slot, char* p, bool comma) {
    return slot_member(slot, p, comma);
}

inline char* Encoder::slot_member(const DictSlot* slot, char* p, bool comma) {
    p = string(slot->key, p, true, comma);
    if (p == nullptr) return nullptr;
    p = value(slot->value, p);
    if (p != nullptr) out_.feed(p);
    return p;
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

inline char* Encoder::write_members(const MemberFrame& frame, char* p) {
    p = put(p, '{');
    const std::size_t count = frame.count();
    const bool many = count > kInlineMembers;
    for (std::size_t i = 0; i < count; ++i) {
        // Indexed afresh each time: nested objects may move the member stack.
        if (nesting_.depth > 1 && i + 1 < count)
            prefetch_inside(members_[frame.base() + i + 1].value);
        if (many && i + kMembersAhead < count) {
            const Member& ahead = members_[frame.base() + i + kMembersAhead];
            __builtin_prefetch(ahead.text);
            prefetch_value(ahead.value);
        }
        const Member& m = members_[frame.base() + i];
        PyObject* const val = m.value;
        p = m.ascii && m.length <= kSliceUnits
                ? ascii_string(static_cast<const Py_UCS1*>(m.text),
                               static_cast<std::size_t>(m.length), p, true, i > 0)
                : string(m.key, p, true, i > 0);
        if (p == nullptr) return nullptr;
        p = value(val, p);
        if (p == nullptr) return nullptr;
        out_.feed(p);
    }
    return put(p, '}');
}
}  // namespace
}  // namespace kestrim
