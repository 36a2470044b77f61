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
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>  // std::char_traits
#include <utility>

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

// Bit n set: some field's name has n characters.
constexpr std::uint64_t kNameLengths = [] {
    std::uint64_t lengths = 0;
    for (std::size_t length : kNameLength) lengths |= std::uint64_t{1} << length;
    return lengths;
}();
static_assert([] {
    for (std::size_t length : kNameLength) {
        if (length >= 64) return false;
    }
    return true;
}());

// `likely` is the position tried first: keys mostly come in the table's order.
inline int field_named_by(PyObject* key, PyObject* const (&names)[kFieldCount],
                          int likely) noexcept {
    // Keys written in source are the interned names themselves; keys a parser made are not.
    if (likely < kFieldCount && key == names[likely]) return likely;
    for (int f = 0; f < kFieldCount; ++f) {
        if (key == names[f]) return f;
    }
    if (!compat::unicode_is_ready(key)) return kUnknownKey;
    // Every field name is ASCII, so no other key has the text of one; nor has a key of a
    // length no name has (a note, say).
    if (!PyUnicode_IS_ASCII(key)) return kNoField;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    if (length >= 64 || (kNameLengths >> length & 1) == 0) return kNoField;
    const void* text = PyUnicode_DATA(key);
    for (int f = 0; f < kFieldCount; ++f) {
        if (kNameLength[f] == length && std::memcmp(kFieldRows[f].name, text, length) == 0) {
            return f;
        }
    }
    return kNoField;
}

// An exact int's value, where it fits in 64 bits: natively where the interpreter's storage
// allows (compat::small_int), else through the public conversion. Larger ints are not plain.
inline bool exact_int_value(PyObject* value, long long& out) noexcept {
    if (!PyLong_CheckExact(value)) return false;
    std::uint64_t magnitude;
    bool negative;
    if (compat::small_int(value, magnitude, negative)) {
        if (magnitude > static_cast<std::uint64_t>(LLONG_MAX)) return false;
        out = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
        return true;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0;  // no error is possible for an exact int
}

// A str made ready, whose length is read without a call.
inline bool is_ready_text(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) && compat::unicode_is_ready(value);
}

// Whether the general reading's comparison of the times would find the depth it takes (it
// compares through the interpreter, one level deeper than the rules run). Asked where the
// rules would compare, before reading envelopes in one pass: at the depth limit, the general
// reading must take them and raise in its place. Leaves no exception set.
inline bool comparison_depth_left() noexcept {
    if (Py_EnterRecursiveCall(" in comparison") != 0) {
        PyErr_Clear();
        return false;
    }
    Py_LeaveRecursiveCall();
    return true;
}

// What one pass over an envelope found.
enum class Reading {
    // Anything the pass cannot read without the caller's code: the general reading takes it.
    kGeneral,
    // Plain in form (an exact dict, its keys exact str, each field absent or an exact str or
    // int) but a rule is broken. The general reading reports which; the values found stand in
    // for its lookups, which would find the same and run nothing: its checks of such values
    // run no code of the caller's before the first broken rule is raised.
    kBroken,
    // Plain, every rule kept.
    kPlain,
};

// A field's value as far as plain form goes: kGeneral for a value the general reading must
// test through the interpreter, else whether the rule holds. A time's value is kept for the
// order rules.
inline Reading plain_value(Kind kind, PyObject* value, long long& time) noexcept {
    const auto holds = [](bool kept) { return kept ? Reading::kPlain : Reading::kBroken; };
    if (value == nullptr) return Reading::kBroken;  // None is read: no rule admits it
    switch (kind) {
        case Kind::kText:
            if (!is_ready_text(value)) return Reading::kGeneral;
            return holds(PyUnicode_GET_LENGTH(value) != 0);
        case Kind::kTime:
            if (!exact_int_value(value, time)) return Reading::kGeneral;
            return holds(time >= 0);
        case Kind::kRef:
            if (!is_ready_text(value)) return Reading::kGeneral;
            if (PyUnicode_GET_LENGTH(value) == 0) return Reading::kPlain;
            return holds(PyUnicode_IS_ASCII(value) &&
                         has_ref_shape(static_cast<const unsigned char*>(PyUnicode_DATA(value)),
                                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))));
    }
    return Reading::kGeneral;
}

// What the values found say, each field's check chosen when this is compiled. Every value's
// form counts first: a broken rule is only known to be reported without the caller's code
// once no value needs the general tests. Then the order rules compare exact ints, by value
// (the caller has made sure of the depth the general reading's comparison would take: see
// comparison_depth_left).
template <int... F>
inline Reading values_reading(PyObject* const (&values)[kFieldCount],
                              std::integer_sequence<int, F...>) noexcept {
    long long times[kFieldCount] = {};
    const Reading fields[] = {plain_value(kFieldRows[F].kind, values[F], times[F])...};
    bool general = false;
    bool broken = false;
    for (const Reading field : fields) {
        general |= field == Reading::kGeneral;
        broken |= field == Reading::kBroken;
    }
    if (general) return Reading::kGeneral;
    const auto in_order = [&](int f) {
        const int earlier = kFieldRows[f].greater_than;
        return earlier == kNoOrder || !values[f] || !values[earlier] || times[f] > times[earlier];
    };
    broken |= !(in_order(F) && ...);
    return broken ? Reading::kBroken : Reading::kPlain;
}

// Reads `envelope` in one pass, the caller having made sure of comparison_depth_left() at
// the depth the rules run at. Unless the answer is kGeneral, `values` holds the six values
// by read position, borrowed from the envelope: null for an absent field, `empty` for an
// absent ref field (what `get` gives with its default). The ref field's shape is tested
// natively, so the caller must know that the pattern in force is the genuine one.
inline Reading read_plain_envelope(PyObject* envelope, PyObject* const (&names)[kFieldCount],
                                   PyObject* empty, PyObject* (&values)[kFieldCount]) noexcept {
    if (!PyDict_CheckExact(envelope) || PyDict_GET_SIZE(envelope) > kPlainMaxKeys) {
        return Reading::kGeneral;
    }
    for (PyObject*& value : values) value = nullptr;
    // Every key is read, not just the fields: one key that is not an exact str could have the
    // hash of a field name, and then a lookup would run its __eq__.
    int likely = 0;
    const auto take = [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_CheckExact(key)) return false;
        const int f = field_named_by(key, names, likely);
        if (f == kUnknownKey) return false;
        if (f != kNoField) {
            values[f] = value;
            likely = f + 1;
        }
        return true;
    };
    const compat::DictItems items = compat::dict_items(envelope);
    if (items.readable()) {
        for (const compat::DictSlot* slot = items.begin; slot != items.end; ++slot) {
            if (slot->value != nullptr && !take(slot->key, slot->value)) return Reading::kGeneral;
        }
    } else {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(envelope, &position, &key, &value)) {
            if (!take(key, value)) return Reading::kGeneral;
        }
    }
    if (values[kPrevRef] == nullptr) values[kPrevRef] = empty;
    return values_reading(values, std::make_integer_sequence<int, kFieldCount>{});
}

// ---- asking ahead for what the pass reads ----------------------------------------------------
// A long chain's links lie all over the heap, and the pass, which reads a link's dict, then
// its table, then its values, would wait on each in turn. Asked for some links ahead, in three
// steps of which each reads only what the step before asked for, the waits overlap. Asking
// reads no more than the pass itself would, runs nothing and changes nothing.

// The first step: the dict itself.
inline void ask_for_dict(PyObject* obj) noexcept { __builtin_prefetch(obj); }

// The second: a small dict's whole table (its head, its index and its entries), whatever the
// table's layout in this version.
inline void ask_for_table(PyObject* obj) noexcept {
    if (!PyDict_CheckExact(obj) || PyDict_GET_SIZE(obj) > kPlainMaxKeys) return;
    const auto* table =
        reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(obj)->ma_keys);
    for (int line = 0; line < 4; ++line) __builtin_prefetch(table + 64 * line);
}

// The third: the values, each with the line after its head (a ref's digits reach into it),
// where the table can be read in place.
inline void ask_for_values(PyObject* obj) noexcept {
    if (!PyDict_CheckExact(obj) || PyDict_GET_SIZE(obj) > kPlainMaxKeys) return;
    const compat::DictItems items = compat::dict_items(obj);
    for (const compat::DictSlot* slot = items.begin; slot != items.end; ++slot) {
        __builtin_prefetch(slot->value);
        __builtin_prefetch(reinterpret_cast<const char*>(slot->value) + 64);
    }
}

}  // namespace kestrim::delegation
