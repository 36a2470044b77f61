"""N calls of delegation_ref on the typical envelope: the driver that callgrind.sh runs
twice, so that the difference of the two instruction counts leaves only the calls."""

import sys

import workload
from kestrim_delegation_ref import delegation_ref as module

delegation_ref = module.delegation_ref


def main():
    n = int(sys.argv[1])
    env = workload.TYPICAL_ENVELOPE
    for _ in range(n):
        delegation_ref(env)
    # Both runs print it, so it cancels out of the difference; it tells which build ran.
    print(module.__file__)


if __name__ == "__main__":
    main()
