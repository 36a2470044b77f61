"""Edges of the writer's fast paths that the other files leave open: member order where a
character beyond U+FFFF meets a surrogate code point (what is refused first depends on it)."""

import math

import jcs_model
import pytest

from conftest import DictSub
from kestrim_substrate import canonicalize, sha256_jcs


class Key(str):
    """A str subclass as key: its object is read member by member, the general path."""


def outcome(function, value):
    try:
        return "ok", function(value)
    except Exception as exc:  # the type and the message are what is compared
        return type(exc).__name__, str(exc)


def first_refusal(members):
    """What writing the members in UTF-16 order meets first: each key, then its value."""
    for key, value in sorted(members.items(), key=lambda kv: jcs_model.utf16_units(kv[0])):
        for part in (key, value):
            result = outcome(canonicalize, part)
            if result[0] != "ok":
                return result
    return None


# A character beyond U+FFFF (two units, the first D800..DBFF) against a surrogate code point
# at the same place: their order by units is not their order by code points. Within the four
# units a head holds, and past them.
ASTRAL_AGAINST_SURROGATE = [
    ("\udc00", "\U00010000"),
    ("\udbff", "\U00010000"),
    ("\ud800", "\U00010000"),
    ("\ud800\udc01", "\U00010000"),
    ("x\udfff", "x\U0010ffff"),
    ("abc\udbff", "abc\U0010ffff"),
    ("abcd\udc00", "abcd\U00010000"),
    ("abcdefgh\ude00", "abcdefgh\U0001f510"),
]


@pytest.mark.parametrize("surrogate_key, astral_key", ASTRAL_AGAINST_SURROGATE, ids=ascii)
@pytest.mark.parametrize("astral_value", [object(), 2**60, math.nan], ids=["type", "int", "nan"])
@pytest.mark.parametrize("padding", [0, 20], ids=["insertion", "sorted"])
def test_first_refusal_follows_utf16_order(surrogate_key, astral_key, astral_value, padding):
    # The key with a lone surrogate and the astral key's value are both refused; the one met
    # first, in canonical order, is reported, whichever path sorted the keys.
    pad = {f"pad{i:02}": i for i in range(padding)}
    members = {**pad, surrogate_key: 1, astral_key: astral_value}
    expected = first_refusal(members)
    assert expected is not None
    forms = {
        "exact": members,
        "reversed": {**pad, astral_key: astral_value, surrogate_key: 1},
        "subclass": DictSub(members),
        "str-subclass keys": {Key(k): v for k, v in members.items()},
        "nested": [{"a": 0}, members],
    }
    for name, value in forms.items():
        for function in (canonicalize, sha256_jcs):
            assert outcome(function, value) == expected, (name, function.__name__)


def test_surrogate_pair_of_code_points_against_the_character_refused_as_such():
    # Equal units from different characters: not one key twice, but a str holding surrogates.
    for members in ({"\ud800\udc00": 1, "\U00010000": 2}, {"\U00010000": 2, "\ud800\udc00": 1}):
        for value in (members, {Key(k): v for k, v in members.items()}):
            with pytest.raises(ValueError, match="lone surrogate U\\+D800 at index 0"):
                canonicalize(value)
