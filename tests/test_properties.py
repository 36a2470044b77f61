"""The native functions against the plain-Python rules in model.py, on envelopes that are
valid and invalid in every field, of every envelope kind, with str/int subclass values."""

import collections
import contextlib
import re
import types

from hypothesis import assume, given, strategies as st

from conftest import (
    ENV_KINDS, AlwaysNe, BoolBomb, BoomNe, BoomText, ClaimsInt, ClaimsStr, DictSub, EqBomb,
    FalsyText, GeTrue, GetEnv, LeBoom, LeTrue, LtBomb, LtBoom, LtFalse, MappingEnv, Ms, NeFalse,
    NeverNe, Text, TruthyText, subclass,
)
from model import FIELDS, REF_PATTERN

HEX64 = st.text("0123456789abcdef", min_size=64, max_size=64)
REFS = HEX64.map(lambda h: "sha256:" + h)

TEXT = st.one_of(
    st.text(max_size=6),
    st.sampled_from(["", " ", "agent:A", "\n"]),
    st.text(max_size=4).map(Text),
    st.text(min_size=1, max_size=4).map(FalsyText),
    st.just(TruthyText("")),
    st.sampled_from([None, 0, 7, True, b"agent", 5.0, ["a"]]),
)
TIME = st.one_of(
    st.integers(-2, 4),
    st.integers(0, 2**53 + 2),
    st.integers(2**63, 2**70),
    st.integers(-2, 4).map(Ms),
    st.integers(-3, 3).map(LtFalse),
    st.integers(0, 9).map(LeTrue),
    st.sampled_from([True, False, 5.0, "5", None, b"5"]),
)
PREV = st.one_of(
    st.just(""),
    REFS,
    REFS.map(lambda r: r + "\n"),
    REFS.map(lambda r: r + "\n\n"),
    REFS.map(str.upper),
    REFS.map(Text),
    st.text(max_size=8),
    st.text(max_size=4).map(NeverNe),
    st.just(AlwaysNe("")),
    st.sampled_from([None, 5, b"sha256:"]),
)
STRATEGIES = {
    "delegator_id": TEXT, "delegate_id": TEXT, "scope": TEXT,
    "not_before_ms": TIME, "not_after_ms": TIME, "prev_delegation_ref": PREV,
}


def valid_value(field):
    if field in ("not_before_ms", "not_after_ms"):
        return st.integers(0, 2**53 - 1)
    if field == "prev_delegation_ref":
        return st.one_of(st.just(""), REFS)
    return st.text(min_size=1, max_size=6)


@st.composite
def envelopes(draw):
    data = {}
    for field in FIELDS:
        mode = draw(st.sampled_from(["valid", "valid", "valid", "any", "absent"]))
        if mode == "valid":
            data[field] = draw(valid_value(field))
        elif mode == "any":
            data[field] = draw(STRATEGIES[field])
    if draw(st.booleans()) and isinstance(data.get("not_before_ms"), int):
        # Keep the window well ordered often enough to reach the later rules.
        data["not_after_ms"] = data["not_before_ms"] + draw(st.integers(-1, 3))
    if draw(st.booleans()):
        data["extra"] = draw(st.one_of(st.none(), st.text(max_size=3)))
    return draw(st.sampled_from(ENV_KINDS))(data)


def outcome(f, *args):
    if isinstance(args[-1], GetEnv):
        args[-1].calls.clear()
    try:
        result = f(*args)
    except Exception as e:
        result = ("raised", type(e), e.args)
    else:
        if type(result) is dict:
            result = ("dict", [(k, id(v)) for k, v in result.items()])
    if isinstance(args[-1], GetEnv):
        return result, list(args[-1].calls)
    return result


@given(env=envelopes())
def test_normalise_agrees(dr, mdl, env):
    assert outcome(dr._normalise, env) == outcome(mdl._normalise, env)


@given(env=envelopes())
def test_delegation_ref_agrees(dr, mdl, env):
    assert outcome(dr.delegation_ref, env) == outcome(mdl.delegation_ref, env)


@given(env=envelopes(), data=st.data())
def test_tamper_detected_agrees(dr, mdl, env, data):
    try:
        true_ref = mdl.delegation_ref(env)
    except Exception:
        true_ref = None
    claimed = data.draw(st.one_of(
        st.just(true_ref), REFS, st.text(max_size=4),
        st.just(true_ref and true_ref.upper()), st.just(true_ref and Text(true_ref)),
    ))
    assert outcome(dr.tamper_detected, claimed, env) == outcome(mdl.tamper_detected, claimed, env)


CONTAINERS = [list, tuple, lambda links: iter(list(links))]


def raw(env):
    """The dict an envelope of any kind reads from."""
    return env.data if isinstance(env, GetEnv) else env._data if isinstance(env, MappingEnv) else env


@given(links=st.lists(envelopes(), max_size=4), data=st.data(),
       container=st.sampled_from(CONTAINERS))
def test_verify_chain_agrees(dr, mdl, links, data, container):
    prev = ""
    for env in links:
        if data.draw(st.booleans(), label="link properly"):
            raw(env)["prev_delegation_ref"] = prev
        try:
            prev = mdl.delegation_ref(env)
        except Exception:
            prev = "x"
    assert outcome(dr.verify_chain, container(links)) == \
        outcome(mdl.verify_chain, container(links))


@contextlib.contextmanager
def general_paths(dr):
    """Rebind every name that has a fast path to an equivalent that cannot take it."""
    ns = vars(dr)
    saved = dict(ns)
    real = {name: ns[name] for name in ("_normalise", "delegation_ref", "sha256_jcs")}
    ns["_normalise"] = lambda envelope: real["_normalise"](envelope)
    ns["delegation_ref"] = lambda envelope: real["delegation_ref"](envelope)
    ns["sha256_jcs"] = lambda obj: real["sha256_jcs"](obj)
    ns["_REF_RE"] = re.compile(REF_PATTERN, re.UNICODE)
    try:
        yield
    finally:
        ns.clear()
        ns.update(saved)


def as_subclasses(data):
    return {k: Text(v) if type(v) is str else Ms(v) if type(v) is int else v
            for k, v in data.items()}


@given(env=envelopes(), claimed=st.one_of(REFS, st.text(max_size=3)))
def test_general_paths_agree_with_fast_paths(dr, env, claimed):
    data = dict(raw(env))

    def run(make):
        e = make(data)
        return [outcome(dr._normalise, e), outcome(dr.delegation_ref, e),
                outcome(dr.tamper_detected, claimed, e), outcome(dr.verify_chain, [e, e])]

    fast = run(dict)
    for kind in (DictSub, MappingEnv):
        assert run(kind) == fast
    with general_paths(dr):
        assert run(dict) == fast


@given(env=envelopes())
def test_subclass_values_follow_the_same_rules(dr, env):
    data = dict(raw(env))
    # Subclass values already present would change which operand's method the host tries first.
    assume(all(type(v) in (str, int, bool, float, bytes, list, type(None)) for v in data.values()))
    plain = outcome(dr._normalise, data)
    wrapped = outcome(dr._normalise, as_subclasses(data))
    if plain[0] == "dict":
        assert wrapped[0] == "dict" and [k for k, _ in wrapped[1]] == [k for k, _ in plain[1]]
    elif plain[1] is TypeError:
        # The host's own TypeError (from the pattern) names the value's type, which differs.
        assert wrapped[:2] == plain[:2]
    else:
        assert wrapped == plain


# ---- more mapping kinds, and values whose own methods raise or answer oddly ----------------

BoolBombText = subclass(str, "BoolBombText", __bool__=lambda self: BoolBomb())
BoolIntText = subclass(str, "BoolIntText", __bool__=lambda self: 2)
NeBomb = subclass(str, "NeBomb", __ne__=lambda self, other: BoolBomb())
LeBomb = subclass(int, "LeBomb", __le__=lambda self, other: BoolBomb())
LtNotImplemented = subclass(int, "LtNotImplemented", __lt__=lambda self, other: NotImplemented)

HOSTILE = {
    "text": st.one_of(st.text(max_size=3).map(BoomText), st.text(max_size=3).map(BoolBombText),
                      st.text(max_size=3).map(BoolIntText), st.builds(ClaimsStr)),
    "time": st.one_of(st.integers(-3, 2**60).map(LtBoom), st.integers(-3, 9).map(LtBomb),
                      st.integers(0, 9).map(LeBoom), st.integers(0, 2**70).map(LeBomb),
                      st.integers(-3, 9).map(LtNotImplemented), st.integers(0, 9).map(GeTrue),
                      st.builds(ClaimsInt)),
    "prev": st.one_of(REFS.map(BoomNe), REFS.map(NeBomb), st.text(max_size=3).map(NeBomb),
                      st.builds(EqBomb), st.builds(NeFalse), REFS.map(str.encode)),
}


def ordered(data):
    return collections.OrderedDict(reversed(list(data.items())))


MORE_KINDS = [
    types.MappingProxyType, ordered, collections.UserDict,
    lambda data: collections.ChainMap({}, data),
    lambda data: collections.defaultdict(lambda: "made up", data),  # get never calls the factory
]


@st.composite
def hostile_envelopes(draw):
    data = {}
    for field in FIELDS:
        mode = draw(st.sampled_from(["valid", "valid", "valid", "any", "hostile", "absent"]))
        if mode == "valid":
            data[field] = draw(valid_value(field))
        elif mode == "any":
            data[field] = draw(STRATEGIES[field])
        elif mode == "hostile":
            kind = "prev" if field == "prev_delegation_ref" else "time" if field.endswith("_ms") else "text"
            data[field] = draw(HOSTILE[kind])
    if draw(st.booleans()) and type(data.get("not_before_ms")) is int:
        data["not_after_ms"] = data["not_before_ms"] + draw(st.integers(-1, 3))
    return draw(st.sampled_from(MORE_KINDS + ENV_KINDS))(data)


@given(env=hostile_envelopes(), claimed=st.one_of(REFS, st.text(max_size=3)))
def test_hostile_values_agree_in_every_function(dr, mdl, env, claimed):
    for name in ("_normalise", "delegation_ref"):
        assert outcome(getattr(dr, name), env) == outcome(getattr(mdl, name), env), name
    assert outcome(dr.tamper_detected, claimed, env) == outcome(mdl.tamper_detected, claimed, env)


@given(links=st.lists(hostile_envelopes(), min_size=1, max_size=3), data=st.data(),
       container=st.sampled_from(CONTAINERS))
def test_hostile_chains_agree(dr, mdl, links, data, container):
    prev, chain = "", []
    for env in links:
        if data.draw(st.booleans(), label="link properly"):
            # Link it to its predecessor through a fresh envelope of the same content.
            content = {k: env.get(k) for k in FIELDS if env.get(k) is not None}
            env = dict(content, prev_delegation_ref=prev)
        chain.append(env)
        try:
            prev = mdl.delegation_ref(env)
        except Exception:
            prev = "x"
    assert outcome(dr.verify_chain, container(chain)) == outcome(mdl.verify_chain, container(chain))
