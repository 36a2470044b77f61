"""The writer's fast paths against independent references: numbers against node's
JSON.stringify (ECMAScript's Number::toString) on doubles of the shapes the short-decimal
path takes and those at its edges; strings of every storage width and of lengths around
the UTF-8 kernel's eight-unit blocks against json.dumps, lone surrogates refused where
they stand; and documents long enough to spill into the returned bytes object."""

import ctypes
import hashlib
import json
import math
import random
import shutil
import struct
import subprocess
import sys

import jcs_model
import pytest

from kestrim_substrate import canonicalize, sha256_jcs


def node_stringify(values):
    exe = shutil.which("node")
    if exe is None:
        pytest.skip("node is not installed")
    script = 'process.stdout.write(JSON.stringify(JSON.parse(require("fs").readFileSync(0, "utf8"))))'
    # json.dumps writes repr's shortest digits, which node reads back to the same doubles.
    out = subprocess.run([exe, "-e", script], input=json.dumps(values), capture_output=True,
                         text=True, check=True).stdout
    return out.encode()


def short_decimals(rng):
    """Doubles read from decimals of 1 to 17 digits, at every scale the layouts change at."""
    values = []
    for _ in range(20000):
        digits = rng.randint(1, 17)
        mantissa = rng.randrange(10 ** (digits - 1), 10**digits)
        values.append(float(f"{mantissa}e{rng.randint(-30, 25)}"))
    values += [round(rng.uniform(-1e4, 1e4), rng.randint(1, 15)) for _ in range(5000)]
    return values


def edges():
    """Neighbours of the layout thresholds (1e21, 1e-6, 1e-7), of powers of two (lopsided
    rounding intervals), of the short path's bounds (2**49, 2**53) and of subnormals."""
    centres = [10.0**k for k in range(-12, 23)] + [2.0**k for k in range(-40, 60)]
    centres += [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 0.3, 1 / 3]
    values = []
    for c in centres:
        up = down = c
        for _ in range(3):
            values += [up, down]
            up, down = math.nextafter(up, math.inf), math.nextafter(down, 0.0)
    return values


@pytest.mark.parametrize("source", ["short decimals", "edges", "random bits"])
def test_numbers_match_node(source):
    rng = random.Random(8785)
    if source == "short decimals":
        values = short_decimals(rng)
    elif source == "edges":
        values = edges()
    else:
        values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(20000)]
    values = [v for v in values if math.isfinite(v)]
    values += [-v for v in values]
    assert canonicalize(values) == node_stringify(values)


# Characters that take each path of the UTF-8 kernel: plain ASCII, escapes, 2-, 3- and
# 4-byte letters.
PROBES = ['"', "\\", "\n", "\x1f", "\x7f", "é", "ÿ", "\u0100", "\u07ff", "\u0800", "日", "\uffff",
          "\U00010000", "🔐", "\U0010ffff"]
FILLERS = {"latin-1": "aé", "ucs-2": "a€", "ucs-4": "a🔐"}
LENGTHS = [*range(0, 20), 31, 32, 33, 39, 40, 41, 63, 64, 65, 511, 512, 513, 520]


def positions(n):
    # Each side of every block edge, and the ends.
    return sorted({0, n - 1, *(p for b in range(8, n, 8) for p in (b - 1, b)), *range(min(n, 3))} & set(range(n)))


def json_string(text):
    return json.dumps(text, ensure_ascii=False).encode()


@pytest.mark.parametrize("kind", FILLERS)
@pytest.mark.parametrize("n", LENGTHS)
def test_strings_of_every_width_around_blocks(kind, n):
    narrow, wide = FILLERS[kind]
    for run in (narrow * n, (narrow * 7 + wide) * (n // 8) + narrow * (n % 8)):
        # The filler fixes the storage width even where the probe is narrower.
        base = run[:-1] + wide if n else run
        assert canonicalize(base) == json_string(base)
        for at in positions(n):
            for probe in PROBES:
                if kind == "latin-1" and ord(probe) > 0xFF:
                    continue
                text = base[:at] + probe + base[at + 1:]
                assert canonicalize(text) == json_string(text), (kind, n, at, probe)
                assert canonicalize({text: 1}) == b"{%s:1}" % json_string(text)


def hold_utf8(text):
    """Has the interpreter make and keep text's UTF-8 form, as it does for any extension that
    asks for it (orjson, for one), and checks that it now holds it."""
    size = sys.getsizeof(text)
    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    as_utf8.restype = ctypes.c_void_p
    as_utf8.argtypes = [ctypes.py_object, ctypes.c_void_p]
    assert as_utf8(text, None)
    assert sys.getsizeof(text) == size + len(text.encode()) + 1


@pytest.mark.parametrize("kind", FILLERS)
@pytest.mark.parametrize("n", [2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33, 520])
def test_strings_whose_utf8_the_interpreter_holds(kind, n):
    # Such text is copied from that form when nothing in it needs an escape. U+D7FF and
    # U+D55C begin with 0xED, as an encoded surrogate would, and take the code-unit path.
    narrow, wide = FILLERS[kind]
    for at in positions(n):
        for probe in PROBES + ["\ud7ff", "\ud55c"]:
            if kind == "latin-1" and ord(probe) > 0xFF:
                continue
            base = (narrow * n)[:-1] + wide
            text = base[:at] + probe + base[at + 1:]
            if text.isascii():  # the probe took the wide letter's place
                text += wide
            key = text + "k"
            expected = json_string(text)
            assert canonicalize(text) == expected
            hold_utf8(text)
            hold_utf8(key)
            assert canonicalize(text) == expected, (kind, n, at, probe)
            assert canonicalize({key: [text]}) == b"{%s:[%s]}" % (json_string(key), expected)
            assert sha256_jcs(text) == hashlib.sha256(expected).hexdigest()
            # A subclass's text lies apart from its header, its UTF-8 fields where a str's are.
            sub = Key(text)
            hold_utf8(sub)
            assert canonicalize([sub]) == b"[%s]" % expected


@pytest.mark.parametrize("kind", ["ucs-2", "ucs-4"])
@pytest.mark.parametrize("n", [1, 7, 8, 9, 32, 33, 40, 520])
def test_lone_surrogate_refused_where_it_stands(kind, n):
    narrow, wide = FILLERS[kind]
    base = (narrow * 7 + wide) * (n // 8 + 1)
    for at in positions(n):
        for surrogate in ("\ud800", "\udbff", "\udc00", "\udfff"):
            text = base[:at] + surrogate + base[at + 1:n]
            # The first surrogate is the one named, even with a second one after it.
            for later in ("", "\udc00"):
                with pytest.raises(ValueError, match=f"lone surrogate U\\+{ord(surrogate):04X} at index {at},"):
                    canonicalize(text + later)
                with pytest.raises(ValueError, match=f"at index {at},"):
                    sha256_jcs({"k": [text + later]})


@pytest.mark.parametrize("size", [4095, 4096, 4097, 70_000, 3_000_000])
def test_documents_spilling_into_the_returned_bytes(size):
    # Past the stack buffer the text is written into the bytes object itself and grown;
    # its length and content must be exactly the text's, at and around every growth step.
    rng = random.Random(size)
    items = []
    total = 2
    while total < size:
        item = rng.choice([1.5, -0.000123, 12345678, "Zürich", "日本語", "🔐 vault", True, None])
        items.append(item)
        total += len(json_string(item) if isinstance(item, str) else json.dumps(item).encode()) + 1
    expected = json.dumps(items, ensure_ascii=False, separators=(",", ":")).encode()
    out = canonicalize(items)
    assert type(out) is bytes and out == expected
    assert sha256_jcs(items) == hashlib.sha256(expected).hexdigest()
    # A failure after the text has spilled leaves nothing behind and raises cleanly.
    with pytest.raises(ValueError, match="lone surrogate"):
        canonicalize(items + ["\udc00"])


# Keys of every width in one object, where their order by UTF-16 units differs from their
# order by code points (U+E000..U+FFFF after the surrogate pairs of U+10000 on) and from
# their order by bytes of the widest storage; long shared starts so that the four-unit heads
# tie and the full comparison decides.
KEY_ALPHABETS = {
    "ascii": "abz_09",
    "latin-1": "aéÿ\x80",
    "bmp": "aé\u4e2d\ud7ff\ue000\uffff",
    "astral": "a\ue000\U00010000\U0001f510\U0010ffff",
}


class Key(str):
    """A str subclass: its object goes to the general path, the reference to compare with."""


def mixed_keys(rng, n, alphabets):
    pool = "".join(KEY_ALPHABETS[a] for a in alphabets)
    prefix = "".join(rng.choice(pool) for _ in range(rng.choice([0, 3, 4, 5, 9])))
    keys = set()
    while len(keys) < n:
        keys.add(prefix + "".join(rng.choice(pool) for _ in range(rng.randint(0, 6))))
    keys = list(keys)
    rng.shuffle(keys)
    return keys


@pytest.mark.parametrize("alphabets", [("ascii", "bmp"), ("latin-1", "bmp"), ("ascii", "astral"),
                                       ("latin-1", "bmp", "astral")])
@pytest.mark.parametrize("n", [2, 5, 16, 17, 60])
def test_objects_with_wide_keys_in_utf16_order(alphabets, n):
    rng = random.Random(f"{alphabets}{n}")
    for _ in range(30):
        keys = mixed_keys(rng, n, alphabets)
        obj = {k: i for i, k in enumerate(keys)}
        # A deleted member leaves an empty slot in the table that must be skipped.
        obj["gone"] = 0
        del obj["gone"]
        expected = jcs_model.canonicalize(obj)
        general = dict(obj)
        k = keys[rng.randrange(n)]
        del general[k]
        general[Key(k)] = obj[k]
        nested = {"outer": [obj], "ä": obj}
        assert canonicalize(obj) == expected
        assert canonicalize(general) == expected
        assert canonicalize(nested) == jcs_model.canonicalize(nested)
        assert sha256_jcs(nested) == hashlib.sha256(jcs_model.canonicalize(nested)).hexdigest()


@pytest.mark.parametrize("sizes", [(3_000_000, 5_000, 3_000_000), (70_000, 70_000, 70_000),
                                   (70_000, 71_000, 300_000, 10_000, 4_097)])
def test_returned_bytes_sized_from_earlier_calls(sizes):
    # A spilled text is sized from the last one and, when that fits closely, handed back in
    # its block as it is: each result must be exactly its text, whatever came before it, and
    # behave as any bytes object does.
    rng = random.Random(sum(sizes))
    for size in sizes:
        items = [rng.choice(["Zürich", "日本語", "x" * rng.randint(1, 900), 0.25, None])
                 for _ in range(size // 8)]
        expected = jcs_model.canonicalize(items)
        out = canonicalize(items)
        assert len(out) == len(expected) and out == expected
        assert hash(out) == hash(expected) and out + b"!" == expected + b"!"
        assert bytes(memoryview(out)) == expected and out.decode() == expected.decode()


@pytest.mark.parametrize("keys_in_order", [True, False])
@pytest.mark.parametrize("deleted", [(), (0,), (1,), (1, 2), (5, 6, 7)])
def test_nested_tables_with_deleted_slots(keys_in_order, deleted):
    # Values are looked at ahead of the one being written, by their place in the table or on
    # the key stack; deleted slots there hold no value and must be stepped over, at every
    # distance ahead and in objects nested inside such objects.
    def record(depth):
        keys = [f"k{i:02d}" for i in range(9)]
        if not keys_in_order:
            keys.reverse()
        obj = {}
        for i, k in enumerate(keys):
            obj[k] = (record(depth + 1) if depth < 3 and i % 3 == 0 else
                      [record(depth + 1)] if depth < 3 and i % 3 == 1 else f"value {i}" * i)
        for i in deleted:
            del obj[keys[i]]
        return obj

    doc = {"log": [record(0) for _ in range(3)], "n": 3}
    expected = jcs_model.canonicalize(doc)
    assert canonicalize(doc) == expected
    assert sha256_jcs(doc) == hashlib.sha256(expected).hexdigest()


def test_bench_document_against_the_model():
    # The bench's document mixes everything the large-document paths take: records nested in
    # records and arrays, wide keys among narrow ones, floats of every shape.
    import importlib.util
    import pathlib

    path = pathlib.Path(__file__).resolve().parent.parent / "bench" / "workload.py"
    spec = importlib.util.spec_from_file_location("bench_workload", path)
    workload = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(workload)
    doc = workload.large_document(300_000, seed=20261208)
    expected = jcs_model.canonicalize(doc)
    assert canonicalize(doc) == expected
    assert sha256_jcs(doc) == hashlib.sha256(expected).hexdigest()


class Key(str):
    """A str subclass: objects with such keys are written from members read one by one."""


@pytest.mark.parametrize("order", ["in order", "shuffled", "reversed"])
@pytest.mark.parametrize("wide_at", [None, 3, 150])
@pytest.mark.parametrize("deleted", ["none", "every third", "last twenty", "all but five"])
@pytest.mark.parametrize("key_type", [str, Key])
def test_large_object_read_ahead(order, wide_at, deleted, key_type):
    # A large object's keys and values are asked for some members ahead in every pass over
    # it, and its keys' shared prefix is found while they are read: deleted slots anywhere in
    # the table (and so many that few members are left), a wide key after many narrow ones
    # whose heads were taken past the prefix, and keys read in table, sorted or reversed order.
    rng = random.Random(f"{order}{wide_at}{deleted}")
    keys = [f"tenant:kestrim/auditlog-{i:05d}" for i in range(200)]
    keys[7] = "tenant:kestrim/audit"  # the shared prefix shrinks after the first few keys
    if wide_at is not None:
        keys.insert(wide_at, "tenant:kestrim/auditlog-\u0100")
    if order == "shuffled":
        rng.shuffle(keys)
    elif order == "reversed":
        keys.sort(reverse=True)
    else:
        keys.sort(key=lambda k: k.encode("utf-16-be"))
    def value(i):
        return [f"v{i}", i, [i, {"k": i}], {"nested": f"x{i}" * (i % 7)}, i / 8, None][i % 6]

    obj = {key_type(k): value(i) for i, k in enumerate(keys)}
    gone = {"none": [], "every third": keys[::3], "last twenty": keys[-20:],
            "all but five": keys[5:]}[deleted]
    for k in gone:
        del obj[k]
    expected = jcs_model.canonicalize(obj)
    assert canonicalize(obj) == expected
    assert sha256_jcs(obj) == hashlib.sha256(expected).hexdigest()
    assert canonicalize({"outer": [obj]}) == b'{"outer":[' + expected + b"]}"


@pytest.mark.parametrize("prefix", ["", "msg.", "tenant:acme/", "日本/msg.", "\U0001f600/é."])
@pytest.mark.parametrize("seed", range(3))
def test_large_object_of_wide_keys_with_a_shared_prefix(prefix, seed):
    # Keys of every storage width, mostly sharing a prefix (itself narrow, 2-byte or beyond
    # U+FFFF): sorted by UTF-16 heads taken past it. Past the prefix, units around the
    # surrogate range, where UTF-16 order and code point order disagree.
    rng = random.Random(seed)
    pool = "ab.\xe9\u0100\ud7ff\ue000\uffff\U00010000\U0001f600"
    keys = {prefix + "".join(rng.choice(pool) for _ in range(rng.randint(0, 7)))
            for _ in range(300)}
    keys.add(prefix[:-1] + "z" if prefix else "z")  # one key that shares less of it
    keys = sorted(keys)
    rng.shuffle(keys)
    obj = {k: i for i, k in enumerate(keys)}
    expected = jcs_model.canonicalize(obj)
    assert canonicalize(obj) == expected
    assert sha256_jcs(obj) == hashlib.sha256(expected).hexdigest()
