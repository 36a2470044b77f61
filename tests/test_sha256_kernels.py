"""sha256_jcs and the chain walk under every SHA-256 kernel the environment variable can force, against hashlib.

Each kernel runs in a process of its own, since the choice is made once per process. Which
kernels this CPU refuses differs by machine; the checks hold whatever the answer is, and
the hashes are checked in every case.
"""

import json
import os
import subprocess
import sys

import pytest

from kestrim_substrate import _jcs

NAMES = ("openssl", "shani", "shani-x2", "avx2", "avx512")

# Runs in the child: reports the kernel, then checks messages of every length from 1 to
# 1,100 bytes (a string of n-2 characters is n bytes) and a few long documents whose pieces
# end anywhere in a block, so the writer's buffer spills part-way through one.
CHILD = r"""
import hashlib, json, random, sys
from kestrim_substrate import _jcs

def check(obj):
    data = _jcs.canonicalize(obj)
    got = _jcs.sha256_jcs(obj)
    if got != hashlib.sha256(data).hexdigest():
        sys.exit(f"length {len(data)}: {got}")
    return len(data)

for digit in range(10):
    check(digit)
for n in range(2, 1101):
    assert check("k" * (n - 2)) == n
rng = random.Random(13)
alphabet = "ab\u00e9\u20ac\U0001f600\n"
for limit in (5_000, 70_000, 300_000, 1_000_000):
    pieces, size = [], 2
    while size < limit:
        piece = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 200)))
        pieces.append({"s": piece, "n": rng.randrange(-2**53 + 1, 2**53)})
        size += len(json.dumps(pieces[-1], ensure_ascii=False).encode())
    check(pieces)

# The C API's batch hashes rows side by side with the chosen kernel: rows of every length
# mod 64 over one to three blocks and more, in batches that leave lanes idle at the end.
import ctypes
Hex = ctypes.c_char * 64
BATCH = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.py_object),
                          ctypes.c_ssize_t, ctypes.POINTER(Hex))
PREPARE = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ctypes.py_object), ctypes.c_ssize_t)
class Api(ctypes.Structure):
    _fields_ = [("abi_version", ctypes.c_int)] + [(f"f{i}", ctypes.c_void_p) for i in range(3)] + [
        ("prepare_members", PREPARE), ("sha256_prepared_hex", ctypes.c_void_p),
        ("sha256_prepared_batch", BATCH)]
get = ctypes.pythonapi.PyCapsule_GetPointer
get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
api = Api.from_address(get(_jcs._C_API, b"kestrim_substrate._jcs._C_API"))
assert api.abi_version == 2
keys = ["a", "b"]
handle = api.prepare_members((ctypes.py_object * 2)(*keys), 2)
for count in (1, 2, 3, 8, 9, 16, 17, 33):
    for start in range(0, 700, 97):
        rows = [["x" * (start + 13 * k), k] for k in range(count)]
        flat = [v for r in rows for v in r]
        out = (Hex * count)()
        assert api.sha256_prepared_batch(handle, (ctypes.py_object * len(flat))(*flat), count, out) == 0
        for r, h in zip(rows, out):
            want = hashlib.sha256(_jcs.canonicalize(dict(zip(keys, r)))).hexdigest()
            if h.raw.decode() != want:
                sys.exit(f"batch of {count}: row {r[1]}, length {len(r[0])}")

# A chain walk hashes its links side by side with the chosen kernel: links of every length of
# text modulo a block, past several batches, against hashlib.
from kestrim_delegation_ref import delegation_ref as dr
links, prev = [], ""
for i in range(150):
    env = {"delegator_id": "a" * (1 + i % 70), "delegate_id": "bé🔐" * (i % 5 + 1),
           "scope": "s" * (i * 7 % 300 + 1), "not_before_ms": i, "not_after_ms": 2**53 - 1 - i,
           "prev_delegation_ref": prev}
    links.append(env)
    fields = {k: env[k] for k in sorted(env)}
    prev = "sha256:" + hashlib.sha256(json.dumps(fields, separators=(",", ":"),
                                                 ensure_ascii=False).encode()).hexdigest()
    if dr.delegation_ref(env) != prev:
        sys.exit(f"delegation_ref of link {i}")
refs = dr.verify_chain(links)
if refs != [dr.delegation_ref(env) for env in links]:
    sys.exit("verify_chain")
print(json.dumps(_jcs._sha256_kernel()))
"""


def run_child(forced):
    env = dict(os.environ)
    env.pop("KESTRIM_SHA256_KERNEL", None)
    if forced is not None:
        env["KESTRIM_SHA256_KERNEL"] = forced
    done = subprocess.run([sys.executable, "-P", "-c", CHILD], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return tuple(json.loads(done.stdout.splitlines()[-1]))


@pytest.fixture(scope="module")
def kernels():
    """What each setting of the variable chose, every one with its hashes checked."""
    return {forced: run_child(forced) for forced in (None, "", "no-such-kernel") + NAMES}


def test_every_kernel_hashes_what_hashlib_hashes(kernels):
    # run_child fails on any wrong digest; here, each setting was also understood as meant.
    assert kernels[None][1] == kernels[""][1] == "cpu"
    assert kernels["no-such-kernel"][1] == "unknown"
    assert kernels["openssl"] == ("openssl", "forced")
    for name in NAMES:
        assert kernels[name][1] in ("forced", "refused")


def test_stream_follows_the_choice(kernels):
    # One message has nothing to interleave: any forced hand-written kernel streams through
    # SHA-NI if the CPU has it, and the CPU's own choice does the same.
    shani = kernels["shani"][1] == "forced"
    assert kernels["shani"][0] == ("shani" if shani else "openssl")
    for name in ("shani-x2", "avx2", "avx512"):
        if kernels[name][1] == "forced":
            assert kernels[name][0] == kernels["shani"][0]
    for unforced in (None, "", "no-such-kernel"):
        assert kernels[unforced][0] == kernels["shani"][0]


def test_kernel_report_in_process():
    name, source = _jcs._sha256_kernel()
    assert name in ("openssl", "shani")
    assert source in ("cpu", "forced", "refused", "unknown")
