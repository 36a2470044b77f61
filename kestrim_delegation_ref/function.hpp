// A native callable that looks and behaves like an ordinary Python function.
//
// Tools recognise functions by their attributes, not their type: inspect.signature reads
// __code__, typing.get_type_hints reads __annotations__ and __globals__, pickle ships them by
// qualified name, tracebacks show a frame per function. This type gives a C++ implementation
// all of that, and binds arguments with the interpreter's own messages, so callers cannot tell
// it from a function written in Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrim {

// What a body reads of the function it runs for: the function itself, the namespace it was
// defined in (its __globals__) and the builtins that namespace falls back on (its
// __builtins__). All borrowed from the function, which the caller keeps alive for the call.
struct NativeScope {
    PyObject* fn;
    PyObject* globals;
    PyObject* builtins;
};

// The body of a function, called once the arguments are bound: `args` holds exactly one
// borrowed object per parameter, in parameter order. Returns a new reference, or nullptr with
// an exception set.
using NativeBody = PyObject* (*)(const NativeScope& scope, PyObject* const* args);

struct NativeFunctionDef {
    const char* name;
    const char* doc;            // nullptr: the function has no docstring
    const char* const* params;  // parameter names, all positional-or-keyword, no defaults
    Py_ssize_t nparams;
    const char* const* annotations;  // one string per parameter, then the return annotation
    NativeBody body;
    int source_line;  // where `body` is defined, for __code__ and tracebacks
};

// Readies the type; call once before creating functions.
int native_function_type_ready();

// A new function object. `globals` is the defining module's dict; `source_file` names the
// file that tracebacks and __code__ report.
PyObject* native_function_new(const NativeFunctionDef* def, PyObject* module_name,
                              PyObject* globals, PyObject* source_file);

// The builtins dict that a function defined in `globals` falls back on: the dict of the
// module bound as `__builtins__` there, else (absent, or not a module) the builtins the
// interpreter is running with. A new reference, or nullptr with an exception set.
PyObject* builtins_for_globals(PyObject* globals);

// The start of a function object: what the rules read on every call, here so those reads
// inline. The rest of the object is private to function.cpp.
struct NativeFunctionHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const NativeFunctionDef* def;
    PyObject* globals;   // null only once the garbage collector has cleared the function
    PyObject* builtins;  // likewise
};

extern PyTypeObject NativeFunctionType;

// Whether `obj` is a function of ours made from `def` (by any initialisation).
inline bool native_function_is(PyObject* obj, const NativeFunctionDef* def) {
    return Py_IS_TYPE(obj, &NativeFunctionType) &&
           reinterpret_cast<const NativeFunctionHead*>(obj)->def == def;
}

// The scope `fn` (one of ours) runs in.
inline NativeScope native_function_scope(PyObject* fn) {
    const auto* head = reinterpret_cast<const NativeFunctionHead*>(fn);
    return NativeScope{fn, head->globals, head->builtins};
}

// Calls the body of `fn` (which must be one of ours) with arguments already bound, as a call
// through argument binding would, including the traceback entry when it fails.
PyObject* native_function_call_bound(PyObject* fn, PyObject* const* args);

// Adds `fn`'s traceback entry to the pending exception, as leaving the function would; its
// frame holds `args`, the arguments bound to fn's parameters, as its locals (none if null).
void native_function_add_traceback(PyObject* fn, PyObject* const* args);

}  // namespace kestrim
