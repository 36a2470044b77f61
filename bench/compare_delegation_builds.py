"""Times delegation_ref, tamper_detected and verify_chain of several builds of the
delegation module in one process.

    python bench/compare_delegation_builds.py DIR [DIR ...]

Each DIR holds a built kestrim_delegation_ref/delegation_ref*.so (copy one from build/, or
from a worktree of another commit); every build hashes through the one installed
kestrim_substrate. On this shared machine only timings taken side by side in one process
compare: each build is loaded under its own module object (separate files keep separate
state) and timed in turns, round after round, keeping the minimum. Rows: a well-formed
envelope, the same with a malformed window (refused; tamper_detected answers True), and
verify_chain per link of a 16-link chain.

    CALLS=N ROW=NAME python bench/compare_delegation_builds.py DIR

runs one row N times on one build and times nothing: the driver for valgrind --tool=callgrind,
whose counts, taken at two values of N, give the instructions per call (see callgrind.sh).
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload  # noqa: E402
from builds import load_build  # noqa: E402

ROUNDS = int(os.environ.get("ROUNDS", "25"))
NUMBER = 20_000
LINKS = 16


def load(directory):
    return load_build(directory, "delegation_ref", "kestrim_delegation_ref.delegation_ref")


def rows(m):
    env = workload.TYPICAL_ENVELOPE
    bad = workload.malformed_envelope()
    ref = m.delegation_ref(env)
    chain = workload.make_chain(LINKS, m.delegation_ref)
    return {
        "delegation_ref": (lambda: m.delegation_ref(env), 1),
        "_normalise": (lambda: m._normalise(env), 1),
        "tamper_detected": (lambda: m.tamper_detected(ref, env), 1),
        "tamper_detected malformed": (lambda: m.tamper_detected(ref, bad), 1),
        "verify_chain per link": (lambda: m.verify_chain(chain), LINKS),
    }


def main(directories):
    builds = {d: load(d) for d in directories}
    results = {d: [m.verify_chain(workload.make_chain(4, m.delegation_ref))
                   for m in [builds[d]]] for d in builds}
    if len({repr(r) for r in results.values()}) != 1:
        raise SystemExit("the builds disagree")
    timed = {d: rows(m) for d, m in builds.items()}
    best = {}
    for _ in range(ROUNDS):
        for d, table in timed.items():
            for name, (call, per) in table.items():
                t = timeit.timeit(call, number=NUMBER // per)
                key = (name, d)
                best[key] = min(best.get(key, float("inf")), t / (NUMBER // per) / per * 1e9)
    first = directories[0]
    for name in timed[first]:
        base = best[name, first]
        for d in directories:
            print(f"{name:26} {best[name, d]:8.1f} ns  x{best[name, d] / base:5.3f}  {d}")


def drive(directory, row, calls):
    call, per = rows(load(directory))[row]
    for _ in range(calls // per):
        call()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    if "CALLS" in os.environ:
        drive(sys.argv[1], os.environ["ROW"], int(os.environ["CALLS"]))
    else:
        main(sys.argv[1:])
