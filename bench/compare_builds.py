"""Times sha256_jcs and canonicalize of several builds of the substrate in one process.

    python bench/compare_builds.py DIR [DIR ...]

Each DIR holds a built kestrim_substrate/_jcs*.so (copy one from build/dev, or from a
worktree of another commit). On this shared machine only timings taken side by side in
one process compare; this loads every build under its own module object and times them
in turns, round after round, keeping the minimum. The inputs are the bench's six-field
object with its keys in canonical order, in the envelope's order, and reversed; its 10 KB
and 1 MB documents; and 262,144 keys sharing a 24-character prefix, and random ones
(per key). LARGE=0 leaves out the large inputs.

ROUNDS (25) and NUMBER (30000 calls a sample for the six-field object; fewer for the
larger inputs) may be set in the environment: on a loaded machine, many short samples
(NUMBER=2000 ROUNDS=300) find quiet moments that long ones miss.
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload  # noqa: E402
from builds import load_build  # noqa: E402

ROUNDS = int(os.environ.get("ROUNDS", "25"))
NUMBER = int(os.environ.get("NUMBER", "30000"))


def load(directory):
    return load_build(directory, "_jcs", "kestrim_substrate._jcs")


def main(directories):
    in_order = workload.hashed_object()
    inputs = {
        "in order": in_order,
        "envelope order": workload.unsorted_object(),
        "reversed": dict(reversed(list(in_order.items()))),
    }
    per = {}
    if os.environ.get("LARGE", "1") != "0":
        inputs["10 KB doc"] = workload.large_document(10_000)
        inputs["1 MB doc"] = workload.large_document(1_000_000)
        inputs["prefix keys"] = workload.shared_prefix_object(1 << 18)
        inputs["random keys"] = workload.random_key_object(1 << 18)
        per["prefix keys"] = per["random keys"] = 1 << 18
    builds = {d: load(d) for d in directories}
    reference = next(iter(builds.values()))
    # About the same time per sample for every input: fewer calls for longer documents.
    numbers = {name: max(1, NUMBER * 300 // len(reference.canonicalize(v)))
               for name, v in inputs.items()}
    for d, m in builds.items():
        if len({m.sha256_jcs(inputs[k]) for k in ("in order", "envelope order", "reversed")}) != 1:
            raise SystemExit(f"{d}: key order changes the hash")
        for name, v in inputs.items():
            if m.canonicalize(v) != reference.canonicalize(v):
                raise SystemExit(f"{d}: canonical bytes of {name} differ from {directories[0]}")
    best = {}
    for _ in range(ROUNDS):
        for d, m in builds.items():
            for function in ("sha256_jcs", "canonicalize"):
                for name, value in inputs.items():
                    n = numbers[name]
                    t = timeit.timeit("f(v)", number=n,
                                      globals={"f": getattr(m, function), "v": value})
                    key = (function, name, d)
                    best[key] = min(best.get(key, float("inf")), t / n / per.get(name, 1) * 1e9)
    for (function, name, d), ns in sorted(best.items()):
        print(f"{function:12} {name:15} {ns:11.1f} ns  {d}")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    main(sys.argv[1:])
