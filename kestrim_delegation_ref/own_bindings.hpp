// Whether the module-level names the rules look up in a namespace are all still bound to
// our own objects, asked once per change of that namespace. Where they are, a rule run there
// on a plain envelope (plain_envelope.hpp) has one outcome, which the shortcuts in
// delegation_ref.cpp compute directly.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kestrim_delegation_ref/function.hpp"

namespace kestrim::delegation {

// True when, in `scope.globals` itself, _normalise and delegation_ref are our own functions
// defined in that same namespace, `_REF_RE` is the genuine pattern, `SHA256_PREFIX` the
// prefix initialisation bound, and `sha256_jcs` the substrate's own hash. Runs none of the
// caller's code and never fails.
bool names_are_own(const NativeScope& scope);

}  // namespace kestrim::delegation
