"""Canonical JSON (RFC 8785) and its SHA-256, checked against independent implementations."""

import ast
import hashlib
import json
import math
import random
import shutil
import subprocess
import sys
import tracemalloc
from decimal import Decimal
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import DictSub, nested, reachable_depth, run_python
from kestrim_substrate import canonicalize, sha256_jcs

VECTORS = Path(__file__).resolve().parent / "jcs-vectors"  # RFC 8785 reference vectors, see README there
MAX_SAFE = 2**53 - 1

# What every implementation here defines: integers JSON numbers carry exactly, finite floats,
# text without lone surrogates (rfc8785 and this module refuse the rest; node would write
# them as \udxxx escapes).
text = st.text(st.characters(exclude_categories=["Cs"]))
scalars = (
    st.none()
    | st.booleans()
    | st.integers(-MAX_SAFE, MAX_SAFE)
    | st.floats(allow_nan=False, allow_infinity=False)
    | text
)
json_values = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=5) | st.dictionaries(text, inner, max_size=5), max_leaves=25
)


# ---- the published vectors --------------------------------------------------------------

VECTOR_NAMES = sorted(p.name[: -len(".input.json")] for p in VECTORS.glob("*.input.json")) or [
    pytest.param(None, marks=pytest.mark.skip(reason=f"no test vectors at {VECTORS}"))
]


@pytest.mark.parametrize("name", VECTOR_NAMES)
def test_vectors(name):
    with open(VECTORS / f"{name}.input.json", encoding="utf-8") as f:
        value = json.load(f)
    assert canonicalize(value) == (VECTORS / f"{name}.expected.json").read_bytes()


# ---- layout rules -----------------------------------------------------------------------

@pytest.mark.parametrize(
    "value, expected",
    [
        # strings: the short escapes, \u00xx for other controls, everything else raw UTF-8
        ("\"\\\b\f\n\r\t", r'"\"\\\b\f\n\r\t"'),
        ("\x00\x1f\x0b", r'"\u0000\u001f\u000b"'),
        ("\x7f\u2028\u2029/é€😂", '"\x7f\u2028\u2029/é€😂"'),
        # numbers: ECMAScript's layout around its thresholds
        (-0.0, "0"),
        (1e21, "1e+21"),
        (1e20, "100000000000000000000"),
        (1e-7, "1e-7"),
        (1.5e-7, "1.5e-7"),
        (1e-6, "0.000001"),
        (123e-20, "1.23e-18"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e+308"),
        (-MAX_SAFE, str(-MAX_SAFE)),
        (float(2**60), "1152921504606847000"),  # shortest digits, then zeros
        # object members by UTF-16 code units: U+10000 (D800 DC00) sorts before U+E000
        ({"\ue000": 1, "\U00010000": 2, "\ud7ff": 3}, '{"\ud7ff":3,"\U00010000":2,"\ue000":1}'),
        ({"b": 1, "a": [], "": {}, "aa": (1, [True, False, None])}, '{"":{},"a":[],"aa":[1,[true,false,null]],"b":1}'),
    ],
)
def test_layout(value, expected):
    assert canonicalize(value) == expected.encode()


class Hostile(str):
    def __str__(self):
        raise AssertionError("__str__ called")

    __repr__ = __str__

    def __eq__(self, other):
        raise AssertionError("__eq__ called")

    __lt__ = __gt__ = __eq__
    __hash__ = str.__hash__


class HostileInt(int):
    def __index__(self):
        raise AssertionError("__index__ called")

    __int__ = __repr__ = __str__ = __index__


class HostileFloat(float):
    def __float__(self):
        raise AssertionError("__float__ called")

    __repr__ = __str__ = __float__


class HostileDict(dict):
    def items(self):
        raise AssertionError("items called")

    keys = values = __iter__ = __getitem__ = __len__ = items


class HostileList(list):
    def __iter__(self):
        raise AssertionError("__iter__ called")

    __getitem__ = __len__ = __iter__


def test_subclasses_by_stored_value():
    hostile = HostileDict({Hostile("k"): HostileList([HostileInt(7), HostileFloat(0.5), Hostile("v\n")])})
    plain = {"k": [7, 0.5, "v\n"]}
    assert canonicalize(hostile) == canonicalize(plain) == b'{"k":[7,0.5,"v\\n"]}'


# ---- strings, integers and key order, against independent references ----------------------

def json_string(text):
    """The standard library's encoder escapes exactly the code units RFC 8785 escapes, in the
    same forms (six-character escapes in lower-case hex), and writes everything else as is."""
    return json.dumps(text, ensure_ascii=False).encode()


class StrSub(str):
    """Stored apart from its object header, unlike a plain str: the general string path."""


# Neighbours of the escaped code units as well, where a mask that is off by one would show.
ESCAPE_PROBES = ['"', "\\", "\n", "\b", "\x00", "\x1f", " ", "!", "#", "[", "]", "\x7f", "\x80", "\u20ac"]
STRING_LENGTHS = [*range(0, 25), 31, 32, 33, 63, 64, 65, 511, 512, 513, 1030]


def probe_positions(n):
    if n <= 70:
        return range(n)
    return sorted({*range(10), *range(500, 520), *range(1020, 1030), *range(n - 10, n)} & set(range(n)))


@pytest.mark.parametrize("probe", ESCAPE_PROBES, ids=ascii)
@pytest.mark.parametrize("n", STRING_LENGTHS[1:])
def test_string_with_one_probe_anywhere(n, probe):
    for at in probe_positions(n):
        text = "a" * at + probe + "b" * (n - at - 1)
        expected = json_string(text)
        assert canonicalize(text) == expected
        assert canonicalize(StrSub(text)) == expected
        # As a key (which sorts before U+FFFF) and as a member's value.
        last = "\uffff"
        assert canonicalize({last: text, text: 0}) == b"{%s:0,%s:%s}" % (expected, json_string(last), expected)


@pytest.mark.parametrize("probe", ESCAPE_PROBES, ids=ascii)
@pytest.mark.parametrize("n", STRING_LENGTHS)
def test_string_of_one_unit_repeated(n, probe):
    text = probe * n
    assert canonicalize(text) == canonicalize(StrSub(text)) == json_string(text)
    assert canonicalize({text: text}) == b"{%s:%s}" % (json_string(text), json_string(text))


def around_powers_of_ten():
    values = {0, 2**30 - 1, 2**30, 2**31, 2**32, MAX_SAFE - 1, MAX_SAFE}
    for k in range(16):
        values |= {10**k - 1, 10**k, 10**k + 1}
    return sorted(v for v in values if v <= MAX_SAFE)


class IntSub(int):
    pass


@pytest.mark.parametrize("value", around_powers_of_ten())
@pytest.mark.parametrize("sign", [1, -1])
def test_integers_as_python_writes_them(value, sign):
    value *= sign
    expected = str(value).encode()
    assert canonicalize(value) == canonicalize(IntSub(value)) == expected
    # Integral doubles below 2**53 are written as integers too.
    assert canonicalize(float(value)) == expected
    assert canonicalize({"n": value}) == b'{"n":%s}' % expected


@pytest.mark.parametrize("value", [2**53, 2**53 + 1, 2**60 - 1, 2**60, 2**64])
@pytest.mark.parametrize("sign", [1, -1])
@pytest.mark.parametrize("kind", [int, IntSub])
def test_integers_beyond_the_exact_range(value, sign, kind):
    with pytest.raises(ValueError, match=f"integer {sign * value} is outside"):
        canonicalize({"n": kind(sign * value)})
    with pytest.raises(ValueError, match=f"integer {sign * value} is outside"):
        sha256_jcs([kind(sign * value)])


# Keys that agree in their first 8 code units, end within them, hold NUL (which sorts like
# the end of a shorter key but is not one), or mix 1-, 2- and 4-byte str storage.
KEY_SETS = [
    ["delegate_id", "delegator_id", "not_after_ms", "not_before_ms", "prev_delegation_ref", "scope"],
    ["abcdefgh", "abcdefghi", "abcdefgh\x00", "abcdefg", "abcdefgi"],
    ["", "a", "a\x00", "a\x00\x00", "a\x00b", "\x00"],
    ["abcdefghij", "abcdefghik", "abcdefghi", "abcdefghij\x00"],
    ["\xe9", "z", "\xff", "e\u0301", "e"],
    ["\xe9", "z", "\xff", "e", "\xe9t\xe9", "caf\xe9"],
    ["a", "\u0100", "\U00010000", "\ue000", "ab", "\ud7ff", "\xff"],
    [f"prefix__{i:03}" for i in range(20)],
    [f"{'x' * (i % 9)}{i}" for i in range(30)],
    # More keys than are sorted by insertion, all sharing a long prefix: they are told apart
    # past it. The prefix alone, NUL and the highest 1-byte unit after it, keys that are
    # prefixes of others, and prefixes of 7 to 25 units around the 8 a head holds.
    *[[prefix] + [f"{prefix}{i:x}" for i in range(24)] + [prefix + "\x00", prefix + "\xff",
      prefix + "f\x00", prefix + "ff", prefix + "f" * 12, prefix[:-1]]
      for prefix in ("tenant:", "tenant:a", "tenant:ab", "tenant:acme/audit-log-\xe9", "k" * 25)],
    # A shared prefix among some keys only, and among all but one.
    [f"tenant:acme/{i:02}" for i in range(20)] + [f"zone:{i}" for i in range(20)],
    [f"tenant:acme/{i:02}" for i in range(30)] + ["\x00"],
]


def utf16_order(keys):
    return sorted(keys, key=lambda k: k.encode("utf-16-be"))


def members_text(keys, value_of):
    return b"{" + b",".join(b"%s:%d" % (json_string(k), value_of(k)) for k in utf16_order(keys)) + b"}"


# Seed 0 gives the keys in reverse order, seed 4 already in order (which is written without
# sorting), the others shuffled.
class KeyText(str):
    """A str subclass as key: such keys are sorted apart from exact str ones."""


@pytest.mark.parametrize("keys", KEY_SETS, ids=lambda keys: ascii(keys[0]))
@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("key_type", [str, KeyText])
def test_members_in_utf16_order(keys, seed, key_type):
    shuffled = list(keys)
    random.Random(seed).shuffle(shuffled)
    if seed == 0:
        shuffled = utf16_order(keys)[::-1]
    if seed == 4:
        shuffled = utf16_order(keys)
    members = {key_type(k): keys.index(k) for k in shuffled}
    expected = members_text(keys, keys.index)
    assert canonicalize(members) == expected
    assert sha256_jcs(members) == hashlib.sha256(expected).hexdigest()


class Attributes:
    pass


def with_deleted(keys, reinsert):
    # Deleted items leave empty slots in the table, before, between and after the rest;
    # items deleted and inserted again move to the end.
    ordered = utf16_order(keys)
    members = {"~0": 0, **{k: 0 for k in ordered[:2]}, "~1": 0, **{k: 0 for k in ordered[2:]}, "~2": 0}
    for k in ("~0", "~1", "~2", *(ordered[:2] if reinsert else ())):
        del members[k]
    for k in ordered[:2] if reinsert else ():
        members[k] = 0
    return members


def instance_dict(keys):
    # An instance's attributes share their keys with the class: a table of another layout.
    obj = Attributes()
    for k in keys:
        setattr(obj, k, 0)
    return obj.__dict__


@pytest.mark.parametrize("build", [
    lambda keys: with_deleted(keys, reinsert=False),
    lambda keys: with_deleted(keys, reinsert=True),
    lambda keys: {k: 0 for k in utf16_order(keys)} | {},
    lambda keys: DictSub((k, 0) for k in utf16_order(keys)),
    instance_dict,
    lambda keys: dict.fromkeys(utf16_order(keys), 0),
], ids=["deleted", "reinserted", "copied", "subclass", "instance", "fromkeys"])
@pytest.mark.parametrize("keys", [
    ["a", "b", "c", "d", "e"],
    ["abcdefgh1", "abcdefgh0", "abcdefgh", "b", "\xe9"],
    ["prefix__9", "prefix__1", "prefix__5", "prefix__3", "prefix__7", "prefix__2"],
], ids=["short", "common-head", "prefix"])
def test_every_table_layout(build, keys):
    members = build(keys)
    assert sorted(members) == sorted(keys)
    expected = members_text(keys, lambda k: 0)
    assert canonicalize(members) == expected
    assert sha256_jcs(members) == hashlib.sha256(expected).hexdigest()
    assert canonicalize({"outer": members}) == b'{"outer":' + expected + b"}"


@pytest.mark.parametrize("width", [3, 15, 16, 17, 40])
def test_nested_objects_out_of_order(width):
    # The keys of an object out of order are sorted above those of the objects around it and
    # kept until it is written, so nested ones grow that store while their parents are read
    # from it.
    def inner(i):
        return {f"{c}{i}": i for c in "zyx"}

    value = {f"k{i:02}": {"m": inner(i), "a": [inner(i)]} for i in reversed(range(width))}
    expected = json.dumps(value, sort_keys=True, separators=(",", ":")).encode()
    assert canonicalize(value) == expected
    assert sha256_jcs(value) == hashlib.sha256(expected).hexdigest()


@pytest.mark.parametrize("text", ["", "k", "abcdefg", "abcdefgh", "abcdefghi", "abcdefghijklmnop", "\u20ac" * 9])
@pytest.mark.parametrize("before", [[], ["0"], ["\U0010ffff"]])
def test_keys_with_equal_text_refused(text, before):
    members = {k: 0 for k in before}
    members[SameText(text)] = 1
    members[SameText(text)] = 2
    for function in (canonicalize, sha256_jcs):
        with pytest.raises(ValueError, match="duplicate object key"):
            function(members)


def frame_depth():
    frame, depth = sys._getframe(), 0
    while frame is not None:
        frame, depth = frame.f_back, depth + 1
    return depth


def test_recursion_limit_still_bounds_nesting():
    limit = sys.getrecursionlimit()
    depth = frame_depth()
    sys.setrecursionlimit(depth + 200)
    try:
        assert canonicalize(nested(100)) == b"[" * 101 + b"]" * 101
        with pytest.raises(RecursionError, match="while encoding canonical JSON"):
            sha256_jcs(nested(400))
    finally:
        sys.setrecursionlimit(limit)


# ---- the hash over every buffer layout --------------------------------------------------

# Canonical lengths around the SHA-256 block (64 bytes; padding takes 9 at least, so 55 and
# 56 bytes differ by a block) and around the 4 KiB buffer, beyond which the text goes to the
# hash as it is written.
HASHED_LENGTHS = [*range(1, 140), *range(4000, 4110), 8190, 8191, 8192, 8193, 12_300]


@pytest.mark.parametrize("length", HASHED_LENGTHS)
def test_hash_of_every_length(length):
    value = 7 if length == 1 else "".join(chr(0x61 + i % 26) for i in range(length - 2))
    data = canonicalize(value)
    assert len(data) == length
    assert sha256_jcs(value) == hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize("members", [10, 100, 400])
def test_hash_of_documents_beyond_the_buffer(members):
    # Members of uneven sizes, some escaped, so the buffer fills at every kind of boundary.
    value = {f"k{i}\n": ["v" * (i * 37 % 300), i * 7919, {"\x01": i / 3}] for i in range(members)}
    assert sha256_jcs(value) == hashlib.sha256(canonicalize(value)).hexdigest()


# ---- refusals ---------------------------------------------------------------------------

class SameText(str):
    """Equal text, but distinct as dict keys."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def cyclic_list():
    a = []
    a.append(a)
    return a


def cyclic_dict():
    d = {}
    d["self"] = d
    return d


@pytest.mark.parametrize(
    "value, error",
    [
        (2**53, ValueError),
        (-(2**53), ValueError),
        (HostileInt(2**64), ValueError),
        (10**5000, ValueError),
        (math.nan, ValueError),
        (math.inf, ValueError),
        (HostileFloat("-inf"), ValueError),
        ("ok\ud83d", ValueError),
        ("\ud83d\ude02", ValueError),  # a surrogate pair in a str is two lone surrogates
        ({"a": 1, "\udfff": 2}, ValueError),
        ({SameText("k"): 1, SameText("k"): 2}, ValueError),
        ({"k": 1, SameText("k"): 2}, ValueError),
        ({**{f"{i}": i for i in range(30)}, SameText("7"): 0}, ValueError),
        ({1: "a"}, TypeError),
        ({("a",): 1}, TypeError),
        ({"a", "b"}, TypeError),
        (b"bytes", TypeError),
        (object(), TypeError),
        (1j, TypeError),
        ([1, {"x": frozenset()}], TypeError),
        (cyclic_list(), (RecursionError, ValueError)),
        (cyclic_dict(), (RecursionError, ValueError)),
        (nested(100_000), (RecursionError, ValueError)),
    ],
    ids=lambda v: getattr(v, "__name__", type(v).__name__),  # the hostile types refuse repr()
)
def test_refused(value, error):
    with pytest.raises(error):
        canonicalize(value)
    with pytest.raises(error):
        sha256_jcs(value)


def nested_objects(depth):
    """An empty object inside depth objects, each with its keys out of order."""
    value = {}
    for _ in range(depth):
        value = {"z": value, "a": 0}
    return value


@pytest.mark.parametrize("document", [
    nested(50), nested_objects(50), nested(5_000), nested_objects(5_000),
    [nested(40), {"k": [nested_objects(30)] * 3}, Decimal("1")],
], ids=["lists", "objects", "lists past the limit", "objects past the limit", "error inside"])
@pytest.mark.parametrize("write", [canonicalize, sha256_jcs])
def test_nesting_gives_back_every_level_it_takes(document, write):
    # Each level of a document counts as a Python call against the recursion limit; whether
    # it is written or refused part way, every level taken is given back.
    before = reachable_depth()
    for _ in range(3):
        try:
            write(document)
        except (RecursionError, TypeError):
            pass
    assert reachable_depth() == before


def test_deep_nesting_under_a_raised_recursion_limit():
    # The C stack, not the recursion limit, is then what runs out first without a depth cap.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    try:
        with pytest.raises(RecursionError):
            sha256_jcs(nested(200_000))
        assert canonicalize(nested(1900)) == b"[" * 1901 + b"]" * 1901
        with pytest.raises(RecursionError):
            sha256_jcs(nested_objects(200_000))
        assert canonicalize(nested_objects(1900)) == b'{"a":0,"z":' * 1900 + b"{}" + b"}" * 1900
    finally:
        sys.setrecursionlimit(limit)


SMALL_STACK_DEPTHS = """
import sys, threading
from kestrim_substrate import canonicalize, sha256_jcs

def nest(kind, depth):
    value = 1
    for _ in range(depth):
        value = {{"k": value}} if kind == "object" else [value]
    return value

# Made and freed on the main thread: freeing a deep document takes the interpreter's own
# stack, which is not what is tested here (3.13 cannot free 990 nested dicts in 64 KiB).
deep = {{kind: nest(kind, 990) for kind in ("object", "list")}}
moderate = {{kind: nest(kind, 50) for kind in ("object", "list")}}
expected = {{(kind, f): f(moderate[kind]) for kind in moderate for f in (canonicalize, sha256_jcs)}}

outcomes = []
def run():
    for kind in ("object", "list"):
        for f in (canonicalize, sha256_jcs):
            try:
                f(deep[kind])
                outcomes.append("deep ok")
            except RecursionError:
                outcomes.append("deep refused")
            # Room for a moderate depth: the check must not refuse what fits.
            if {stack_kib} >= 128:
                outcomes.append(f(moderate[kind]) == expected[kind, f])

threading.stack_size({stack_kib} * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(outcomes)
"""


@pytest.mark.parametrize("stack_kib", [32, 64, 128, 256])
def test_deep_document_in_a_thread_with_a_small_stack_is_refused_not_a_crash(stack_kib):
    # Under the default recursion limit, 990 nested objects took more C stack than a thread
    # of 256 KiB or less has: the interpreter died of SIGSEGV. Now the document is written
    # if it fits and refused with RecursionError if not.
    result = run_python(SMALL_STACK_DEPTHS.format(stack_kib=stack_kib))
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = ast.literal_eval(result.stdout)
    assert len(outcomes) == (8 if stack_kib >= 128 else 4)
    assert all(o is True or o in ("deep ok", "deep refused") for o in outcomes), outcomes


def test_refusal_names_the_problem():
    with pytest.raises(ValueError, match=r"integer 9007199254740992 is outside .*2\*\*53-1"):
        canonicalize([2**53])
    with pytest.raises(TypeError, match="Object of type set is not JSON serializable"):
        canonicalize({"a": {1}})
    with pytest.raises(ValueError, match="lone surrogate U\\+DC00 at index 2"):
        canonicalize("ab\udc00")


# ---- against independent implementations ------------------------------------------------

@given(json_values)
def test_hash_is_sha256_of_canonical_bytes(value):
    assert sha256_jcs(value) == hashlib.sha256(canonicalize(value)).hexdigest()


def typed(value):
    """The JSON meaning of a value: numbers as exact doubles, bool kept apart from 1 and 0."""
    if isinstance(value, list):
        return [typed(v) for v in value]
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return ("number", float(value))  # exact: integers here stay within 2**53
    return (type(value).__name__, value)


@given(json_values)
def test_round_trip(value):
    assert typed(json.loads(canonicalize(value))) == typed(value)


@given(json_values | st.dictionaries(text, scalars, min_size=17, max_size=60))  # large objects sort differently
def test_matches_rfc8785_package(value):
    rfc8785 = pytest.importorskip("rfc8785")
    assert canonicalize(value) == rfc8785.dumps(value)


# Sorts keys by UTF-16 code units (JavaScript's default sort) and leaves strings and numbers to
# JSON.stringify. Objects are written by hand: JavaScript would move integer-like keys first.
NODE_SCRIPT = r"""
const canon = v => Array.isArray(v) ? "[" + v.map(canon).join(",") + "]"
  : v !== null && typeof v === "object"
    ? "{" + Object.keys(v).sort().map(k => JSON.stringify(k) + ":" + canon(v[k])).join(",") + "}"
    : JSON.stringify(v);
require("readline").createInterface({ input: process.stdin })
  .on("line", line => process.stdout.write(JSON.stringify(canon(JSON.parse(line))) + "\n"));
"""


@pytest.fixture(scope="module")
def node():
    exe = shutil.which("node")
    if exe is None:
        pytest.skip("node is not installed")
    proc = subprocess.Popen(
        [exe, "-e", NODE_SCRIPT], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8"
    )

    def canon(value):
        proc.stdin.write(json.dumps(value) + "\n")  # ASCII with \u escapes: exact for node
        proc.stdin.flush()
        return json.loads(proc.stdout.readline()).encode()

    yield canon
    proc.stdin.close()
    proc.wait(timeout=10)


@settings(max_examples=500, deadline=None)  # a round trip to node; slow under sanitizers
@given(json_values)
def test_matches_node(node, value):
    assert canonicalize(value) == node(value)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=50, max_size=200))
def test_numbers_match_node(node, floats):
    # st.floats reaches subnormals, the extremes and the layout thresholds.
    assert canonicalize(floats) == node(floats)


# ---- references ---------------------------------------------------------------------------

def test_no_leaks_on_success_or_failure():
    held = "held-" + "x" * 20
    inputs = [
        lambda i: {"id": f"agent-{i}", "n": i, "f": i / 7, "l": [held, None, True]},
        lambda i: {"id": f"agent-{i}", "bad": [i, {"x": 2**53 + i}], "k": held},
        lambda i: {f"k{i}": held, i: "non-str key"},
        lambda i: [held, f"\ud800{i}"],
        lambda i: {"a": object(), "b": held},
    ]

    def run(rounds):
        for i in range(rounds):
            for make in inputs:
                for function in (sha256_jcs, canonicalize):
                    try:
                        function(make(i))
                    except (ValueError, TypeError):
                        pass

    run(500)  # warm caches and free lists
    refs = sys.getrefcount(held)
    tracemalloc.start()
    try:
        run(200)
        before = tracemalloc.get_traced_memory()[0]
        run(3000)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(held) == refs
    assert after - before < 64 * 1024
