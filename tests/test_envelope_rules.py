import enum
import re
import sys

import pytest

from conftest import (
    DELETE, ENV_KINDS, AlwaysNe, Boom, BoomNe, BoomText, ClaimsInt, ClaimsStr, FalsyText,
    GeTrue, GetEnv, LeBoom, LeFalse, LeTrue, LtBomb, LtBoom, LtFalse, LtTrue, Ms, NeverNe,
    Text, TruthyText, envelope, reference_ref,
)
from model import NORMALISED_ORDER, ORDER_MESSAGE, PREV_MESSAGE, REF_PATTERN, TEXT_RULE, TIME_RULE

HEX = "0123456789abcdef" * 4
REF = "sha256:" + HEX
FETCHES = [((name,), {}) for name in NORMALISED_ORDER[:5]] + [(("prev_delegation_ref", ""), {})]


class Level(enum.IntEnum):
    LOW = 5
    HIGH = 9


def text(field):
    return field + TEXT_RULE


def time(field):
    return field + TIME_RULE


# (changes, message, get calls made before the rule broke)
BROKEN = [
    ({"delegator_id": DELETE}, text("delegator_id"), 1),
    ({"delegator_id": ""}, text("delegator_id"), 1),
    ({"delegator_id": None}, text("delegator_id"), 1),
    ({"delegator_id": 7}, text("delegator_id"), 1),
    ({"delegator_id": FalsyText("agent:A")}, text("delegator_id"), 1),
    ({"delegate_id": ""}, text("delegate_id"), 2),
    ({"delegate_id": b"agent:B"}, text("delegate_id"), 2),
    ({"scope": ""}, text("scope"), 3),
    ({"scope": b"read"}, text("scope"), 3),
    ({"scope": ["read"]}, text("scope"), 3),
    ({"not_before_ms": True}, time("not_before_ms"), 4),
    ({"not_before_ms": False}, time("not_before_ms"), 4),
    ({"not_before_ms": 5.0}, time("not_before_ms"), 4),
    ({"not_before_ms": "5"}, time("not_before_ms"), 4),
    ({"not_before_ms": None}, time("not_before_ms"), 4),
    ({"not_before_ms": DELETE}, time("not_before_ms"), 4),
    ({"not_before_ms": -1}, time("not_before_ms"), 4),
    ({"not_before_ms": -2**80}, time("not_before_ms"), 4),
    ({"not_before_ms": LtTrue(5)}, time("not_before_ms"), 4),
    ({"not_before_ms": 0, "not_after_ms": -1}, time("not_after_ms"), 5),
    ({"not_before_ms": 10, "not_after_ms": -1}, time("not_after_ms"), 5),
    ({"not_after_ms": True}, time("not_after_ms"), 5),
    ({"not_after_ms": 10**3 + 0.5}, time("not_after_ms"), 5),
    ({"not_before_ms": 0, "not_after_ms": 0}, ORDER_MESSAGE, 5),
    ({"not_before_ms": 2**70, "not_after_ms": 2**70}, ORDER_MESSAGE, 5),
    ({"not_before_ms": 10, "not_after_ms": 9}, ORDER_MESSAGE, 5),
    ({"not_before_ms": 5, "not_after_ms": LeTrue(10)}, ORDER_MESSAGE, 5),
    ({"not_before_ms": GeTrue(5), "not_after_ms": 10}, ORDER_MESSAGE, 5),
    ({"prev_delegation_ref": REF.upper()}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": "sha256:" + HEX.upper()}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": REF[:-1]}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": REF + "0"}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": HEX}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": "sha512:" + HEX}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": REF + " "}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": " " + REF}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": REF + "\n\n"}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": REF + "\r\n"}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": "\n" + REF}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": "sha256:"}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": " "}, PREV_MESSAGE, 6),
    ({"prev_delegation_ref": AlwaysNe("")}, PREV_MESSAGE, 6),
    # Several faults: the first in reading order is the one reported.
    ({"delegate_id": "", "not_before_ms": -1}, text("delegate_id"), 2),
    ({"scope": None, "not_after_ms": 0, "prev_delegation_ref": "x"}, text("scope"), 3),
    ({"not_before_ms": -1, "not_after_ms": -5}, time("not_before_ms"), 4),
    ({"not_after_ms": 0, "prev_delegation_ref": None}, ORDER_MESSAGE, 5),
]


@pytest.mark.parametrize("kind", ENV_KINDS, ids=lambda k: k.__name__)
@pytest.mark.parametrize("changes, message, calls", BROKEN)
def test_first_broken_rule_is_reported(dr, kind, changes, message, calls):
    env = kind(envelope(**changes))
    with pytest.raises(dr.DelegationRefError) as info:
        dr._normalise(env)
    assert type(info.value) is dr.DelegationRefError
    assert info.value.args == (message,)
    if kind is GetEnv:
        # Later fields are never fetched once a rule broke.
        assert env.calls == FETCHES[:calls]
        assert env.lookups == calls


ACCEPTED = [
    {},
    {"scope": " "},
    {"delegator_id": "\x00", "delegate_id": "\u00e9\u6f22\U0001f600", "scope": "\n"},
    {"delegator_id": Text("agent:A"), "delegate_id": Text("x"), "scope": Text("s")},
    {"scope": TruthyText("")},  # its own truth test says non-empty
    {"scope": ClaimsStr()},
    {"not_before_ms": 0, "not_after_ms": 1},
    {"not_before_ms": Ms(3), "not_after_ms": Ms(4)},
    {"not_before_ms": Level.LOW, "not_after_ms": Level.HIGH},
    {"not_before_ms": 2**200, "not_after_ms": 2**200 + 1},
    {"not_before_ms": LtFalse(-5), "not_after_ms": 2},
    {"not_before_ms": 5, "not_after_ms": LeFalse(5)},
    {"not_before_ms": ClaimsInt(), "not_after_ms": 7},
    {"prev_delegation_ref": REF},
    {"prev_delegation_ref": REF + "\n"},
    {"prev_delegation_ref": Text(REF)},
    {"prev_delegation_ref": NeverNe("not a ref at all")},
]


@pytest.mark.parametrize("kind", ENV_KINDS, ids=lambda k: k.__name__)
@pytest.mark.parametrize("changes", ACCEPTED)
def test_accepted_values_are_stored_as_given(dr, kind, changes):
    data = envelope(**changes)
    data["extra"] = object()
    snapshot = dict(data)
    env = kind(data)
    result = dr._normalise(env)
    assert type(result) is dict
    assert list(result) == list(NORMALISED_ORDER)
    for key in NORMALISED_ORDER:
        assert result[key] is data[key], key
    assert dict(data) == snapshot
    if kind is GetEnv:
        assert env.calls == FETCHES
        assert env.lookups == 6


@pytest.mark.parametrize("kind", ENV_KINDS, ids=lambda k: k.__name__)
def test_missing_prev_reads_as_empty(dr, kind):
    result = dr._normalise(kind(envelope(prev_delegation_ref=DELETE)))
    assert result["prev_delegation_ref"] == "" and type(result["prev_delegation_ref"]) is str
    assert list(result) == list(NORMALISED_ORDER)


class TwoArgGet:
    def get(self, key):
        return envelope()[key]


class RaisingGet:
    def __init__(self, failing):
        self.failing = failing

    def get(self, key, *default):
        if key == self.failing:
            raise Boom(key)
        return envelope().get(key, *default)


class Collides:
    """A key that shares the hash of "scope" and whose comparison raises."""

    def __hash__(self):
        return hash("scope")

    def __eq__(self, other):
        raise Boom("eq")


def colliding_key_envelope():
    env = envelope(scope=DELETE)
    env[Collides()] = "read"
    return env


# Host exceptions leave unchanged: the same type and text the plain-Python rules give.
PASS_THROUGH = [
    pytest.param(colliding_key_envelope(), Boom, id="dict-lookup-raises"),
    pytest.param(envelope(prev_delegation_ref=None), TypeError, id="prev-None"),
    pytest.param(envelope(prev_delegation_ref=b"sha256:" + HEX.encode()), TypeError, id="prev-bytes"),
    pytest.param(envelope(prev_delegation_ref=5), TypeError, id="prev-int"),
    pytest.param(envelope(delegator_id=BoomText("a")), Boom, id="text-bool-raises"),
    pytest.param(envelope(not_before_ms=LtBoom(1)), Boom, id="lt-raises"),
    pytest.param(envelope(not_after_ms=LtBomb(1)), Boom, id="lt-result-bool-raises"),
    pytest.param(envelope(not_after_ms=LeBoom(2**61)), Boom, id="le-raises"),
    pytest.param(envelope(prev_delegation_ref=BoomNe(REF)), Boom, id="ne-raises"),
    pytest.param(TwoArgGet(), TypeError, id="get-one-parameter"),
    pytest.param(RaisingGet("scope"), Boom, id="get-raises"),
    pytest.param(RaisingGet("prev_delegation_ref"), Boom, id="get-raises-last"),
    pytest.param([], AttributeError, id="list"),
    pytest.param("delegator_id", AttributeError, id="str"),
    pytest.param(None, AttributeError, id="None"),
]


@pytest.mark.parametrize("env, exc_type", PASS_THROUGH)
def test_host_exceptions_pass_unchanged(dr, mdl, env, exc_type):
    with pytest.raises(exc_type) as expected:
        mdl._normalise(env)
    with pytest.raises(exc_type) as got:
        dr._normalise(env)
    assert type(got.value) is type(expected.value)
    assert got.value.args == expected.value.args


def test_none_prev_error_comes_from_the_pattern(dr):
    with pytest.raises(TypeError) as expected:
        re.compile(REF_PATTERN).match(None)
    with pytest.raises(TypeError) as got:
        dr._normalise(envelope(prev_delegation_ref=None))
    assert str(got.value) == str(expected.value)


def test_keyword_call_and_fresh_results(dr):
    env = envelope()
    first = dr._normalise(envelope=env)
    assert sys.getrefcount(first) == 2  # nothing kept behind
    assert first == dr._normalise(env)
    first["scope"] = "admin"
    first["zzz"] = 1
    again = dr._normalise(env)
    assert again is not first and again["scope"] == "read:inbox" and "zzz" not in again
    assert env == envelope()


def test_get_bound_per_instance_is_used(dr):
    class Bare:
        pass

    env = Bare()
    data = envelope(scope="from-instance")
    env.get = data.get
    assert dr._normalise(env)["scope"] == "from-instance"


def test_dict_subclass_is_read_only_through_its_get(dr):
    class Shouting(dict):
        __getitem__ = __iter__ = __len__ = __contains__ = None

        def get(self, key, *default):
            value = dict.get(self, key, *default)
            return value.upper() if key == "scope" else value

    assert dr._normalise(Shouting(envelope()))["scope"] == "READ:INBOX"


def not_ready_str(text):
    """A str made through the legacy C API and filled in place, never made ready: its length
    and data are unset until something readies it (anything in Python would)."""
    import ctypes
    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
    s = api.PyUnicode_FromUnicode(None, len(text))
    ctypes.memmove(api.PyUnicode_AsUnicode(s), ctypes.create_unicode_buffer(text),
                   len(text) * ctypes.sizeof(ctypes.c_wchar))
    # The "ready" bit of the str's state, after its refcount, type, length and hash.
    assert not ctypes.c_uint32.from_address(id(s) + 32).value >> 7 & 1
    return s


@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="from 3.12 every str is ready: the legacy API that made one that "
                           "is not is gone")
@pytest.mark.filterwarnings("ignore:PyUnicode_FromUnicode:DeprecationWarning")
@pytest.mark.parametrize("field, value", [("delegator_id", "agent:Z"), ("delegate_id", "agent:Y"),
                                          ("scope", "write:x"), ("prev_delegation_ref", REF)])
def test_str_not_yet_ready_is_read_by_its_text(dr, field, value):
    expected = reference_ref(envelope(**{field: value}))
    assert dr.delegation_ref(envelope(**{field: not_ready_str(value)})) == expected
    assert dr.tamper_detected(expected, envelope(**{field: not_ready_str(value)})) is False
    normalised = dr._normalise(envelope(**{field: not_ready_str(value)}))
    assert normalised[field] == value
