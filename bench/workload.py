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


# ---- large documents ------------------------------------------------------------------------
# What an audit log or a bundle of credentials looks like when hashed whole: records nested a
# few levels deep, arrays of them, text in several scripts (some outside the BMP, which JSON
# keeps as surrogate pairs in key order), integers, floats of every shape ECMAScript writes
# differently (integral, fractional, tiny, huge), booleans and nulls. A fixed seed makes the
# document the same on every run and every machine.

_WORDS = ["invoice", "payment", "approve", "delegate", "scope", "audit", "ledger", "agent",
          "rotate", "revoke", "token", "session", "region", "tenant", "policy", "export"]
_NON_ASCII = ["Zürich", "naïve café", "Ærøskøbing", "日本語のテキスト", "данные аудита",
              "عميل موثوق", "🔐 secure vault", "𝔘𝔫𝔦𝔠𝔬𝔡𝔢 ∑ ≤ ∞", "emoji 👩‍💻 done", "Ελληνικά"]


def _text(rng):
    roll = rng.random()
    if roll < 0.55:
        return " ".join(rng.choice(_WORDS) for _ in range(rng.randint(1, 6)))
    if roll < 0.85:
        return rng.choice(_NON_ASCII) + " " + rng.choice(_WORDS)
    # Identifiers and hashes: long ASCII runs with the odd character that must be escaped.
    text = "".join(rng.choice("0123456789abcdef") for _ in range(rng.randint(16, 64)))
    return text if rng.random() < 0.9 else text + '"\\\n\t'


def _number(rng):
    roll = rng.random()
    if roll < 0.35:
        return rng.randint(-(2**31), 2**31)
    if roll < 0.45:
        return rng.randint(-(2**53 - 1), 2**53 - 1)
    if roll < 0.60:
        return float(rng.randint(-10**6, 10**6))           # integral floats
    if roll < 0.85:
        return round(rng.uniform(-1e4, 1e4), rng.randint(1, 6))  # fractional
    if roll < 0.93:
        return rng.uniform(1, 10) * 10.0 ** -rng.randint(7, 300)  # tiny
    return rng.uniform(1, 10) * 10.0 ** rng.randint(21, 300)      # huge


def _scalar(rng):
    roll = rng.random()
    if roll < 0.45:
        return _text(rng)
    if roll < 0.85:
        return _number(rng)
    if roll < 0.95:
        return rng.random() < 0.5
    return None


def _record(rng, depth):
    record = {}
    for _ in range(rng.randint(4, 12)):
        key = rng.choice(_WORDS) + "_" + rng.choice(_WORDS)
        if rng.random() < 0.1:
            key = rng.choice(_NON_ASCII)
        roll = rng.random()
        if depth < 3 and roll < 0.15:
            record[key] = _record(rng, depth + 1)
        elif depth < 3 and roll < 0.25:
            record[key] = [_record(rng, depth + 1) if rng.random() < 0.3 else _scalar(rng)
                           for _ in range(rng.randint(0, 8))]
        else:
            record[key] = _scalar(rng)
    return record


def large_document(target_bytes=1_000_000, seed=8785):
    """A log of records whose canonical form is about target_bytes long."""
    import json
    import random

    rng = random.Random(seed)
    records, size = [], 0
    while size < target_bytes:
        record = _record(rng, 0)
        records.append(record)
        size += len(json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode())
    return {"log": records, "issuer": "agent:kestrim/auditor", "count": len(records)}


SHARED_PREFIX = "tenant:kestrim/auditlog-"  # 24 characters


def shared_prefix_object(n, seed=8785):
    """n members whose keys share a 24-character prefix, in random order: sorting them
    compares past the prefix every time."""
    import random

    rng = random.Random(seed)
    keys = [f"{SHARED_PREFIX}{i:08x}" for i in range(n)]
    rng.shuffle(keys)
    return {k: i for i, k in enumerate(keys)}


def random_key_object(n, seed=8785):
    """n members with random keys as long as those of shared_prefix_object, in random order."""
    length = len(SHARED_PREFIX) + 8
    import random

    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"
    keys = set()
    while len(keys) < n:
        keys.add("".join(rng.choice(alphabet) for _ in range(length)))
    keys = list(keys)
    rng.shuffle(keys)
    return {k: i for i, k in enumerate(keys)}
