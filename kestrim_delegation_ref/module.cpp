// The module as the interpreter sees it: multi-phase initialisation, the names it binds and
// in which order, the exception class, and the lookup of module-level names.
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "common/py_ref.hpp"
#include "kestrim_delegation_ref/function.hpp"
#include "kestrim_delegation_ref/module_state.hpp"
#include "kestrim_substrate/jcs_capi.hpp"

namespace kestrim::delegation {
namespace {

constexpr const char* kModuleName = "kestrim_delegation_ref.delegation_ref";
constexpr const char* kSourceFile = "kestrim_delegation_ref/delegation_ref.cpp";

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

constexpr const char* kFieldNames[kFieldCount] = {
    "delegator_id", "delegate_id", "scope", "not_before_ms", "not_after_ms", "prev_delegation_ref"};

// Alphabetical: the order in which the hashed object is built.
constexpr const char* kHashedFieldNames[] = {"delegate_id",   "delegator_id",
                                             "not_after_ms",  "not_before_ms",
                                             "prev_delegation_ref", "scope"};

constexpr const char* kPublicNames[] = {"DelegationRefError", "SHA256_PREFIX", "delegation_ref",
                                        "tamper_detected", "verify_chain"};

// Never destroyed: the interpreter may still hold our objects while the process exits.
ModuleState* const g_state = new ModuleState();

int64_t g_interpreter_id = -1;

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

PyObject* message(const char* field, const char* rule) {
    return PyUnicode_FromFormat("%s%s", field, rule);
}

// Names and messages are made once and kept for the life of the process.
int make_constants(ModuleState& st) {
    if (st.names.empty) return 0;
    Names& n = st.names;
    Messages& m = st.messages;
    for (int f = 0; f < kFieldCount; ++f) {
        if (!(n.field[f] = intern(kFieldNames[f]))) return -1;
    }
    for (Field f : {kDelegatorId, kDelegateId, kScope}) {
        if (!(m.not_text[f] = message(kFieldNames[f], " must be a non-empty string"))) return -1;
    }
    for (Field f : {kNotBeforeMs, kNotAfterMs}) {
        if (!(m.not_time[f] = message(kFieldNames[f],
                                      " must be a non-negative integer (integer-millisecond)"))) {
            return -1;
        }
    }
    if (!(m.bounds_order = PyUnicode_FromString("not_after_ms must be greater than not_before_ms")) ||
        !(m.bad_prev_ref = PyUnicode_FromString(
              "prev_delegation_ref must be \"\" or a \"sha256:\"-prefixed 64-hex ref")) ||
        !(n.get = intern("get")) || !(n.match = intern("match")) ||
        !(n.normalise.name = intern("_normalise")) ||
        !(n.delegation_ref.name = intern("delegation_ref")) ||
        !(n.sha256_prefix.name = intern("SHA256_PREFIX")) ||
        !(n.sha256_jcs.name = intern("sha256_jcs")) || !(n.ref_re.name = intern("_REF_RE")) ||
        !(n.delegation_ref_error.name = intern("DelegationRefError"))) {
        return -1;
    }
    return (n.empty = intern("")) ? 0 : -1;
}

// Forgets a failed or abandoned initialisation, so a later import starts afresh.
void forget_module(ModuleState& st) {
    Originals& o = st.originals;
    Py_CLEAR(o.normalise);
    Py_CLEAR(o.delegation_ref);
    Py_CLEAR(o.sha256_prefix);
    Py_CLEAR(o.ref_re);
    Py_CLEAR(o.sha256_jcs);
    o.jcs = nullptr;
    Py_CLEAR(o.jcs_capsule);
    o.jcs_fields = nullptr;  // prepared names live for the process; nothing to free
    Py_CLEAR(st.builtins);
    st.globals = nullptr;
    for (GlobalName* g : {&st.names.normalise, &st.names.delegation_ref, &st.names.sha256_prefix,
                          &st.names.sha256_jcs, &st.names.ref_re, &st.names.delegation_ref_error}) {
        g->seen_version = 0;
        g->seen_value = nullptr;
    }
    Py_CLEAR(st.module);
}

int bind(PyObject* globals, const char* name, PyObject* value) {
    return PyDict_SetItemString(globals, name, value);
}

// `from <module> import <names...>`, binding each name as it is fetched.
int import_from(PyObject* globals, const char* module_name,
                std::initializer_list<const char*> names, PyRef* first = nullptr) {
    PyRef fromlist(PyList_New(0));
    if (!fromlist) return -1;
    for (const char* name : names) {
        PyRef item(PyUnicode_FromString(name));
        if (!item || PyList_Append(fromlist.get(), item.get()) < 0) return -1;
    }
    PyRef mod_name(PyUnicode_FromString(module_name));
    if (!mod_name) return -1;
    PyRef mod(PyImport_ImportModuleLevelObject(mod_name.get(), globals, nullptr, fromlist.get(), 0));
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
        if (first && !*first) *first = std::move(value);
    }
    return 0;
}

// The substrate's native entry points, used only while sha256_jcs is its genuine function.
// Looked up without importing anything: if the real function was bound, its module is loaded.
// The capsule owns the table, so it is kept for as long as the table is used.
void find_substrate_api(Originals& own) {
    PyRef name(PyUnicode_FromString("kestrim_substrate._jcs"));
    PyRef module(name ? PyImport_GetModule(name.get()) : nullptr);
    PyRef capsule(module ? PyObject_GetAttrString(module.get(), "_C_API") : nullptr);
    const auto* api = capsule ? static_cast<const KestrimJcsApi*>(
                                    PyCapsule_GetPointer(capsule.get(), KESTRIM_JCS_CAPSULE_NAME))
                              : nullptr;
    PyErr_Clear();  // no substrate internals: the general path serves
    if (!api || api->abi_version != KESTRIM_JCS_ABI_VERSION || api->sha256_jcs != own.sha256_jcs) {
        return;
    }
    PyObject* keys[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) keys[i] = state().names.field[kHashedOrder[i]];
    own.jcs_fields = api->prepare_members(keys, kFieldCount);
    if (!own.jcs_fields) {
        PyErr_Clear();
        return;
    }
    own.jcs = api;
    own.jcs_capsule = capsule.release();
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
    PyRef seq(as_tuple ? PyTuple_New(items.size()) : PyList_New(items.size()));
    if (!seq) return nullptr;
    Py_ssize_t i = 0;
    for (const char* item : items) {
        PyObject* s = PyUnicode_InternFromString(item);
        if (!s) return nullptr;
        if (as_tuple) PyTuple_SET_ITEM(seq.get(), i++, s);
        else PyList_SET_ITEM(seq.get(), i++, s);
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
int bind_names(ModuleState& st, PyObject* module) {
    PyObject* g = st.globals;
    Originals& own = st.originals;
    PyRef builtins_module(PyImport_ImportModule("builtins"));
    if (!builtins_module || bind(g, "__builtins__", builtins_module.get()) < 0) return -1;
    st.builtins = Py_NewRef(PyModule_GetDict(builtins_module.get()));

    PyRef re(PyImport_ImportModuleLevel("re", g, nullptr, nullptr, 0));
    if (!re || bind(g, "re", re.get()) < 0) return -1;
    if (import_from(g, "typing", {"Any", "Mapping", "Sequence"}) < 0) return -1;
    PyRef hash;
    if (import_from(g, "kestrim_substrate", {"sha256_jcs"}, &hash) < 0) return -1;
    own.sha256_jcs = hash.release();
    find_substrate_api(own);

    PyRef all(make_list({kPublicNames[0], kPublicNames[1], kPublicNames[2], kPublicNames[3],
                         kPublicNames[4]}, false));
    if (!all || bind(g, "__all__", all.get()) < 0) return -1;
    own.sha256_prefix = PyUnicode_InternFromString("sha256:");
    if (!own.sha256_prefix || bind(g, "SHA256_PREFIX", own.sha256_prefix) < 0) return -1;
    PyRef fields(make_list({kHashedFieldNames[0], kHashedFieldNames[1], kHashedFieldNames[2],
                            kHashedFieldNames[3], kHashedFieldNames[4], kHashedFieldNames[5]},
                           true));
    if (!fields || bind(g, "_FIELDS", fields.get()) < 0) return -1;

    PyRef re_name(PyUnicode_InternFromString("re"));
    PyRef bound_re(re_name ? load_global(re_name.get()) : nullptr);
    PyRef compile(bound_re ? PyObject_GetAttrString(bound_re.get(), "compile") : nullptr);
    PyRef pattern(PyUnicode_FromString("^sha256:[0-9a-f]{64}$"));
    if (!compile || !pattern) return -1;
    own.ref_re = PyObject_CallOneArg(compile.get(), pattern.get());
    if (!own.ref_re || bind(g, "_REF_RE", own.ref_re) < 0) return -1;

    PyRef error_class(make_error_class());
    if (!error_class || bind(g, "DelegationRefError", error_class.get()) < 0) return -1;

    PyRef module_name(PyUnicode_FromString(kModuleName));
    PyRef source_file(PyUnicode_FromString(kSourceFile));
    if (!module_name || !source_file) return -1;
    PyObject** slots[kFunctionCount] = {&own.normalise, &own.delegation_ref, nullptr, nullptr};
    for (int i = 0; i < kFunctionCount; ++i) {
        const NativeFunctionDef& def = kFunctionDefs[i];
        PyRef fn(native_function_new(&def, module_name.get(), g, source_file.get()));
        if (!fn || bind(g, def.name, fn.get()) < 0) return -1;
        if (slots[i]) *slots[i] = fn.release();
    }
    PyRef test(PyDict_New());
    if (!test || bind(g, "__test__", test.get()) < 0) return -1;
    (void)module;
    return 0;
}

// Create step: one module object per process, in one interpreter.
PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (id != g_interpreter_id) {
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
    struct Copy { const char* from; const char* to; bool keep_none; };
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
    st.globals = PyModule_GetDict(module);
    if (warn_on_version_mismatch() < 0 || register_in_sys_modules(module) < 0 ||
        make_constants(st) < 0 || native_function_type_ready() < 0 ||
        bind_names(st, module) < 0) {
        forget_module(st);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

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

}  // namespace

ModuleState& state() { return *g_state; }

namespace {
// A name the module namespace does not hold: the builtins, else NameError.
PyObject* load_builtin(PyObject* name) {
    if (PyErr_Occurred()) return nullptr;
    PyObject* value = PyDict_GetItemWithError(state().builtins, name);
    if (value) return Py_NewRef(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}
}  // namespace

PyObject* load_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state().globals, name);
    return value ? Py_NewRef(value) : load_builtin(name);
}

PyObject* load_global(GlobalName& global) {
    auto* dict = reinterpret_cast<PyDictObject*>(state().globals);
    // Versions are never 0, so an empty cache never matches.
    const uint64_t version = dict->ma_version_tag;
    if (global.seen_version == version) return Py_NewRef(global.seen_value);
    PyObject* value = PyDict_GetItemWithError(state().globals, global.name);
    if (!value) return load_builtin(global.name);
    // The tag read before the lookup: if the lookup itself changed the dict, the next call
    // looks again.
    global.seen_version = version;
    global.seen_value = value;
    return Py_NewRef(value);
}

}  // namespace kestrim::delegation

PyMODINIT_FUNC PyInit_delegation_ref() {
    return PyModuleDef_Init(&kestrim::delegation::module_def);
}
