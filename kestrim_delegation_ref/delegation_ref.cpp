// The rules of delegation refs: what makes an envelope well formed, what is hashed, how a
// chain links, and what counts as tampering.
//
// The fields, their order, kinds and messages are rows of envelope_fields.hpp; each field's
// own rule is field_rules.hpp; the shape of a ref is ref_shape.hpp; what the interpreter would
// do for each statement is host_ops.hpp. Every test of a caller's value goes through the
// interpreter, so subclasses decide by their own methods and their exceptions pass through.
// The shortcuts below are taken only where no caller could tell: an exact str or int's own
// tests, a genuine compiled pattern of our text, and names still bound to our own functions
// or to the substrate's own hash.
//
// Each function runs in its own namespace (NativeScope): the module-level names it uses are
// looked up in the namespace it was defined in, whichever module object that is.
#include <cstring>
#include <utility>  // std::move, std::integer_sequence

#include "common/compat.hpp"
#include "common/py_ref.hpp"
#include "kestrim_delegation_ref/envelope_fields.hpp"
#include "kestrim_delegation_ref/field_rules.hpp"
#include "kestrim_delegation_ref/function.hpp"
#include "kestrim_delegation_ref/host_ops.hpp"
#include "kestrim_delegation_ref/module_state.hpp"
#include "kestrim_delegation_ref/own_bindings.hpp"
#include "kestrim_delegation_ref/plain_envelope.hpp"
#include "kestrim_delegation_ref/ref_shape.hpp"
#include "kestrim_substrate/jcs_capi.hpp"

namespace kestrim::delegation {
namespace {

// raise DelegationRefError(message)
PyObject* raise_rule(const NativeScope& scope, PyObject* message) {
    return raise_new(scope, state().names.delegation_ref_error,
                     [message] { return Py_NewRef(message); });
}

// The validated values, by read position.
struct Fields {
    PyRef value[kFieldCount];
};

// Values a one-pass read found (see Reading::kBroken in plain_envelope.hpp), by read
// position, null where the field is absent: what the lookups would find, taken instead.
struct Found {
    PyObject* value[kFieldCount];
};

// One row of the table: the field fetched, tested, stored, and compared with the field it
// must exceed. 0 on success, -1 with an exception set.
template <int f>
int read_row(const NativeScope& scope, PyObject* envelope, const Found* found, Fields& out) {
    constexpr FieldRow row = kFieldRows[f];
    const ModuleState& st = state();
    PyRef value(found ? Py_NewRef(found->value[f] ? found->value[f] : Py_None)
                      : read_field(envelope, st.names.get, st.names.field[f],
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
int read_rows(const NativeScope& scope, PyObject* envelope, const Found* found, Fields& out,
              std::integer_sequence<int, f...>) {
    int status = 0;
    static_cast<void>((((status = read_row<f>(scope, envelope, found, out)) == 0) && ...));
    return status;
}

// Reads and validates an envelope in the table's order, one field completely before the next
// is fetched, so the first broken rule is the one reported; with `found`, its values stand in
// for the lookups. 0 on success, -1 with an exception set.
int read_envelope(const NativeScope& scope, PyObject* envelope, Fields& out,
                  const Found* found = nullptr) {
    return read_rows(scope, envelope, found, out, std::make_integer_sequence<int, kFieldCount>{});
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

// ---- shortcuts for plain envelopes ------------------------------------------------------

// Values by read position, put in hashed order, as the hashed object holds them.
void in_hashed_order(PyObject* const (&values)[kFieldCount], PyObject* (&hashed)[kFieldCount]) {
    for (int i = 0; i < kFieldCount; ++i) hashed[i] = values[kHashedOrder[i]];
}

// The values of a plain envelope in hashed order.
bool read_plain_hashed(PyObject* envelope, PyObject* (&hashed)[kFieldCount]) {
    const Names& names = state().names;
    PyObject* values[kFieldCount];
    if (read_plain_envelope(envelope, names.field, names.empty, values) != Reading::kPlain) {
        return false;
    }
    in_hashed_order(values, hashed);
    return true;
}

// One pass over an envelope for the rules in `scope`. 1: plain, its ref's hex digest in
// `hex`. 0: the general way must be taken; `found` is set if the envelope is plain in form
// but breaks a rule, to stand in for the general way's lookups, valid until code of the
// caller's could run. -1: the hash refused a plain envelope, with its exception set (the
// same the general way raises: a string with a lone surrogate, an integer past 2**53-1).
int plain_ref_hex(const NativeScope& scope, PyObject* envelope, char (&hex)[kDigestLength],
                  Found& found, bool& broken) {
    broken = false;
    if (!names_are_own(scope) || !comparison_depth_left()) return 0;
    const Names& names = state().names;
    const Reading reading = read_plain_envelope(envelope, names.field, names.empty, found.value);
    if (reading != Reading::kPlain) {
        broken = reading == Reading::kBroken;
        return 0;
    }
    PyObject* hashed[kFieldCount];
    in_hashed_order(found.value, hashed);
    const Substrate& substrate = state().substrate;
    return substrate.api->sha256_prepared_hex(substrate.hashed_fields, hashed, hex) < 0 ? -1 : 1;
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

// The ref of an envelope: what delegation_ref returns, its own frame aside.
// `found`, when given, stands in for the lookups of our own _normalise (see Found).
PyObject* compute_ref(const NativeScope& scope, PyObject* envelope, OwedFrames& owed,
                      const Found* found = nullptr) {
    ModuleState& st = state();
    Names& names = st.names;

    PyRef normalise(load_global(scope, names.normalise));
    if (!normalise) return nullptr;
    // Our own _normalise would build a dict that only this function reads: skip the dict,
    // and validate in that function's own namespace.
    Fields fields;
    PyRef normalised;
    if (enterable(normalise.get(), kNormalise)) {
        if (read_envelope(native_function_scope(normalise.get()), envelope, fields, found) < 0) {
            owed.owe(normalise.get(), envelope);
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
    char hex[kDigestLength];
    Found found;
    bool broken;
    const int plain = plain_ref_hex(scope, args[0], hex, found, broken);
    if (plain != 0) return plain > 0 ? make_ref(hex) : nullptr;
    OwedFrames owed;
    PyObject* ref = compute_ref(scope, args[0], owed, broken ? &found : nullptr);
    if (!ref) owed.settle();
    return ref;
}

// `except DelegationRefError: return True` around what failed.
PyObject* true_if_rule_error(const NativeScope& scope, const OwedFrames& owed) {
    return except_matches(scope, state().names.delegation_ref_error, owed) > 0 ? Py_NewRef(Py_True)
                                                                               : nullptr;
}

// Whether an exact str ready to read is the ref with these digits, compared as
// PyUnicode_Compare would.
bool is_ref_text(PyObject* text, const char (&hex)[kDigestLength]) {
    if (PyUnicode_GET_LENGTH(text) != static_cast<Py_ssize_t>(kRefLength) ||
        !PyUnicode_IS_ASCII(text)) {
        return false;
    }
    const auto* chars = static_cast<const char*>(PyUnicode_DATA(text));
    return std::memcmp(chars, kRefPrefix, kRefPrefixLength) == 0 &&
           std::memcmp(chars + kRefPrefixLength, hex, kDigestLength) == 0;
}

const int kTamperDetectedLine = __LINE__ + 1;
PyObject* tamper_detected_body(const NativeScope& scope, PyObject* const* args) {
    PyObject* claimed_ref = args[0];
    PyRef ref;
    // names_are_own includes delegation_ref: what the general way calls is our own, entered
    // at one more level of depth, on a plain envelope that only its hash can refuse.
    Found found;
    bool broken = false;
    compat::NativeLevel level;
    if (compat::enter_native_call(" while calling a Python object", level) == 0) {
        char hex[kDigestLength];
        const int plain = plain_ref_hex(scope, args[1], hex, found, broken);
        compat::leave_native_call(level);
        if (plain > 0) {
            if (PyUnicode_CheckExact(claimed_ref) && compat::unicode_is_ready(claimed_ref)) {
                return PyBool_FromLong(!is_ref_text(claimed_ref, hex));
            }
            ref = PyRef(make_ref(hex));
            if (!ref) return nullptr;
        }
    }
    // Refused or at the depth limit: the general way raises the same error in its own place.
    if (PyErr_Occurred()) PyErr_Clear();

    OwedFrames owed;
    if (!ref) {
        PyRef fn(load_global(scope, state().names.delegation_ref));
        if (!fn) return true_if_rule_error(scope, owed);
        if (enterable(fn.get(), kDelegationRef)) {
            // Entered directly, its traceback entries owed: a malformed envelope, the common
            // failure here, is answered with True and needs none.
            if (compat::enter_native_call(" while calling a Python object", level) == 0) {
                // What the one pass found stands for the lookups only in the namespace it
                // was read for, and until the caller's code could have run: neither
                // load_global (a cached or a plain lookup) nor entering runs any.
                const NativeScope fn_scope = native_function_scope(fn.get());
                const bool same_reading = broken && fn_scope.globals == scope.globals;
                ref = PyRef(compute_ref(fn_scope, args[1], owed, same_reading ? &found : nullptr));
                compat::leave_native_call(level);
            }
            if (!ref) owed.owe(fn.get(), args[1]);
        } else {
            ref = PyRef(call_one(fn.get(), args[1], &kFunctionDefs[kDelegationRef]));
        }
        if (!ref) return true_if_rule_error(scope, owed);
    }
    if (PyUnicode_CheckExact(ref.get()) && PyUnicode_CheckExact(claimed_ref)) {
        const int order = PyUnicode_Compare(ref.get(), claimed_ref);
        if (order != -1 || !PyErr_Occurred()) return PyBool_FromLong(order != 0);
        return true_if_rule_error(scope, OwedFrames());
    }
    // The answer is whatever `!=` gives: a claimed ref with its own comparison decides.
    PyObject* answer = PyObject_RichCompare(ref.get(), claimed_ref, Py_NE);
    return answer ? answer : true_if_rule_error(scope, OwedFrames());
}

// Links read ahead and hashed in one call of the substrate's batch: enough to fill the widest
// kernel's lanes several times over, few enough that their text stays in cache.
constexpr Py_ssize_t kLinksAhead = 64;
// How far ahead of the link being read each step of asking for memory runs (see
// ask_for_dict): the steps are a few links apart, each giving the memory time to arrive.
constexpr Py_ssize_t kAskDictAhead = 12;
constexpr Py_ssize_t kAskTableAhead = 8;
constexpr Py_ssize_t kAskValuesAhead = 4;

// Takes the plain links of an exact list or tuple from the walk's position on, for as long as
// the general walk would do nothing a caller could tell apart: each link's prev ref checked
// against the ref before it, then its ref appended. The links are read ahead and hashed side
// by side, which is unobservable only because reading a plain link runs none of the caller's
// code and allocates nothing that could start the garbage collector, and the general walk's
// call of delegation_ref would be our own on a plain envelope. It stops before the first link
// that is not plain, or whose prev ref does not match (the general walk reports the break),
// and at the end. The number of links taken, or -1 with an exception set.
//
// A batch the substrate refuses (a lone surrogate, an integer past 2**53-1: plain in form, but
// no canonical text) is left whole to the general walk, which finds the refusal in its place:
// `general_until` is set past it, and nothing is read ahead before it. Read ahead again, it
// would be refused again, once for each link before the bad one.
Py_ssize_t take_plain_links(const NativeScope& scope, ForEach& links, PyObject* refs,
                            PyRef& expected, Py_ssize_t& general_until) {
    if (links.position() < general_until) return 0;
    PyObject* const sequence = links.sequence();
    // The first link taken is compared with `expected` only after the links ahead are read.
    // That compares without the caller's code only if `expected` is an exact str; a rebinding
    // undone since may have left anything there, whose __ne__ could change or free links
    // already read. The general walk compares that one link, in its turn.
    if (!sequence || !PyUnicode_CheckExact(expected.get()) || !names_are_own(scope)) return 0;
    const Substrate& substrate = state().substrate;
    PyObject* hashed[kLinksAhead][kFieldCount];
    char hex[kLinksAhead][kDigestLength];
    Py_ssize_t taken = 0;
    for (;;) {
        // Read and hashed one call deeper, where each link's call of delegation_ref would
        // read and hash it. A refusal (the depth limit, a lone surrogate, an integer past
        // 2**53-1) is left to the general walk, which raises it in its place; clearing what
        // was set here is unobservable.
        compat::NativeLevel level;
        if (compat::enter_native_call(" while calling a Python object", level) != 0) {
            PyErr_Clear();
            return taken;
        }
        const Py_ssize_t first = links.position();
        Py_ssize_t count = 0;
        // Nothing changes the depth between the links of a batch: asked once for them all.
        const bool depth_left = comparison_depth_left();
        const auto ask = [sequence](Py_ssize_t at, void (*step)(PyObject*)) {
            if (at < Py_SIZE(sequence)) step(PySequence_Fast_GET_ITEM(sequence, at));
        };
        while (depth_left && count < kLinksAhead && first + count < Py_SIZE(sequence)) {
            const Py_ssize_t at = first + count;
            ask(at + kAskDictAhead, ask_for_dict);
            ask(at + kAskTableAhead, ask_for_table);
            ask(at + kAskValuesAhead, ask_for_values);
            if (!read_plain_hashed(PySequence_Fast_GET_ITEM(sequence, at), hashed[count])) break;
            ++count;
        }
        const int hashed_ok = count == 0 ? -1
                                         : substrate.api->sha256_prepared_batch(
                                               substrate.hashed_fields, &hashed[0][0], count, hex);
        compat::leave_native_call(level);
        if (hashed_ok < 0) {
            if (PyErr_Occurred()) PyErr_Clear();
            general_until = first + count;
            return taken;
        }
        for (Py_ssize_t k = 0; k < count; ++k) {
            // Both exact str, compared by text: with the ref before it in this batch, by its
            // digits, before that ref is made.
            PyObject* const claimed = hashed[k][kHashedPrevRef];
            if (k > 0 ? !is_ref_text(claimed, hex[k - 1])
                      : not_equal(claimed, expected.get()) != 0) {
                PyErr_Clear();
                return taken;
            }
            PyRef ref(make_ref(hex[k]));
            if (!ref || PyList_Append(refs, ref.get()) < 0) return -1;
            expected = std::move(ref);
            links.skip(1);
            ++taken;
        }
        if (count < kLinksAhead) return taken;
    }
}

const int kVerifyChainLine = __LINE__ + 1;
PyObject* verify_chain_body(const NativeScope& scope, PyObject* const* args) {
    ModuleState& st = state();
    PyRef refs(PyList_New(0));
    if (!refs) return nullptr;
    PyRef expected = PyRef::borrow(st.names.empty);
    ForEach links;
    if (links.start(args[0]) < 0) return nullptr;
    Py_ssize_t general_until = 0;
    for (Py_ssize_t index = 0;; ++index) {
        const Py_ssize_t taken =
            take_plain_links(scope, links, refs.get(), expected, general_until);
        if (taken < 0) return nullptr;
        index += taken;
        PyRef link;
        const int more = links.next(link);
        if (more <= 0) {
            if (more < 0) return nullptr;
            break;
        }
        // The link must name its predecessor before its own ref is worth computing.
        PyRef claimed(
            read_field(link.get(), st.names.get, st.names.field[kPrevRef], st.names.empty));
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
