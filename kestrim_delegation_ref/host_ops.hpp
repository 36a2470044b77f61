// What the interpreter would do for the statements the rules are written in: look a name up
// in a function's namespace, `raise`, `except` with its matching and context chaining, call,
// compare, take a truth value, read a field through `get`, walk a `for` loop, and add the
// traceback entries a function leaves behind.
//
// Nothing here knows an envelope rule; the rules (delegation_ref.cpp) are written with these.
// Every operation returns the C API's convention: a new reference or nullptr, or an int with
// -1 for an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/compat.hpp"
#include "common/py_ref.hpp"
#include "kestrim_delegation_ref/function.hpp"

namespace kestrim::delegation {

// A module-level name and the binding last found for it. The binding is borrowed from the
// namespace it was found in, and stands only while that namespace's stamp is unchanged (see
// compat::namespace_stamp): any write to it changes the stamp. One entry serves every
// namespace, so functions of different module objects take turns in it.
//
// Only a namespace whose keys are all exact str is answered from the entry. A lookup in one
// with any other key may run that key's __eq__ (where its hash meets the name's), and its
// answer may differ without any write: the interpreter's LOAD_GLOBAL looks such a namespace
// up every time, and so does load_global.
struct GlobalName {
    PyObject* name = nullptr;  // interned, kept for the life of the process
    PyObject* seen_in = nullptr;
    std::uint64_t seen_stamp = 0;
    // Null when seen_in, at seen_stamp, holds a key that is not an exact str.
    PyObject* seen_value = nullptr;
};

// Whether every key of the dict is an exact str, so that looking a str up in it runs no
// __eq__ of the caller's.
bool keys_are_exact_str(PyObject* dict);

// The current binding of a module-level name, as the interpreter's LOAD_GLOBAL finds it:
// the function's namespace, then its builtins, else NameError. A new reference.
PyObject* load_global(const NativeScope& scope, PyObject* name);
PyObject* load_global_afresh(const NativeScope& scope, GlobalName& name, std::uint64_t stamp);
inline PyObject* load_global(const NativeScope& scope, GlobalName& name) {
    // Stamps are never 0, so an empty entry never matches.
    const std::uint64_t stamp = compat::namespace_stamp(scope.globals);
    if (name.seen_value != nullptr && name.seen_stamp == stamp && name.seen_in == scope.globals) {
        return Py_NewRef(name.seen_value);
    }
    return load_global_afresh(scope, name, stamp);
}

// `raise exc`: an instance is raised as it is; a class is called once, and what the call
// gives must be an instance. Always nullptr.
PyObject* raise_object(PyObject* exc);

// `raise cls(message)`, with the class looked up only now; the message is made only once the
// class is found, so a missing class is what is reported. Always nullptr.
template <typename MakeMessage>
PyObject* raise_new(const NativeScope& scope, GlobalName& cls_name, MakeMessage make_message) {
    PyRef cls(load_global(scope, cls_name));
    if (!cls) return nullptr;
    PyRef message(make_message());
    if (!message) return nullptr;
    PyRef exc(PyObject_CallOneArg(cls.get(), message.get()));
    if (!exc) return nullptr;
    return raise_object(exc.get());
}

// The truth value of `left op right`, as `if left op right:` takes it. 1, 0, or -1.
inline int compare_is_true(PyObject* left, PyObject* right, int op) {
    PyRef outcome(PyObject_RichCompare(left, right, op));
    if (!outcome) return -1;
    return PyObject_IsTrue(outcome.get());
}

// `left != right` as a truth value. Exact strs compare by text; anything else through `!=`.
inline int not_equal(PyObject* left, PyObject* right) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        const int order = PyUnicode_Compare(left, right);
        if (order == -1 && PyErr_Occurred()) return -1;  // a str that could not be made ready
        return order != 0;
    }
    return compare_is_true(left, right, Py_NE);
}

// `envelope.get(name)`, or `envelope.get(name, fallback)` when a fallback is given (`get` is
// the interned attribute name). An exact dict's `get` cannot be replaced, so its table is
// read directly.
inline PyObject* read_field(PyObject* envelope, PyObject* get, PyObject* name, PyObject* fallback) {
    if (PyDict_CheckExact(envelope)) {
        PyObject* value = PyDict_GetItemWithError(envelope, name);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
        return Py_NewRef(fallback ? fallback : Py_None);
    }
    PyObject* args[3] = {envelope, name, fallback};
    const size_t nargs = fallback ? 3 : 2;
    return PyObject_VectorcallMethod(get, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `fn(arg)`. A function of ours made from `own` is entered directly: argument binding could
// not fail for one positional argument.
inline PyObject* call_one(PyObject* fn, PyObject* arg, const NativeFunctionDef* own = nullptr) {
    if (own && native_function_is(fn, own)) return native_function_call_bound(fn, &arg);
    PyObject* args[2] = {nullptr, arg};
    return PyObject_Vectorcall(fn, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Whether `obj` is a genuine compiled pattern (re.Pattern) of the text `pattern` with the
// flags `flags`; such an object's `match` cannot be replaced, and its results follow from the
// text and the flags. Never fails.
bool is_compiled_pattern(PyObject* obj, const char* pattern, long flags);

// Traceback entries owed to an error by our own functions that were entered directly
// (without a call, so without leaving an entry): added once the error is known to go on, and
// not at all when it is caught and answered. The functions and the argument each was entered
// with are held, since the names that found them may be rebound before the entries are added.
class OwedFrames {
public:
    // The rules enter at most two functions directly within one call (delegation_ref, and
    // its _normalise), each with its one argument. Should a third ever be owed, its entry is
    // added at once rather than written past the end: an entry out of order, never a
    // corrupted stack.
    static constexpr int kCapacity = 2;
    void owe(PyObject* fn, PyObject* arg) {
        if (count_ == kCapacity) {
            native_function_add_traceback(fn, &arg);
            return;
        }
        fns_[count_] = PyRef::borrow(fn);
        args_[count_++] = PyRef::borrow(arg);
    }
    // Innermost first, as the calls were left.
    void settle() const {
        for (int i = 0; i < count_; ++i) {
            PyObject* const arg = args_[i].get();
            native_function_add_traceback(fns_[i].get(), &arg);
        }
    }

private:
    PyRef fns_[kCapacity];
    PyRef args_[kCapacity];
    int count_ = 0;
};

// `except <handler>:` around the failed step whose exception is pending, with the handler
// looked up only now, as the interpreter matches it. 1: it matched, and the exception is
// discarded. 0: it did not, and it goes on with the entries it is owed. -1: looking up or
// matching the handler raised; that error goes on, with the pending one as its context.
int except_matches(const NativeScope& scope, GlobalName& handler, const OwedFrames& owed);

// `for link in iterable:`. An exact list or tuple is walked by position, reading its length
// again before every step, as the host's own iterator does (the loop body may grow or shrink
// it); anything else through one iterator, lazily.
class ForEach {
public:
    int start(PyObject* iterable);
    // 1 with the next item, 0 at the end (StopIteration and its subclasses end it too), -1
    // with an exception set.
    int next(PyRef& item);
    // The exact list or tuple walked by position, or null when an iterator is walked.
    PyObject* sequence() const { return sequence_; }
    Py_ssize_t position() const { return position_; }
    // Moves past items of the sequence that the caller has taken itself.
    void skip(Py_ssize_t count) { position_ += count; }

private:
    PyObject* sequence_ = nullptr;  // borrowed from the caller's arguments
    PyRef iterator_;
    Py_ssize_t position_ = 0;
};

}  // namespace kestrim::delegation
