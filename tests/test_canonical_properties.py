"""The canonical writer on values of every kind it meets, the refused ones included: it
agrees with the plain-Python model in jcs_model.py, and what it writes reads back as what it
was given. test_canonical_json.py holds the vectors and the comparisons with other
implementations; those see only plain, valid values."""

import collections
import decimal
import hashlib
import json

from hypothesis import given, settings, strategies as st

import jcs_model
from kestrim_substrate import canonicalize, sha256_jcs

MAX_SAFE = jcs_model.MAX_SAFE


def refuse(*names):
    """Methods that must never run: the writer reads subclasses by their stored value."""
    def method(self, *args, **kwargs):
        raise AssertionError(f"{type(self).__name__} method called")
    return dict.fromkeys(names, method)


Text = type("Text", (str,), refuse("__str__", "__iter__", "__len__", "__getitem__", "encode",
                                   "__format__", "__lt__", "__gt__", "__add__"))
Int = type("Int", (int,), refuse("__index__", "__int__", "__float__", "__str__", "__format__",
                                 "__lt__", "__gt__", "__abs__"))
Float = type("Float", (float,), refuse("__float__", "__str__", "__format__", "__int__", "__lt__",
                                       "__abs__", "__round__"))
Dict = type("Dict", (dict,), refuse("items", "keys", "values", "__iter__", "__getitem__",
                                    "__len__", "get"))
List = type("List", (list,), refuse("__iter__", "__getitem__", "__len__"))
Tuple = type("Tuple", (tuple,), refuse("__iter__", "__getitem__", "__len__"))


class SameText(str):
    """Distinct as a dict key from every other key, whatever its text."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


surrogates = st.characters(categories=["Cs"])
plain_text = st.text(max_size=8)
text = st.one_of(
    plain_text,
    plain_text.map(Text),
    st.text(st.sampled_from("aé\u2028\U0001f600\x00\"\\\x7f\ue000"), max_size=6),
    st.lists(st.one_of(st.characters(), surrogates), min_size=1, max_size=4).map("".join),
)
integers = st.one_of(
    st.integers(-MAX_SAFE, MAX_SAFE),
    st.sampled_from([MAX_SAFE, -MAX_SAFE, MAX_SAFE + 1, -MAX_SAFE - 1, 2**63, -(2**64)]),
    st.builds(pow, st.just(10), st.integers(300, 5000)),  # past the host's digit limit for str()
    st.integers(-(2**70), 2**70),
)
floats = st.floats()  # NaN, the infinities, -0.0 and subnormals included
odd = st.one_of(
    st.just(b"bytes"), st.builds(set), st.just(1j), st.builds(object),
    st.just(decimal.Decimal("1.5")), st.builds(bytearray), st.builds(frozenset),
)
scalars = st.one_of(
    st.none(), st.booleans(), integers, integers.map(Int), floats, floats.map(Float), text,
)
keys = st.one_of(text, plain_text.map(SameText), st.sampled_from([1, None, (1,), 2.5, True]))


@st.composite
def objects(draw, values):
    # Keys of equal text can only meet in one dict when at least one hashes by identity.
    kind = draw(st.sampled_from([dict, Dict, collections.OrderedDict]))
    obj = kind()
    for key, value in draw(st.lists(st.tuples(keys, values), max_size=5)):
        dict.__setitem__(obj, key, value)
    return obj


def arrays(values):
    items = st.lists(values, max_size=5)
    return st.one_of(items, items.map(tuple), items.map(List), items.map(Tuple))


values = st.recursive(scalars | odd, lambda inner: arrays(inner) | objects(inner), max_leaves=20)
valid_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(-MAX_SAFE, MAX_SAFE).map(Int),
              st.integers(-MAX_SAFE, MAX_SAFE), st.floats(allow_nan=False, allow_infinity=False),
              st.floats(allow_nan=False, allow_infinity=False).map(Float), plain_text,
              plain_text.map(Text), st.text(st.characters(exclude_categories=["Cs"]))),
    lambda inner: arrays(inner) | st.dictionaries(st.text(st.characters(exclude_categories=["Cs"])),
                                                  inner, max_size=5).map(lambda d: Dict(d) if len(d) % 2 else d),
    max_leaves=25)


@settings(max_examples=400)
@given(values)
def test_agrees_with_the_model(value):
    found = jcs_model.problems(value)
    try:
        out = canonicalize(value)
    except (ValueError, TypeError, RecursionError) as e:
        assert found and isinstance(e, tuple(found)), (type(e), str(e), found)
        # The hash refuses the same values the writer refuses.
        try:
            sha256_jcs(value)
        except (ValueError, TypeError, RecursionError):
            pass
        else:
            raise AssertionError("sha256_jcs accepted what canonicalize refused")
    else:
        assert found <= {RecursionError}, f"accepted a value with {found}"
        assert out == jcs_model.canonicalize(value)
        assert sha256_jcs(value) == hashlib.sha256(out).hexdigest()


@settings(max_examples=400)
@given(valid_values)
def test_output_reads_back_as_the_input(value):
    out = canonicalize(value)
    # JSON numbers are doubles: a double such as 2.0**60 is written with integer digits,
    # which Python would read back as an int beyond the exact range; read them as doubles.
    parsed = json.loads(out, parse_int=float)
    # Numbers compare as exact doubles, -0.0 reads back as 0, tuples as lists.
    assert jcs_model.meaning(parsed) == jcs_model.meaning(value)
    assert canonicalize(parsed) == out
