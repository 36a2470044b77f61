// The rules of delegation refs: what makes an envelope well formed, what is hashed, how a
// chain links, and what counts as tampering.
//
// Every test of a caller's value goes through the interpreter (instance tests, truth tests,
// rich comparisons, the pattern's match), so subclasses decide by their own methods and their
// exceptions pass through. The shortcuts below are taken only where no caller could tell:
// an exact dict's `get`, an exact str or int's comparisons, and names still bound to what the
// module bound at initialisation.
#include <array>
#include <cstring>
#include <utility>

#include "common/py_ref.hpp"
#include "kestrim_delegation_ref/function.hpp"
#include "kestrim_delegation_ref/module_state.hpp"
#include "kestrim_substrate/jcs_capi.hpp"

namespace kestrim::delegation {
namespace {

constexpr Py_ssize_t kRefLength = 71;  // "sha256:" + 64 hex digits
constexpr Py_ssize_t kPrefixLength = 7;
constexpr Py_ssize_t kDigestLength = 64;

// The digits `[0-9a-f]` admits.
constexpr std::array<bool, 256> kLowerHex = [] {
    std::array<bool, 256> table{};
    for (const char* c = "0123456789abcdef"; *c; ++c) table[static_cast<unsigned char>(*c)] = true;
    return table;
}();

// ---- host operations --------------------------------------------------------------------

// What `raise exc` does: an instance is raised as it is; a class is called once, and what
// the call gives must be an instance.
PyObject* raise_object(PyObject* exc) {
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    } else if (PyExceptionClass_Check(exc)) {
        PyRef instance(PyObject_CallNoArgs(exc));
        if (!instance) return nullptr;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         exc, Py_TYPE(instance.get()));
            return nullptr;
        }
        PyErr_SetObject(exc, instance.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

// raise DelegationRefError(message), with the class looked up only now.
// The message is made only after the class is found, so a missing class is what is reported.
template <typename MakeMessage>
PyObject* raise_rule_with(MakeMessage make_message) {
    PyRef cls(load_global(state().names.delegation_ref_error));
    if (!cls) return nullptr;
    PyRef message(make_message());
    if (!message) return nullptr;
    PyRef exc(PyObject_CallOneArg(cls.get(), message.get()));
    if (!exc) return nullptr;
    return raise_object(exc.get());
}

PyObject* raise_rule(PyObject* message) {
    return raise_rule_with([message] { return Py_NewRef(message); });
}

// Truth value of `left op right`, as `if left op right:` would take it; -1 on error.
int compare_is_true(PyObject* left, PyObject* right, int op) {
    PyRef outcome(PyObject_RichCompare(left, right, op));
    if (!outcome) return -1;
    return PyObject_IsTrue(outcome.get());
}

// `left != right` as a truth value. Exact strs compare by text; anything else through `!=`.
int not_equal(PyObject* left, PyObject* right) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        return PyUnicode_Compare(left, right) != 0;
    }
    return compare_is_true(left, right, Py_NE);
}

// `envelope.get(name)`, or `envelope.get(name, fallback)` when a fallback is given.
PyObject* read_field(PyObject* envelope, PyObject* name, PyObject* fallback) {
    if (PyDict_CheckExact(envelope)) {
        // An exact dict's `get` cannot be replaced, so its table can be read directly.
        PyObject* value = PyDict_GetItemWithError(envelope, name);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
        return Py_NewRef(fallback ? fallback : Py_None);
    }
    PyObject* args[3] = {envelope, name, fallback};
    const size_t nargs = fallback ? 3 : 2;
    return PyObject_VectorcallMethod(state().names.get, args,
                                     nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Calls a module-level function with one argument. Our own function is entered directly,
// skipping argument binding that could not fail.
PyObject* call_with(PyObject* fn, PyObject* own, PyObject* arg) {
    if (fn == own) return native_function_call_bound(fn, &arg);
    PyObject* args[2] = {nullptr, arg};
    return PyObject_Vectorcall(fn, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---- field rules ------------------------------------------------------------------------

// A str instance whose truth value is true. 1 yes, 0 no, -1 error.
int is_nonempty_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
    const int is_str = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str <= 0) return is_str;
    return PyObject_IsTrue(value);
}

// An int instance, not a bool, that is not below zero. 1 yes, 0 no, -1 error.
int is_time_bound(PyObject* value) {
    if (Py_IS_TYPE(value, &PyBool_Type)) return 0;
    if (PyLong_CheckExact(value)) return _PyLong_Sign(value) >= 0;
    const int is_int = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (is_int <= 0) return is_int;
    PyRef zero(PyLong_FromLong(0));
    if (!zero) return -1;
    const int negative = compare_is_true(value, zero.get(), Py_LT);
    return negative < 0 ? -1 : !negative;
}

// The shape of `_REF_RE` ("^sha256:[0-9a-f]{64}$"), where `$` also matches before a final
// line feed. Only for str instances.
bool has_ref_shape(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return false;  // every character the pattern admits is ASCII
    const auto* s = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n == kRefLength + 1 && s[kRefLength] == '\n') n = kRefLength;
    if (n != kRefLength || std::memcmp(s, "sha256:", kPrefixLength) != 0) return false;
    for (Py_ssize_t i = kPrefixLength; i < kRefLength; ++i) {
        if (!kLowerHex[s[i]]) return false;
    }
    return true;
}

// Whether `_REF_RE.match(value)` is truthy. 1 yes, 0 no, -1 error.
int matches_ref_pattern(PyObject* value) {
    ModuleState& st = state();
    PyRef pattern(load_global(st.names.ref_re));
    if (!pattern) return -1;
    if (pattern.get() == st.originals.ref_re && PyUnicode_Check(value)) {
        if (PyUnicode_READY(value) < 0) return -1;
        return has_ref_shape(value);
    }
    PyObject* args[2] = {pattern.get(), value};
    PyRef match(PyObject_VectorcallMethod(st.names.match, args,
                                          2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!match) return -1;
    return PyObject_IsTrue(match.get());
}

// The six validated values, in the order they were validated.
struct Fields {
    PyRef value[kFieldCount];
};

// Reads and validates an envelope, one field completely before the next, so the first
// broken rule is the one reported. 0 on success, -1 with an exception set.
int read_envelope(PyObject* envelope, Fields& out) {
    ModuleState& st = state();
    for (Field f : {kDelegatorId, kDelegateId, kScope}) {
        PyRef value(read_field(envelope, st.names.field[f], nullptr));
        if (!value) return -1;
        const int ok = is_nonempty_text(value.get());
        if (ok < 0) return -1;
        if (!ok) return raise_rule(st.messages.not_text[f]), -1;
        out.value[f] = std::move(value);
    }
    for (Field f : {kNotBeforeMs, kNotAfterMs}) {
        PyRef value(read_field(envelope, st.names.field[f], nullptr));
        if (!value) return -1;
        const int ok = is_time_bound(value.get());
        if (ok < 0) return -1;
        if (!ok) return raise_rule(st.messages.not_time[f]), -1;
        out.value[f] = std::move(value);
    }
    // Equal bounds are refused too: a window is at least one millisecond long.
    const int empty_window =
        compare_is_true(out.value[kNotAfterMs].get(), out.value[kNotBeforeMs].get(), Py_LE);
    if (empty_window < 0) return -1;
    if (empty_window) return raise_rule(st.messages.bounds_order), -1;

    PyRef prev(read_field(envelope, st.names.field[kPrevRef], st.names.empty));
    if (!prev) return -1;
    // Only a value unequal to "" must look like a ref; no type test comes first, so a
    // non-str reaches the pattern and its TypeError passes through.
    const int names_prev = not_equal(prev.get(), st.names.empty);
    if (names_prev < 0) return -1;
    if (names_prev) {
        const int ok = matches_ref_pattern(prev.get());
        if (ok < 0) return -1;
        if (!ok) return raise_rule(st.messages.bad_prev_ref), -1;
    }
    out.value[kPrevRef] = std::move(prev);
    return 0;
}

// "sha256:" + hex, built in place.
PyObject* make_ref(const char* hex) {
    PyObject* ref = PyUnicode_New(kRefLength, 127);
    if (!ref) return nullptr;
    auto* out = static_cast<char*>(PyUnicode_DATA(ref));
    std::memcpy(out, "sha256:", kPrefixLength);
    std::memcpy(out + kPrefixLength, hex, kDigestLength);
    return ref;
}

// ---- the four functions -----------------------------------------------------------------

const int kNormaliseLine = __LINE__;
PyObject* normalise_body(PyObject* const* args) {
    Fields fields;
    if (read_envelope(args[0], fields) < 0) return nullptr;
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    const Names& names = state().names;
    for (int f = 0; f < kFieldCount; ++f) {
        if (PyDict_SetItem(result.get(), names.field[f], fields.value[f].get()) < 0) return nullptr;
    }
    return result.release();
}

// Traceback entries owed to an error by our own functions that were entered directly: added
// once the error is known to go on, and not at all when it is caught and answered.
class OwedFrames {
public:
    void owe(PyObject* fn) noexcept { fns_[count_++] = fn; }
    // Innermost first, as the calls were left.
    void settle() const {
        for (int i = 0; i < count_; ++i) native_function_add_traceback(fns_[i]);
    }

private:
    PyObject* fns_[2] = {};
    int count_ = 0;
};

// The ref of an envelope: what delegation_ref returns, its own frame aside.
PyObject* compute_ref(PyObject* envelope, OwedFrames& owed) {
    ModuleState& st = state();
    Names& names = st.names;
    const Originals& own = st.originals;

    PyRef normalise(load_global(names.normalise));
    if (!normalise) return nullptr;
    // Our own _normalise would build a dict that only this function reads: skip the dict.
    Fields fields;
    PyRef normalised;
    if (normalise.get() == own.normalise) {
        if (read_envelope(envelope, fields) < 0) {
            owed.owe(own.normalise);
            return nullptr;
        }
    } else {
        normalised = PyRef(call_with(normalise.get(), own.normalise, envelope));
        if (!normalised) return nullptr;
    }
    PyRef prefix(load_global(names.sha256_prefix));
    if (!prefix) return nullptr;
    PyRef hash(load_global(names.sha256_jcs));
    if (!hash) return nullptr;

    PyObject* keys[kFieldCount];
    PyRef held[kFieldCount];
    PyObject* values[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) {
        const Field f = kHashedOrder[i];
        keys[i] = names.field[f];
        held[i] = normalised ? PyRef(PyObject_GetItem(normalised.get(), keys[i]))
                             : PyRef::borrow(fields.value[f].get());
        if (!held[i]) return nullptr;
        values[i] = held[i].get();
    }

    PyRef digest;
    if (hash.get() == own.sha256_jcs && own.jcs) {
        // The substrate's own hash: no dict to build, no digest string to join.
        char hex[kDigestLength];
        if (own.jcs->sha256_prepared_hex(own.jcs_fields, values, hex) < 0) return nullptr;
        if (prefix.get() == own.sha256_prefix) return make_ref(hex);
        digest = PyRef(PyUnicode_FromStringAndSize(hex, kDigestLength));
    } else {
        PyRef hashed(PyDict_New());
        if (!hashed) return nullptr;
        for (int i = 0; i < kFieldCount; ++i) {
            if (PyDict_SetItem(hashed.get(), keys[i], values[i]) < 0) return nullptr;
        }
        PyObject* call_args[2] = {nullptr, hashed.get()};
        digest = PyRef(PyObject_Vectorcall(hash.get(), call_args + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!digest) return nullptr;
    return PyNumber_Add(prefix.get(), digest.get());
}

const int kDelegationRefLine = __LINE__;
PyObject* delegation_ref_body(PyObject* const* args) {
    OwedFrames owed;
    PyObject* ref = compute_ref(args[0], owed);
    if (!ref) owed.settle();
    return ref;
}

// `except DelegationRefError: return True` around the recomputation. The class is looked up
// only now; anything else, or an error raised while matching, propagates, and then gets the
// traceback entries it is owed.
PyObject* true_if_rule_error(const OwedFrames& owed) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef pending_type(type), pending(value), pending_tb(traceback);

    PyRef handler(load_global(state().names.delegation_ref_error));
    int matches = -1;
    if (handler) {
        bool valid = PyExceptionClass_Check(handler.get());
        if (PyTuple_Check(handler.get())) {
            valid = true;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handler.get()); ++i) {
                valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(handler.get(), i));
            }
        }
        if (valid) {
            matches = PyErr_GivenExceptionMatches(pending_type.get(), handler.get());
        } else {
            PyErr_SetString(PyExc_TypeError,
                            "catching classes that do not inherit from BaseException is not allowed");
        }
    }
    if (matches > 0) Py_RETURN_TRUE;

    PyObject *raised_type = nullptr, *raised = nullptr, *raised_tb = nullptr;
    if (matches < 0) PyErr_Fetch(&raised_type, &raised, &raised_tb);
    PyErr_Restore(pending_type.release(), pending.release(), pending_tb.release());
    owed.settle();
    if (matches == 0) return nullptr;

    // Raised while handling: the new error replaces the pending one and keeps it as context.
    PyErr_Fetch(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_NormalizeException(&raised_type, &raised, &raised_tb);
    if (raised_tb) PyException_SetTraceback(raised, raised_tb);
    PyException_SetContext(raised, value);
    PyErr_Restore(raised_type, raised, raised_tb);
    return nullptr;
}

const int kTamperDetectedLine = __LINE__;
PyObject* tamper_detected_body(PyObject* const* args) {
    PyObject* claimed_ref = args[0];
    const Originals& own = state().originals;
    OwedFrames owed;
    PyRef fn(load_global(state().names.delegation_ref));
    if (!fn) return true_if_rule_error(owed);
    PyRef ref;
    if (fn.get() == own.delegation_ref) {
        // Entered directly, its traceback entries owed: a malformed envelope, the common
        // failure here, is answered with True and needs none.
        if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
            ref = PyRef(compute_ref(args[1], owed));
            Py_LeaveRecursiveCall();
        }
        owed.owe(own.delegation_ref);
    } else {
        ref = PyRef(call_with(fn.get(), own.delegation_ref, args[1]));
    }
    if (!ref) return true_if_rule_error(owed);
    if (PyUnicode_CheckExact(ref.get()) && PyUnicode_CheckExact(claimed_ref)) {
        return PyBool_FromLong(PyUnicode_Compare(ref.get(), claimed_ref) != 0);
    }
    // The answer is whatever `!=` gives: a claimed ref with its own comparison decides.
    PyObject* answer = PyObject_RichCompare(ref.get(), claimed_ref, Py_NE);
    return answer ? answer : true_if_rule_error(OwedFrames());
}

// A chain's links in order: an exact list or tuple by position, reading its length again
// before every step (the links' own code may grow or shrink it); anything else through one
// iterator, lazily.
class LinkWalk {
public:
    int start(PyObject* envelopes) {
        if (PyList_CheckExact(envelopes) || PyTuple_CheckExact(envelopes)) {
            sequence_ = envelopes;
            return 0;
        }
        iterator_ = PyRef(PyObject_GetIter(envelopes));
        return iterator_ ? 0 : -1;
    }
    // 1 with the next link, 0 at the end, -1 with an exception set.
    int next(PyRef& link) {
        if (sequence_) {
            if (position_ >= Py_SIZE(sequence_)) return 0;
            link = PyRef::borrow(PyList_Check(sequence_)
                                     ? PyList_GET_ITEM(sequence_, position_)
                                     : PyTuple_GET_ITEM(sequence_, position_));
            ++position_;
            return 1;
        }
        link = PyRef(PyIter_Next(iterator_.get()));  // clears StopIteration and its subclasses
        if (link) return 1;
        return PyErr_Occurred() ? -1 : 0;
    }

private:
    PyObject* sequence_ = nullptr;  // borrowed from the caller's arguments
    PyRef iterator_;
    Py_ssize_t position_ = 0;
};

const int kVerifyChainLine = __LINE__;
PyObject* verify_chain_body(PyObject* const* args) {
    ModuleState& st = state();
    PyRef refs(PyList_New(0));
    if (!refs) return nullptr;
    PyRef expected = PyRef::borrow(st.names.empty);
    LinkWalk walk;
    if (walk.start(args[0]) < 0) return nullptr;
    for (Py_ssize_t index = 0;; ++index) {
        PyRef link;
        const int more = walk.next(link);
        if (more <= 0) {
            if (more < 0) return nullptr;
            break;
        }
        // The link must name its predecessor before its own ref is worth computing.
        PyRef claimed(read_field(link.get(), st.names.field[kPrevRef], st.names.empty));
        if (!claimed) return nullptr;
        const int broken = not_equal(claimed.get(), expected.get());
        if (broken < 0) return nullptr;
        if (broken) {
            return raise_rule_with([index] {
                return PyUnicode_FromFormat(
                    "chain break at link %zd: prev_delegation_ref does not match the prior link",
                    index);
            });
        }
        PyRef fn(load_global(st.names.delegation_ref));
        if (!fn) return nullptr;
        PyRef ref(call_with(fn.get(), st.originals.delegation_ref, link.get()));
        if (!ref || PyList_Append(refs.get(), ref.get()) < 0) return nullptr;
        expected = std::move(ref);
    }
    return refs.release();
}

// ---- definitions --------------------------------------------------------------------------

const char* const kEnvelopeParam[] = {"envelope"};
const char* const kTamperParams[] = {"claimed_ref", "envelope"};
const char* const kChainParam[] = {"envelopes"};
const char* const kNormaliseAnnotations[] = {"Mapping[str, Any]", "dict"};
const char* const kDelegationRefAnnotations[] = {"Mapping[str, Any]", "str"};
const char* const kTamperAnnotations[] = {"str", "Mapping[str, Any]", "bool"};
const char* const kChainAnnotations[] = {"Sequence[Mapping[str, Any]]", "list[str]"};

}  // namespace

const NativeFunctionDef kFunctionDefs[kFunctionCount] = {
    {"_normalise", nullptr, kEnvelopeParam, 1, kNormaliseAnnotations, normalise_body,
     kNormaliseLine + 1},
    {"delegation_ref", "Compute the content-addressed delegation_ref for a delegation envelope.",
     kEnvelopeParam, 1, kDelegationRefAnnotations, delegation_ref_body, kDelegationRefLine + 1},
    {"tamper_detected",
     "True if ``envelope`` does not recompute to ``claimed_ref`` (tamper / malformed).",
     kTamperParams, 2, kTamperAnnotations, tamper_detected_body, kTamperDetectedLine + 1},
    {"verify_chain",
     "Compute the delegation_ref of each link and verify chain integrity.\n"
     "\n"
     "    The first link must have ``prev_delegation_ref == \"\"``; every subsequent link's\n"
     "    ``prev_delegation_ref`` must equal the prior link's computed ref. Returns the\n"
     "    list of refs; raises DelegationRefError on a broken or forged link.\n"
     "    ",
     kChainParam, 1, kChainAnnotations, verify_chain_body, kVerifyChainLine + 1},
};

}  // namespace kestrim::delegation
