// The native "ordinary function" type: identity attributes, argument binding with the
// interpreter's messages, method binding, pickling by reference, traceback entries.
#include "kestrim_delegation_ref/function.hpp"

#include <frameobject.h>
#include <structmember.h>

#include "common/py_ref.hpp"

namespace kestrim {
namespace {

// Room for the bound arguments of the widest function we define, on the stack.
constexpr Py_ssize_t kMaxParams = 4;

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const NativeFunctionDef* def;
    PyObject* param_names;  // tuple of interned str, in parameter order
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* globals;
    PyObject* builtins;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

PyObject* wrong_count(const NativeFunction* f, Py_ssize_t given) {
    const Py_ssize_t n = f->def->nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, "exactly", n, n == 1 ? "" : "s", given);
    return nullptr;
}

// Index of the parameter that `key` names, or -1.
Py_ssize_t parameter_index(const NativeFunction* f, PyObject* key) {
    const Py_ssize_t n = f->def->nparams;
    // Keyword names from call sites are interned, so identity almost always decides.
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyTuple_GET_ITEM(f->param_names, j) == key) return j;
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(f->param_names, j), key) == 0) return j;
    }
    return -1;
}

PyObject* nf_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* f = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = f->def->nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != n) return wrong_count(f, nargs);
        return native_function_call_bound(self, args);
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
    return native_function_call_bound(self, bound);
}

PyObject* nf_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* nf_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
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

int nf_clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    return 0;
}

void nf_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    nf_clear(self);
    PyObject_GC_Del(self);
}

// Pickle ships a function by reference: the qualified name is looked up in __module__.
PyObject* nf_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->annotations);
}

// Setters keep the invariants a Python function keeps: names are str, annotations a dict.
int set_str_field(PyObject** field, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

PyMethodDef nf_methods[] = {
    {"__reduce__", nf_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef nf_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(NativeFunction, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(NativeFunction, builtins), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(NativeFunction, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef nf_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The slots are filled in native_function_type_ready(); C++ has no designated initialisers
// for the interpreter's long slot list.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject NativeFunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "kestrim_delegation_ref.native_function",  // tp_name
};
#pragma GCC diagnostic pop

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
    t.tp_members = nf_members;
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

    PyObject* builtins_module = PyDict_GetItemString(globals, "__builtins__");
    PyRef builtins = builtins_module && PyModule_Check(builtins_module)
                         ? PyRef::borrow(PyModule_GetDict(builtins_module))
                         : PyRef::borrow(PyEval_GetBuiltins());
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

PyObject* native_function_call_bound(PyObject* fn, PyObject* const* args) {
    // Names can be rebound so that our functions call each other without end; the
    // interpreter's recursion limit turns that into RecursionError instead of a crashed stack.
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        native_function_add_traceback(fn);
        return nullptr;
    }
    PyObject* result = as_function(fn)->def->body(args);
    Py_LeaveRecursiveCall();
    if (!result) native_function_add_traceback(fn);
    return result;
}

void native_function_add_traceback(PyObject* fn) {
    NativeFunction* f = as_function(fn);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(),
                                       reinterpret_cast<PyCodeObject*>(f->code), f->globals,
                                       nullptr);
    if (!frame) {
        // Without memory for the frame, the caller's exception still matters more.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace kestrim
