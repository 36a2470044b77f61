// The check behind names_are_own, and its answer kept for the namespace last asked about.
#include "kestrim_delegation_ref/own_bindings.hpp"

#include <cstdint>

#include "common/compat.hpp"
#include "kestrim_delegation_ref/module_state.hpp"
#include "kestrim_substrate/jcs_capi.hpp"

namespace kestrim::delegation {
namespace {

// What names_are_own last found for one namespace, at one stamp of it.
struct OwnBindings {
    PyObject* globals = nullptr;  // compared by identity only, never dereferenced
    std::uint64_t stamp = 0;      // 0: nothing known
    bool own = false;
};
OwnBindings g_known;

// names_are_own, asked afresh. The lookups run no __eq__: every key of the namespace must be
// an exact str.
bool bound_to_own_objects(PyObject* globals) {
    const ModuleState& st = state();
    if (!PyDict_CheckExact(globals) || !st.ref_re || !st.substrate.api ||
        !keys_are_exact_str(globals)) {
        return false;
    }
    const auto bound = [globals](const GlobalName& name) {
        return PyDict_GetItemWithError(globals, name.name);  // no error for an exact str key
    };
    const auto own_function = [globals](PyObject* fn, FunctionId id) {
        return fn && enterable(fn, id) && native_function_scope(fn).globals == globals;
    };
    const Names& names = st.names;
    return own_function(bound(names.normalise), kNormalise) &&
           own_function(bound(names.delegation_ref), kDelegationRef) &&
           bound(names.ref_re) == st.ref_re && bound(names.sha256_prefix) == names.prefix &&
           bound(names.sha256_jcs) == st.substrate.api->sha256_jcs;
}

}  // namespace

// bound_to_own_objects for the scope's namespace, asked again only once it has changed.
bool names_are_own(const NativeScope& scope) {
    OwnBindings& known = g_known;
    const std::uint64_t stamp = compat::namespace_stamp(scope.globals);
    if (stamp == 0) return bound_to_own_objects(scope.globals);  // a namespace never stamped
    if (known.stamp != stamp || known.globals != scope.globals) {
        known = OwnBindings{scope.globals, stamp, bound_to_own_objects(scope.globals)};
    }
    return known.own;
}

}  // namespace kestrim::delegation
