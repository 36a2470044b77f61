// What the module keeps between calls: its namespace, interned names, fixed messages, and
// the objects initialisation bound (so a fast path can tell whether a name still holds them).
//
// There is one module object per process, so this is process-wide state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "kestrim_delegation_ref/function.hpp"

struct KestrimJcsApi;
struct KestrimJcsMembers;

namespace kestrim::delegation {

// The envelope fields in the order they are read and validated.
enum Field { kDelegatorId, kDelegateId, kScope, kNotBeforeMs, kNotAfterMs, kPrevRef, kFieldCount };

// A module-level name and the binding last found for it. The binding is borrowed from the
// module dict and stands only while the dict's version tag is the one it was found under: any
// write to the dict changes the tag.
struct GlobalName {
    PyObject* name;
    uint64_t seen_version;
    PyObject* seen_value;
};

// The hashed object's members in canonical (sorted) order, as validated fields.
constexpr Field kHashedOrder[kFieldCount] = {kDelegateId, kDelegatorId, kNotAfterMs,
                                             kNotBeforeMs, kPrevRef, kScope};

// Interned once and kept for the life of the process.
struct Names {
    PyObject* field[kFieldCount];
    PyObject* get;
    PyObject* match;
    GlobalName normalise;
    GlobalName delegation_ref;
    GlobalName sha256_prefix;
    GlobalName sha256_jcs;
    GlobalName ref_re;
    GlobalName delegation_ref_error;
    PyObject* empty;  // ""
};

struct Messages {
    PyObject* not_text[kFieldCount];  // set for the three text fields
    PyObject* not_time[kFieldCount];  // set for the two time bounds
    PyObject* bounds_order;
    PyObject* bad_prev_ref;
};

// Strong references, so an identity test can never be fooled by a recycled address.
struct Originals {
    PyObject* normalise = nullptr;
    PyObject* delegation_ref = nullptr;
    PyObject* sha256_prefix = nullptr;
    PyObject* ref_re = nullptr;
    PyObject* sha256_jcs = nullptr;
    const KestrimJcsApi* jcs = nullptr;  // set only when sha256_jcs is the substrate's own
    PyObject* jcs_capsule = nullptr;     // owns the table jcs points into
    const KestrimJcsMembers* jcs_fields = nullptr;  // the six hashed names, encoded once
};

struct ModuleState {
    PyObject* module = nullptr;   // strong; nullptr until initialisation has begun
    PyObject* globals = nullptr;  // the module's dict
    PyObject* builtins = nullptr;  // strong: the builtins dict, the fallback for names
    Names names{};
    Messages messages{};
    Originals originals{};
};

ModuleState& state();

// The current binding of a module-level name: the module namespace, then builtins, else
// NameError. Returns a new reference.
PyObject* load_global(PyObject* name);
PyObject* load_global(GlobalName& name);

// The four functions, in the order the module binds them.
enum FunctionId { kNormalise, kDelegationRef, kTamperDetected, kVerifyChain, kFunctionCount };
extern const NativeFunctionDef kFunctionDefs[kFunctionCount];

}  // namespace kestrim::delegation
