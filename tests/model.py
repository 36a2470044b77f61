"""A plain-Python statement of the delegation-ref rules, used as an oracle by the tests.

The four functions below are templates: ``build`` re-creates them over a fresh namespace so
that, like the native functions, they look their module-level names up at call time and can
be rebound. They use only the host operations the native module must use (``get``,
``isinstance``, truth tests, ``<``, ``<=``, ``!=``, the pattern's ``match``, ``+``), in the
same order, so any host exception they raise is the one the native module must raise too.
"""

import builtins
import re
import types

SHA256_PREFIX = "sha256:"
REF_PATTERN = "^sha256:[0-9a-f]{64}$"
FIELDS = ("delegate_id", "delegator_id", "not_after_ms", "not_before_ms",
          "prev_delegation_ref", "scope")
TEXT_FIELDS = ("delegator_id", "delegate_id", "scope")
TIME_FIELDS = ("not_before_ms", "not_after_ms")
NORMALISED_ORDER = TEXT_FIELDS + TIME_FIELDS + ("prev_delegation_ref",)

TEXT_RULE = " must be a non-empty string"
TIME_RULE = " must be a non-negative integer (integer-millisecond)"
ORDER_MESSAGE = "not_after_ms must be greater than not_before_ms"
PREV_MESSAGE = 'prev_delegation_ref must be "" or a "sha256:"-prefixed 64-hex ref'
CHAIN_BREAK = "chain break at link {}: prev_delegation_ref does not match the prior link"


class DelegationRefError(ValueError):
    """Stand-in used only when ``build`` is given no class."""


def _normalise(envelope):
    result = {}
    for name in ("delegator_id", "delegate_id", "scope"):
        value = envelope.get(name)
        if not isinstance(value, str) or not value:
            raise DelegationRefError(name + " must be a non-empty string")
        result[name] = value
    for name in ("not_before_ms", "not_after_ms"):
        value = envelope.get(name)
        if type(value) is bool or not isinstance(value, int) or value < 0:
            raise DelegationRefError(
                name + " must be a non-negative integer (integer-millisecond)")
        result[name] = value
    if result["not_after_ms"] <= result["not_before_ms"]:
        raise DelegationRefError("not_after_ms must be greater than not_before_ms")
    prev = envelope.get("prev_delegation_ref", "")
    if prev != "" and not _REF_RE.match(prev):
        raise DelegationRefError(
            'prev_delegation_ref must be "" or a "sha256:"-prefixed 64-hex ref')
    result["prev_delegation_ref"] = prev
    return result


def delegation_ref(envelope):
    n = _normalise(envelope)
    return SHA256_PREFIX + sha256_jcs({
        "delegate_id": n["delegate_id"],
        "delegator_id": n["delegator_id"],
        "not_after_ms": n["not_after_ms"],
        "not_before_ms": n["not_before_ms"],
        "prev_delegation_ref": n["prev_delegation_ref"],
        "scope": n["scope"],
    })


def tamper_detected(claimed_ref, envelope):
    try:
        return delegation_ref(envelope) != claimed_ref
    except DelegationRefError:
        return True


def verify_chain(envelopes):
    refs = []
    prev = ""
    i = 0
    for env in envelopes:
        if env.get("prev_delegation_ref", "") != prev:
            raise DelegationRefError(
                f"chain break at link {i}: prev_delegation_ref does not match the prior link")
        ref = delegation_ref(env)
        refs.append(ref)
        prev = ref
        i += 1
    return refs


FUNCTIONS = (_normalise, delegation_ref, tamper_detected, verify_chain)


def build(error=None, sha256_jcs=None):
    """A namespace holding the four functions, bound to ``error`` and ``sha256_jcs``."""
    m = types.ModuleType("delegation_ref_model")
    m.__dict__.update(
        __builtins__=builtins,
        SHA256_PREFIX=SHA256_PREFIX,
        _REF_RE=re.compile(REF_PATTERN),
        DelegationRefError=error or DelegationRefError,
        sha256_jcs=sha256_jcs,
    )
    for f in FUNCTIONS:
        setattr(m, f.__name__, types.FunctionType(f.__code__, m.__dict__, f.__name__))
    return m


PARAMETERS = {
    "_normalise": ("envelope",),
    "delegation_ref": ("envelope",),
    "tamper_detected": ("claimed_ref", "envelope"),
    "verify_chain": ("envelopes",),
}


def binding_error(name, nargs, kwnames):
    """The TypeError message a call with ``nargs`` positionals and these keyword names gets,
    or None when the arguments bind."""
    params = PARAMETERS[name]
    n = len(params)

    def wrong_count(given):
        return (f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'}"
                f" ({given} given)")

    if nargs > n:
        return wrong_count(nargs)
    by_position = set(params[:nargs])
    for key in kwnames:
        if not isinstance(key, str):
            return f"{name}() keywords must be strings"
        if key in by_position:
            return f"{name}() got multiple values for keyword argument '{key}'"
        if key not in params:
            return f"{name}() got an unexpected keyword argument '{key}'"
    bound = by_position | set(kwnames)
    for position, param in enumerate(params):
        if param not in bound:
            return wrong_count(position if kwnames else nargs)
    return None
