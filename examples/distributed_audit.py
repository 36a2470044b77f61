"""Verify every chain file in a folder on a Dask cluster, one file per task.

    python examples/distributed_audit.py DIR [--scheduler ADDRESS] [--workers N]
                                             [--pattern GLOB]

Without --scheduler it starts a LocalCluster of N worker processes on this machine; with
one, it uses that cluster, whose workers must have this package installed and see DIR at
the same path. Each file is verified as `kestrim-delegation-ref verify FILE` would verify
it (JSON Lines or an array, duplicate keys refused, read lazily on the worker), and one
line per file is printed, "FILE: OK, N links, last REF" or "FILE: FAILED: reason".
Exit status: 0 when every chain verifies, else the command line's worst status.

The function mapped over the files is the package's own `verify_file`, handed to Dask as
it is: it pickles by reference, as `verify_chain` and the other functions do, so nothing
is wrapped and each worker runs the code installed there.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from kestrim_delegation_ref.cli import Result, verify_file


def audit(paths: list[str], client) -> list[Result]:  # noqa: ANN001 (dask is optional)
    futures = client.map(verify_file, paths, pure=False)
    return client.gather(futures)


def report(result: Result) -> str:
    if result.ok:
        return f"{result.name}: OK, {result.links} links, last {result.last_ref}"
    return f"{result.name}: FAILED: {result.message.removeprefix(result.name + ': ')}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", metavar="DIR")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the local cluster (default 2)")
    parser.add_argument("--pattern", default="*.jsonl", help="which files (default *.jsonl)")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    paths = sorted(str(p) for p in Path(args.folder).glob(args.pattern) if p.is_file())
    if not paths:
        print(f"{args.folder}: no files match {args.pattern}", file=sys.stderr)
        return 2
    if args.scheduler:
        with Client(args.scheduler) as client:
            results = audit(paths, client)
    else:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            results = audit(paths, client)
    for result in results:
        print(report(result))
    return max(result.status for result in results)


if __name__ == "__main__":
    sys.exit(main())
