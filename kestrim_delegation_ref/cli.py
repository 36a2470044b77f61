"""Command line: compute refs, verify chains, check claimed refs and show canonical bytes.

It behaves as the Unix tools it is scripted with: the answer is the exit status, a reader
that goes away ends it quietly, and every failure is one line on stderr.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import errno
import io
import json
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO, NoReturn

import kestrim_substrate
from kestrim_delegation_ref import __version__
from kestrim_delegation_ref._cli_input import (
    InputError, as_envelope, display_name, json_name, read_whole, shorten_numbers)
from kestrim_delegation_ref._cli_progress import progress_for
from kestrim_delegation_ref._cli_verify import (
    EXIT_BAD_INPUT, EXIT_OK, EXIT_REJECTED, REF_SHAPE, Result, reason, verify_file)
from kestrim_delegation_ref.delegation_ref import delegation_ref, tamper_detected

# verify_file and its Result are what examples/distributed_audit.py sends to workers.
__all__ = ["Result", "main", "verify_file"]

MODULE_PROG = "python -m kestrim_delegation_ref"
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a command that Ctrl-C ended
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as `sha256sum | head` ends

# The refs of a chain are printed only once it verifies; past this many they wait on disk.
SPILL_REFS = 65536

DESCRIPTION = """\
Content-addressed references for delegations between agents.

An envelope is a JSON object with delegator_id, delegate_id, scope (non-empty
strings), not_before_ms, not_after_ms (non-negative integers, after > before)
and prev_delegation_ref ("" for the first link of a chain, else the ref of the
link before it). Its ref is "sha256:" + SHA-256 of the RFC 8785 canonical JSON
of those six fields; other keys are ignored."""

EXIT_STATUS = """\
exit status:
  0    yes: the ref was printed, the chain verifies, the ref matches
  1    no: a malformed envelope (or a value the hash refuses, such as an integer
       beyond 2**53-1), a chain break, a ref that does not match or differs
       from the one expected
  2    the input is not envelopes: unreadable file, invalid JSON, a JSON value
       that is not an object where an envelope belongs, an empty chain; a
       command line that does not parse; standard output cannot be written
       (one line on stderr says why)
  130  interrupted (Ctrl-C); nothing more is printed
  141  the reader of standard output went away (as with `| head`); nothing
       more is printed"""

EPILOG = EXIT_STATUS + """

FILE may be - for standard input. Files are read as UTF-8. Links and lines
are both counted from 1.

examples:
  %(prog)s verify chain.jsonl
  %(prog)s verify --quiet --expect-last sha256:0a1b...e9f0 chain.jsonl
  %(prog)s check sha256:0a1b...e9f0 envelope.json
  %(prog)s canonical envelope.json | sha256sum
  %(prog)s verify --json archive/*.jsonl"""

VERIFY_HELP = """\
Verify a chain and print the ref of each link, one per line, in order.

The chain is either a JSON array of envelopes or JSON Lines (one envelope per
line; blank lines are skipped). The first non-whitespace character decides: [
means an array. JSON Lines are read one line at a time and checked as they
are read, at constant memory, and reading stops at the first bad link. An
array is read whole. Refs are printed only when the whole chain verifies.

With several FILEs, each is verified on its own and gets one line, "FILE: OK"
or "FILE: FAILED", as sha256sum -c reports (a name with a newline, a carriage
return or a backslash escaped, its line marked with a leading backslash); the
reason for each failure goes to stderr. On a terminal, a long run shows its
progress on stderr.

A chain whose last link was changed still verifies (nothing names the last
ref): pin that ref with --expect-last."""

JSON_HELP = """\
one JSON object per line instead: {"file", "index", "line", "ref"} for each
link (index from 0, line from 1, null in an array) as it is accepted, and
{"file", "status", "error", "index", "line", "claimed", "computed", "message"}
for a failure, with both refs where there are two"""

CANONICAL_HELP = """\
Print the RFC 8785 canonical JSON that the ref of the envelope in FILE hashes:
its six fields, exactly the bytes, with no line end (one is added on a
terminal), so that `canonical FILE | sha256sum` gives the ref's digits. With
--any, the canonical form of any JSON value."""

REF_LOOKS_LIKE = '"sha256:" followed by 64 lower-case hexadecimal digits'


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command line on `argv` (sys.argv[1:] when None) and return its exit status;
    `prog` names the program in messages (by default, as it was started)."""
    # The reasons on stderr name a file as its verdict line on stdout does: its bytes that
    # were not UTF-8 as they came, not as the interpreter's escapes of them (\udcff), which
    # name no file and match no verdict.
    with names_as_given(sys.stderr, replacing=("strict", "backslashreplace")):
        return _main(argv, prog)


def _main(argv: Sequence[str] | None, prog: str | None) -> int:
    try:
        with buffered_stdout():
            return run(argv, prog)
    except InputError as exc:
        return fail(EXIT_BAD_INPUT, str(exc))
    except SpoolError as exc:
        return fail(EXIT_BAD_INPUT, f"{prog_name(prog)}: {exc}")
    except KeyboardInterrupt:
        silence(sys.stdout)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        silence(sys.stdout)
        return EXIT_BROKEN_PIPE
    except OSError as exc:
        # Reading is handled where it happens, so what reaches here is stdout failing.
        silence(sys.stdout)
        if exc.errno == errno.EPIPE:
            return EXIT_BROKEN_PIPE
        return fail(EXIT_BAD_INPUT, f"{prog_name(prog)}: cannot write to standard output: "
                                    f"{exc.strerror or exc}")


def run(argv: Sequence[str] | None, prog: str | None) -> int:
    try:
        args = parse_args(build_parser(prog), argv)
    except SystemExit as exc:
        # --help, --version and usage errors end here too, so that their output meets the
        # same write errors as every other.
        status = exc.code if isinstance(exc.code, int) else int(exc.code is not None)
    else:
        args.prog = prog_name(prog)
        status = int(args.run(args))
    # Inside the handlers above: a full disk or a dead pipe often shows only here.
    sys.stdout.flush()
    return status


@contextlib.contextmanager
def buffered_stdout() -> Iterator[None]:
    """Under PYTHONUNBUFFERED (or python -u) text goes straight to the file, and a write
    that the kernel takes only part of (the reader went away, a signal came) loses the rest
    silently, with no error and exit status 0. A buffered writer finishes each write or
    raises, so the output is buffered here whatever the interpreter was told. A standard
    output closed before the start (`>&-`) is no stream at all, where print() would drop
    the output without a word: it gets one whose writes fail as on a closed file."""
    original = sys.stdout
    raw = getattr(original, "buffer", None)
    if original is None:
        raw, encoding, errors, line_buffering = ClosedOutput(), "utf-8", "strict", False
    elif isinstance(raw, io.RawIOBase):
        encoding, errors = original.encoding, original.errors or "strict"
        line_buffering = bool(original.line_buffering)
    else:
        with names_as_given(original):
            yield
        return
    sys.stdout = io.TextIOWrapper(io.BufferedWriter(raw), encoding=encoding,
                                  errors=NAMES_AS_GIVEN if errors == "strict" else errors,
                                  line_buffering=line_buffering)
    try:
        yield
    finally:
        wrapper, sys.stdout = sys.stdout, original
        try:
            wrapper.detach().detach()  # flushes; the file stays open for the caller
        except (OSError, ValueError):
            # What could not be written must not be tried again when the wrapper is
            # collected (3.13 reports that as "Exception ignored"): it goes to /dev/null.
            silence(sys.stdout)
            try:
                wrapper.detach().detach()
            except (OSError, ValueError):
                pass


class ClosedOutput(io.RawIOBase):
    """Standard output closed before the start: the first write fails as on a closed file
    descriptor, and what follows is dropped, as silence() does with a real one."""

    def __init__(self) -> None:
        super().__init__()
        self.failed = False

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        if not self.failed:
            self.failed = True
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        return len(memoryview(data))


# A file name on standard output (`FILE: OK`) that its encoding cannot write must not end
# the run with a traceback. Bytes that were not UTF-8 in the name go out as they came in
# (as the interpreter already writes them under the C locale), so that a script can map the
# line back to its file; any other character goes out as its escape, as on stderr.
NAMES_AS_GIVEN = "kestrim_delegation_ref.names_as_given"


def _names_as_given(exc: UnicodeError) -> tuple[str | bytes, int]:
    if not isinstance(exc, UnicodeEncodeError):
        raise exc
    char = exc.object[exc.start]
    if "\udc80" <= char <= "\udcff":
        return bytes([ord(char) - 0xDC00]), exc.start + 1
    return char.encode("ascii", "backslashreplace").decode("ascii"), exc.start + 1


codecs.register_error(NAMES_AS_GIVEN, _names_as_given)


@contextlib.contextmanager
def names_as_given(stream: Any, replacing: tuple[str, ...] = ("strict",)) -> Iterator[None]:
    errors = getattr(stream, "errors", None)
    reconfigure = getattr(stream, "reconfigure", None)
    if errors not in replacing or reconfigure is None:
        yield
        return
    reconfigure(errors=NAMES_AS_GIVEN)
    try:
        yield
    finally:
        with contextlib.suppress(OSError, ValueError):
            reconfigure(errors=errors)


def silence(stream: Any) -> None:
    """Point a standard stream at /dev/null, so that the interpreter's own flush at exit
    does not fail on a dead pipe or a full disk a second time, with a traceback."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, AttributeError, ValueError):
        pass


def prog_name(prog: str | None = None) -> str:
    """The program as it was started: the script's name, or `python -m ...`."""
    if prog:
        return prog
    started = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return MODULE_PROG if started in ("", "__main__.py", "-c") else started


def ref_argument(text: str) -> str:
    if not REF_SHAPE.fullmatch(text):
        raise argparse.ArgumentTypeError(
            f"{show_arg(text)} is not a ref: a ref is {REF_LOOKS_LIKE}")
    return text


def show_arg(text: str) -> str:
    # Quoted, with the escapes of any invisible character, so that "sha256:...\n" does not
    # look like the ref it resembles.
    return json.dumps(text) if len(text) <= 100 else json.dumps(text[:90]) + "..."


class ArgumentParser(argparse.ArgumentParser):
    """argparse's parser, whose usage on an error goes to stderr or nowhere: argparse prints
    it to stdout when stderr is closed (`2>&-`), among the data."""

    def error(self, message: str) -> NoReturn:
        if sys.stderr is not None:
            self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


def parse_args(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> argparse.Namespace:
    """parser.parse_args, where FILEs may also follow options (`verify a --quiet b`), as GNU
    tools take them: argparse gives a list of positionals only the first run of them. A
    `--` among those left over ends the options there (`verify a --quiet -- -b`), as it
    does before the first FILE: what follows it is FILEs, whatever they look like."""
    args, extra = parser.parse_known_args(argv)
    if extra:
        options = extra[:extra.index("--")] if "--" in extra else extra
        if getattr(args, "files", None) is None or any(
                arg.startswith("-") and arg != "-" for arg in options):
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
        files = [*options, *extra[len(options) + 1:]]
        args.files = [*args.files, *files]
    return args


def build_parser(prog: str | None = None) -> argparse.ArgumentParser:
    parser = ArgumentParser(
        prog=prog_name(prog), description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version=f"kestrim-delegation-ref {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    raw = argparse.RawDescriptionHelpFormatter

    ref = commands.add_parser(
        "ref", help="print the ref of one envelope", formatter_class=raw,
        description="Print the ref of the envelope in FILE (one JSON object).",
        epilog=EXIT_STATUS)
    ref.add_argument("file", metavar="FILE", nargs="?", default="-",
                     help="a JSON object (default: standard input)")
    ref.set_defaults(run=run_ref)

    verify = commands.add_parser(
        "verify", help="verify chains and print their refs", description=VERIFY_HELP,
        formatter_class=raw, epilog=EXIT_STATUS + "\n\nWith several FILEs: 2 if any input "
        "is not envelopes, else 1 if any chain fails, else 0.")
    verify.add_argument("files", metavar="FILE", nargs="*", default=["-"],
                        help="a JSON array or JSON Lines of envelopes (default: standard "
                             "input)")
    verify.add_argument("--expect-last", metavar="REF", type=ref_argument,
                        help="fail (exit 1) unless the last link's ref is REF")
    verify.add_argument("--expect-first", metavar="REF", type=ref_argument,
                        help="fail (exit 1) unless the first link's ref is REF")
    output = verify.add_mutually_exclusive_group()
    output.add_argument("-q", "--quiet", action="store_true",
                        help="print nothing on stdout and no progress; failures still get "
                             "their line on stderr")
    output.add_argument("--status", action="store_true",
                        help="print nothing at all: the exit status is the answer")
    output.add_argument("--json", action="store_true", help=JSON_HELP)
    verify.set_defaults(run=run_verify)

    check = commands.add_parser(
        "check", help="check that an envelope recomputes to a claimed ref",
        formatter_class=raw,
        description="Exit 0 and print ok when the envelope in FILE recomputes to REF; "
                    "otherwise exit 1 with the reason (tampered or malformed).\n"
                    f"A REF that is not {REF_LOOKS_LIKE} is a usage error (exit 2).",
        epilog=EXIT_STATUS)
    check.add_argument("ref", metavar="REF", type=ref_argument,
                       help=f"the claimed ref, {REF_LOOKS_LIKE}")
    check.add_argument("file", metavar="FILE", nargs="?", default="-",
                       help="a JSON object (default: standard input)")
    check.set_defaults(run=run_check)

    canonical = commands.add_parser(
        "canonical", help="print the canonical bytes that a ref hashes",
        description=CANONICAL_HELP, formatter_class=raw, epilog=EXIT_STATUS)
    canonical.add_argument("file", metavar="FILE", nargs="?", default="-",
                           help="a JSON object (default: standard input)")
    canonical.add_argument("--any", action="store_true",
                           help="any JSON value, not only an envelope's six fields")
    canonical.set_defaults(run=run_canonical)
    return parser


def read_envelope(path: str) -> tuple[str, dict[str, Any]]:
    name, value = read_whole(path)
    return name, as_envelope(value, name)


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
    return fail(EXIT_REJECTED, f"{name}: does not match: it recomputes to {actual}, "
                               f"not to {args.ref}")


def run_canonical(args: argparse.Namespace) -> int:
    if args.any:
        name, value = read_whole(args.file)
    else:
        name, envelope = read_envelope(args.file)
        try:
            # The rules first: what is shown is what a ref would be computed from.
            delegation_ref(envelope)
        except (ValueError, TypeError) as exc:
            return fail(EXIT_REJECTED, f"{name}: {reason(exc)}")
        value = {key: envelope.get(key) for key in (
            "delegator_id", "delegate_id", "scope", "not_before_ms", "not_after_ms")}
        value["prev_delegation_ref"] = envelope.get("prev_delegation_ref", "")
    try:
        data = kestrim_substrate.canonicalize(value)
    except (ValueError, TypeError, RecursionError) as exc:
        return fail(EXIT_REJECTED, f"{name}: cannot write canonical JSON: "
                                   f"{shorten_numbers(str(exc))}")
    sys.stdout.flush()
    sys.stdout.buffer.write(data + b"\n" if sys.stdout.isatty() else data)
    return EXIT_OK


def run_verify(args: argparse.Namespace) -> int:
    several = len(args.files) > 1
    results = [verify_one(path, args, several) for path in args.files]
    failed = [result for result in results if not result.ok]
    if several and failed and not args.status:
        warn(f"{args.prog}: WARNING: {len(failed)} of {len(results)} chains did NOT verify")
    return max(result.status for result in results)


def verify_one(path: str, args: argparse.Namespace, several: bool) -> Result:
    quiet = args.quiet or args.status
    spool = RefSpool(display_name(path)) if not (several or quiet or args.json) else None
    try:
        return verify_spooled(path, args, several, quiet, spool)
    finally:
        # A chain that fails (or a read that raises) leaves its spilled refs unprinted:
        # their file goes now, not whenever the collector gets to it.
        if spool is not None:
            spool.close()


def verify_spooled(path: str, args: argparse.Namespace, several: bool, quiet: bool,
                   spool: RefSpool | None) -> Result:
    links_out = json_links_writer(path) if args.json else None
    progress = None if quiet else progress_for(path, display_name(path))

    def tick(links: int, nbytes: int) -> None:
        if spool is not None:
            spool.spill_if_full()
        if progress is not None:
            progress.tick(links, nbytes)

    try:
        result = verify_file(path, args.expect_first, args.expect_last,
                             refs_out=spool.pending.append if spool is not None else None,
                             links_out=links_out,
                             tick=tick if spool is not None or progress is not None else None)
    finally:
        if progress is not None:
            progress.close()
    if args.json and result.failure is not None:
        sys.stdout.write(json.dumps(result.failure) + "\n")
    if several and not (quiet or args.json):
        sys.stdout.write(verdict_line(result.name, result.ok))
    if result.message is not None and not args.status:
        sys.stdout.flush()  # the verdict's line before its reason, on a terminal too
        warn(result.message)
    if spool is not None and result.ok:
        spool.copy_to(sys.stdout)
    return result


def verdict_line(name: str, ok: bool) -> str:
    """`NAME: OK` or `NAME: FAILED`, on one line whatever the name holds. As sha256sum -c
    writes it, a name with a newline, a carriage return or a backslash has these escaped
    (`\\n`, `\\r`, `\\\\`) and its line begins with a backslash: no file name can make a
    line that reads as another file's verdict."""
    escaped = name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")
    mark = "\\" if escaped != name else ""
    return f"{mark}{escaped}: {'OK' if ok else 'FAILED'}\n"


def json_links_writer(path: str) -> Any:
    write = sys.stdout.write
    head = '{"file": ' + json.dumps(json_name(display_name(path))) + ', "index": '

    def link(index: int, line: int | None, ref: str) -> None:
        write(f'{head}{index}, "line": {"null" if line is None else line}, "ref": "{ref}"}}\n')
    return link


class SpoolError(Exception):
    """The refs waiting for their chain to verify could not be kept in a temporary file:
    the temporary directory is full or missing, which standard output need not be."""


class RefSpool:
    """The refs of a chain that has not finished verifying: in memory up to SPILL_REFS,
    then in a temporary file, so that a chain of any length is verified at constant
    memory and its refs are still printed only once it verifies."""

    def __init__(self, name: str = "") -> None:
        self.name = name
        self.pending: list[str] = []
        self.file: BinaryIO | None = None

    def kept(self, call: Callable[..., Any], *args: Any) -> Any:
        try:
            return call(*args)
        except OSError as exc:
            raise SpoolError(f"{self.name}: cannot keep the refs until the chain verifies: "
                             f"temporary file: {exc.strerror or exc}") from None

    def spill_if_full(self) -> None:
        if len(self.pending) >= SPILL_REFS:
            if self.file is None:
                import tempfile  # only for long chains: it costs every run its import
                self.file = self.kept(tempfile.TemporaryFile)  # closed in copy_to
            self.kept(self.file.write, ("\n".join(self.pending) + "\n").encode("ascii"))
            self.pending.clear()

    def close(self) -> None:
        if self.file is not None:
            self.file.close()

    def copy_to(self, out: Any) -> None:
        if self.file is not None:
            out.flush()
            with self.file:
                # What the file still buffers may fail only here, when it is flushed.
                self.kept(self.file.seek, 0)
                while chunk := self.kept(self.file.read, 1 << 20):
                    out.buffer.write(chunk)
        if self.pending:
            out.write("\n".join(self.pending) + "\n")


def fail(status: int, message: str) -> int:
    warn(message)
    return status


def warn(message: str) -> None:
    """One line on stderr. Where stderr is closed (`2>&-`) or cannot be written, the line is
    lost, as any Unix tool's would be: print() would put it on stdout among the data, and an
    error here would replace the exit status that the run decided."""
    stream = sys.stderr
    if stream is None:
        return
    # A file name or a value quoted in the message may hold a line break of its own.
    message = message.replace("\n", "\\n").replace("\r", "\\r")
    try:
        print(message, file=stream, flush=True)
    except (OSError, ValueError):
        silence(stream)
