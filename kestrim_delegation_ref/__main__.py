"""The program `kestrim-delegation-ref` and `python -m kestrim_delegation_ref`: see
kestrim_delegation_ref.cli."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

EXIT_INTERRUPTED = 130  # as kestrim_delegation_ref.cli, which may not have loaded yet


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """The program: kestrim_delegation_ref.cli.main, with Ctrl-C quiet from the start."""
    # Loading the command's modules is most of a short run, so a Ctrl-C that ends a loop
    # over many files usually lands here: it gets the same quiet 130 as one mid-run.
    try:
        from kestrim_delegation_ref.cli import main as run
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    return run(argv, prog)


if __name__ == "__main__":
    raise SystemExit(main())
