"""The same envelope rules, written the way a Python team would write them, for the
side-by-side benchmark. Only the canonical hash differs between renditions: ``build``
takes it as an argument."""

import hashlib
import json
import re
from types import SimpleNamespace

SHA256_PREFIX = "sha256:"
_FIELDS = ("delegate_id", "delegator_id", "not_after_ms", "not_before_ms",
           "prev_delegation_ref", "scope")
_REF_RE = re.compile(r"^sha256:[0-9a-f]{64}$")


class DelegationRefError(ValueError):
    pass


def _normalise(envelope):
    out = {}
    for key in ("delegator_id", "delegate_id", "scope"):
        value = envelope.get(key)
        if not isinstance(value, str) or not value:
            raise DelegationRefError(key + " must be a non-empty string")
        out[key] = value
    for key in ("not_before_ms", "not_after_ms"):
        value = envelope.get(key)
        # bool is an int to Python, but True is not a time.
        if type(value) is bool or not isinstance(value, int) or value < 0:
            raise DelegationRefError(
                key + " must be a non-negative integer (integer-millisecond)")
        out[key] = value
    if out["not_after_ms"] <= out["not_before_ms"]:
        raise DelegationRefError("not_after_ms must be greater than not_before_ms")
    prev = envelope.get("prev_delegation_ref", "")
    if prev != "" and not _REF_RE.match(prev):
        raise DelegationRefError(
            'prev_delegation_ref must be "" or a "sha256:"-prefixed 64-hex ref')
    out["prev_delegation_ref"] = prev
    return out


def json_sha256_jcs(obj):
    # Matches RFC 8785 for str/int values within 2**53 and ASCII keys, which is all an
    # envelope holds in practice; bench.py checks the agreement on its inputs.
    return hashlib.sha256(
        json.dumps(obj, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()
    ).hexdigest()


def make_orjson_sha256_jcs():
    """None when orjson is not importable."""
    try:
        import orjson
    except ImportError:
        return None
    dumps, option, sha256 = orjson.dumps, orjson.OPT_SORT_KEYS, hashlib.sha256

    def orjson_sha256_jcs(obj):
        return sha256(dumps(obj, option=option)).hexdigest()

    return orjson_sha256_jcs


def build(sha256_jcs):
    """delegation_ref, tamper_detected and verify_chain on top of ``sha256_jcs``."""

    def delegation_ref(envelope):
        n = _normalise(envelope)
        return SHA256_PREFIX + sha256_jcs({k: n[k] for k in _FIELDS})

    def tamper_detected(claimed_ref, envelope):
        try:
            return delegation_ref(envelope) != claimed_ref
        except DelegationRefError:
            return True

    def verify_chain(envelopes):
        refs = []
        prev = ""
        for i, env in enumerate(envelopes):
            if env.get("prev_delegation_ref", "") != prev:
                raise DelegationRefError(
                    f"chain break at link {i}: prev_delegation_ref does not match the prior link")
            ref = delegation_ref(env)
            refs.append(ref)
            prev = ref
        return refs

    return SimpleNamespace(sha256_jcs=sha256_jcs, delegation_ref=delegation_ref,
                           tamper_detected=tamper_detected, verify_chain=verify_chain,
                           DelegationRefError=DelegationRefError, _normalise=_normalise)
