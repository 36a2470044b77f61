// The native "ordinary function" type: identity attributes, argument binding with the
// interpreter's messages, method binding, pickling by reference, traceback entries.
#include "kestrim_delegation_ref/function.hpp"

#include <frameobject.h>

#include "common/compat.hpp"
#include "common/py_ref.hpp"

namespace kestrim {
namespace {

// Room for the bound arguments of the widest function we define, on the stack.
constexpr Py_ssize_t kMaxParams = 4;

// Begins with the fields of NativeFunctionHead, in its order (checked below).
struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const NativeFunctionDef* def;
    PyObject* globals;
    PyObject* builtins;
    PyObject* param_names;  // tuple of interned str, in parameter order
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

static_assert(offsetof(NativeFunction, vectorcall) == offsetof(NativeFunctionHead, vectorcall) &&
                  offsetof(NativeFunction, def) == offsetof(NativeFunctionHead, def) &&
                  offsetof(NativeFunction, globals) == offsetof(NativeFunctionHead, globals) &&
                  offsetof(NativeFunction, builtins) == offsetof(NativeFunctionHead, builtins),
              "NativeFunctionHead is the start of NativeFunction");

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

PyObject* wrong_count(const NativeFunction* f, Py_ssize_t given) {
    const Py_ssize_t n = f->def->nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, "exactly", n, n == 1 ? "" : "s", given);
    return nullptr;
}

// Index of the parameter that `key` names, -1 for none, or -2 with an exception set.
Py_ssize_t parameter_index(const NativeFunction* f, PyObject* key) {
    const Py_ssize_t n = f->def->nparams;
    // Keyword names from call sites are interned, so identity almost always decides.
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyTuple_GET_ITEM(f->param_names, j) == key) return j;
    }
    // Then `key == name`, as a Python function binds: a str subclass from **kwargs decides
    // by its own __eq__, and what that raises goes to the caller.
    for (Py_ssize_t j = 0; j < n; ++j) {
        const int same = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(f->param_names, j), Py_EQ);
        if (same != 0) return same > 0 ? j : -2;
    }
    return -1;
}

[[gnu::cold]] PyObject* cleared(const NativeFunction* f) {
    // Only the garbage collector clears a function, and only one it found unreachable;
    // code run while it breaks the cycle may still reach it.
    PyErr_Format(PyExc_SystemError, "%s() was cleared by the garbage collector", f->def->name);
    return nullptr;
}

// Runs the body with arguments already bound, as a call through argument binding would,
// including the traceback entry when it fails.
inline PyObject* enter(NativeFunction* f, PyObject* const* args) {
    PyObject* fn = reinterpret_cast<PyObject*>(f);
    if (!f->globals || !f->builtins) return cleared(f);
    // Names can be rebound so that our functions call each other without end; the
    // interpreter's recursion limit turns that into RecursionError instead of a crashed stack.
    compat::NativeLevel level;
    if (compat::enter_native_call(" while calling a Python object", level)) {
        native_function_add_traceback(fn, args);
        return nullptr;
    }
    PyObject* result = f->def->body(NativeScope{fn, f->globals, f->builtins}, args);
    compat::leave_native_call(level);
    if (!result) native_function_add_traceback(fn, args);
    return result;
}

PyObject* nf_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* f = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = f->def->nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != n) return wrong_count(f, nargs);
        return enter(f, args);
    }
    if (nargs > n) return wrong_count(f, nargs);

    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t j = 0; j < nargs; ++j) bound[j] = args[j];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
            return nullptr;
        }
        const Py_ssize_t j = parameter_index(f, key);
        if (j == -2) return nullptr;
        if (j < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->def->name, key);
            return nullptr;
        }
        if (bound[j]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f->def->name, key);
            return nullptr;
        }
        bound[j] = args[nargs + k];
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (!bound[j]) return wrong_count(f, j);
    }
    return enter(f, bound);
}

PyObject* nf_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// The identity fields are null only after tp_clear; what reads them then still answers.
PyObject* nf_repr(PyObject* self) {
    const NativeFunction* f = as_function(self);
    if (!f->qualname) return PyUnicode_FromFormat("<function %s at %p>", f->def->name, self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int nf_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
    Py_VISIT(f->param_names);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

// Breaks cycles. The parameter names and the code object cannot be part of one (tuples of
// interned str, and a code object made from them), and argument binding and tracebacks read
// them, so they stay until deallocation, as a Python function keeps its code.
int nf_clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->dict);
    return 0;
}

void nf_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    NativeFunction* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    nf_clear(self);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

// A name field, or the definition's name once the field has been cleared.
PyObject* name_or_def(const NativeFunction* f, PyObject* field) {
    return field ? Py_NewRef(field) : PyUnicode_FromString(f->def->name);
}

// Pickle ships a function by reference: the qualified name is looked up in __module__.
PyObject* nf_reduce(PyObject* self, PyObject*) {
    return name_or_def(as_function(self), as_function(self)->qualname);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// The object fields, named by their offset: None where a field is null, as a plain member
// would answer.
template <PyObject* NativeFunction::* Field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = as_function(self)->*Field;
    return Py_NewRef(value ? value : Py_None);
}

// __module__ and __doc__ take any value, and deleting one leaves None, as for a function
// written in Python.
template <PyObject* NativeFunction::* Field>
int set_field(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->*Field, Py_XNewRef(value));
    return 0;
}

// The host's own message for its functions' read-only attributes.
int set_readonly(PyObject*, PyObject*, void*) {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

PyObject* get_name(PyObject* self, void*) {
    return name_or_def(as_function(self), as_function(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return name_or_def(as_function(self), as_function(self)->qualname);
}

// Setters keep the invariants a Python function keeps: names are str, annotations a dict.
int set_str_field(PyObject** field, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_annotations(PyObject* self, void*) {
    // A cleared function answers with a new empty dict, as a function without annotations.
    PyObject* annotations = as_function(self)->annotations;
    return annotations ? Py_NewRef(annotations) : PyDict_New();
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

PyMethodDef nf_methods[] = {
    {"__reduce__", nf_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef nf_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_field<&NativeFunction::module>, set_field<&NativeFunction::module>, nullptr,
     nullptr},
    {"__doc__", get_field<&NativeFunction::doc>, set_field<&NativeFunction::doc>, nullptr, nullptr},
    {"__globals__", get_field<&NativeFunction::globals>, set_readonly, nullptr, nullptr},
    {"__builtins__", get_field<&NativeFunction::builtins>, set_readonly, nullptr, nullptr},
    {"__code__", get_field<&NativeFunction::code>, set_readonly, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A real code object, so inspect.signature and tracebacks see parameter names, the file and
// a line, exactly as for a function written in Python.
PyObject* make_code(const NativeFunctionDef* def, PyObject* param_names, PyObject* qualname,
                    PyObject* source_file) {
    const char* file = PyUnicode_AsUTF8(source_file);
    if (!file) return nullptr;
    PyRef empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, def->name, def->source_line)));
    if (!empty) return nullptr;
    PyRef replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    PyRef nargs(PyLong_FromSsize_t(def->nparams));
    PyRef flags(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    PyRef kwargs(PyDict_New());
    if (!nargs || !flags || !kwargs) return nullptr;
    if (PyDict_SetItemString(kwargs.get(), "co_argcount", nargs.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", nargs.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", param_names) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", qualname) < 0) {
        return nullptr;
    }
    PyRef noargs(PyTuple_New(0));
    if (!noargs) return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kwargs.get());
}

}  // namespace

// The slots are filled in native_function_type_ready(); C++ has no designated initialisers
// for the interpreter's long slot list.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject NativeFunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "kestrim_delegation_ref.native_function",  // tp_name
};
// clang-format on
#pragma GCC diagnostic pop

int native_function_type_ready() {
    static bool ready = false;
    if (ready) return 0;
    PyTypeObject& t = NativeFunctionType;
    t.tp_basicsize = sizeof(NativeFunction);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function implemented natively that behaves like one written in Python.";
    t.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = nf_descr_get;
    t.tp_repr = nf_repr;
    t.tp_dealloc = nf_dealloc;
    t.tp_traverse = nf_traverse;
    t.tp_clear = nf_clear;
    t.tp_dictoffset = offsetof(NativeFunction, dict);
    t.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
    t.tp_methods = nf_methods;
    t.tp_getset = nf_getset;
    if (PyType_Ready(&t) < 0) return -1;
    ready = true;
    return 0;
}

PyObject* native_function_new(const NativeFunctionDef* def, PyObject* module_name,
                              PyObject* globals, PyObject* source_file) {
    if (def->nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "native function has too many parameters");
        return nullptr;
    }
    PyRef name(PyUnicode_InternFromString(def->name));
    PyRef params(PyTuple_New(def->nparams));
    PyRef annotations(PyDict_New());
    if (!name || !params || !annotations) return nullptr;
    for (Py_ssize_t j = 0; j < def->nparams; ++j) {
        PyObject* param = PyUnicode_InternFromString(def->params[j]);
        if (!param) return nullptr;
        PyTuple_SET_ITEM(params.get(), j, param);
        PyRef annotation(PyUnicode_FromString(def->annotations[j]));
        if (!annotation || PyDict_SetItem(annotations.get(), param, annotation.get()) < 0) {
            return nullptr;
        }
    }
    PyRef returns(PyUnicode_FromString(def->annotations[def->nparams]));
    if (!returns || PyDict_SetItemString(annotations.get(), "return", returns.get()) < 0) {
        return nullptr;
    }
    PyRef doc = def->doc ? PyRef(PyUnicode_FromString(def->doc)) : PyRef::borrow(Py_None);
    if (!doc) return nullptr;

    PyRef builtins(builtins_for_globals(globals));
    PyRef code(make_code(def, params.get(), name.get(), source_file));
    if (!builtins || !code) return nullptr;

    NativeFunction* f = PyObject_GC_New(NativeFunction, &NativeFunctionType);
    if (!f) return nullptr;
    f->vectorcall = nf_vectorcall;
    f->def = def;
    f->param_names = params.release();
    f->qualname = Py_NewRef(name.get());
    f->name = name.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->globals = Py_NewRef(globals);
    f->builtins = builtins.release();
    f->code = code.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

PyObject* builtins_for_globals(PyObject* globals) {
    PyRef key(PyUnicode_InternFromString("__builtins__"));
    if (!key) return nullptr;
    PyObject* bound = PyDict_GetItemWithError(globals, key.get());
    if (bound && PyModule_Check(bound)) {
        PyObject* dict = PyModule_GetDict(bound);
        if (dict) return Py_NewRef(dict);
    }
    if (PyErr_Occurred()) return nullptr;
    return compat::current_builtins();
}

PyObject* native_function_call_bound(PyObject* fn, PyObject* const* args) {
    return enter(as_function(fn), args);
}

void native_function_add_traceback(PyObject* fn, PyObject* const* args) {
    const NativeFunction* f = as_function(fn);
    if (!f->code || !f->globals) return;  // cleared: no frame to show
    // The frame is made with no exception pending, then the caller's is put back.
    PyObject* pending = compat::take_exception();
    PyFrameObject* frame = PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(f->code), f->globals, nullptr);
    // The arguments, so that a debugger or a report of locals shows what the call was given,
    // as for a function written in Python. Without memory for them (or for the frame), the
    // caller's exception still matters more.
    if (frame && args && f->param_names &&
        compat::frame_bind_locals(frame, f->param_names, args) < 0) {
        PyErr_Clear();
    }
    if (!frame) PyErr_Clear();
    if (pending) compat::restore_exception(pending);
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace kestrim
