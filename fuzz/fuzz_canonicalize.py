"""Fuzzing the canonical JSON writer, ``kestrim_substrate.canonicalize``, with atheris.

The fuzzer's bytes drive a generator of JSON-ish values: None, bools, integers near and far
beyond +-(2**53-1), floats with NaN, the infinities, -0.0 and subnormals, text with escapes,
astral characters and lone surrogates, str/int/float subclasses whose methods must never run,
lists, tuples, dicts and their subclasses, keys of equal text, non-str keys, values of other
types, cycles, and nesting thousands of levels deep. For every value the writer must either
refuse it with ValueError, TypeError or RecursionError, or write bytes that

- json.loads reads back as the value (numbers as exact doubles, -0.0 as 0, tuples as lists),
- give the same bytes when the parsed value is written again,
- equal what the plain-Python model tests/jcs_model.py writes, and are refused exactly when
  the model finds a reason (the model's list of reasons names the types it may raise),
- hash, through sha256_jcs, to the SHA-256 of those bytes.

Anything else (another exception, a method of a subclass being called, a crash, a sanitizer
report) stops the run and leaves the input in crash-<hash>.

Running it
----------
atheris is not a test dependency; install it into the interpreter that runs the fuzzer:

    python3 -m pip install atheris

Against the in-place (or installed) build, from the repository root, for ten minutes:

    PYTHONPATH=. python3 fuzz/fuzz_canonicalize.py -max_total_time=600 fuzz/corpus

Against the AddressSanitizer/UBSan build that `make test-asan` stages in build/asan/site:

    LD_PRELOAD=$(gcc -print-file-name=libasan.so) PYTHONMALLOC=malloc \\
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \\
    PYTHONPATH=build/asan/site python3 fuzz/fuzz_canonicalize.py -max_total_time=600 fuzz/corpus

Any libFuzzer flag works (-runs=N, -jobs=N, -max_len=N). The corpus directory is optional;
libFuzzer creates nothing else unless it finds a failure. A saved input is replayed with
`python3 fuzz/fuzz_canonicalize.py crash-<hash>`. The native code is built with gcc, so the
guidance comes from coverage of the Python side (the generator, the model and the checks);
the structure of the generator is what reaches the writer's paths.

With gcc's sanitizer runtime preloaded, libFuzzer runs blind: that runtime's own no-op
coverage hooks take the calls that would register coverage, so the corpus never grows. For a
sanitized run, grow a corpus with a plain run first, then replay it and feed random
mutations of it through the same checks for a given number of seconds:

    LD_PRELOAD=... PYTHONMALLOC=malloc ASAN_OPTIONS=... PYTHONPATH=build/asan/site \
    python3 fuzz/fuzz_canonicalize.py --mutate fuzz/corpus 600
"""

import collections
import decimal
import hashlib
import json
import math
import os
import random
import sys
import time

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

with atheris.instrument_imports():
    import jcs_model

from kestrim_substrate import canonicalize, sha256_jcs  # noqa: E402

REFUSALS = (ValueError, TypeError, RecursionError)
MAX_SAFE = 2**53 - 1


class Forbidden(Exception):
    """A subclass method ran inside the writer, which must read subclasses by their stored
    value. Outside the writer the methods behave as their base's (building dicts compares
    keys, and the checks read values)."""


ARMED = [False]


def forbid(base, *names):
    def make(name):
        inherited = getattr(base, name)

        def method(self, *args, **kwargs):
            if ARMED[0]:
                raise Forbidden(f"{type(self).__name__}.{name} called")
            return inherited(self, *args, **kwargs)
        return method
    return {name: make(name) for name in names}


def written(function, value):
    ARMED[0] = True
    try:
        return function(value)
    finally:
        ARMED[0] = False


Text = type("Text", (str,), forbid(str, "__str__", "__iter__", "__len__", "__getitem__", "encode",
                                   "__format__", "__lt__", "__gt__", "__eq__", "__ne__", "__add__"))
Text.__hash__ = str.__hash__
Int = type("Int", (int,), forbid(int, "__index__", "__int__", "__float__", "__str__", "__format__",
                                 "__lt__", "__gt__", "__abs__", "__bool__"))
Float = type("Float", (float,), forbid(float, "__float__", "__str__", "__format__", "__int__", "__lt__",
                                       "__abs__", "__bool__", "__round__"))
def utf16_key(item):
    """Canonical order for str keys; other keys after them, as they come."""
    key = item[0]
    if isinstance(key, str):
        return (0, str.encode(key, "utf-16-be", "surrogatepass"))
    return (1, b"")


Dict = type("Dict", (dict,), forbid(dict, "items", "keys", "values", "__iter__", "__getitem__",
                                    "__len__", "get", "__contains__"))
List = type("List", (list,), forbid(list, "__iter__", "__getitem__", "__len__"))
Tuple = type("Tuple", (tuple,), forbid(tuple, "__iter__", "__getitem__", "__len__"))


class SameText(str):
    """Distinct as a dict key from every other key, whatever its text."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


EDGE_FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 2.2250738585072014e-308,
                  1.7976931348623157e308, 1e21, 1e-7, 1e-6, 1e20, 2.0**53, 2.0**60, 0.1, -1.5e-7]
ODD = [lambda: b"bytes", set, lambda: 1j, object, lambda: decimal.Decimal("1"), bytearray,
       lambda: range(3), lambda: {1, 2}.__iter__()]


class Gen:
    """Builds one value from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def text(self):
        fdp = self.fdp
        choice = fdp.ConsumeIntInRange(0, 5)
        if choice == 0:
            return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 24))
        if choice == 1:
            return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8))  # lone surrogates likely
        if choice == 2:  # escapes and the characters around the UTF-16 sort boundary
            alphabet = "a\"\\/\x00\x1f\x7f\b\f\n\r\t\u2028\ud7ff\ue000\uffff\U00010000\U0010ffff\u00e9"
            return "".join(alphabet[fdp.ConsumeIntInRange(0, len(alphabet) - 1)]
                           for _ in range(fdp.ConsumeIntInRange(0, 12)))
        if choice == 3:  # long: crosses the writer's internal slices and buffers
            unit = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(1, 4)) or "x"
            return unit * fdp.ConsumeIntInRange(100, 3000)
        if choice == 4:
            return chr(fdp.ConsumeIntInRange(0, 0x10FFFF))
        return fdp.ConsumeUnicodeNoSurrogates(2)

    def integer(self):
        fdp = self.fdp
        choice = fdp.ConsumeIntInRange(0, 3)
        if choice == 0:
            return fdp.ConsumeIntInRange(-MAX_SAFE, MAX_SAFE)
        if choice == 1:
            return fdp.PickValueInList([MAX_SAFE, -MAX_SAFE]) + fdp.ConsumeIntInRange(-2, 2)
        if choice == 2:
            return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 16))
        return (-1) ** fdp.ConsumeIntInRange(0, 1) * 10 ** fdp.ConsumeIntInRange(15, 5000)

    def floating(self):
        fdp = self.fdp
        if fdp.ConsumeBool():
            return fdp.PickValueInList(EDGE_FLOATS)
        return fdp.ConsumeFloat()

    def key(self):
        fdp = self.fdp
        choice = fdp.ConsumeIntInRange(0, 9)
        if choice <= 5:
            return self.text()
        if choice == 6:
            return Text(fdp.ConsumeUnicodeNoSurrogates(4))
        if choice == 7:
            return SameText(fdp.ConsumeUnicodeNoSurrogates(2))
        if choice == 8:
            return fdp.PickValueInList(["a", "b", "", "\U00010000", "\ue000"])
        return fdp.PickValueInList([1, None, 2.5, True, (1,), b"k"])

    def value(self, depth=0):
        fdp = self.fdp
        limit = 16 if depth < 6 else 9  # containers only near the top
        choice = fdp.ConsumeIntInRange(0, limit)
        if choice == 0:
            return None
        if choice == 1:
            return fdp.ConsumeBool()
        if choice == 2:
            return self.integer()
        if choice == 3:
            return Int(self.integer())
        if choice == 4:
            return self.floating()
        if choice == 5:
            return Float(self.floating())
        if choice == 6:
            return self.text()
        if choice == 7:
            return Text(self.text())
        if choice == 8:
            return ODD[fdp.ConsumeIntInRange(0, len(ODD) - 1)]()
        if choice == 9:
            return fdp.PickValueInList(["", 0, 0.0, [], {}])
        if choice in (10, 11):
            items = [self.value(depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 6))]
            return [list, tuple, List, Tuple][fdp.ConsumeIntInRange(0, 3)](items)
        if choice in (12, 13):
            kind = [dict, Dict, collections.OrderedDict][fdp.ConsumeIntInRange(0, 2)]
            obj = kind()
            for _ in range(fdp.ConsumeIntInRange(0, 20 if fdp.ConsumeBool() else 4)):
                dict.__setitem__(obj, self.key(), self.value(depth + 1))
            if fdp.ConsumeBool():  # keys already in order: written straight from the table
                items = sorted(dict.items(obj), key=utf16_key)
                obj = kind()
                for k, v in items:
                    dict.__setitem__(obj, k, v)
            if obj and fdp.ConsumeBool():  # a table with empty slots among the items
                for k in list(dict.keys(obj))[:: fdp.ConsumeIntInRange(1, 3)]:
                    dict.__delitem__(obj, k)
            return obj
        if choice == 14:  # deep nesting around a small value
            inner = self.value(depth + 1)
            as_list = fdp.ConsumeBool()
            for _ in range(fdp.ConsumeIntInRange(0, 3000)):
                inner = [inner] if as_list else {"k": inner}
            return inner
        if choice == 15:  # a cycle
            container = [] if fdp.ConsumeBool() else {}
            outer = [container, self.value(depth + 1)]
            if isinstance(container, list):
                container.append(outer)
            else:
                container["self"] = outer
            return outer
        return self.value(depth + 1)


def children(v):
    if isinstance(v, list):
        return list(list.__iter__(v))
    if isinstance(v, tuple):
        return list(tuple.__iter__(v))
    if isinstance(v, dict):
        return list(dict.values(v))
    return []


def has_cycle(value):
    """Whether a container holds itself, directly or further down (iteratively: values
    thousands deep are among the inputs)."""
    on_path, stack = set(), [(value, iter(children(value)))]
    on_path.add(id(value))
    while stack:
        for child in stack[-1][1]:
            if not children(child):
                continue
            if id(child) in on_path:
                return True
            on_path.add(id(child))
            stack.append((child, iter(children(child))))
            break
        else:
            on_path.discard(id(stack.pop()[0]))
    return False


def depth_of(value, limit=300):
    """Nesting depth, counted only as far as the model can go."""
    depth, level = 0, [value]
    while level and depth <= limit:
        nxt = []
        for v in level:
            if isinstance(v, (list, tuple)):
                nxt.extend(children(v))
            elif isinstance(v, dict):
                nxt.extend(children(v))
        level, depth = nxt, depth + 1
    return depth


def check(data):
    gen = Gen(data)
    value = gen.value()
    try:
        out = written(canonicalize, value)
    except REFUSALS as e:
        refused = e
    else:
        refused = None

    try:
        digest = written(sha256_jcs, value)
    except REFUSALS as e:
        assert refused is not None, f"sha256_jcs refused ({e!r}) what canonicalize wrote"
    else:
        assert refused is None, f"sha256_jcs hashed what canonicalize refused ({refused!r})"
        assert digest == hashlib.sha256(out).hexdigest()

    if has_cycle(value):
        assert refused is not None, "a cycle was written"
        return
    if depth_of(value) > 250:  # beyond what the model and json.loads can follow
        return
    found = jcs_model.problems(value)
    if refused is not None:
        assert found and isinstance(refused, tuple(found)), (refused, found)
        return
    assert found <= {RecursionError}, f"wrote a value with {found}"
    assert out == jcs_model.canonicalize(value), (out[:200], jcs_model.canonicalize(value)[:200])
    parsed = json.loads(out, parse_int=float)  # JSON numbers are doubles
    assert jcs_model.meaning(parsed) == jcs_model.meaning(value)
    assert canonicalize(parsed) == out


def mutate(corpus, seconds, seed=0):
    """Replays every input in corpus, then random mutations of them until time is up."""
    rng = random.Random(seed)
    seeds = [open(os.path.join(corpus, name), "rb").read() for name in sorted(os.listdir(corpus))]
    runs, deadline = 0, time.monotonic() + seconds

    def run(data):
        try:
            check(data)
        except BaseException:
            name = "crash-" + hashlib.sha1(data).hexdigest()
            with open(name, "wb") as f:
                f.write(data)
            print(f"failing input written to {name}", file=sys.stderr)
            raise

    for data in seeds:
        run(data)
        runs += 1
    seeds = seeds or [b""]
    while time.monotonic() < deadline:
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 8)):
            op = rng.randrange(4)
            if op == 0 and data:
                data[rng.randrange(len(data))] = rng.randrange(256)
            elif op == 1:
                data.insert(rng.randrange(len(data) + 1), rng.randrange(256))
            elif op == 2 and data:
                del data[rng.randrange(len(data))]
            else:
                data += rng.randbytes(rng.randint(1, 16))
        run(bytes(data))
        runs += 1
    print(f"{runs} executions ({len(seeds)} replayed) in {seconds} s, no failure")


def main():
    if sys.argv[1:2] == ["--mutate"]:
        sys.setrecursionlimit(10_000)
        mutate(sys.argv[2], float(sys.argv[3]))
        return
    # Coverage of the generator and the checks is what guides the search (see above).
    for name, attr in list(vars(Gen).items()):
        if callable(attr):
            setattr(Gen, name, atheris.instrument_func(attr))
    # A raised limit must not let deep nesting overflow the writer's C stack: it caps its
    # own depth, and a value nested thousands deep is among the inputs.
    sys.setrecursionlimit(10_000)
    atheris.Setup(sys.argv, atheris.instrument_func(check))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
