// The envelope's fields: one row each, in the order they are read and validated. Everything
// else about a field (its interned name, its messages, `_FIELDS`, the order in which the
// hashed object is built) is made from this table, so a field's rule reads in one row.
//
// No Python.h: the table is plain data, checked at compile time.
#pragma once

#include <cstddef>

namespace kestrim::delegation {

// How a field is checked (the checks themselves are in field_rules.hpp).
enum class Kind : unsigned char {
    kText,  // a str instance whose truth value is true
    kTime,  // an int instance, not a bool, not below zero (integer milliseconds)
    kRef,   // read with "" as default; "" passes, anything else must match `_REF_RE`
};

struct FieldRow {
    const char* name;
    Kind kind;
    // The message when the field's own rule is broken: the name, then this.
    const char* rule;
    // For a field that must be greater than an earlier one: that field's read position and
    // the message (the name, then this) when it is not. Checked once the field is stored.
    int greater_than;
    const char* order_rule;
};

constexpr int kNoOrder = -1;

// Read positions, for the few places that name one field; checked against the rows below.
enum Field { kDelegatorId, kDelegateId, kScope, kNotBeforeMs, kNotAfterMs, kPrevRef };

// What each kind of field must be, as its message says it after the field's name. A kind's
// check is one function in field_rules.hpp, next to the others.
constexpr const char kTextRule[] = " must be a non-empty string";
constexpr const char kTimeRule[] = " must be a non-negative integer (integer-millisecond)";
constexpr const char kRefRule[] = " must be \"\" or a \"sha256:\"-prefixed 64-hex ref";

// Read order. The order of the rows is the order of validation, so the first broken rule
// is the one reported, and the order of the normalised envelope's keys.
constexpr FieldRow kFieldRows[] = {
    {"delegator_id", Kind::kText, kTextRule, kNoOrder, nullptr},
    {"delegate_id", Kind::kText, kTextRule, kNoOrder, nullptr},
    {"scope", Kind::kText, kTextRule, kNoOrder, nullptr},
    {"not_before_ms", Kind::kTime, kTimeRule, kNoOrder, nullptr},
    // Equal bounds are refused too: a window is at least one millisecond long.
    {"not_after_ms", Kind::kTime, kTimeRule, kNotBeforeMs, " must be greater than not_before_ms"},
    {"prev_delegation_ref", Kind::kRef, kRefRule, kNoOrder, nullptr},
};

constexpr int kFieldCount = static_cast<int>(sizeof kFieldRows / sizeof kFieldRows[0]);

// The order of the hashed object's members, which is also `_FIELDS`: the names sorted by
// UTF-16 code units (bytewise, for ASCII names), as RFC 8785 writes members.
constexpr int kHashedOrder[kFieldCount] = {kDelegateId,  kDelegatorId, kNotAfterMs,
                                           kNotBeforeMs, kPrevRef,     kScope};

// Where a field (by read position) sits in the hashed order.
constexpr int hashed_position(int field) {
    for (int i = 0; i < kFieldCount; ++i) {
        if (kHashedOrder[i] == field) return i;
    }
    return -1;
}
constexpr int kHashedPrevRef = hashed_position(kPrevRef);

namespace table_checks {

constexpr int compare_bytes(const char* a, const char* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

constexpr bool same(const char* a, const char* b) { return compare_bytes(a, b) == 0; }

constexpr bool ascii(const char* s) {
    for (; *s; ++s) {
        if (static_cast<unsigned char>(*s) > 0x7f) return false;
    }
    return true;
}

constexpr bool hashed_order_is_a_permutation() {
    bool seen[kFieldCount] = {};
    for (int position : kHashedOrder) {
        if (position < 0 || position >= kFieldCount || seen[position]) return false;
        seen[position] = true;
    }
    return true;
}

// Strictly ascending, so the names are also distinct.
constexpr bool hashed_order_is_sorted() {
    for (int i = 1; i < kFieldCount; ++i) {
        const char* const before = kFieldRows[kHashedOrder[i - 1]].name;
        if (compare_bytes(before, kFieldRows[kHashedOrder[i]].name) >= 0) return false;
    }
    return true;
}

constexpr bool names_are_ascii() {
    for (const FieldRow& row : kFieldRows) {
        if (!ascii(row.name)) return false;
    }
    return true;
}

// An order rule compares with a field already read, of the same kind.
constexpr bool order_rules_look_back() {
    for (int f = 0; f < kFieldCount; ++f) {
        const FieldRow& row = kFieldRows[f];
        if (row.greater_than == kNoOrder) continue;
        if (row.greater_than < 0 || row.greater_than >= f || row.order_rule == nullptr ||
            kFieldRows[row.greater_than].kind != row.kind) {
            return false;
        }
    }
    return true;
}

constexpr bool positions_match_names() {
    return same(kFieldRows[kDelegatorId].name, "delegator_id") &&
           same(kFieldRows[kDelegateId].name, "delegate_id") &&
           same(kFieldRows[kScope].name, "scope") &&
           same(kFieldRows[kNotBeforeMs].name, "not_before_ms") &&
           same(kFieldRows[kNotAfterMs].name, "not_after_ms") &&
           same(kFieldRows[kPrevRef].name, "prev_delegation_ref");
}

}  // namespace table_checks

static_assert(kFieldCount == 6, "six hashed fields");
static_assert(table_checks::hashed_order_is_a_permutation(),
              "the hashed order lists every field exactly once");
static_assert(table_checks::names_are_ascii(),
              "bytewise order equals UTF-16 order only for ASCII names");
static_assert(table_checks::hashed_order_is_sorted(),
              "the hashed order (and _FIELDS) is the names' sorted order");
static_assert(table_checks::order_rules_look_back(),
              "an order rule compares with an earlier field of the same kind");
static_assert(table_checks::positions_match_names(), "Field positions name their rows");
static_assert(kFieldRows[kPrevRef].kind == Kind::kRef, "the chain walk reads the ref field");

}  // namespace kestrim::delegation
