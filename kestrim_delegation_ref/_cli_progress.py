"""Progress of a long `verify` on a terminal: links done, their rate, bytes of the file read.

Drawn by tqdm when it is installed (the `progress` extra) and by nothing otherwise; the
command works the same either way. Never drawn where stderr is not a terminal, so that a
script's log holds only verdicts.
"""

from __future__ import annotations

import importlib
import os
import sys
import time
from typing import Any

# Runs shorter than this show no bar at all.
DELAY_S = 0.5


class Progress:
    def __init__(self, bar: Any) -> None:
        self.bar = bar
        self.start = time.monotonic()

    def tick(self, links: int, nbytes: int) -> None:
        bar = self.bar
        elapsed = time.monotonic() - self.start
        rate = f", {links / elapsed:,.0f} links/s" if elapsed > 0 else ""
        bar.set_postfix_str(f"{links:,} links{rate}", refresh=False)
        if nbytes > bar.n:
            bar.update(nbytes - bar.n)
        else:
            bar.refresh()

    def close(self) -> None:
        self.bar.close()


def progress_for(path: str, name: str) -> Progress | None:
    """A progress display for reading `path`, or None where none should be shown."""
    try:
        if not (sys.stderr is not None and sys.stderr.isatty()):
            return None
        tqdm = importlib.import_module("tqdm").tqdm
    except (ImportError, OSError, ValueError):
        return None
    size = None
    if path != "-":
        try:
            size = os.stat(path).st_size or None
        except OSError:
            pass
    try:
        width, height = os.get_terminal_size(sys.stderr.fileno())
    except (OSError, ValueError):
        width = height = 0
    # A terminal that reports no width (a bare pseudo-terminal) would get an empty bar, and
    # one that reports no height none at all: tqdm draws only bars within its rows.
    sizing: dict[str, Any] = {"dynamic_ncols": True}
    if not (width and height):
        sizing = {"ncols": width or 80, "nrows": height or 24}
    bar = tqdm(total=size, desc=name, unit="B", unit_scale=True, unit_divisor=1024,
               file=sys.stderr, delay=DELAY_S, leave=False, **sizing)
    return Progress(bar)
