// Each field's own rule, by its kind: non-empty text, a time bound, a ref or nothing. Every
// test of a caller's value goes through the interpreter, so subclasses decide by their own
// methods and their exceptions pass through; an exact str or int, and the module's own
// compiled pattern, are tested natively, which no caller can tell apart.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/compat.hpp"
#include "common/py_ref.hpp"
#include "kestrim_delegation_ref/envelope_fields.hpp"
#include "kestrim_delegation_ref/function.hpp"
#include "kestrim_delegation_ref/host_ops.hpp"
#include "kestrim_delegation_ref/module_state.hpp"
#include "kestrim_delegation_ref/ref_shape.hpp"

namespace kestrim::delegation {

// A str instance whose truth value is true. 1 yes, 0 no, -1 error.
inline int is_nonempty_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        // A str made through the legacy C API has no length until it is made ready.
        if (compat::unicode_ready(value) < 0) return -1;
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    const int is_str = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str <= 0) return is_str;
    return PyObject_IsTrue(value);
}

// An int instance, not a bool, that is not below zero. 1 yes, 0 no, -1 error.
inline int is_time_bound(PyObject* value) {
    if (Py_IS_TYPE(value, &PyBool_Type)) return 0;
    if (PyLong_CheckExact(value)) return compat::long_sign(value) >= 0;
    const int is_int = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (is_int <= 0) return is_int;
    PyRef zero(PyLong_FromLong(0));
    if (!zero) return -1;
    const int negative = compare_is_true(value, zero.get(), Py_LT);
    return negative < 0 ? -1 : !negative;
}

// Whether `_REF_RE.match(value)` is truthy. 1 yes, 0 no, -1 error.
inline int matches_ref_pattern(const NativeScope& scope, PyObject* value) {
    ModuleState& st = state();
    PyRef pattern(load_global(scope, st.names.ref_re));
    if (!pattern) return -1;
    if (pattern.get() == st.ref_re && PyUnicode_Check(value)) {
        if (compat::unicode_ready(value) < 0) return -1;
        if (!PyUnicode_IS_ASCII(value)) return 0;
        return has_ref_shape(static_cast<const unsigned char*>(PyUnicode_DATA(value)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
    }
    PyObject* args[2] = {pattern.get(), value};
    PyRef match(PyObject_VectorcallMethod(st.names.match, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
    if (!match) return -1;
    return PyObject_IsTrue(match.get());
}

// Only a value unequal to "" must look like a ref. No type test comes first, so a non-str
// reaches the pattern and its TypeError passes through. 1 yes, 0 no, -1 error.
inline int is_empty_or_ref(const NativeScope& scope, PyObject* value) {
    const int names_prev = not_equal(value, state().names.empty);
    if (names_prev <= 0) return names_prev < 0 ? -1 : 1;
    return matches_ref_pattern(scope, value);
}

// A field's own rule, by its kind. 1 kept, 0 broken, -1 error.
template <Kind kind>
inline int field_rule_holds(const NativeScope& scope, PyObject* value) {
    if constexpr (kind == Kind::kText) return is_nonempty_text(value);
    if constexpr (kind == Kind::kTime) return is_time_bound(value);
    if constexpr (kind == Kind::kRef) return is_empty_or_ref(scope, value);
}

}  // namespace kestrim::delegation
