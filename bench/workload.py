"""Inputs shared by bench.py and hot_loop.py, so that the timings and the instruction
counts are taken on the same envelope."""

import hashlib

FIELDS = ("delegate_id", "delegator_id", "not_after_ms", "not_before_ms",
          "prev_delegation_ref", "scope")

# Ids and scope in the shape real deployments use; times are epoch milliseconds, a
# one-hour window; the ref of a parent link is present, as it is for every link but the
# first. The "note" key is not hashed, but real envelopes carry such keys.
TYPICAL_ENVELOPE = {
    "delegator_id": "agent:kestrim/planner-7f3a9c2e",
    "delegate_id": "agent:kestrim/executor-b21e04d9",
    "scope": "invoices:read payments:initiate<=500EUR",
    "not_before_ms": 1_733_616_000_000,
    "not_after_ms": 1_733_619_600_000,
    "prev_delegation_ref": "sha256:" + hashlib.sha256(b"parent delegation").hexdigest(),
    "note": "nightly reconciliation run",
}


def malformed_envelope():
    """Well formed except for an empty validity window: the last rule to run before the
    ref check, so the whole validation path is paid before the refusal."""
    env = dict(TYPICAL_ENVELOPE)
    env["not_after_ms"] = env["not_before_ms"]
    return env


def hashed_object(env=TYPICAL_ENVELOPE):
    """The six-field object whose canonical JSON is hashed."""
    return {k: env.get(k, "") if k == "prev_delegation_ref" else env[k] for k in FIELDS}


def unsorted_object(env=TYPICAL_ENVELOPE):
    """The same six fields in the order the envelope gives them, as most callers build the
    object: hashing it pays for sorting the keys."""
    obj = hashed_object(env)
    return {k: obj[k] for k in env if k in obj} | {k: obj[k] for k in obj if k not in env}


def make_chain(n, ref_of):
    """n envelopes, each naming the ref (computed with ``ref_of``) of the one before."""
    links, prev = [], ""
    for i in range(n):
        env = {
            "delegator_id": f"agent:kestrim/worker-{i:06d}",
            "delegate_id": f"agent:kestrim/worker-{i + 1:06d}",
            "scope": "invoices:read payments:initiate<=500EUR",
            "not_before_ms": 1_733_616_000_000 + i,
            "not_after_ms": 1_733_619_600_000 + i,
            "prev_delegation_ref": prev,
        }
        links.append(env)
        prev = ref_of(env)
    return links
