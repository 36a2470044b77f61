// The rules of delegation refs: what makes an envelope well formed, what is hashed, how a
// chain links, and what counts as tampering.
//
// The fields, their order, kinds and messages are rows of envelope_fields.hpp; the shape of a
// ref is ref_shape.hpp; what the interpreter would do for each statement is host_ops.hpp. Every
// test of a caller's value goes through the interpreter, so subclasses decide by their own
// methods and their exceptions pass through. The shortcuts below are taken only where no
// caller could tell: an exact str or int's own tests, a genuine compiled pattern of our text,
// and names still bound to our own functions or to the substrate's own hash.
//
// Each function runs in its own namespace (NativeScope): the module-level names it uses are
// looked up in the namespace it was defined in, whichever module object that is.
#include <cstring>
#include <utility>  // std::move, std::integer_sequence

#include "common/compat.hpp"
#include "common/py_ref.hpp"
#include "kestrim_delegation_ref/envelope_fields.hpp"
#include "kestrim_delegation_ref/function.hpp"
#include "kestrim_delegation_ref/host_ops.hpp"
#include "kestrim_delegation_ref/module_state.hpp"
#include "kestrim_delegation_ref/ref_shape.hpp"
#include "kestrim_substrate/jcs_capi.hpp"

namespace kestrim::delegation {
namespace {

// ---- field rules ------------------------------------------------------------------------

// A str instance whose truth value is true. 1 yes, 0 no, -1 error.
int is_nonempty_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        // A str made through the legacy C API has no length until it is made ready.
        if (compat::unicode_ready(value) < 0) return -1;
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    const int is_str = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str <= 0) return is_str;
    return PyObject_IsTrue(value);
}

// An int instance, not a bool, that is not below zero. 1 yes, 0 no, -1 error.
int is_time_bound(PyObject* value) {
    if (Py_IS_TYPE(value, &PyBool_Type)) return 0;
    if (PyLong_CheckExact(value)) return compat::long_sign(value) >= 0;
    const int is_int = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (is_int <= 0) return is_int;
    PyRef zero(PyLong_FromLong(0));
    if (!zero) return -1;
    const int negative = compare_is_true(value, zero.get(), Py_LT);
    return negative < 0 ? -1 : !negative;
}

// Whether `_REF_RE.match(value)` is truthy. 1 yes, 0 no, -1 error.
int matches_ref_pattern(const NativeScope& scope, PyObject* value) {
    ModuleState& st = state();
    PyRef pattern(load_global(scope, st.names.ref_re));
    if (!pattern) return -1;
    if (pattern.get() == st.ref_re && PyUnicode_Check(value)) {
        if (compat::unicode_ready(value) < 0) return -1;
        if (!PyUnicode_IS_ASCII(value)) return 0;
        return has_ref_shape(static_cast<const unsigned char*>(PyUnicode_DATA(value)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
    }
    PyObject* args[2] = {pattern.get(), value};
    PyRef match(PyObject_VectorcallMethod(st.names.match, args,
                                          2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!match) return -1;
    return PyObject_IsTrue(match.get());
}

// Only a value unequal to "" must look like a ref. No type test comes first, so a non-str
// reaches the pattern and its TypeError passes through. 1 yes, 0 no, -1 error.
int is_empty_or_ref(const NativeScope& scope, PyObject* value) {
    const int names_prev = not_equal(value, state().names.empty);
    if (names_prev <= 0) return names_prev < 0 ? -1 : 1;
    return matches_ref_pattern(scope, value);
}

// A field's own rule, by its kind. 1 kept, 0 broken, -1 error.
template <Kind kind>
int field_rule_holds(const NativeScope& scope, PyObject* value) {
    if constexpr (kind == Kind::kText) return is_nonempty_text(value);
    if constexpr (kind == Kind::kTime) return is_time_bound(value);
    if constexpr (kind == Kind::kRef) return is_empty_or_ref(scope, value);
}

// raise DelegationRefError(message)
PyObject* raise_rule(const NativeScope& scope, PyObject* message) {
    return raise_new(scope, state().names.delegation_ref_error,
                     [message] { return Py_NewRef(message); });
}

// The validated values, by read position.
struct Fields {
    PyRef value[kFieldCount];
};

// One row of the table: the field fetched, tested, stored, and compared with the field it
// must exceed. 0 on success, -1 with an exception set.
template <int f>
int read_row(const NativeScope& scope, PyObject* envelope, Fields& out) {
    constexpr FieldRow row = kFieldRows[f];
    const ModuleState& st = state();
    PyRef value(read_field(envelope, st.names.get, st.names.field[f],
                           row.kind == Kind::kRef ? st.names.empty : nullptr));
    if (!value) return -1;
    const int holds = field_rule_holds<row.kind>(scope, value.get());
    if (holds < 0) return -1;
    if (!holds) return raise_rule(scope, st.messages.rule[f]), -1;
    out.value[f] = std::move(value);
    if constexpr (row.greater_than != kNoOrder) {
        const int not_greater =
            compare_is_true(out.value[f].get(), out.value[row.greater_than].get(), Py_LE);
        if (not_greater < 0) return -1;
        if (not_greater) return raise_rule(scope, st.messages.order[f]), -1;
    }
    return 0;
}

// The loop over the table, unrolled at compile time so that each row's kind picks its rule
// without a branch: the rows in order, stopping at the first that fails.
template <int... f>
int read_rows(const NativeScope& scope, PyObject* envelope, Fields& out,
              std::integer_sequence<int, f...>) {
    int status = 0;
    static_cast<void>((((status = read_row<f>(scope, envelope, out)) == 0) && ...));
    return status;
}

// Reads and validates an envelope in the table's order, one field completely before the next
// is fetched, so the first broken rule is the one reported. 0 on success, -1 with an
// exception set.
int read_envelope(const NativeScope& scope, PyObject* envelope, Fields& out) {
    return read_rows(scope, envelope, out, std::make_integer_sequence<int, kFieldCount>{});
}

// "sha256:" + hex, built in place.
PyObject* make_ref(const char* hex) {
    PyObject* ref = PyUnicode_New(static_cast<Py_ssize_t>(kRefLength), 127);
    if (!ref) return nullptr;
    auto* out = static_cast<char*>(PyUnicode_DATA(ref));
    std::memcpy(out, kRefPrefix, kRefPrefixLength);
    std::memcpy(out + kRefPrefixLength, hex, kDigestLength);
    return ref;
}

// ---- the four functions -----------------------------------------------------------------

const int kNormaliseLine = __LINE__ + 1;
PyObject* normalise_body(const NativeScope& scope, PyObject* const* args) {
    Fields fields;
    if (read_envelope(scope, args[0], fields) < 0) return nullptr;
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    const Names& names = state().names;
    for (int f = 0; f < kFieldCount; ++f) {
        if (PyDict_SetItem(result.get(), names.field[f], fields.value[f].get()) < 0) return nullptr;
    }
    return result.release();
}

// Our own function made from `def`, still able to run: one that may be entered directly.
bool enterable(PyObject* fn, FunctionId id) {
    return native_function_is(fn, &kFunctionDefs[id]) && native_function_scope(fn).globals;
}

// The ref of an envelope: what delegation_ref returns, its own frame aside.
PyObject* compute_ref(const NativeScope& scope, PyObject* envelope, OwedFrames& owed) {
    ModuleState& st = state();
    Names& names = st.names;

    PyRef normalise(load_global(scope, names.normalise));
    if (!normalise) return nullptr;
    // Our own _normalise would build a dict that only this function reads: skip the dict,
    // and validate in that function's own namespace.
    Fields fields;
    PyRef normalised;
    if (enterable(normalise.get(), kNormalise)) {
        if (read_envelope(native_function_scope(normalise.get()), envelope, fields) < 0) {
            owed.owe(normalise.get());
            return nullptr;
        }
    } else {
        normalised = PyRef(call_one(normalise.get(), envelope, &kFunctionDefs[kNormalise]));
        if (!normalised) return nullptr;
    }
    PyRef prefix(load_global(scope, names.sha256_prefix));
    if (!prefix) return nullptr;
    PyRef hash(load_global(scope, names.sha256_jcs));
    if (!hash) return nullptr;

    PyObject* keys[kFieldCount];
    PyRef held[kFieldCount];
    PyObject* values[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) {
        const int f = kHashedOrder[i];
        keys[i] = names.field[f];
        held[i] = normalised ? PyRef(PyObject_GetItem(normalised.get(), keys[i]))
                             : PyRef::borrow(fields.value[f].get());
        if (!held[i]) return nullptr;
        values[i] = held[i].get();
    }

    PyRef digest;
    const Substrate& substrate = st.substrate;
    if (substrate.api && hash.get() == substrate.api->sha256_jcs) {
        // The substrate's own hash: no dict to build, no digest string to join.
        char hex[kDigestLength];
        if (substrate.api->sha256_prepared_hex(substrate.hashed_fields, values, hex) < 0) {
            return nullptr;
        }
        if (prefix.get() == names.prefix) return make_ref(hex);
        digest = PyRef(PyUnicode_FromStringAndSize(hex, kDigestLength));
    } else {
        PyRef hashed(PyDict_New());
        if (!hashed) return nullptr;
        for (int i = 0; i < kFieldCount; ++i) {
            if (PyDict_SetItem(hashed.get(), keys[i], values[i]) < 0) return nullptr;
        }
        digest = PyRef(call_one(hash.get(), hashed.get()));
    }
    if (!digest) return nullptr;
    return PyNumber_Add(prefix.get(), digest.get());
}

const int kDelegationRefLine = __LINE__ + 1;
PyObject* delegation_ref_body(const NativeScope& scope, PyObject* const* args) {
    OwedFrames owed;
    PyObject* ref = compute_ref(scope, args[0], owed);
    if (!ref) owed.settle();
    return ref;
}

// `except DelegationRefError: return True` around what failed.
PyObject* true_if_rule_error(const NativeScope& scope, const OwedFrames& owed) {
    return except_matches(scope, state().names.delegation_ref_error, owed) > 0
               ? Py_NewRef(Py_True)
               : nullptr;
}

const int kTamperDetectedLine = __LINE__ + 1;
PyObject* tamper_detected_body(const NativeScope& scope, PyObject* const* args) {
    PyObject* claimed_ref = args[0];
    OwedFrames owed;
    PyRef fn(load_global(scope, state().names.delegation_ref));
    if (!fn) return true_if_rule_error(scope, owed);
    PyRef ref;
    if (enterable(fn.get(), kDelegationRef)) {
        // Entered directly, its traceback entries owed: a malformed envelope, the common
        // failure here, is answered with True and needs none.
        if (compat::enter_native_call(" while calling a Python object") == 0) {
            ref = PyRef(compute_ref(native_function_scope(fn.get()), args[1], owed));
            compat::leave_native_call();
        }
        if (!ref) owed.owe(fn.get());
    } else {
        ref = PyRef(call_one(fn.get(), args[1], &kFunctionDefs[kDelegationRef]));
    }
    if (!ref) return true_if_rule_error(scope, owed);
    if (PyUnicode_CheckExact(ref.get()) && PyUnicode_CheckExact(claimed_ref)) {
        const int order = PyUnicode_Compare(ref.get(), claimed_ref);
        if (order != -1 || !PyErr_Occurred()) return PyBool_FromLong(order != 0);
        return true_if_rule_error(scope, OwedFrames());
    }
    // The answer is whatever `!=` gives: a claimed ref with its own comparison decides.
    PyObject* answer = PyObject_RichCompare(ref.get(), claimed_ref, Py_NE);
    return answer ? answer : true_if_rule_error(scope, OwedFrames());
}

const int kVerifyChainLine = __LINE__ + 1;
PyObject* verify_chain_body(const NativeScope& scope, PyObject* const* args) {
    ModuleState& st = state();
    PyRef refs(PyList_New(0));
    if (!refs) return nullptr;
    PyRef expected = PyRef::borrow(st.names.empty);
    ForEach links;
    if (links.start(args[0]) < 0) return nullptr;
    for (Py_ssize_t index = 0;; ++index) {
        PyRef link;
        const int more = links.next(link);
        if (more <= 0) {
            if (more < 0) return nullptr;
            break;
        }
        // The link must name its predecessor before its own ref is worth computing.
        PyRef claimed(read_field(link.get(), st.names.get, st.names.field[kPrevRef],
                                 st.names.empty));
        if (!claimed) return nullptr;
        const int broken = not_equal(claimed.get(), expected.get());
        if (broken < 0) return nullptr;
        if (broken) {
            return raise_new(scope, st.names.delegation_ref_error, [index] {
                return PyUnicode_FromFormat(
                    "chain break at link %zd: prev_delegation_ref does not match the prior link",
                    index);
            });
        }
        PyRef fn(load_global(scope, st.names.delegation_ref));
        if (!fn) return nullptr;
        PyRef ref(call_one(fn.get(), link.get(), &kFunctionDefs[kDelegationRef]));
        if (!ref || PyList_Append(refs.get(), ref.get()) < 0) return nullptr;
        expected = std::move(ref);
    }
    return refs.release();
}

}  // namespace

const RuleBody kRuleBodies[kFunctionCount] = {
    {normalise_body, kNormaliseLine},
    {delegation_ref_body, kDelegationRefLine},
    {tamper_detected_body, kTamperDetectedLine},
    {verify_chain_body, kVerifyChainLine},
};

}  // namespace kestrim::delegation
