// What the module keeps for the life of the process: interned names, fixed messages, and
// facts about objects that do not change (the substrate's native hash, a verified pattern).
//
// Nothing here belongs to one module object. Each function reads the namespace it was
// defined in (its own __globals__ and builtins, see NativeScope), so a function kept from a
// failed import goes on working in its own namespace whatever later imports do.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kestrim_delegation_ref/envelope_fields.hpp"
#include "kestrim_delegation_ref/function.hpp"
#include "kestrim_delegation_ref/host_ops.hpp"

struct KestrimJcsApi;
struct KestrimJcsMembers;

namespace kestrim::delegation {

// Interned once and kept for the life of the process.
struct Names {
    PyObject* field[kFieldCount];  // by read position
    PyObject* get;
    PyObject* match;
    PyObject* empty;   // ""
    PyObject* prefix;  // "sha256:", the value initialisation binds to SHA256_PREFIX
    GlobalName normalise;
    GlobalName delegation_ref;
    GlobalName sha256_prefix;
    GlobalName sha256_jcs;
    GlobalName ref_re;
    GlobalName delegation_ref_error;
};

// Made from the field table, by read position.
struct Messages {
    PyObject* rule[kFieldCount];   // the field's own rule is broken
    PyObject* order[kFieldCount];  // set where the field has an order rule
};

// The substrate's native entry points, used only while the bound sha256_jcs is its genuine
// function. The capsule owns the table, so it is held for the life of the process.
struct Substrate {
    PyObject* capsule = nullptr;
    const KestrimJcsApi* api = nullptr;
    const KestrimJcsMembers* hashed_fields = nullptr;  // the six names in hashed order
};

struct ModuleState {
    PyObject* module = nullptr;  // strong; the one module object, once initialisation began
    bool constants_made = false;
    Names names{};
    Messages messages{};
    Substrate substrate{};
    // Strong: a pattern initialisation compiled and found genuine (re.Pattern, our text,
    // default flags), for which the native matcher stands in. A pattern object cannot change.
    PyObject* ref_re = nullptr;
};

// Never destroyed: the interpreter may still hold our objects while the process exits.
extern ModuleState* const g_state;
inline ModuleState& state() { return *g_state; }

// The four functions, in the order the module binds them.
enum FunctionId { kNormalise, kDelegationRef, kTamperDetected, kVerifyChain, kFunctionCount };
extern const NativeFunctionDef kFunctionDefs[kFunctionCount];

// Our own function made from `def`, still able to run: one that may be entered directly.
inline bool enterable(PyObject* fn, FunctionId id) {
    return native_function_is(fn, &kFunctionDefs[id]) && native_function_scope(fn).globals;
}

// The bodies, and the line of the rules file where each starts (what tracebacks report).
struct RuleBody {
    NativeBody body;
    int line;
};
extern const RuleBody kRuleBodies[kFunctionCount];

}  // namespace kestrim::delegation
