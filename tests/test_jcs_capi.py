"""The C API capsule of kestrim_substrate._jcs, called through ctypes as another extension would."""

import ctypes
import gc
import math
import re
import sys

import pytest

import kestrim_substrate
from conftest import nested
from kestrim_substrate import _jcs, sha256_jcs

HexOut = ctypes.c_char * 64
# PYFUNCTYPE keeps the GIL and raises the exception an entry point leaves set.
SHA256_HEX = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(HexOut))
SHA256_MEMBERS_HEX = ctypes.PYFUNCTYPE(
    ctypes.c_int,
    ctypes.POINTER(ctypes.py_object),
    ctypes.POINTER(ctypes.py_object),
    ctypes.c_ssize_t,
    ctypes.POINTER(HexOut),
)


PREPARE_MEMBERS = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ctypes.py_object), ctypes.c_ssize_t)
SHA256_PREPARED_HEX = ctypes.PYFUNCTYPE(
    ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.py_object), ctypes.POINTER(HexOut)
)
SHA256_PREPARED_BATCH = ctypes.PYFUNCTYPE(
    ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.py_object), ctypes.c_ssize_t, ctypes.POINTER(HexOut)
)


class Api(ctypes.Structure):
    _fields_ = [
        ("abi_version", ctypes.c_int),
        ("sha256_jcs", ctypes.c_void_p),
        ("sha256_hex", SHA256_HEX),
        ("sha256_members_hex", SHA256_MEMBERS_HEX),
        ("prepare_members", PREPARE_MEMBERS),
        ("sha256_prepared_hex", SHA256_PREPARED_HEX),
        ("sha256_prepared_batch", SHA256_PREPARED_BATCH),
    ]


@pytest.fixture(scope="module")
def api():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return Api.from_address(get_pointer(_jcs._C_API, b"kestrim_substrate._jcs._C_API"))


def hex_of(api, obj):
    out = HexOut()
    assert api.sha256_hex(obj, ctypes.byref(out)) == 0
    return out.raw.decode()


def members_hex(api, keys, values):
    out = HexOut()
    array = ctypes.py_object * len(keys)
    assert api.sha256_members_hex(array(*keys), array(*values), len(keys), ctypes.byref(out)) == 0
    return out.raw.decode()


def objects(items):
    return (ctypes.py_object * len(items))(*items)


def prepare(api, keys):
    return api.prepare_members(objects(keys), len(keys))


def prepared_hex(api, handle, values):
    out = HexOut()
    assert api.sha256_prepared_hex(handle, objects(values), ctypes.byref(out)) == 0
    return out.raw.decode()


def prepared_batch(api, handle, rows):
    out = (HexOut * max(1, len(rows)))()
    flat = [v for row in rows for v in row]
    assert api.sha256_prepared_batch(handle, objects(flat), len(rows), out) == 0
    return [h.raw.decode() for h in out[: len(rows)]]


def test_table(api):
    assert api.abi_version == 2
    assert api.sha256_jcs == id(kestrim_substrate.sha256_jcs)


@pytest.mark.parametrize(
    "obj",
    [
        {"delegate_id": "agent-b", "not_after_ms": 1767225600000, "scope": ["payments:read", 1.5e-7]},
        "x" * 10_000 + "\u20ac\U0001f602",  # several buffer-fulls streamed into the hash
        [],
        None,
    ],
)
def test_sha256_hex_matches_function(api, obj):
    assert hex_of(api, obj) == sha256_jcs(obj)


@pytest.mark.parametrize(
    "members",
    [
        {},
        {"a": 1},
        # UTF-16 order: U+10000 comes before U+E000
        {"": None, "10": [1, {"z": 0, "y": True}], "9": "nine", "\U00010000": 2.5, "\ue000": "e"},
        {f"k{i:03}": i for i in range(40)},
    ],
)
def test_members_match_dict(api, members):
    assert members_hex(api, list(members), list(members.values())) == sha256_jcs(members)


@pytest.mark.parametrize(
    "keys, error",
    [
        (["b", "a"], ValueError),
        (["\ue000", "\U00010000"], ValueError),  # code point order, not UTF-16 order
        (["a", "a"], ValueError),
        (["a", 1], TypeError),
        (["a", "\udc00"], ValueError),
    ],
)
def test_members_refused(api, keys, error):
    with pytest.raises(error):
        members_hex(api, keys, [0] * len(keys))


@pytest.mark.parametrize("obj, error", [({"a": 2**53}, ValueError), ({"a": {1, 2}}, TypeError)])
def test_sha256_hex_raises_like_function(api, obj, error):
    with pytest.raises(error):
        hex_of(api, obj)
    with pytest.raises(error):
        members_hex(api, list(obj), list(obj.values()))


# ---- prepared members -------------------------------------------------------------------

TYPICAL_KEYS = ["delegate_id", "delegator_id", "not_after_ms", "not_before_ms", "prev_delegation_ref", "scope"]
TYPICAL_VALUES = ["agent-b", "agent-a", 1767225600000, 1764547200000, "sha256:" + "ab" * 32, "payments:read"]


class IntSub(int):
    pass


class StrSub(str):
    pass


# Each key set with value rows to hash under it; keys in UTF-16 order as the API requires.
PREPARED_CASES = [
    ([], [[]]),
    (TYPICAL_KEYS, [TYPICAL_VALUES, [None, True, False, -0.0, 1.5e-7, []], [{"b": [1, {"a": ()}]}] * 6]),
    (["", "10", "9", "\U00010000", "\ue000"], [[None, [1, {"z": 0, "y": True}], "nine", 2.5, "e"]]),
    # Keys that must be escaped, and one beyond the 4 KiB buffer: its piece alone outgrows it.
    (["\n", '"q"', "a\\b", "k" * 10_000], [[1, 2, 3, 4], ["x" * 5000, "\x00", "\u20ac", "\U0001f602"]]),
    (["\xe9", "\u20ac", "\U0001f602"], [[IntSub(5), StrSub("s\n"), 2**53 - 1]]),
    ([f"k{i:03}" for i in range(40)], [list(range(40)), [str(i) * i for i in range(40)]]),
]


@pytest.mark.parametrize("keys, rows", PREPARED_CASES, ids=lambda v: ascii(v)[:30])
def test_prepared_matches_dict(api, keys, rows):
    handle = prepare(api, keys)
    assert handle
    for values in rows:
        assert prepared_hex(api, handle, values) == sha256_jcs(dict(zip(keys, values)))
        assert members_hex(api, keys, values) == sha256_jcs(dict(zip(keys, values)))


def test_prepared_handles_last(api):
    first = prepare(api, TYPICAL_KEYS)
    others = [prepare(api, [f"other{i}"]) for i in range(50)]
    gc.collect()
    assert prepared_hex(api, first, TYPICAL_VALUES) == sha256_jcs(dict(zip(TYPICAL_KEYS, TYPICAL_VALUES)))
    assert len(set(others)) == 50 and first not in others
    # The same keys prepared again share the handle rather than take more memory.
    assert prepare(api, [str(k) for k in TYPICAL_KEYS]) == first


def cyclic():
    a = []
    a.append(a)
    return a


class HostileInt(int):
    def __index__(self):
        raise AssertionError("__index__ called")

    __int__ = __repr__ = __str__ = __index__


@pytest.mark.parametrize(
    "bad",
    [2**53, -(2**53), 2**60 - 1, -(2**60), 2**64, HostileInt(2**64), 10**5000, math.nan, -math.inf, "ok\ud800", {1: 2}, {"a": 1, "\udfff": 2},
     {"a", "b"}, object(), b"bytes", [1, {"x": frozenset()}], cyclic(), nested(100_000)],
    ids=lambda v: type(v).__name__,
)
@pytest.mark.parametrize("at", [0, 2, 5])
def test_prepared_refuses_as_sha256_jcs_does(api, bad, at):
    values = list(TYPICAL_VALUES)
    values[at] = bad
    with pytest.raises(Exception) as expected:
        sha256_jcs(dict(zip(TYPICAL_KEYS, values)))
    handle = prepare(api, TYPICAL_KEYS)
    with pytest.raises(expected.type) as got:
        prepared_hex(api, handle, values)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize(
    "keys, error",
    [
        (["b", "a"], ValueError),
        (["\ue000", "\U00010000"], ValueError),  # code point order, not UTF-16 order
        (["a", "a"], ValueError),
        (["abcdefghij", "abcdefghij"], ValueError),
        (["a", 1], TypeError),
        ([b"a"], TypeError),
        (["a", "\udc00"], ValueError),
    ],
)
def test_prepare_refuses_as_members_do(api, keys, error):
    with pytest.raises(error) as expected:
        members_hex(api, keys, [0] * len(keys))
    with pytest.raises(error) as got:
        prepare(api, keys)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("depth", [1998, 1999])
def test_prepared_object_is_a_level_of_nesting(api, depth):
    # At the fixed nesting bound, with the interpreter's own limit out of the way: the
    # prepared object must count as the level the dict it stands for is.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    try:
        values = list(TYPICAL_VALUES)
        values[1] = nested(depth)
        handle = prepare(api, TYPICAL_KEYS)
        try:
            expected = sha256_jcs(dict(zip(TYPICAL_KEYS, values)))
        except RecursionError as error:
            with pytest.raises(RecursionError, match=re.escape(str(error))):
                prepared_hex(api, handle, values)
        else:
            assert prepared_hex(api, handle, values) == expected
    finally:
        sys.setrecursionlimit(limit)


# Rows of short ASCII str and ints take a shorter way than other values; each value here
# sits at one of its edges: every str length up to past its bound (256), with a character to
# escape, a non-ASCII one or DEL (not escaped) at either end, and ints at the edges of the
# interpreter's smallest storage (2**30) and of the safe range, with bools and floats,
# which are not ints here.
def usual_kind_edges():
    texts = ["x" * n for n in range(300)]
    for n in (1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 71, 255, 256, 257):
        for odd in ('"', "\\", "\n", "\x1f", "\x7f", "\xe9", "\u20ac", "\U0001f602"):
            texts += [odd + "y" * (n - 1), "y" * (n - 1) + odd, "y" * (n // 2) + odd + "y" * (n - n // 2)]
    ints = [0, 1, -1, 9, 10, 99999999, 10**8, 10**15 - 1, 10**15, True, False, 1.0, -0.0, IntSub(7)]
    ints += [2**30 - 1, 2**30, -(2**30), 2**53 - 1, -(2**53 - 1)]
    return [[t, "agent-a", i, 1, "sha256:" + "ab" * 32, StrSub("s") if k % 7 == 0 else "s"]
            for k, (t, i) in enumerate(zip(texts, ints * (len(texts) // len(ints) + 1)))]


def test_rows_of_usual_kinds_hash_as_the_dict_does(api):
    handle = prepare(api, TYPICAL_KEYS)
    rows = usual_kind_edges()
    expected = [sha256_jcs(dict(zip(TYPICAL_KEYS, row))) for row in rows]
    assert [prepared_hex(api, handle, row) for row in rows] == expected
    assert prepared_batch(api, handle, rows) == expected


# ---- prepared members, many rows at once --------------------------------------------------


def batch_rows(count):
    # Lengths that end anywhere in a block, rows past the 4 KiB buffer, and enough rows to
    # keep every lane of the widest kernel busy more than once and to span several chunks.
    return [[f"agent-{k}", "a" * (k * 7 % 300), k * 1000, k, "sha256:" + f"{k:064x}", "s" * (k % 5000)]
            for k in range(count)]


@pytest.mark.parametrize("count", [0, 1, 2, 15, 17, 64, 130])
def test_prepared_batch_matches_one_at_a_time(api, count):
    handle = prepare(api, TYPICAL_KEYS)
    rows = batch_rows(count)
    assert prepared_batch(api, handle, rows) == [prepared_hex(api, handle, row) for row in rows]


@pytest.mark.parametrize("keys, rows", PREPARED_CASES, ids=lambda v: ascii(v)[:30])
def test_prepared_batch_matches_dict(api, keys, rows):
    assert prepared_batch(api, prepare(api, keys), rows) == [sha256_jcs(dict(zip(keys, r))) for r in rows]


@pytest.mark.parametrize("bad", [2**53, math.nan, "ok\ud800", object(), cyclic()], ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("row", [0, 1, 16, 63, 64, 129])
def test_prepared_batch_refuses_first_bad_row(api, bad, row):
    handle = prepare(api, TYPICAL_KEYS)
    rows = batch_rows(130)
    rows[row][row % 6] = bad
    # A later row that fails differently: the error must still be the first row's.
    if row + 1 < len(rows):
        rows[row + 1][2] = {"x": b"later"}
    with pytest.raises(Exception) as expected:
        prepared_hex(api, handle, rows[row])
    out = (HexOut * len(rows))()
    flat = objects([v for r in rows for v in r])
    with pytest.raises(expected.type) as got:
        api.sha256_prepared_batch(handle, flat, len(rows), out)
    assert str(got.value) == str(expected.value)
