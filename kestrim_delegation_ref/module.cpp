// The module as the interpreter sees it: multi-phase initialisation, the names it binds and
// in which order, the exception class, the functions' signatures and docstrings, and the
// constants made once for the process.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <utility>

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

constexpr const char* kModuleName = "kestrim_delegation_ref.delegation_ref";
// What tracebacks and code objects report: the module's own path, without the file type.
constexpr const char* kSourceFile = "kestrim_delegation_ref/delegation_ref";

constexpr const char* kModuleDoc =
    "Content-addressed delegation references for the Kestrim substrate.\n"
    "\n"
    "An agent A delegates authority to agent B for a scope and a validity window. The\n"
    "``delegation_ref`` is the content hash of that delegation envelope, so any tamper\n"
    "-- widening the scope, extending the expiry, swapping the delegate -- changes the\n"
    "ref and is detectable offline. Delegations chain (A->B->C) via\n"
    "``prev_delegation_ref``, giving a tamper-evident delegation chain.\n"
    "\n"
    "This is the inverse of an *opaque* delegation token (an arbitrary label chosen by\n"
    "the authority, which does not change when the delegation's content is altered).\n"
    "\n"
    "    delegation_ref = \"sha256:\" + SHA-256(JCS(RFC 8785)({\n"
    "        delegate_id, delegator_id, not_after_ms, not_before_ms,\n"
    "        prev_delegation_ref, scope }))\n"
    "\n"
    "with integer-millisecond validity bounds. Additive over the frozen substrate; the\n"
    "canonical hash is the substrate's own ``sha256_jcs``.\n";

constexpr const char* kErrorDoc =
    "Raised when a delegation envelope is malformed or a chain link does not match.";

constexpr const char* kPublicNames[] = {"DelegationRefError", "SHA256_PREFIX", "delegation_ref",
                                        "tamper_detected", "verify_chain"};

// The interpreter that loaded the module first; atomic, since the create step of another
// interpreter is exactly what must be refused.
std::atomic<int64_t> g_interpreter_id{-1};

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

// Names and messages are made once and kept for the life of the process. All or nothing: they
// are made into owners and kept only when every one was made, so a failure leaves nothing
// behind and a later import starts again from nothing.
int make_constants(ModuleState& st) {
    if (st.constants_made) return 0;
    Names& n = st.names;
    Messages& m = st.messages;
    struct Slot {
        PyObject** into;
        PyRef made;
    };
    Slot slots[3 * kFieldCount + 10];
    int count = 0;
    auto make = [&](PyObject** into, PyObject* made) {
        slots[count++] = Slot{into, PyRef(made)};
        return made != nullptr;
    };
    for (int f = 0; f < kFieldCount; ++f) {
        const FieldRow& row = kFieldRows[f];
        if (!make(&n.field[f], intern(row.name)) ||
            !make(&m.rule[f], PyUnicode_FromFormat("%s%s", row.name, row.rule))) {
            return -1;
        }
        if (row.order_rule &&
            !make(&m.order[f], PyUnicode_FromFormat("%s%s", row.name, row.order_rule))) {
            return -1;
        }
    }
    const std::pair<PyObject**, const char*> interned[] = {
        {&n.get, "get"},
        {&n.match, "match"},
        {&n.empty, ""},
        {&n.prefix, kRefPrefix},
        {&n.normalise.name, "_normalise"},
        {&n.delegation_ref.name, "delegation_ref"},
        {&n.sha256_prefix.name, "SHA256_PREFIX"},
        {&n.sha256_jcs.name, "sha256_jcs"},
        {&n.ref_re.name, "_REF_RE"},
        {&n.delegation_ref_error.name, "DelegationRefError"},
    };
    static_assert(std::size(interned) == 10, "room in slots");
    for (const auto& [into, text] : interned) {
        if (!make(into, intern(text))) return -1;
    }
    for (int i = 0; i < count; ++i) *slots[i].into = slots[i].made.release();
    st.constants_made = true;
    return 0;
}

// Forgets a failed or abandoned initialisation, so a later import starts afresh. The
// functions it made (hostile code may hold some) keep their own namespace and go on.
void forget_module(ModuleState& st) {
    for (GlobalName* g : {&st.names.normalise, &st.names.delegation_ref, &st.names.sha256_prefix,
                          &st.names.sha256_jcs, &st.names.ref_re, &st.names.delegation_ref_error}) {
        g->seen_in = nullptr;
        g->seen_stamp = 0;
        g->seen_value = nullptr;
    }
    Py_CLEAR(st.module);
}

int bind(PyObject* globals, const char* name, PyObject* value) {
    return PyDict_SetItemString(globals, name, value);
}

// `from <module> import <names...>`, binding each name as it is fetched.
int import_from(PyObject* globals, const char* module_name,
                std::initializer_list<const char*> names) {
    PyRef fromlist(PyList_New(0));
    if (!fromlist) return -1;
    for (const char* name : names) {
        PyRef item(PyUnicode_FromString(name));
        if (!item || PyList_Append(fromlist.get(), item.get()) < 0) return -1;
    }
    PyRef mod_name(PyUnicode_FromString(module_name));
    if (!mod_name) return -1;
    PyRef mod(
        PyImport_ImportModuleLevelObject(mod_name.get(), globals, nullptr, fromlist.get(), 0));
    if (!mod) return -1;
    for (const char* name : names) {
        PyRef attr_name(PyUnicode_InternFromString(name));
        if (!attr_name) return -1;
        PyRef value(PyObject_GetAttr(mod.get(), attr_name.get()));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", attr_name.get());
            }
            return -1;
        }
        if (PyDict_SetItem(globals, attr_name.get(), value.get()) < 0) return -1;
    }
    return 0;
}

// The substrate's native entry points, found once for the process. Looked up without
// importing anything: if the real sha256_jcs was bound, its module is loaded. Used only while
// a function's sha256_jcs is the genuine one (compared at each call).
void find_substrate_api(ModuleState& st) {
    Substrate& substrate = st.substrate;
    if (substrate.api) return;
    PyRef name(PyUnicode_FromString("kestrim_substrate._jcs"));
    PyRef module(name ? PyImport_GetModule(name.get()) : nullptr);
    PyRef capsule(module ? PyObject_GetAttrString(module.get(), "_C_API") : nullptr);
    const auto* api = capsule ? static_cast<const KestrimJcsApi*>(
                                    PyCapsule_GetPointer(capsule.get(), KESTRIM_JCS_CAPSULE_NAME))
                              : nullptr;
    PyErr_Clear();  // no substrate internals: the general path serves
    if (!api || api->abi_version != KESTRIM_JCS_ABI_VERSION) return;
    PyObject* keys[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) keys[i] = st.names.field[kHashedOrder[i]];
    substrate.hashed_fields = api->prepare_members(keys, kFieldCount);
    if (!substrate.hashed_fields) {
        PyErr_Clear();
        return;
    }
    substrate.api = api;
    substrate.capsule = capsule.release();
}

// class DelegationRefError(ValueError), made through ValueError's metaclass as a class
// statement would: __prepare__, the namespace, then the metaclass call.
PyObject* make_error_class() {
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(PyExc_ValueError));
    PyRef name(PyUnicode_FromString("DelegationRefError"));
    PyRef bases(PyTuple_Pack(1, PyExc_ValueError));
    PyRef prepare(PyUnicode_InternFromString("__prepare__"));
    if (!name || !bases || !prepare) return nullptr;
    PyObject* prepare_args[3] = {meta, name.get(), bases.get()};
    PyRef ns(PyObject_VectorcallMethod(prepare.get(), prepare_args, 3, nullptr));
    if (!ns) return nullptr;
    PyRef module_name(PyUnicode_FromString(kModuleName));
    PyRef doc(PyUnicode_FromString(kErrorDoc));
    if (!module_name || !doc) return nullptr;
    const std::pair<const char*, PyObject*> entries[] = {
        {"__module__", module_name.get()}, {"__qualname__", name.get()}, {"__doc__", doc.get()}};
    for (const auto& [key, value] : entries) {
        PyRef k(PyUnicode_InternFromString(key));
        if (!k || PyObject_SetItem(ns.get(), k.get(), value) < 0) return nullptr;
    }
    PyObject* class_args[3] = {name.get(), bases.get(), ns.get()};
    return PyObject_Vectorcall(meta, class_args, 3, nullptr);
}

PyObject* make_list(std::initializer_list<const char*> items, bool as_tuple) {
    const auto n = static_cast<Py_ssize_t>(items.size());
    PyRef seq(as_tuple ? PyTuple_New(n) : PyList_New(n));
    if (!seq) return nullptr;
    Py_ssize_t i = 0;
    for (const char* item : items) {
        PyObject* s = PyUnicode_InternFromString(item);
        if (!s) return nullptr;
        if (as_tuple) {
            PyTuple_SET_ITEM(seq.get(), i++, s);
        } else {
            PyList_SET_ITEM(seq.get(), i++, s);
        }
    }
    return seq.release();
}

int warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                            major, minor);
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyRef name(PyUnicode_FromString(kModuleName));
    if (!name) return -1;
    const int present = PyDict_Contains(modules, name.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, name.get(), module);
}

// The module's bindings, in their order. The first failure aborts the import.
int bind_names(ModuleState& st, PyObject* g) {
    // Whatever `import builtins` gives is bound; names fall back on the dict of that module,
    // or on the interpreter's own builtins when it is not one, as the functions do.
    PyRef builtins_module(PyImport_ImportModule("builtins"));
    if (!builtins_module || bind(g, "__builtins__", builtins_module.get()) < 0) return -1;
    PyRef builtins(builtins_for_globals(g));
    if (!builtins) return -1;
    const NativeScope scope{nullptr, g, builtins.get()};

    PyRef re(PyImport_ImportModuleLevel("re", g, nullptr, nullptr, 0));
    if (!re || bind(g, "re", re.get()) < 0) return -1;
    if (import_from(g, "typing", {"Any", "Mapping", "Sequence"}) < 0) return -1;
    if (import_from(g, "kestrim_substrate", {"sha256_jcs"}) < 0) return -1;
    find_substrate_api(st);

    PyRef all(make_list(
        {kPublicNames[0], kPublicNames[1], kPublicNames[2], kPublicNames[3], kPublicNames[4]},
        false));
    if (!all || bind(g, "__all__", all.get()) < 0) return -1;
    if (bind(g, "SHA256_PREFIX", st.names.prefix) < 0) return -1;
    PyRef fields(PyTuple_New(kFieldCount));
    if (!fields) return -1;
    for (int i = 0; i < kFieldCount; ++i) {
        PyTuple_SET_ITEM(fields.get(), i, Py_NewRef(st.names.field[kHashedOrder[i]]));
    }
    if (bind(g, "_FIELDS", fields.get()) < 0) return -1;

    PyRef re_name(PyUnicode_InternFromString("re"));
    PyRef bound_re(re_name ? load_global(scope, re_name.get()) : nullptr);
    PyRef compile(bound_re ? PyObject_GetAttrString(bound_re.get(), "compile") : nullptr);
    PyRef pattern(PyUnicode_FromString(kRefPattern));
    if (!compile || !pattern) return -1;
    PyRef ref_re(PyObject_CallOneArg(compile.get(), pattern.get()));
    if (!ref_re || bind(g, "_REF_RE", ref_re.get()) < 0) return -1;
    // The host's re.compile may have returned anything; the native matcher stands in only
    // for what is provably the pattern it mirrors.
    if (is_compiled_pattern(ref_re.get(), kRefPattern, kRefPatternFlags)) {
        Py_XSETREF(st.ref_re, ref_re.release());
    }

    PyRef error_class(make_error_class());
    if (!error_class || bind(g, "DelegationRefError", error_class.get()) < 0) return -1;

    PyRef module_name(PyUnicode_FromString(kModuleName));
    PyRef source_file(PyUnicode_FromString(kSourceFile));
    if (!module_name || !source_file) return -1;
    for (const NativeFunctionDef& def : kFunctionDefs) {
        PyRef fn(native_function_new(&def, module_name.get(), g, source_file.get()));
        if (!fn || bind(g, def.name, fn.get()) < 0) return -1;
    }
    // A failure from here on (hostile keys in the namespace, or no memory) leaves functions
    // that callers may hold; they need nothing of this module object but their own namespace.
    PyRef test(PyDict_New());
    if (!test || bind(g, "__test__", test.get()) < 0) return -1;
    return 0;
}

// Create step: one module object per process, in one interpreter.
PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    int64_t first = -1;
    if (!g_interpreter_id.compare_exchange_strong(first, id) && first != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    ModuleState& st = state();
    if (st.module) return Py_NewRef(st.module);

    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool keep_none;
    };
    for (const Copy& c : {Copy{"loader", "__loader__", true}, Copy{"origin", "__file__", true},
                          Copy{"parent", "__package__", true},
                          Copy{"submodule_search_locations", "__path__", false}}) {
        PyRef value(PyObject_GetAttrString(spec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !c.keep_none) continue;
        if (PyDict_SetItemString(dict, c.to, value.get()) < 0) return nullptr;
    }
    return module.release();
}

// Execute step: binds everything, or forgets the module so that a later import starts over.
int module_exec(PyObject* module) {
    ModuleState& st = state();
    if (st.module) {
        if (st.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'delegation_ref' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    st.module = Py_NewRef(module);
    PyObject* globals = PyModule_GetDict(module);
    // The namespace is stamped before any function that caches lookups in it exists.
    if (warn_on_version_mismatch() < 0 || register_in_sys_modules(module) < 0 ||
        compat::watch_namespace(globals) < 0 || make_constants(st) < 0 ||
        native_function_type_ready() < 0 || bind_names(st, globals) < 0) {
        forget_module(st);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Loading into a second interpreter is refused by the create step itself, with its own
    // message, whether that interpreter shares the GIL or has its own: a lesser declaration
    // would have the import system refuse an isolated one first, in other words. Nothing
    // but that refusal (an atomic exchange) ever runs in a second interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Process-wide state and a static type: the GIL is required.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// clang-format off
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "delegation_ref",
    kModuleDoc,
    0,
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};
// clang-format on

const char* const kEnvelopeParam[] = {"envelope"};
const char* const kTamperParams[] = {"claimed_ref", "envelope"};
const char* const kChainParam[] = {"envelopes"};
const char* const kNormaliseAnnotations[] = {"Mapping[str, Any]", "dict"};
const char* const kDelegationRefAnnotations[] = {"Mapping[str, Any]", "str"};
const char* const kTamperAnnotations[] = {"str", "Mapping[str, Any]", "bool"};
const char* const kChainAnnotations[] = {"Sequence[Mapping[str, Any]]", "list[str]"};

}  // namespace

ModuleState* const g_state = new ModuleState();

// The functions as callers see them; their bodies are the rules (delegation_ref.cpp).
const NativeFunctionDef kFunctionDefs[kFunctionCount] = {
    {"_normalise", nullptr, kEnvelopeParam, 1, kNormaliseAnnotations, kRuleBodies[kNormalise].body,
     kRuleBodies[kNormalise].line},
    {"delegation_ref", "Compute the content-addressed delegation_ref for a delegation envelope.",
     kEnvelopeParam, 1, kDelegationRefAnnotations, kRuleBodies[kDelegationRef].body,
     kRuleBodies[kDelegationRef].line},
    {"tamper_detected",
     "True if ``envelope`` does not recompute to ``claimed_ref`` (tamper / malformed).",
     kTamperParams, 2, kTamperAnnotations, kRuleBodies[kTamperDetected].body,
     kRuleBodies[kTamperDetected].line},
    {"verify_chain",
     "Compute the delegation_ref of each link and verify chain integrity.\n"
     "\n"
     "    The first link must have ``prev_delegation_ref == \"\"``; every subsequent link's\n"
     "    ``prev_delegation_ref`` must equal the prior link's computed ref. Returns the\n"
     "    list of refs; raises DelegationRefError on a broken or forged link.\n"
     "    ",
     kChainParam, 1, kChainAnnotations, kRuleBodies[kVerifyChain].body,
     kRuleBodies[kVerifyChain].line},
};

}  // namespace kestrim::delegation

PyMODINIT_FUNC PyInit_delegation_ref() {
    return PyModuleDef_Init(&kestrim::delegation::module_def);
}
