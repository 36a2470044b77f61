// Objects: their members read from the dict (in place where the interpreter's layout
// allows) and written in canonical order (see object_order.hpp for the order); members given
// in order by the C API; member names prepared once.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "kestrim_substrate/encoder.hpp"
#include "kestrim_substrate/object_order.hpp"

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
