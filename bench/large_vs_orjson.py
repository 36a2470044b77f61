"""The 1 MB document against orjson, for one or more builds of the substrate, in one process.

    python bench/large_vs_orjson.py DIR [DIR ...]          # timings and ratios
    python bench/large_vs_orjson.py --calls N FUNCTION DIR  # N calls, nothing else (callgrind)

Each DIR holds a built kestrim_substrate/_jcs*.so (see compare_builds.py). Timings are the
minimum over ROUNDS (15) rounds of NUMBER (5) calls each, taken in turns, so that a busy
moment on this shared machine costs every candidate alike; on a loaded machine many
one-call samples (ROUNDS=600 NUMBER=1) find quiet moments that long ones miss. The ratios are orjson's time over ours:
orjson.dumps(OPT_SORT_KEYS) against canonicalize, and hashlib.sha256 of it against
sha256_jcs.

With --calls the document is built and FUNCTION (canonicalize or sha256_jcs) called N times:
run under callgrind with N=1 and N=3, half the difference is the instructions of one call,
the document's construction cancelled out.
"""

import hashlib
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload  # noqa: E402
from builds import load_build  # noqa: E402


def load(directory):
    return load_build(directory, "_jcs", "kestrim_substrate._jcs")


def main(args):
    doc = workload.large_document(1_000_000)
    if args[0] == "--calls":
        f = getattr(load(args[3]), args[2])
        for _ in range(int(args[1])):
            f(doc)
        return
    import orjson

    builds = {d: load(d) for d in args}
    candidates = {
        "orjson.dumps": lambda: orjson.dumps(doc, option=orjson.OPT_SORT_KEYS),
        "orjson + hashlib": lambda: hashlib.sha256(
            orjson.dumps(doc, option=orjson.OPT_SORT_KEYS)).hexdigest(),
    }
    for d, m in builds.items():
        candidates[(d, "canonicalize")] = lambda m=m: m.canonicalize(doc)
        candidates[(d, "sha256_jcs")] = lambda m=m: m.sha256_jcs(doc)
    best = {}
    number = int(os.environ.get("NUMBER", "5"))
    for _ in range(int(os.environ.get("ROUNDS", "15"))):
        for name, f in candidates.items():
            best[name] = min(best.get(name, float("inf")),
                             timeit.timeit(f, number=number) / number)
    print(f"orjson.dumps {best['orjson.dumps'] * 1e3:.3f} ms, "
          f"orjson + hashlib {best['orjson + hashlib'] * 1e3:.3f} ms")
    for d in builds:
        c, s = best[(d, "canonicalize")], best[(d, "sha256_jcs")]
        print(f"{d}: canonicalize {c * 1e3:.3f} ms ({best['orjson.dumps'] / c:.2f}x orjson), "
              f"sha256_jcs {s * 1e3:.3f} ms ({best['orjson + hashlib'] / s:.2f}x)")


if __name__ == "__main__":
    if not sys.argv[1:]:
        raise SystemExit(__doc__)
    main(sys.argv[1:])
