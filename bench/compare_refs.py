"""Times delegation_ref, verify_chain (per link), tamper_detected on a malformed envelope and
sha256_jcs of several builds in one process.

    python -P bench/compare_refs.py DIR [DIR ...]

Each DIR holds a built _jcs*.so and a delegation_ref*.so of one commit. Every substrate is
loaded under its own module object and installed as kestrim_substrate._jcs just before the
delegation_ref built with it, which takes its capsule and sha256_jcs at initialisation; the
builds are then timed in turns, round after round, keeping the minimum, as in
compare_builds.py. NUMBER (2000), ROUNDS (300) and CHAIN (1000 links; 10000 is the
bench's chain, whose links no longer fit in cache) may be set in the environment.
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload  # noqa: E402
from builds import load_build  # noqa: E402

import kestrim_substrate  # noqa: E402

NUMBER = int(os.environ.get("NUMBER", "2000"))
ROUNDS = int(os.environ.get("ROUNDS", "300"))
CHAIN = int(os.environ.get("CHAIN", "1000"))




def main(directories):
    builds = {}
    for d in directories:
        jcs = load_build(d, "_jcs", "kestrim_substrate._jcs")
        sys.modules["kestrim_substrate._jcs"] = jcs
        kestrim_substrate._jcs = jcs
        kestrim_substrate.sha256_jcs = jcs.sha256_jcs
        kestrim_substrate.canonicalize = jcs.canonicalize
        dr = load_build(d, "delegation_ref", "kestrim_delegation_ref.delegation_ref")
        if dr.sha256_jcs is not jcs.sha256_jcs:
            raise SystemExit(f"{d}: delegation_ref did not bind this build's sha256_jcs")
        builds[d] = (jcs, dr)
    envelope = dict(workload.TYPICAL_ENVELOPE)
    if len({dr.delegation_ref(envelope) for _, dr in builds.values()}) != 1:
        raise SystemExit("the builds disagree on the envelope's ref")
    chain = workload.make_chain(CHAIN, next(iter(builds.values()))[1].delegation_ref)
    hashed = workload.hashed_object()
    malformed = workload.malformed_envelope()
    best = {}
    for _ in range(ROUNDS):
        for d, (jcs, dr) in builds.items():
            rows = (("delegation_ref", dr.delegation_ref, envelope, NUMBER, 1),
                    ("sha256_jcs", jcs.sha256_jcs, hashed, NUMBER, 1),
                    ("tamper/malformed", lambda env, t=dr.tamper_detected: t("", env),
                     malformed, NUMBER, 1),
                    ("verify_chain/link", dr.verify_chain, chain, max(1, NUMBER // CHAIN), CHAIN))
            for what, f, arg, n, per in rows:
                t = timeit.timeit("f(a)", number=n, globals={"f": f, "a": arg})
                key = (what, d)
                best[key] = min(best.get(key, float("inf")), t / n / per * 1e9)
    for (what, d), ns in sorted(best.items()):
        print(f"{what:18} {ns:8.1f} ns  {d}")


if __name__ == "__main__":
    main(sys.argv[1:] or sys.exit(__doc__))
