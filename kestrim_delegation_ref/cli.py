"""Command line: compute refs, verify chains and check claimed refs from JSON files.

Exit status: 0 when the answer is yes, 1 when the envelopes were read but fail (a chain
break, a malformed envelope, a ref that does not match), 2 when the input could not be read
as envelopes at all (a missing file, invalid JSON, a value that is not a JSON object).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator, Sequence
from typing import Any, BinaryIO, NoReturn

from kestrim_delegation_ref.delegation_ref import (
    DelegationRefError,
    delegation_ref,
    tamper_detected,
    verify_chain,
)

PROG = "python -m kestrim_delegation_ref"

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_BAD_INPUT = 2

JSON_WHITESPACE = b" \t\n\r"
BOM = b"\xef\xbb\xbf"

DESCRIPTION = """\
Content-addressed references for delegations between agents.

An envelope is a JSON object with delegator_id, delegate_id, scope (non-empty
strings), not_before_ms, not_after_ms (non-negative integers, after > before)
and prev_delegation_ref ("" for the first link of a chain, else the ref of the
link before it). Its ref is "sha256:" + SHA-256 of the RFC 8785 canonical JSON
of those six fields; other keys are ignored."""

EPILOG = """\
FILE may be - for standard input. Files are read as UTF-8.

exit status:
  0  yes: the ref was printed, the chain verifies, the ref matches
  1  no: a malformed envelope (or a value the hash refuses, such as an integer
     beyond 2**53-1), a chain break, a ref that does not match
  2  the input is not envelopes: unreadable file, invalid JSON, a JSON value
     that is not an object where an envelope belongs, an empty chain;
     also a command line that does not parse

examples:
  %(prog)s ref envelope.json
  %(prog)s verify chain.jsonl
  cat chain.json | %(prog)s verify -
  %(prog)s check sha256:0a1b...e9f0 envelope.json"""

VERIFY_HELP = """\
Verify a chain and print the ref of each link, one per line, in order.

The chain is either a JSON array of envelopes or JSON Lines (one envelope per
line; blank lines are skipped). The first non-whitespace character decides: [
means an array. JSON Lines are read one line at a time and checked as they
are read: only one envelope is in memory at a time (plus the refs so far),
and reading stops at the first bad link. An array is read whole. Refs are
printed only when the whole chain verifies."""


class InputError(Exception):
    """The input is not envelopes. Deliberately not a ValueError: the envelope rules
    and the substrate report through ValueError, and the two must not be confused."""


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status = int(args.run(args))
        sys.stdout.flush()
    except InputError as exc:
        return fail(EXIT_BAD_INPUT, str(exc))
    except BrokenPipeError:
        # A reader such as `head` went away. Point stdout at /dev/null so that the
        # interpreter's own flush at exit does not fail on the dead pipe a second time.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_REJECTED
    return status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    ref = commands.add_parser(
        "ref", help="print the ref of one envelope",
        description="Print the ref of the envelope in FILE (one JSON object).",
        epilog="exit status: 0 printed, 1 malformed envelope, 2 unreadable input")
    ref.add_argument("file", metavar="FILE", help="a JSON object, or - for standard input")
    ref.set_defaults(run=run_ref)

    verify = commands.add_parser(
        "verify", help="verify a chain and print its refs",
        description=VERIFY_HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="exit status: 0 verified, 1 chain break or malformed link, "
               "2 unreadable input or no links")
    verify.add_argument("file", metavar="FILE",
                        help="a JSON array or JSON Lines of envelopes, or - for standard input")
    verify.set_defaults(run=run_verify)

    check = commands.add_parser(
        "check", help="check that an envelope recomputes to a claimed ref",
        description="Exit 0 and print ok when the envelope in FILE recomputes to REF; "
                    "otherwise exit 1 with the reason (tampered or malformed).",
        epilog="exit status: 0 matches, 1 does not match or malformed, 2 unreadable input")
    check.add_argument("ref", metavar="REF", help='the claimed ref, "sha256:" + 64 hex digits')
    check.add_argument("file", metavar="FILE", help="a JSON object, or - for standard input")
    check.set_defaults(run=run_check)
    return parser


def run_ref(args: argparse.Namespace) -> int:
    name, envelope = read_envelope(args.file)
    try:
        ref = delegation_ref(envelope)
    except (ValueError, TypeError) as exc:
        return fail(EXIT_REJECTED, f"{name}: {reason(exc)}")
    print(ref)
    return EXIT_OK


def run_check(args: argparse.Namespace) -> int:
    name, envelope = read_envelope(args.file)
    try:
        if not tamper_detected(args.ref, envelope):
            print("ok")
            return EXIT_OK
        # The verdict is the module's; the second pass only says why.
        actual = delegation_ref(envelope)
    except (ValueError, TypeError) as exc:
        return fail(EXIT_REJECTED, f"{name}: malformed: {reason(exc)}")
    return fail(EXIT_REJECTED, f"{name}: does not match: it recomputes to {actual}")


def run_verify(args: argparse.Namespace) -> int:
    with open_input(args.file) as stream:
        name = display_name(args.file)
        links = ChainReader(name, stream)
        try:
            refs = verify_chain(links)
        except (ValueError, TypeError) as exc:
            message = reason(exc)
            return fail(EXIT_REJECTED, f"{name}: {links.where(message)}{message}")
    if not refs:
        raise InputError(f"{name}: no envelopes")
    sys.stdout.writelines(ref + "\n" for ref in refs)
    return EXIT_OK


class ChainReader:
    """The links of a chain file, parsed one at a time as verify_chain asks for them, and
    remembering where the last one came from so that a failure can point at it."""

    def __init__(self, name: str, stream: BinaryIO) -> None:
        self.name = name
        self.stream = stream
        self.index = -1
        self.line: int | None = None

    def where(self, message: str) -> str:
        """Where the failing link is, unless the message already says it."""
        if self.index < 0:
            return ""
        if self.line is not None:
            return f"line {self.line}: "
        return "" if message.startswith("chain break at link") else f"link {self.index}: "

    def __iter__(self) -> Iterator[dict[str, Any]]:
        first, line, column = skip_whitespace(self.stream, self.name)
        if first == b"":
            return
        if first == b"[":
            text = decode(self.name, first + read(self.stream, self.name))
            items = parse_json(self.name, text, line, column)
            for self.index, item in enumerate(items):
                yield as_envelope(item, f"{self.name}: item {self.index}")
            return
        self.line = line
        data = first + read(self.stream, self.name, line=True)
        while data:
            if data.strip(JSON_WHITESPACE):
                self.index += 1
                where = f"{self.name}: line {self.line}"
                # Without its line end, so that an error at the end of the line is
                # reported on that line rather than at the start of the next.
                text = decode(where, data.rstrip(b"\r\n"))
                value = parse_json(self.name, text, self.line, column, single_line=True)
                yield as_envelope(value, where)
            self.line += 1
            column = 1
            data = read(self.stream, self.name, line=True)


def skip_whitespace(stream: BinaryIO, name: str) -> tuple[bytes, int, int]:
    """The first bytes that are not whitespace (b"" at the end), and their line and
    column. A byte order mark, which some editors write, is skipped too."""
    line = column = 1
    char = read(stream, name, 1)
    if char == BOM[:1]:
        char += read(stream, name, len(BOM) - 1)
        if char != BOM:
            return char, line, column
        char = read(stream, name, 1)
    while char and char in JSON_WHITESPACE:
        if char == b"\n":
            line, column = line + 1, 1
        else:
            column += 1
        char = read(stream, name, 1)
    return char, line, column


def read_envelope(path: str) -> tuple[str, dict[str, Any]]:
    name = display_name(path)
    with open_input(path) as stream:
        first, line, column = skip_whitespace(stream, name)
        value = parse_json(name, decode(name, first + read(stream, name)), line, column)
    return name, as_envelope(value, name)


def as_envelope(value: Any, where: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise InputError(f"{where}: expected a JSON object (an envelope), got {json_kind(value)}")
    return value


def parse_json(name: str, text: str, line: int = 1, column: int = 1,
               single_line: bool = False) -> Any:
    """Parse `text`, which starts at `line` and `column` of the file, naming that position
    in the file (not in `text`) when it is invalid."""
    try:
        return json.loads(text, object_pairs_hook=unique_keys, parse_constant=no_constant)
    except json.JSONDecodeError as exc:
        at_column = exc.colno + column - 1 if exc.lineno == 1 else exc.colno
        raise InputError(f"{name}: line {exc.lineno + line - 1} column {at_column}: "
                         f"invalid JSON: {exc.msg}") from None
    except ValueError as exc:
        # Duplicate keys, NaN or an integer longer than the interpreter converts: no
        # position comes with these.
        at = f"line {line}: " if single_line else ""
        raise InputError(f"{name}: {at}invalid JSON: {exc}") from None
    except RecursionError:
        raise InputError(f"{name}: invalid JSON: nested too deeply") from None


def unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # Parsers disagree on which of two equal keys wins, so an envelope with a duplicate
    # field could mean one thing to its signer and another here: refuse it.
    obj: dict[str, Any] = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError(f"duplicate key {json.dumps(key)}")
        obj[key] = value
    return obj


def no_constant(token: str) -> NoReturn:
    raise ValueError(f"{token} is not JSON")


def json_kind(value: Any) -> str:
    kinds = {list: "an array", str: "a string", bool: "a boolean", int: "a number",
             float: "a number", type(None): "null"}
    return kinds.get(type(value), type(value).__name__)


def reason(exc: BaseException) -> str:
    if isinstance(exc, DelegationRefError):
        return str(exc)
    # Past the envelope rules, the substrate refuses what it cannot hash exactly (an
    # integer beyond 2**53-1, a lone surrogate), and a prev_delegation_ref that is not a
    # string reaches the ref pattern as a TypeError.
    return f"cannot compute a ref: {exc}"


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def open_input(path: str) -> BinaryIO:
    # Bytes, decoded a line at a time, so that an invalid byte is reported on its own line
    # rather than on whichever line a text decoder's read-ahead happened to be serving.
    try:
        if path == "-":
            if sys.stdin is None:
                raise InputError("<stdin>: cannot read: there is no standard input")
            return open(sys.stdin.fileno(), "rb", closefd=False)
        return open(path, "rb")
    except OSError as exc:
        raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None


def read(stream: BinaryIO, name: str, size: int = -1, line: bool = False) -> bytes:
    try:
        return stream.readline() if line else stream.read(size)
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None


def decode(where: str, data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise InputError(f"{where}: not UTF-8 text") from None


def fail(status: int, message: str) -> int:
    print(message, file=sys.stderr)
    return status
