"""verify_chain on a chain whose last link only the hash refuses, against the same chain
without the fault, in one process.

    python -P bench/refused_link.py [N]

The faulty link is plain in form (a lone surrogate in its scope), so the walk reads it ahead
with the links before it and learns of the refusal only when their batch is hashed. N (63 by
default, the last link of the first batch of 64) is its position; the chain has N + 1 links.
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload  # noqa: E402
from kestrim_delegation_ref import delegation_ref as module  # noqa: E402

NUMBER, ROUNDS = 200, 20


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 63
    good = workload.make_chain(n + 1, module.delegation_ref)
    bad = [dict(link) for link in good]
    bad[n]["scope"] = "read:\udc00"

    def walk(chain):
        try:
            module.verify_chain(chain)
        except ValueError:
            pass

    print(module.__file__)
    for _ in range(3):
        t_good = min(timeit.repeat(lambda: walk(good), number=NUMBER, repeat=ROUNDS)) / NUMBER
        t_bad = min(timeit.repeat(lambda: walk(bad), number=NUMBER, repeat=ROUNDS)) / NUMBER
        print(f"good chain {t_good * 1e6:7.1f} us   refused at link {n}: {t_bad * 1e6:7.1f} us"
              f"   ratio {t_bad / t_good:5.2f}")


if __name__ == "__main__":
    main()
