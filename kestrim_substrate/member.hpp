// Object members while their object is written, and the order of two members' keys by
// whatever width their text is stored in. Also the layout behind the C API's prepared
// member names.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"

#include <cstddef>
#include <cstdint>

#include "kestrim_substrate/buffers.hpp"
#include "kestrim_substrate/key_order.hpp"

// Member names encoded once (see prepare_members in jcs_capi.hpp). Handles are never freed,
// as the C API promises; they are chained from a global so that leak checkers see them held.
struct KestrimJcsMembers {
    const KestrimJcsMembers* next;
    Py_ssize_t count;
    // Piece i runs from ends[i - 1] (0 for the first) to ends[i], for i in 0..count: piece 0
    // is `{"k0":`, piece i is `,"ki":`, the last is `}`; with no members, the one piece is `{}`.
    const std::size_t* ends;
    // Followed by 8 readable bytes, so pieces can be copied a word at a time.
    const char* text;
};

namespace kestrim {
namespace {

using compat::DictItems;
using compat::DictSlot;

// An object member while its object is written. Borrowed references (see Encoder::object);
// text/length/kind describe the key's code units for sorting.
struct Member {
    PyObject* key;
    PyObject* value;
    const void* text;
    Py_ssize_t length;
    // For 1-byte keys, the first 8 code units big-endian, zeros past the end: as integers,
    // heads order as the keys do wherever they differ (see compare_keys).
    std::uint64_t head;
    int kind;
    // A compact ASCII key, written straight from text.
    bool ascii;
};

// A 1-byte exact str key of a dict read in place (see DictItems), and the head of its text
// (see Member::head), while its object is written.
struct SlotKey {
    std::uint64_t head;
    const DictSlot* slot;
};

using MemberStack = FrameStack<Member>;
using MemberFrame = StackFrame<Member>;

template <typename A>
int compare_with(const A* a, Py_ssize_t na, const Member& b) noexcept {
    switch (b.kind) {
        case PyUnicode_1BYTE_KIND:
            return compare_units(a, na, static_cast<const Py_UCS1*>(b.text), b.length);
        case PyUnicode_2BYTE_KIND:
            return compare_units(a, na, static_cast<const Py_UCS2*>(b.text), b.length);
        default: return compare_units(a, na, static_cast<const Py_UCS4*>(b.text), b.length);
    }
}

inline int compare_keys(const Member& a, const Member& b) noexcept {
    if (a.kind == PyUnicode_1BYTE_KIND && b.kind == PyUnicode_1BYTE_KIND) {
        return compare_narrow(a.head, static_cast<const Py_UCS1*>(a.text), a.length, b.head,
                              static_cast<const Py_UCS1*>(b.text), b.length);
    }
    switch (a.kind) {
        case PyUnicode_1BYTE_KIND:
            return compare_with(static_cast<const Py_UCS1*>(a.text), a.length, b);
        case PyUnicode_2BYTE_KIND:
            return compare_with(static_cast<const Py_UCS2*>(a.text), a.length, b);
        default: return compare_with(static_cast<const Py_UCS4*>(a.text), a.length, b);
    }
}

}  // namespace
}  // namespace kestrim
