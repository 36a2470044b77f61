import builtins
import re

import pytest
from hypothesis import given, strategies as st

from conftest import (
    DELETE, ENV_KINDS, AlwaysNe, Boom, BoolBomb, Ms, NeverNe, Text, envelope, reference_ref,
)
from model import FIELDS, REF_PATTERN

HEX = "89abcdef01234567" * 4
REF = "sha256:" + HEX
MAX_SAFE = 2**53 - 1


@pytest.mark.parametrize("changes", [
    {},
    {"prev_delegation_ref": REF},
    {"delegator_id": "agent:\u00c5ngstr\u00f6m", "delegate_id": "\u6f22\u5b57", "scope": "\U0001f600"},
    {"scope": 'quote " backslash \\ slash /'},
    {"scope": "\x00\x01\x08\t\n\x0b\x0c\r\x1f\x7f"},
    {"scope": "\u2028\u2029\ufeff\uffff"},
    {"not_before_ms": 0, "not_after_ms": 1},
    {"not_before_ms": MAX_SAFE - 1, "not_after_ms": MAX_SAFE},
])
def test_ref_is_sha256_of_the_canonical_six_fields(dr, changes):
    env = envelope(**changes)
    ref = dr.delegation_ref(env)
    assert ref == reference_ref(env)
    assert type(ref) is str and len(ref) == 71 and re.match(REF_PATTERN + r"\Z", ref)


@given(
    texts=st.lists(st.text(st.characters(blacklist_categories=("Cs",)), min_size=1),
                   min_size=3, max_size=3),
    bounds=st.lists(st.integers(0, MAX_SAFE), min_size=2, max_size=2, unique=True),
    prev=st.one_of(st.just(""), st.text("0123456789abcdef", min_size=64, max_size=64)
                   .map(lambda h: "sha256:" + h)),
)
def test_ref_matches_independent_hash(dr, texts, bounds, prev):
    env = envelope(delegator_id=texts[0], delegate_id=texts[1], scope=texts[2],
                   not_before_ms=min(bounds), not_after_ms=max(bounds), prev_delegation_ref=prev)
    assert dr.delegation_ref(env) == reference_ref(env)


@pytest.mark.parametrize("kind", ENV_KINDS, ids=lambda k: k.__name__)
def test_only_the_six_fields_count(dr, kind):
    plain = dr.delegation_ref(envelope())
    noisy = dict(envelope(), note="x", signature=b"\x00", nested={"a": [1]}, **{"": None})
    assert dr.delegation_ref(kind(noisy)) == plain
    # An absent prev and an explicit "" are the same delegation.
    assert dr.delegation_ref(kind(envelope(prev_delegation_ref=DELETE))) == plain


@pytest.mark.parametrize("field, other", [
    ("delegator_id", "agent:Z"), ("delegate_id", "agent:C"), ("scope", "read:*"),
    ("not_before_ms", 1_699_999_999_999), ("not_after_ms", 1_800_000_000_000),
    ("prev_delegation_ref", REF),
])
def test_each_field_changes_the_ref(dr, field, other):
    assert dr.delegation_ref(envelope(**{field: other})) != dr.delegation_ref(envelope())


class Odd:
    """A claimed ref that answers != itself, with an object of its own."""
    answer = object()

    def __ne__(self, other):
        return self.answer


def tamper_cases():
    env = envelope()
    ref = reference_ref(env)
    return [
        (ref, env, False),
        (Text(ref), env, False),
        (ref.upper(), env, True),
        (ref + " ", env, True),
        (ref + "\n", env, True),
        (ref[len("sha256:"):], env, True),
        (ref, envelope(scope="read:*"), True),
        (None, env, True),
        (ref.encode(), env, True),
        (ref, envelope(not_after_ms=1_700_000_000_000), True),  # malformed counts as tampered
        (ref, envelope(delegator_id=DELETE), True),
        (NeverNe("anything"), env, False),  # reflected != of a str subclass goes first
        (AlwaysNe(ref), env, True),
    ]


@pytest.mark.parametrize("claimed, env, expected", tamper_cases())
def test_tamper_truth_table(dr, claimed, env, expected):
    assert dr.tamper_detected(claimed, env) is expected
    assert dr.tamper_detected(envelope=env, claimed_ref=claimed) is expected
    assert dr.tamper_detected(claimed_ref=claimed, envelope=env) is expected


def test_tamper_returns_the_comparison_result_as_is(dr):
    assert dr.tamper_detected(Odd(), envelope()) is Odd.answer
    # The recomputed ref is the left operand: its own != speaks first.
    recomputed = Odd()
    recomputed.answer = object()
    dr.delegation_ref = lambda env: recomputed
    assert dr.tamper_detected(Odd(), envelope()) is recomputed.answer


@pytest.mark.parametrize("raised, outcome", [
    ("DelegationRefError", True), ("subclass", True), (ValueError, ValueError),
    (KeyError, KeyError), (Boom, Boom),
])
@pytest.mark.parametrize("where", ["hash", "compare"])
def test_tamper_turns_only_delegation_errors_into_true(dr, raised, outcome, where):
    if raised == "DelegationRefError":
        raised = dr.DelegationRefError
    elif raised == "subclass":
        raised = type("Sub", (dr.DelegationRefError,), {})

    def boom(*args):
        raise raised("x")

    env, claimed = envelope(), reference_ref(envelope())
    if where == "hash":
        dr.sha256_jcs = boom
    else:
        claimed = type("Claim", (), {"__ne__": boom})()
    if outcome is True:
        assert dr.tamper_detected(claimed, env) is True
    else:
        with pytest.raises(outcome):
            dr.tamper_detected(claimed, env)


def test_tamper_host_errors_pass(dr, mdl):
    for env in (envelope(prev_delegation_ref=None), envelope(prev_delegation_ref=7)):
        with pytest.raises(TypeError) as expected:
            mdl.tamper_detected(REF, env)
        with pytest.raises(TypeError) as got:
            dr.tamper_detected(REF, env)
        assert got.value.args == expected.value.args
    with pytest.raises(AttributeError, match="'str' object has no attribute 'get'"):
        dr.tamper_detected(envelope(), reference_ref(envelope()))


# --- module names are looked up at each use ---

def test_hash_gets_a_new_dict_of_the_very_values(dr):
    seen, normalised = [], []
    real_normalise = dr._normalise

    def spy_hash(*args, **kwargs):
        seen.append((args, kwargs))
        return "0" * 64

    def spy_normalise(env):
        normalised.append(real_normalise(env))
        return normalised[-1]

    dr.sha256_jcs, dr._normalise = spy_hash, spy_normalise
    env = envelope(scope=Text("s"), delegate_id="".join(["ag", "ent"]), not_after_ms=Ms(2**41),
                   prev_delegation_ref=Text(REF))
    assert dr.delegation_ref(env) == "sha256:" + "0" * 64
    [((obj,), kwargs)] = seen
    assert kwargs == {} and type(obj) is dict and obj is not normalised[0]
    assert list(obj) == list(FIELDS) == list(dr._FIELDS)
    assert all(obj[k] is env[k] for k in FIELDS)


class PlusDigest(str):
    def __radd__(self, other):
        return ("radd", other, str(self))


@pytest.mark.parametrize("digest, expected", [
    ("f" * 64, "sha256:" + "f" * 64),
    ("", "sha256:"),
    (PlusDigest("d"), ("radd", "sha256:", "d")),
])
def test_digest_is_joined_with_host_plus(dr, digest, expected):
    dr.sha256_jcs = lambda obj: digest
    assert dr.delegation_ref(envelope()) == expected
    assert dr.tamper_detected(expected, envelope()) is False


@pytest.mark.parametrize("prefix, digest", [("sha256:", 5), ("sha256:", None), (b"sha256:", "ab")])
def test_unjoinable_parts_fail_in_plus(dr, prefix, digest):
    with pytest.raises(TypeError) as expected:
        prefix + digest
    dr.SHA256_PREFIX = prefix
    dr.sha256_jcs = lambda obj: digest
    with pytest.raises(TypeError) as got:
        dr.delegation_ref(envelope())
    assert got.value.args == expected.value.args
    with pytest.raises(TypeError):
        dr.tamper_detected(REF, envelope())


def test_rebound_prefix_and_normalise(dr):
    env = envelope()
    digest = reference_ref(env)[7:]
    dr.SHA256_PREFIX = "blake3:"
    assert dr.delegation_ref(env) == "blake3:" + digest
    fixed = {k: v for k, v in envelope(scope="pinned").items()}
    calls = []
    dr._normalise = lambda *a, **k: calls.append((a, k)) or fixed
    assert dr.delegation_ref(envelope=env) == "blake3:" + reference_ref(fixed)[7:]
    assert calls == [((env,), {})]
    # The hash reads the result by key, so any mapping will do.
    dr._normalise = lambda e: type("M", (), {"__getitem__": lambda s, k: fixed[k]})()
    assert dr.delegation_ref(env) == "blake3:" + reference_ref(fixed)[7:]


class PatternSpy:
    def __init__(self, match):
        self.calls = []
        self._match = match

    def match(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self._match(*args)


PREVS = ["", REF, REF + "\n", REF + "\n\n", REF.upper(), "x", Text(REF), NeverNe("x"), None]


@pytest.mark.parametrize("prev", PREVS)
def test_ref_pattern_is_read_from_the_module(dr, mdl, prev):
    def outcome(f):
        try:
            return f(envelope(prev_delegation_ref=prev))
        except Exception as e:
            return type(e), e.args

    native = outcome(dr._normalise)
    assert native == outcome(mdl._normalise)
    # An equivalent pattern that is not the one made at import takes the general path.
    original = dr._REF_RE
    dr._REF_RE = re.compile(REF_PATTERN, re.UNICODE)
    assert dr._REF_RE is not original
    assert outcome(dr._normalise) == native
    spy = dr._REF_RE = PatternSpy(re.compile(REF_PATTERN).match)
    assert outcome(dr._normalise) == native
    assert spy.calls == ([] if prev == "" or isinstance(prev, NeverNe) else [((prev,), {})])


@pytest.mark.parametrize("pattern, prev, accepted", [
    (re.compile(REF_PATTERN, re.IGNORECASE), REF.upper(), True),
    (re.compile("^x$"), "x", True),
    (re.compile("^x$"), REF, False),
    (PatternSpy(lambda v: 0), REF, False),
    (PatternSpy(lambda v: "yes"), "anything", True),
])
def test_rebound_pattern_decides(dr, pattern, prev, accepted):
    dr._REF_RE = pattern
    env = envelope(prev_delegation_ref=prev)
    if accepted:
        assert dr._normalise(env)["prev_delegation_ref"] is prev
    else:
        with pytest.raises(dr.DelegationRefError):
            dr._normalise(env)


def test_pattern_result_truth_test_may_raise(dr):
    dr._REF_RE = PatternSpy(lambda v: BoolBomb())
    with pytest.raises(Boom):
        dr._normalise(envelope(prev_delegation_ref=REF))


def test_rebound_error_class_is_raised_and_caught(dr):
    original = dr.DelegationRefError

    class Other(LookupError):
        pass

    dr.DelegationRefError = Other
    with pytest.raises(Other) as info:
        dr._normalise(envelope(scope=""))
    assert info.value.args == ("scope must be a non-empty string",)
    assert dr.tamper_detected(REF, envelope(scope="")) is True

    def raise_original(obj):
        raise original("from hash")

    dr.sha256_jcs = raise_original
    with pytest.raises(original):
        dr.tamper_detected(REF, envelope())


def test_rebound_delegation_ref_drives_tamper(dr):
    calls = []
    dr.delegation_ref = lambda *a, **k: calls.append((a, k)) or "R"
    assert dr.tamper_detected("R", "not an envelope") is False
    assert dr.tamper_detected("S", None) is True
    assert calls == [(("not an envelope",), {}), ((None,), {})]


def unbound(name):
    return f"name '{name}' is not defined"


MALFORMED = envelope(scope="")


@pytest.mark.parametrize("deleted, call, outcome", [
    ("_normalise", lambda dr: dr.delegation_ref(envelope()), "NameError"),
    ("SHA256_PREFIX", lambda dr: dr.delegation_ref(envelope()), "NameError"),
    ("sha256_jcs", lambda dr: dr.delegation_ref(envelope()), "NameError"),
    ("sha256_jcs", lambda dr: dr.tamper_detected(REF, envelope()), "NameError"),
    ("_REF_RE", lambda dr: dr._normalise(envelope(prev_delegation_ref=REF)), "NameError"),
    ("_REF_RE", lambda dr: dr.delegation_ref(envelope()), "ok"),
    ("DelegationRefError", lambda dr: dr._normalise(MALFORMED), "NameError"),
    ("DelegationRefError", lambda dr: dr.tamper_detected(REF, MALFORMED), "NameError"),
    ("DelegationRefError", lambda dr: dr.tamper_detected(REF, envelope()), "ok"),
    ("delegation_ref", lambda dr: dr.tamper_detected(REF, envelope()), "NameError"),
])
def test_deleted_names(dr, deleted, call, outcome):
    del vars(dr)[deleted]
    if outcome == "ok":
        call(dr)
        return
    with pytest.raises(NameError) as info:
        call(dr)
    assert str(info.value) == unbound(deleted)


def test_deleted_error_class_replaces_the_exception_in_tamper(dr):
    def fail(obj):
        raise Boom("hash")

    dr.sha256_jcs = fail
    del vars(dr)["DelegationRefError"]
    with pytest.raises(NameError, match=unbound("DelegationRefError")):
        dr.tamper_detected(REF, envelope())


def test_missing_delegation_ref_is_caught_when_the_error_class_is_name_error(dr):
    # The lookup of delegation_ref sits inside what tamper_detected guards.
    del vars(dr)["delegation_ref"]
    dr.DelegationRefError = NameError
    assert dr.tamper_detected(REF, envelope()) is True


@pytest.mark.parametrize("name, value, check", [
    ("SHA256_PREFIX", "b:", lambda dr: dr.delegation_ref(envelope()).startswith("b:")),
    ("sha256_jcs", lambda obj: "0" * 64, lambda dr: dr.delegation_ref(envelope()) == "sha256:" + "0" * 64),
    ("_REF_RE", re.compile("^x$"), lambda dr: dr._normalise(envelope(prev_delegation_ref="x"))),
    ("_normalise", lambda e: envelope(), lambda dr: dr.delegation_ref(None) == reference_ref(envelope())),
    ("delegation_ref", lambda e: "R", lambda dr: dr.tamper_detected("R", None) is False),
    ("DelegationRefError", KeyError, lambda dr: dr.tamper_detected(REF, MALFORMED) is True),
])
def test_builtins_are_the_fallback(dr, monkeypatch, name, value, check):
    del vars(dr)[name]
    monkeypatch.setattr(builtins, name, value, raising=False)
    assert check(dr)
