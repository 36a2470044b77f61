// What the canonical form refuses, and how each refusal is worded. A value JSON cannot carry
// exactly is an error, never rounded or coerced: two inputs that differ must never produce
// the same bytes.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"
#include "common/py_ref.hpp"

#include <cstdint>
#include <cstdio>

namespace kestrim {
namespace {

// Larger integers are no longer exact as JSON numbers (IEEE doubles), and a rounded integer
// would let two different documents share a hash.
constexpr long long kMaxSafeInteger = (1LL << 53) - 1;

bool not_serializable(PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Object of type %.200s is not JSON serializable",
                 Py_TYPE(obj)->tp_name);
    return false;
}

bool integer_out_of_range(PyObject* obj) {
    // Format strings must be ASCII; the range goes in as a UTF-8 argument.
    static constexpr char kRange[] = "\u00b1(2**53-1)";
    // int's own repr: a subclass's override is user code and must not run here.
    PyRef text(PyLong_Type.tp_repr(obj));
    if (!text) {
        // Too many digits to print (int_max_str_digits): say so without the value.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "integer is outside the exactly representable range %s",
                     kRange);
        return false;
    }
    PyErr_Format(PyExc_ValueError, "integer %U is outside the exactly representable range %s",
                 text.get(), kRange);
    return false;
}

bool lone_surrogate(Py_UCS4 unit, Py_ssize_t index) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(unit));
    PyErr_Format(PyExc_ValueError,
                 "string holds a lone surrogate %s at index %zd, which has no UTF-8 form", code,
                 index);
    return false;
}

bool duplicate_key(PyObject* key) {
    // %U reads the stored text, so no user __repr__ runs.
    PyErr_Format(PyExc_ValueError, "duplicate object key '%U'", key);
    return false;
}

// ---- integers ---------------------------------------------------------------------------

// The magnitude and sign of an int (or subclass: read as stored) within ±(2**53-1); false,
// with nothing raised, when it lies outside.
inline bool safe_integer(PyObject* obj, std::uint64_t& magnitude, bool& negative) noexcept {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v > kMaxSafeInteger || v < -kMaxSafeInteger) return false;
    negative = v < 0;
    magnitude = static_cast<std::uint64_t>(negative ? -v : v);
    return true;
}

}  // namespace
}  // namespace kestrim
