"""Edges of the writer's fast paths that the other files leave open: member order where a
character beyond U+FFFF meets a surrogate code point (what is refused first depends on it);
refusals in every table layout against the general path; doubles read bit by bit from the
range the short-decimal path takes, against node; ints at the edges of the interpreter's
two-digit storage; returned bytes across runs of sizes, failures and threads."""

import collections
import gc
import json
import math
import pickle
import random
import shutil
import struct
import subprocess
import sys
import threading
import tracemalloc

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


class Attributes:
    pass


def instance_dict(members):
    obj = Attributes()
    for k, v in members.items():
        setattr(obj, k, v)
    return vars(obj)


def with_holes(members):
    out = {"~gone": 0}
    for k, v in members.items():
        out[k] = v
        out[k + "~"] = 0
        del out[k + "~"]
    del out["~gone"]
    return out


LAYOUTS = {
    "exact": dict,
    "holes": with_holes,
    "instance": instance_dict,
    "subclass": DictSub,
    "ordered": collections.OrderedDict,
}


def keys_of(kind, n):
    narrow = [f"k{(i * 7) % n:03}" for i in range(n)]
    return narrow if kind == "narrow" else [k + "\u00e9\u4e2d\U0001f510"[i % 3] for i, k in enumerate(narrow)]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kind", ["narrow", "wide"])
@pytest.mark.parametrize("n", [3, 17, 40])
@pytest.mark.parametrize("problem", ["non-str key", "bad value", "surrogate key", "none"])
def test_refusals_in_every_layout_match_the_general_path(layout, kind, n, problem):
    keys = keys_of(kind, n)
    members = {k: [i, f"v{i}"] for i, k in enumerate(keys)}
    if problem == "bad value":
        members[keys[n // 2]] = {"deep": [1.5, {2, 3}]}
    elif problem == "surrogate key":
        members["k\udc01"] = 0
    value = LAYOUTS[layout](members)
    if problem == "non-str key":
        value[7] = "seven"
    general = {Key(k) if isinstance(k, str) else k: v for k, v in dict.items(value)}
    for function in (canonicalize, sha256_jcs):
        expected = outcome(function, general)
        assert outcome(function, value) == expected
        assert outcome(function, {"outer": value}) == outcome(function, {"outer": general})
    if problem == "none":
        assert canonicalize(value) == jcs_model.canonicalize(dict(value))


def node_stringify(values):
    exe = shutil.which("node")
    if exe is None:
        pytest.skip("node is not installed")
    script = 'process.stdout.write(JSON.stringify(JSON.parse(require("fs").readFileSync(0, "utf8"))))'
    return subprocess.run([exe, "-e", script], input=json.dumps(values), capture_output=True,
                          text=True, check=True).stdout.encode()


def bits_of(x):
    return struct.unpack("<q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<q", b))[0]


@pytest.mark.parametrize("source", ["bits", "long decimals"])
def test_doubles_of_the_short_decimal_range_match_node(source):
    # Every double from 1e-7 to 2**49 is tried by the short-decimal path first, which must
    # give up or give the shortest digits; most doubles there have 16 or 17 significant
    # digits, which random decimals of few digits rarely reach.
    rng = random.Random(source)
    lo, hi = bits_of(1e-7), bits_of(2.0**49)
    if source == "bits":
        values = [from_bits(rng.randrange(lo - 64, hi + 64)) for _ in range(40000)]
    else:
        values = [float(f"{10 ** rng.uniform(-7.2, 14.8):.{rng.randint(13, 17) - 1}e}")
                  for _ in range(40000)]
    values += [-v for v in values[:5000]]
    assert canonicalize(values) == node_stringify(values)


class IntSub(int):
    pass


@pytest.mark.parametrize("bits", [29, 30, 31, 52, 53, 59, 60, 61, 62])
@pytest.mark.parametrize("delta", [-1, 0, 1])
@pytest.mark.parametrize("sign", [1, -1])
def test_ints_at_the_edges_of_two_digit_storage(bits, delta, sign):
    # Up to two 30-bit digits are read from the int's storage, the rest through the API.
    value = sign * (2**bits + delta)
    for kind in (int, IntSub):
        for doc, text in (([kind(value)], "[%d]"), ({"n": kind(value)}, '{"n":%d}'),
                          ((kind(value), 0), "[%d,0]")):
            if abs(value) <= jcs_model.MAX_SAFE:
                assert canonicalize(doc) == (text % value).encode()
            else:
                with pytest.raises(ValueError, match=f"integer {value} is outside"):
                    canonicalize(doc)


def document(rng, size):
    items, total = [], 2
    while total < size:
        item = rng.choice(["Zürich", "日本語", "x" * rng.randint(1, 700), 0.1, -7, None])
        items.append(item)
        total += len(jcs_model.canonicalize(item)) + 1
    return items


def check_bytes(out, expected):
    assert type(out) is bytes and len(out) == len(expected) and out == expected
    assert hash(out) == hash(bytes(bytearray(expected)))
    assert pickle.loads(pickle.dumps(out)) == expected and bytes(out) == expected
    assert out[1:-1] == expected[1:-1] and out + b"" == expected
    assert sys.getsizeof(out) >= len(out)
    grown = out
    grown += b"!"  # may grow the object in place when it is the only reference
    assert grown == expected + b"!" and out == expected


def test_returned_bytes_across_failures_and_sizes():
    # Failures after the text has spilled, between documents of very different sizes: each
    # result is exactly its text, and nothing is left behind.
    rng = random.Random(11)
    docs = [document(rng, s) for s in (2_000_000, 3_000, 70_000, 1_990_000, 9_000, 2_010_000)]
    expected = [jcs_model.canonicalize(d) for d in docs]
    failing = [docs[0][: len(docs[0]) // 2] + [{"x": {1}}], docs[2] + ["\udfff"]]

    def run():
        for doc, want in zip(docs, expected):
            check_bytes(canonicalize(doc), want)
            for bad in failing:
                with pytest.raises((TypeError, ValueError)):
                    canonicalize(bad)

    run()
    gc.collect()
    tracemalloc.start()
    try:
        run()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3):
            run()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 64 * 1024, growth


def test_returned_bytes_from_threads_sharing_the_size_hint():
    rng = random.Random(12)
    docs = [document(rng, s) for s in (1_500_000, 2_000, 60_000, 400_000, 5_000)]
    expected = [jcs_model.canonicalize(d) for d in docs]
    wrong = []

    def worker(seed):
        r = random.Random(seed)
        for _ in range(25):
            i = r.randrange(len(docs))
            if canonicalize(docs[i]) != expected[i]:
                wrong.append(i)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
