"""`verify` against the loop it must keep up with, side by side in one process.

    python bench/cli_speed.py [LINKS] [--repeats N] [--limit RATIO]

Writes a chain of LINKS links (default 1,000,000) as JSON Lines into a temporary folder,
then times the CPU each one spends (the machine is shared: waiting for a core is not the
program's cost), interleaved, taking the minimum of each:

  loop     for each line: json.loads, then delegation_ref (no linkage, no checks)
  verify   the command line's `verify --quiet FILE`, called in this process
  refs     `verify FILE`, printing every ref (to /dev/null)

and prints each time and its ratio to the loop, with PASS or FAIL against --limit
(default 1.3). Exit status 1 on FAIL.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import sys
import tempfile
import time

from kestrim_delegation_ref import cli
from kestrim_delegation_ref.delegation_ref import delegation_ref


def write_chain(path: str, links: int) -> None:
    """Links shaped like the README's: ids, a scope, two times, the ref before."""
    prev = ""
    with open(path, "w", encoding="utf-8") as out:
        for i in range(links):
            env = {"delegator_id": f"agent:acme.example/agent-{i:07d}",
                   "delegate_id": f"agent:acme.example/agent-{i + 1:07d}",
                   "scope": "travel:read travel:book payment:charge",
                   "not_before_ms": 1772442000000 + i, "not_after_ms": 1772470800000 + i,
                   "prev_delegation_ref": prev}
            out.write(json.dumps(env) + "\n")
            prev = delegation_ref(env)


def loop(path: str) -> int:
    count = 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            delegation_ref(json.loads(line))
            count += 1
    return count


def run_cli(*argv: str) -> int:
    with open(os.devnull, "w", encoding="ascii") as devnull, \
            contextlib.redirect_stdout(devnull), contextlib.redirect_stderr(io.StringIO()):
        status = cli.main(list(argv))
    if status != 0:
        raise SystemExit(f"verify exited {status}")
    return status


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("links", nargs="?", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--limit", type=float, default=1.3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "chain.jsonl")
        write_chain(path, args.links)
        size = os.path.getsize(path)
        runs = {"loop": lambda: loop(path),
                "verify": lambda: run_cli("verify", "--quiet", path),
                "refs": lambda: run_cli("verify", path)}
        best = dict.fromkeys(runs, float("inf"))
        for _ in range(args.repeats):
            for name, run in runs.items():
                start = time.process_time()
                run()
                best[name] = min(best[name], time.process_time() - start)

    print(f"{args.links:,} links, {size / 1e6:.1f} MB, CPU seconds, min of {args.repeats}; "
          f"Python {sys.version.split()[0]}")
    worst = 0.0
    for name, seconds in best.items():
        ratio = seconds / best["loop"]
        if name != "loop":
            worst = max(worst, ratio)
        print(f"  {name:7} {seconds:8.3f} s  {seconds / args.links * 1e9:7.0f} ns/link  "
              f"{ratio:5.2f}x")
    verdict = "PASS" if worst <= args.limit else "FAIL"
    print(f"{verdict}: verify within {worst:.2f}x of the loop (target {args.limit}x)")
    return 0 if verdict == "PASS" else 1


if __name__ == "__main__":
    sys.exit(main())
