"""Peak memory of verify_chain over a long chain, against the result list alone.

    /usr/bin/time -v python bench/chain_memory.py verify 1000000
    /usr/bin/time -v python bench/chain_memory.py baseline 1000000

`verify` streams the links from a generator (each link made only when the walk asks for it),
so the only thing that grows is the list of refs verify_chain returns. `baseline` builds a
list of as many refs of the same length and nothing else. The difference between the two
"Maximum resident set size" figures is what verifying costs beyond its result.

    python bench/chain_memory.py timed 100000

builds the chain as a list first and times verify_chain over it alone (best of five).
"""
import sys
import time

from kestrim_delegation_ref.delegation_ref import delegation_ref, verify_chain


def links(n):
    prev = ""
    for i in range(n):
        env = {
            "delegator_id": f"agent-{i}",
            "delegate_id": f"agent-{i + 1}",
            "scope": "payments:read",
            "not_before_ms": 1_764_547_200_000,
            "not_after_ms": 1_767_225_600_000,
            "prev_delegation_ref": prev,
        }
        yield env
        # The producer needs the ref too, to name it in the next link.
        prev = delegation_ref(env)


def main():
    mode, n = sys.argv[1], int(sys.argv[2])
    if mode == "timed":
        chain = list(links(n))
        elapsed = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            refs = verify_chain(chain)
            elapsed = min(elapsed, time.perf_counter() - start)
    else:
        start = time.perf_counter()
        if mode == "verify":
            refs = verify_chain(links(n))
        else:
            refs = ["sha256:%064x" % i for i in range(n)]
        elapsed = time.perf_counter() - start
    assert len(refs) == n and all(len(r) == 71 for r in refs)
    print(f"{mode}: {n} links, {elapsed:.3f} s")


if __name__ == "__main__":
    main()
