"""Side-by-side timings of the native module against the code a Python team would write.

    python bench/bench.py [--markdown] [--strict] [--rounds N] [--target-ms MS]

Everything runs in one process on the same inputs. Each case is timed in samples of
about --target-ms; the cases take turns, round after round, so that a burst of load on
the shared machine hits all of them alike, and the minimum sample of each case is kept.
Results are ns per call (per link for verify_chain) and ratios of those minima.

Renditions:
  ours  the installed native modules;
  (a)   pure Python: the same rules, json.dumps(sort_keys, compact, ensure_ascii=False)
        + hashlib.sha256;
  (b)   the same rules with orjson.dumps(OPT_SORT_KEYS) + hashlib.sha256 (if importable);
  (c)   hashlib.sha256(canonical bytes computed beforehand).hexdigest();
  C floor  SHA-256 of each row's own canonical bytes in C through OpenSSL (bench/c_floor.c,
        loaded with ctypes), the cost no writer or interpreter can remove. Every row reports
        its ratio to it: ours / C floor (1.00x would be the hash alone).

Targets are printed as PASS/FAIL; the exit status is 0 unless --strict is given and a
target fails, because a shared, noisy machine can miss one by chance. A disagreement
between renditions always fails, before anything is timed.
"""

import argparse
import ctypes
import hashlib
import json
import os
import platform
import shlex
import ssl
import subprocess
import sys
import timeit

# The rendition and the inputs come from this directory; the package is whatever the
# interpreter imports (the .venv install under make), so that is what gets measured.
import pure_python
import workload
from kestrim_delegation_ref import delegation_ref as native
import kestrim_substrate
from kestrim_substrate import canonicalize, sha256_jcs

try:
    import orjson
except ImportError:
    orjson = None

CHAIN_LINKS = 10_000
SORT_KEYS = 262_144
HERE = os.path.dirname(os.path.abspath(__file__))


class CFloor:
    """SHA-256 in C through OpenSSL, in this process (bench/c_floor.c)."""

    def __init__(self):
        source = os.path.join(HERE, "c_floor.c")
        out_dir = os.path.join(HERE, os.pardir, "build", "bench")
        lib = os.path.join(out_dir, "c_floor.so")
        if not os.path.exists(lib) or os.path.getmtime(lib) < os.path.getmtime(source):
            os.makedirs(out_dir, exist_ok=True)
            subprocess.run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-o", lib,
                            source, "-lcrypto"], check=True)
        fn = ctypes.CDLL(lib).kestrim_sha256_floor_ns
        fn.restype = ctypes.c_double
        fn.argtypes = [ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t),
                       ctypes.c_size_t, ctypes.c_long, ctypes.c_int]
        self._fn = fn

    def ns(self, messages, target_s, repeats):
        """ns per message, hashing the messages one after another; min over repeats."""
        n = len(messages)
        array = (ctypes.c_char_p * n)(*messages)
        lengths = (ctypes.c_size_t * n)(*(len(m) for m in messages))
        calls = 1
        while True:  # calibrate to about target_s a sample
            per = self._fn(array, lengths, n, calls, 1)
            if per < 0:
                raise SystemExit("bench: OpenSSL failed in the C floor")
            if per * calls * n >= target_s * 1e9 / 4 or calls >= 1 << 24:
                break
            calls *= 2
        calls = max(1, round(target_s * 1e9 / (per * n)))
        return self._fn(array, lengths, n, calls, repeats)


def fail(message):
    raise SystemExit("bench: renditions disagree: " + message)


def outcome(fn, *args):
    """What a call did, comparable across renditions whose exception classes differ."""
    try:
        return ("ok", fn(*args))
    except ValueError as exc:
        return (type(exc).__name__, str(exc))
    except Exception as exc:
        return (type(exc).__name__, None)


def check_agreement(renditions, chain, typical, malformed):
    """All renditions must give the same refs, tamper answers, chain refs and refusals."""
    obj = workload.hashed_object(typical)
    floor_bytes = canonicalize(obj)
    json_bytes = json.dumps(obj, sort_keys=True, separators=(",", ":"),
                            ensure_ascii=False).encode()
    if json_bytes != floor_bytes:
        fail(f"canonical bytes: json {json_bytes!r} != ours {floor_bytes!r}")
    if orjson is not None and orjson.dumps(obj, option=orjson.OPT_SORT_KEYS) != floor_bytes:
        fail("canonical bytes: orjson != ours")
    expected_ref = "sha256:" + hashlib.sha256(floor_bytes).hexdigest()
    if sha256_jcs(obj) != expected_ref[7:]:
        fail("sha256_jcs != sha256 of canonicalize")
    unsorted = workload.unsorted_object(typical)
    if list(unsorted) == list(obj) or sha256_jcs(unsorted) != expected_ref[7:]:
        fail("sha256_jcs of the same fields in the envelope's order")

    refused = [
        dict(typical, delegator_id=""),
        {k: v for k, v in typical.items() if k != "delegate_id"},
        dict(typical, scope=b"invoices:read"),
        dict(typical, not_before_ms=True),
        dict(typical, not_before_ms=5.0),
        dict(typical, not_after_ms=-1),
        malformed,
        dict(typical, prev_delegation_ref=typical["prev_delegation_ref"].upper()),
        dict(typical, prev_delegation_ref=typical["prev_delegation_ref"] + " "),
        dict(typical, prev_delegation_ref=None),
        dict(typical, delegate_id="", not_before_ms=-1),
    ]
    accepted = [
        {k: v for k, v in typical.items() if k != "prev_delegation_ref"},
        dict(typical, prev_delegation_ref=typical["prev_delegation_ref"] + "\n"),
        dict(typical, scope=" "),
    ]
    claims = [expected_ref, expected_ref.upper(), expected_ref + " ", expected_ref[7:]]
    broken_chain = [dict(chain[0])] + [dict(e) for e in chain[1:4]]
    broken_chain[2]["prev_delegation_ref"] = broken_chain[1]["prev_delegation_ref"]

    ours_chain = native.verify_chain(chain)
    for name, r in renditions.items():
        got = r.delegation_ref(typical)
        if got != expected_ref:
            fail(f"delegation_ref: {name} {got} != {expected_ref}")
        for claim in claims:
            for env in (typical, malformed):
                want = native.tamper_detected(claim, env)
                if r.tamper_detected(claim, env) != want:
                    fail(f"tamper_detected({claim!r}, ...): {name} != ours ({want})")
        for env in refused + accepted:
            want = outcome(native._normalise, env)
            if outcome(r._normalise, env) != want:
                fail(f"_normalise: {name} {outcome(r._normalise, env)} != ours {want}")
            want = outcome(native.delegation_ref, env)
            if outcome(r.delegation_ref, env) != want:
                fail(f"delegation_ref: {name} != ours {want}")
        if r.verify_chain(chain) != ours_chain:
            fail(f"verify_chain: {name} refs differ from ours")
        want = outcome(native.verify_chain, broken_chain)
        if outcome(r.verify_chain, broken_chain) != want:
            fail(f"verify_chain on a broken chain: {name} != ours {want}")
    if ours_chain[-1] != native.delegation_ref(chain[-1]) or len(ours_chain) != len(chain):
        fail("verify_chain result does not end with the last link's ref")


class Case:
    def __init__(self, row, column, stmt, env, per=1):
        self.row, self.column, self.per = row, column, per
        self.timer = timeit.Timer(stmt, globals=env)
        self.number = 1
        self.best = float("inf")

    def calibrate(self, target_s):
        n = 1
        while True:
            t = self.timer.timeit(n)
            if t >= target_s / 4 or n >= 1 << 24:
                break
            n *= 2
        self.number = max(1, round(n * target_s / t))

    def sample(self):
        t = self.timer.timeit(self.number) / self.number
        self.best = min(self.best, t)

    @property
    def ns(self):
        return self.best * 1e9 / self.per


def build_cases(renditions, chain, typical, malformed, floors):
    """The timed cases; `floors` gets, for each row, the canonical bytes its C floor hashes
    (one message per call, or per link for a chain)."""
    ref = native.delegation_ref(typical)
    obj = workload.hashed_object(typical)
    canon = canonicalize(obj)
    chain_bytes = [canonicalize(workload.hashed_object(e)) for e in chain]
    chain_row = f"verify_chain, {CHAIN_LINKS} links (per link)"
    floors.update({"delegation_ref": [canon], "tamper_detected, untouched": [canon],
                   chain_row: chain_bytes})
    columns = {"ours": native, **renditions}
    cases = []
    for column, r in columns.items():
        env = {"dr": r.delegation_ref, "td": r.tamper_detected, "vc": r.verify_chain,
               "e": typical, "m": malformed, "ref": ref, "chain": chain}
        cases.append(Case("delegation_ref", column, "dr(e)", env))
        cases.append(Case("tamper_detected, untouched", column, "td(ref, e)", env))
        cases.append(Case("tamper_detected, malformed", column, "td(ref, m)", env))
        cases.append(Case(chain_row, column, "vc(chain)", env, per=len(chain)))
    # The serialisers are written inline, as a caller would, so (a) and (b) pay no extra
    # Python call that sha256_jcs does not pay.
    hashing = {"sha256": hashlib.sha256, "obj": obj, "canon": canon, "json": json,
               "orjson": orjson, "sha256_jcs": sha256_jcs}
    row = "sha256_jcs, six-field object"
    floors[row] = [canon]
    cases.append(Case(row, "ours", "sha256_jcs(obj)", hashing))
    cases.append(Case(row, "(a) json", "sha256(json.dumps(obj, sort_keys=True, "
                      "separators=(',', ':'), ensure_ascii=False).encode()).hexdigest()",
                      hashing))
    if orjson is not None:
        cases.append(Case(row, "(b) orjson", "sha256(orjson.dumps(obj, "
                          "option=orjson.OPT_SORT_KEYS)).hexdigest()", hashing))
    hashing["unsorted"] = workload.unsorted_object()
    unsorted_row = "sha256_jcs, same fields in the envelope's order"
    floors[unsorted_row] = [canon]
    cases.append(Case(unsorted_row, "ours", "sha256_jcs(unsorted)", hashing))
    if orjson is not None:
        cases.append(Case(unsorted_row, "(b) orjson", "sha256(orjson.dumps(unsorted, "
                          "option=orjson.OPT_SORT_KEYS)).hexdigest()", hashing))
    # The same number of bytes to hash, with almost nothing to write: what the call and
    # SHA-256 alone cost, the part no writer can remove.
    hashing["text"] = "x" * (len(canon) - 2)
    text_row = f"sha256_jcs, one {len(canon) - 2}-char string (hash-only cost)"
    floors[text_row] = [canonicalize(hashing["text"])]
    cases.append(Case(text_row, "ours", "sha256_jcs(text)", hashing))
    floor = "sha256(canon).hexdigest()"
    cases.append(Case(row, "(c) floor", floor, hashing))
    cases.append(Case("delegation_ref", "(c) floor", floor, hashing))

    # Large documents, as an audit log or a credential bundle is hashed whole.
    for size, label in ((10_000, "10 KB"), (1_000_000, "1 MB")):
        doc = workload.large_document(size)
        docs = {"doc": doc, "sha256": hashlib.sha256, "orjson": orjson,
                "sha256_jcs": sha256_jcs, "canonicalize": canonicalize}
        doc_bytes = canonicalize(doc)
        hash_row, canon_row = f"sha256_jcs, {label} document", f"canonicalize, {label} document"
        floors[hash_row] = floors[canon_row] = [doc_bytes]
        cases.append(Case(hash_row, "ours", "sha256_jcs(doc)", docs))
        cases.append(Case(canon_row, "ours", "canonicalize(doc)", docs))
        if orjson is not None:
            cases.append(Case(hash_row, "(b) orjson", "sha256(orjson.dumps(doc, "
                              "option=orjson.OPT_SORT_KEYS)).hexdigest()", docs))
            cases.append(Case(canon_row, "(b) orjson",
                              "orjson.dumps(doc, option=orjson.OPT_SORT_KEYS)", docs))
    # Sorting: keys with a long shared prefix against random keys of the same length.
    for label, make in (("24-char shared prefix", workload.shared_prefix_object),
                        ("random", workload.random_key_object)):
        keyed = {"obj": make(SORT_KEYS), "canonicalize": canonicalize, "orjson": orjson}
        sort_row = f"canonicalize, {SORT_KEYS} keys, {label} (per key)"
        floors[sort_row] = ([canonicalize(keyed["obj"])], SORT_KEYS)
        cases.append(Case(sort_row, "ours", "canonicalize(obj)", keyed, per=SORT_KEYS))
        if orjson is not None:
            cases.append(Case(sort_row, "(b) orjson",
                              "orjson.dumps(obj, option=orjson.OPT_SORT_KEYS)", keyed,
                              per=SORT_KEYS))
    return cases


def run(cases, rounds, target_s):
    for c in cases:
        c.calibrate(target_s)
    for i in range(rounds):
        # Rotate the order so that no case always runs right after the same neighbour.
        k = i % len(cases)
        for c in cases[k:] + cases[:k]:
            c.sample()


def cpu_features():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def machine_lines():
    cpu = None
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    cpu = cpu or platform.processor() or "unknown"
    return [
        f"CPU: {cpu} ({os.cpu_count()} logical CPUs), {platform.machine()}; "
        + ", ".join(f for f in ("sha_ni", "avx2", "avx512f") if f in cpu_features()),
        f"Python: {platform.python_implementation()} {sys.version.split()[0]} "
        f"({sys.executable})",
        f"OpenSSL: {ssl.OPENSSL_VERSION}",
        "orjson: " + (orjson.__version__ if orjson is not None
                      else "not importable; (b) skipped"),
    ]


def command_line():
    parts = [f"cd {shlex.quote(os.getcwd())} &&"]
    if os.environ.get("PYTHONPATH"):
        parts.append("PYTHONPATH=" + shlex.quote(os.environ["PYTHONPATH"]))
    parts.append(shlex.join([sys.executable] + sys.argv))
    return " ".join(parts)


def targets(table):
    """(name, ratio or None, threshold) for every target. A positive threshold is a floor
    for the ratio; a negative one, -t, a ceiling t (for costs measured against the C floor)."""
    def ratio(row, column):
        ours, other = table.get((row, "ours")), table.get((row, column))
        return None if ours is None or other is None else other / ours

    def of(row_a, row_b):
        a, b = table.get((row_a, "ours")), table.get((row_b, "ours"))
        return None if a is None or b is None else b / a

    vc = f"verify_chain, {CHAIN_LINKS} links (per link)"
    sort_prefix = f"canonicalize, {SORT_KEYS} keys, 24-char shared prefix (per key)"
    sort_random = f"canonicalize, {SORT_KEYS} keys, random (per key)"
    def cost(row):
        ours, floor = table.get((row, "ours")), table.get((row, "C floor"))
        return None if ours is None or floor is None else ours / floor

    cpu_flags = cpu_features()
    chain_ceiling = 1.0 if "avx512f" in cpu_flags else 1.25
    chain_kind = "AVX-512" if "avx512f" in cpu_flags else "no AVX-512"
    return [
        ("delegation_ref <= 1.25x the C floor of its bytes", cost("delegation_ref"), -1.25),
        ("tamper_detected <= 1.25x the C floor of its bytes",
         cost("tamper_detected, untouched"), -1.25),
        (f"verify_chain per link <= {chain_ceiling:.2f}x the single-message C floor "
         f"({chain_kind})", cost(vc), -chain_ceiling),
        ("sha256_jcs, 1 MB document >= 1.5x faster than (b) orjson + hashlib",
         ratio("sha256_jcs, 1 MB document", "(b) orjson"), 1.5),
        ("canonicalize, 1 MB document >= 1.5x faster than (b) orjson",
         ratio("canonicalize, 1 MB document", "(b) orjson"), 1.5),
        ("sorting keys with a 24-char shared prefix <= 1.5x the per-key cost of random keys",
         of(sort_random, sort_prefix), -1.5),
        ("delegation_ref >= 12x faster than (a) json", ratio("delegation_ref", "(a) json"), 12),
        ("delegation_ref >= 5x faster than (b) orjson", ratio("delegation_ref", "(b) orjson"), 5),
        ("delegation_ref no slower than (c) floor", ratio("delegation_ref", "(c) floor"), 1.0),
        ("verify_chain >= 12x faster per link than (a) json", ratio(vc, "(a) json"), 12),
        ("sha256_jcs >= 3x faster than (b) orjson + hashlib",
         ratio("sha256_jcs, six-field object", "(b) orjson"), 3),
    ]


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--markdown", action="store_true", help="print Markdown tables")
    p.add_argument("--strict", action="store_true", help="exit 1 if a target fails")
    p.add_argument("--rounds", type=int, default=25, help="samples per case (default 25)")
    p.add_argument("--target-ms", type=float, default=30.0,
                   help="length of one sample in ms (default 30)")
    args = p.parse_args()

    renditions = {"(a) json": pure_python.build(pure_python.json_sha256_jcs)}
    orjson_hash = pure_python.make_orjson_sha256_jcs()
    if orjson_hash is not None:
        renditions["(b) orjson"] = pure_python.build(orjson_hash)

    typical = workload.TYPICAL_ENVELOPE
    malformed = workload.malformed_envelope()
    chain = workload.make_chain(CHAIN_LINKS, renditions["(a) json"].delegation_ref)
    check_agreement(renditions, chain, typical, malformed)

    floors = {}
    cases = build_cases(renditions, chain, typical, malformed, floors)
    run(cases, args.rounds, args.target_ms / 1000)
    c_floor = CFloor()

    columns = ["ours", "(a) json", "(b) orjson", "(c) floor", "C floor"]
    rows = []
    for c in cases:
        if c.row not in rows:
            rows.append(c.row)
    table = {(c.row, c.column): c.ns for c in cases}
    for row, spec in floors.items():
        messages, per = spec if isinstance(spec, tuple) else (spec, 1)
        table[(row, "C floor")] = c_floor.ns(messages, args.target_ms / 1000,
                                             args.rounds) / per
    results = targets(table)

    def cell(row, column):
        v = table.get((row, column))
        return "-" if v is None else f"{v:,.0f}"

    def ratio_cell(row, column):
        ours, v = table.get((row, "ours")), table.get((row, column))
        if ours is None or v is None:
            return "-"
        # Against the C floor the cost is the point: how many times the hash alone.
        return f"{ours / v:.2f}x" if column == "C floor" else f"{v / ours:.2f}x"

    ratio_cols = [f"{c.split()[0]}/ours" for c in columns[1:-1]] + ["ours/C floor"]
    method = (f"one process, same inputs; min of {args.rounds} interleaved samples of "
              f"~{args.target_ms:g} ms per case; ns per call (verify_chain: per link); "
              f"ratio = other / ours (above 1: ours is faster)")
    verdicts = []
    for name, r, threshold in results:
        if r is None:
            verdicts.append(("SKIP", name, "orjson not importable", r))
        else:
            ok = r <= -threshold if threshold < 0 else r >= threshold
            verdicts.append(("PASS" if ok else "FAIL", name, f"measured {r:.2f}x", r))

    if args.markdown:
        print("Machine: " + "; ".join(machine_lines()) + "  ")
        print(f"Command: `{command_line()}`  ")
        print(f"Method: {method}.")
        print()
        head = ["operation (ns)"] + columns + ratio_cols
        print("| " + " | ".join(head) + " |")
        print("|" + "|".join(["---"] + ["---:"] * (len(head) - 1)) + "|")
        for row in rows:
            print("| " + " | ".join([row] + [cell(row, c) for c in columns]
                                    + [ratio_cell(row, c) for c in columns[1:]]) + " |")
        print()
        print("| target | result |")
        print("|---|---|")
        for verdict, name, detail, _ in verdicts:
            print(f"| {name} | {verdict} ({detail}) |")
    else:
        for line in machine_lines():
            print(line)
        print("Command: " + command_line())
        print("Imported: " + native.__file__ + ", " + kestrim_substrate._jcs.__file__)
        print("Method: " + method)
        print()
        width = max(len(r) for r in rows) + 2
        print("operation (ns)".ljust(width)
              + "".join(c.rjust(12) for c in columns)
              + "".join(c.rjust(12) for c in ratio_cols))
        for row in rows:
            print(row.ljust(width)
                  + "".join(cell(row, c).rjust(12) for c in columns)
                  + "".join(ratio_cell(row, c).rjust(12) for c in columns[1:]))
        print()
        for verdict, name, detail, _ in verdicts:
            print(f"{verdict}  {name}: {detail}")

    if args.strict and any(v == "FAIL" for v, *_ in verdicts):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
