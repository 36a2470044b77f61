"""The C API capsule of kestrim_substrate._jcs, called through ctypes as another extension would."""

import ctypes

import pytest

import kestrim_substrate
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


class Api(ctypes.Structure):
    _fields_ = [
        ("abi_version", ctypes.c_int),
        ("sha256_jcs", ctypes.c_void_p),
        ("sha256_hex", SHA256_HEX),
        ("sha256_members_hex", SHA256_MEMBERS_HEX),
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


def test_table(api):
    assert api.abi_version == 1
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
