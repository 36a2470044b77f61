"""N links through verify_chain, in chains of 10,000: the driver for instruction counts and
profiles of the chain walk (as hot_loop.py is for delegation_ref)."""

import sys

import workload
from kestrim_delegation_ref import delegation_ref as module


def main():
    n = int(sys.argv[1])
    chain = workload.make_chain(int(sys.argv[2]) if len(sys.argv) > 2 else 10_000,
                                module.delegation_ref)
    for _ in range(n // len(chain)):
        module.verify_chain(chain)
    module.verify_chain(chain[: n % len(chain)])
    print(module.__file__)


if __name__ == "__main__":
    main()
