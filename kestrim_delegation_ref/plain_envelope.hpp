// An envelope read in one pass: an exact dict whose keys are all exact str, and whose six
// fields keep their rules as exact str and int. Reading such an envelope runs no code of the
// caller's (no `get`, no `__eq__` or `__hash__` of a key, no `__bool__` or `__lt__` of a
// value) and allocates nothing, so the reading can be done early, or again, or be skipped,
// and no caller could tell. Anything else is answered "not plain", and the rules read it the
// general way, which also finds and reports what is wrong with it.
//
// This is what lets the rules hash an envelope without the six lookups and the general tests,
// and lets a chain's links be read ahead and hashed side by side.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstring>
#include <string>  // std::char_traits

#include "common/compat.hpp"
#include "kestrim_delegation_ref/envelope_fields.hpp"
#include "kestrim_delegation_ref/ref_shape.hpp"

namespace kestrim::delegation {

// The most keys read in one pass. Past that, six lookups cost less than the pass, and a dict
// so large is not a plain envelope anyway.
constexpr Py_ssize_t kPlainMaxKeys = 16;

// The read position of the field an exact str key names, kNoField for a key that names none,
// or kUnknownKey for one whose text cannot be read without making it ready (a str made by the
// legacy C API before 3.12), which would be an allocation.
constexpr int kNoField = -1;
constexpr int kUnknownKey = -2;

// The length of each field's name, by read position.
constexpr std::array<std::size_t, kFieldCount> kNameLength = [] {
    std::array<std::size_t, kFieldCount> lengths{};
    for (int f = 0; f < kFieldCount; ++f) {
        lengths[f] = std::char_traits<char>::length(kFieldRows[f].name);
    }
    return lengths;
}();

inline int field_named_by(PyObject* key, PyObject* const (&names)[kFieldCount]) noexcept {
    // Keys written in source are the interned names themselves; keys a parser made are not.
    for (int f = 0; f < kFieldCount; ++f) {
        if (key == names[f]) return f;
    }
    if (!compat::unicode_is_ready(key)) return kUnknownKey;
    // Every field name is ASCII, so no other key has the text of one.
    if (!PyUnicode_IS_ASCII(key)) return kNoField;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    const void* text = PyUnicode_DATA(key);
    for (int f = 0; f < kFieldCount; ++f) {
        if (kNameLength[f] == length && std::memcmp(kFieldRows[f].name, text, length) == 0) {
            return f;
        }
    }
    return kNoField;
}

// A str made ready, whose length is read without a call.
inline bool is_ready_text(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) && compat::unicode_is_ready(value);
}

// The rule of a field, for exact str and int values only; false for anything else, including
// a value that would break the rule (the general reading then reports it).
inline bool plain_value_holds(Kind kind, PyObject* value) noexcept {
    switch (kind) {
        case Kind::kText:
            return is_ready_text(value) && PyUnicode_GET_LENGTH(value) != 0;
        case Kind::kTime:
            return PyLong_CheckExact(value) && compat::long_sign(value) >= 0;
        case Kind::kRef:
            if (!is_ready_text(value)) return false;
            if (PyUnicode_GET_LENGTH(value) == 0) return true;
            return PyUnicode_IS_ASCII(value) &&
                   has_ref_shape(static_cast<const unsigned char*>(PyUnicode_DATA(value)),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
    }
    return false;
}

// Reads `envelope` in one pass if it is plain: `values` then holds the six values by read
// position (borrowed from the envelope, or `empty` for an absent ref field), each keeping its
// field's rules. The ref field's shape is tested natively, so the caller must know that the
// pattern in force is the genuine one.
inline bool read_plain_envelope(PyObject* envelope, PyObject* const (&names)[kFieldCount],
                                PyObject* empty, PyObject* (&values)[kFieldCount]) noexcept {
    if (!PyDict_CheckExact(envelope) || PyDict_GET_SIZE(envelope) > kPlainMaxKeys) return false;
    for (PyObject*& value : values) value = nullptr;
    // Every key is read, not just the fields: one key that is not an exact str could have the
    // hash of a field name, and then a lookup would run its __eq__.
    const auto take = [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_CheckExact(key)) return false;
        const int f = field_named_by(key, names);
        if (f == kUnknownKey) return false;
        if (f != kNoField) values[f] = value;
        return true;
    };
    const compat::DictItems items = compat::dict_items(envelope);
    if (items.readable()) {
        for (const compat::DictSlot* slot = items.begin; slot != items.end; ++slot) {
            if (slot->value != nullptr && !take(slot->key, slot->value)) return false;
        }
    } else {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(envelope, &position, &key, &value)) {
            if (!take(key, value)) return false;
        }
    }
    if (values[kPrevRef] == nullptr) values[kPrevRef] = empty;
    for (int f = 0; f < kFieldCount; ++f) {
        if (values[f] == nullptr || !plain_value_holds(kFieldRows[f].kind, values[f])) {
            return false;
        }
    }
    // The order rules compare exact ints, by value, with no code of the caller's. The
    // comparison takes one level of depth, as the general reading's does: made where the
    // rules would compare, it meets the depth limit where they would, and that refusal is
    // left to the general reading to raise.
    for (int f = 0; f < kFieldCount; ++f) {
        const int earlier = kFieldRows[f].greater_than;
        if (earlier == kNoOrder) continue;
        const int greater = PyObject_RichCompareBool(values[f], values[earlier], Py_GT);
        if (greater != 1) {
            if (greater < 0) PyErr_Clear();
            return false;
        }
    }
    return true;
}

}  // namespace kestrim::delegation
