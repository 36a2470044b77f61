// The interpreter's behaviour for the statements the rules are written in (see host_ops.hpp).
#include "kestrim_delegation_ref/host_ops.hpp"

#include <cstring>

#include "common/compat.hpp"

namespace kestrim::delegation {
namespace {

// A name the namespace does not hold: the builtins, else NameError.
PyObject* load_builtin(const NativeScope& scope, PyObject* name) {
    if (PyErr_Occurred()) return nullptr;
    PyObject* value = PyDict_GetItemWithError(scope.builtins, name);
    if (value) return Py_NewRef(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace

PyObject* load_global(const NativeScope& scope, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(scope.globals, name);
    return value ? Py_NewRef(value) : load_builtin(scope, name);
}

bool keys_are_exact_str(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

PyObject* load_global_afresh(const NativeScope& scope, GlobalName& global, std::uint64_t stamp) {
    // The entry is for this namespace at this stamp only when its keys were found not all
    // exact str: then they are not looked over again until it changes.
    const bool known = global.seen_in == scope.globals && global.seen_stamp == stamp;
    PyObject* value = PyDict_GetItemWithError(scope.globals, global.name);
    if (!value) return load_builtin(scope, global.name);
    if (!known) {
        // The stamp read before the lookup: if the lookup itself changed the namespace (a
        // key's own __eq__ may), the next call looks again.
        global.seen_in = scope.globals;
        global.seen_stamp = stamp;
        global.seen_value = keys_are_exact_str(scope.globals) ? value : nullptr;
    }
    return Py_NewRef(value);
}

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

bool is_compiled_pattern(PyObject* obj, const char* pattern, long flags) {
    PyTypeObject* type = Py_TYPE(obj);
    // A class written in Python may call itself anything, but cannot be immutable; and the
    // compiled-pattern type cannot be subclassed.
    if (!(PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) ||
        std::strcmp(type->tp_name, "re.Pattern") != 0) {
        return false;
    }
    PyRef text(PyObject_GetAttrString(obj, "pattern"));
    PyRef got_flags(text ? PyObject_GetAttrString(obj, "flags") : nullptr);
    bool genuine = got_flags && PyUnicode_CheckExact(text.get()) &&
                   PyLong_CheckExact(got_flags.get()) &&
                   PyUnicode_CompareWithASCIIString(text.get(), pattern) == 0 &&
                   PyLong_AsLong(got_flags.get()) == flags;
    if (PyErr_Occurred()) {
        PyErr_Clear();  // what cannot be read is not taken on trust
        genuine = false;
    }
    return genuine;
}

int except_matches(const NativeScope& scope, GlobalName& handler_name, const OwedFrames& owed) {
    PyRef pending(compat::take_exception());
    if (!pending) return 0;
    PyRef handler(load_global(scope, handler_name));
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
            matches = PyErr_GivenExceptionMatches(
                reinterpret_cast<PyObject*>(Py_TYPE(pending.get())), handler.get());
        } else {
            PyErr_SetString(PyExc_TypeError,
                            "catching classes that do not inherit from BaseException is not "
                            "allowed");
        }
    }
    if (matches > 0) return 1;

    PyRef raised(matches < 0 ? compat::take_exception() : nullptr);
    compat::restore_exception(pending.release());
    owed.settle();
    if (matches == 0) return 0;
    // Raised while handling: the new error replaces the pending one and keeps it as context.
    PyException_SetContext(raised.get(), compat::take_exception());
    compat::restore_exception(raised.release());
    return -1;
}

int ForEach::start(PyObject* iterable) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        sequence_ = iterable;
        return 0;
    }
    iterator_ = PyRef(PyObject_GetIter(iterable));
    return iterator_ ? 0 : -1;
}

int ForEach::next(PyRef& item) {
    if (sequence_) {
        if (position_ >= Py_SIZE(sequence_)) return 0;
        item = PyRef::borrow(PyList_Check(sequence_) ? PyList_GET_ITEM(sequence_, position_)
                                                     : PyTuple_GET_ITEM(sequence_, position_));
        ++position_;
        return 1;
    }
    item = PyRef(PyIter_Next(iterator_.get()));  // clears StopIteration and its subclasses
    if (item) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace kestrim::delegation
