"""Verifying one chain file: the walk of verify_chain, read lazily, at constant memory, with
a verdict that says where the chain broke and what both sides of the break hold.

The walk is verify_chain's own (the linkage of a link is tested before its ref is computed,
the first link must name ""), written out here because verify_chain keeps every ref until
it returns, and a break must name the link before it and its ref, which verify_chain no
longer has when it raises. tests/test_cli.py compares the two on damaged chains.
"""

from __future__ import annotations

import itertools
import json
import re
from collections.abc import Callable
from typing import Any, BinaryIO

from kestrim_delegation_ref._cli_input import (
    JSON_WHITESPACE, HugeInt, InputError, as_envelope, decode, display_name, fast_scan,
    json_kind, json_name, json_text, open_input, parse_json, read, shorten_numbers,
    skip_whitespace)
from kestrim_delegation_ref.delegation_ref import DelegationRefError, delegation_ref

REF_SHAPE = re.compile(r"sha256:[0-9a-f]{64}")
TICK_EVERY = 4096  # links between calls of the tick: progress, spilling refs to disk

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_BAD_INPUT = 2


class Result:
    """What became of one file: picklable, so that a worker elsewhere can return it. (A
    plain class: dataclasses would cost every run of the command the import of inspect.)"""

    __slots__ = ("name", "status", "links", "first_ref", "last_ref", "message", "failure")

    def __init__(self, name: str, status: int = EXIT_OK, links: int = 0,
                 first_ref: str | None = None, last_ref: str | None = None,
                 message: str | None = None, failure: dict[str, Any] | None = None) -> None:
        self.name = name
        self.status = status
        self.links = links
        self.first_ref = first_ref
        self.last_ref = last_ref
        self.message = message  # one line, starting with the name; None when verified
        self.failure = failure  # the same, as the --json record

    def __getstate__(self) -> tuple[Any, ...]:
        return tuple(getattr(self, field) for field in self.__slots__)

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        for field, value in zip(self.__slots__, state):
            setattr(self, field, value)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Result) and self.__getstate__() == other.__getstate__()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        fields = ", ".join(f"{field}={getattr(self, field)!r}" for field in self.__slots__)
        return f"Result({fields})"

    @property
    def ok(self) -> bool:
        return self.status == EXIT_OK


def where(index: int, line: int | None) -> str:
    """A link's place, counted from 1 like the lines, so that in a file without blank
    lines link n is line n."""
    return f"link {index + 1}" if line is None else f"link {index + 1} (line {line})"


def show(value: Any) -> str:
    """A value as the reader would type it in JSON, escapes and all, so that a ref with an
    invisible difference does not look like the ref it is not."""
    if isinstance(value, str) and REF_SHAPE.fullmatch(value):
        return value
    if isinstance(value, HugeInt):
        return f"a number of {len(value.key[2])} digits"
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        try:
            text = repr(value)
        except ValueError:
            # A number too long for the interpreter to write, inside an array or object:
            # its repr fails as json.dumps did.
            return f"{json_kind(value)} holding a number too long to show"
    except RecursionError:
        # The parser took it, nested just short of its bound, from a shallower stack.
        return f"{json_kind(value)} nested too deeply to show"
    if not isinstance(value, str):
        text = shorten_numbers(text)
    return text if len(text) <= 100 else text[:97] + "..."


def reason(exc: BaseException) -> str:
    if isinstance(exc, DelegationRefError):
        return str(exc)
    # Past the envelope rules, the substrate refuses what it cannot hash exactly (an
    # integer beyond 2**53-1, a lone surrogate), and a prev_delegation_ref that is not a
    # string reaches the ref pattern as a TypeError.
    return f"cannot compute a ref: {shorten_numbers(str(exc))}"


class _Walk:
    """The state of one file's walk that a verdict needs: the last link accepted."""

    def __init__(self, name: str, expect_first: str | None) -> None:
        self.result = Result(name)
        self.expect_first = expect_first
        self.prev = ""
        self.prev_line: int | None = None
        # Where reading is: the first bytes past any leading whitespace, their place, and
        # the link being read, for the verdict on input that is not envelopes.
        self.first = b""
        self.line: int | None = 1
        self.column = 1
        self.index: int | None = 0

    def fail(self, status: int, message: str, **record: Any) -> Result:
        result = self.result
        result.status = status
        result.message = f"{result.name}: {message}"
        name = json_name(result.name)
        result.failure = {"file": name, "status": status, **record,
                          "message": f"{name}: {message}"}
        return result

    def chain_break(self, index: int, line: int | None, claimed: Any) -> Result:
        shown = show(claimed)
        if index == 0:
            return self.fail(
                EXIT_REJECTED,
                f"chain break: {where(0, line)} is the first link but names a link before it, "
                f'{shown}; the first link\'s prev_delegation_ref is ""',
                error="chain break", index=0, line=line, claimed=_raw(claimed), computed="")
        return self.fail(
            EXIT_REJECTED,
            f"chain break: {where(index - 1, self.prev_line)} no longer matches the ref that "
            f"{where(index, line)} names for it: named {shown}, recomputes to {self.prev}",
            error="chain break", index=index - 1, line=self.prev_line, claimed=_raw(claimed),
            computed=self.prev)

    def malformed(self, index: int, line: int | None, exc: BaseException) -> Result:
        return self.fail(EXIT_REJECTED, f"{where(index, line)}: {reason(exc)}",
                         error="malformed", index=index, line=line)

    def first_differs(self, line: int | None, ref: str) -> Result:
        return self.fail(
            EXIT_REJECTED,
            f"{where(0, line)}, the first link, recomputes to {ref}, not to the expected "
            f"{self.expect_first}", error="first ref differs", index=0, line=line,
            claimed=self.expect_first, computed=ref)

    def input_error(self, exc: InputError, index: int | None, line: int | None) -> Result:
        message = str(exc).removeprefix(f"{self.result.name}: ")
        return self.fail(EXIT_BAD_INPUT, message, error="input", index=index, line=line)


def _raw(value: Any) -> Any:
    # A lone surrogate (read from a \ud800 escape) goes as the text of its escape, as the
    # message shows it: as the escape, a strict parser would refuse the record with it.
    if isinstance(value, str):
        return json_text(value)
    return value if value is None else show(value)


def verify_file(path: str, expect_first: str | None = None, expect_last: str | None = None,
                refs_out: Callable[[str], Any] | None = None,
                links_out: Callable[[int, int | None, str], Any] | None = None,
                tick: Callable[[int, int], Any] | None = None) -> Result:
    """Verify the chain in `path` (JSON Lines, or a JSON array; "-" for standard input).

    `refs_out` is given each ref and `links_out` each link's index, line (None in an array)
    and ref, as each link is accepted; `tick` is given the links and bytes read so far now
    and then. A chain that fails has had some of its refs handed out before the failure.
    """
    walk = _Walk(display_name(path), expect_first)
    try:
        stream = open_input(path)
    except InputError as exc:
        return walk.input_error(exc, None, None)  # no link read: it belongs to none
    with stream:
        try:
            walker = _walk_array if _starts_array(stream, walk) else _walk_lines
            result = walker(walk, stream, refs_out, links_out, tick)
        except InputError as exc:
            return walk.input_error(exc, walk.index, walk.line)
    if result.status != EXIT_OK:
        return result
    if result.links == 0:
        return walk.fail(EXIT_BAD_INPUT, "no envelopes", error="input", index=None, line=None)
    if expect_last is not None and result.last_ref != expect_last:
        last = result.links - 1
        return walk.fail(
            EXIT_REJECTED,
            f"{where(last, walk.prev_line)}, the last link, recomputes to {result.last_ref}, "
            f"not to the expected {expect_last}", error="last ref differs", index=last,
            line=walk.prev_line, claimed=expect_last, computed=result.last_ref)
    return result


def _starts_array(stream: BinaryIO, walk: _Walk) -> bool:
    first, walk.line, walk.column = skip_whitespace(stream, walk.result.name)
    walk.first = first
    return first == b"["


def _walk_array(walk: _Walk, stream: BinaryIO, refs_out: Any, links_out: Any,
                tick: Any) -> Result:
    name = walk.result.name
    # A fault in the array as a whole belongs to no link, and in an array no link has a
    # line of its own: the message gives the position where there is one.
    first_line = walk.line or 1
    walk.index = walk.line = None
    items = parse_json(name, decode(name, walk.first + read(stream, name)), first_line,
                       walk.column)
    result = walk.result
    for index, item in enumerate(items):
        walk.index = index
        env = as_envelope(item, f"{name}: {where(index, None)}")
        claimed = env.get("prev_delegation_ref", "")
        if claimed != walk.prev:
            return walk.chain_break(index, None, claimed)
        try:
            ref = delegation_ref(env)
        except (ValueError, TypeError) as exc:
            return walk.malformed(index, None, exc)
        if index == 0:
            if walk.expect_first is not None and ref != walk.expect_first:
                return walk.first_differs(None, ref)
            result.first_ref = ref
        result.links += 1
        result.last_ref = walk.prev = ref
        if refs_out is not None:
            refs_out(ref)
        if links_out is not None:
            links_out(index, None, ref)
        if tick is not None and not (index + 1) % TICK_EVERY:
            tick(index + 1, 0)
    return result


def _walk_lines(walk: _Walk, stream: BinaryIO, refs_out: Any, links_out: Any,
                tick: Any) -> Result:
    # The loop that sets the pace of `verify`: each line is parsed by the fast decoder, and
    # anything unusual (a blank line, a duplicate key, an error) falls to _slow_line, which
    # either accepts the line after all or says what is wrong with it.
    name = walk.result.name
    first_line = walk.line or 1
    first = walk.first + read(stream, name, line=True) if walk.first else b""
    lines = itertools.chain((first,), _lines(stream, name))
    line = first_line - 1
    index = 0
    nbytes = 0
    prev = ""
    scan = fast_scan
    for data in lines:
        line += 1
        nbytes += len(data)
        try:
            text = data.decode()
            env, end = scan(text, 0)
            # JSON's own whitespace only: str.strip() would also pass a form feed or a
            # no-break space after the object, which the strict parse refuses.
            if type(env) is not dict or (end != len(text) and text[end:].strip(" \t\r\n")):
                raise ValueError
        except (ValueError, StopIteration, RecursionError):
            walk.line, walk.index = line, index
            column = walk.column if line == first_line else 1
            env = _slow_line(name, data, line, column, index)
            if env is None:
                continue
        claimed = env.get("prev_delegation_ref", "")
        if claimed != prev:
            return _accepted(walk, index).chain_break(index, line, claimed)
        try:
            ref = delegation_ref(env)
        except (ValueError, TypeError) as exc:
            return _accepted(walk, index).malformed(index, line, exc)
        if index == 0:
            if walk.expect_first is not None and ref != walk.expect_first:
                return walk.first_differs(line, ref)
            walk.result.first_ref = ref
        prev = walk.prev = ref
        walk.prev_line = line
        if refs_out is not None:
            refs_out(ref)
        if links_out is not None:
            links_out(index, line, ref)
        index += 1
        if tick is not None and not index % TICK_EVERY:
            tick(index, nbytes)
    return _accepted(walk, index).result


def _accepted(walk: _Walk, links: int) -> _Walk:
    # The loop keeps its count in a local; the result learns it once, at the end.
    walk.result.links = links
    walk.result.last_ref = walk.prev or None
    return walk


def _lines(stream: BinaryIO, name: str) -> Any:
    try:
        yield from stream
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None


def _slow_line(name: str, data: bytes, line: int, column: int,
               index: int) -> dict[str, Any] | None:
    """The envelope on a line that the fast parse refused, None for a blank line, or the
    InputError that says what is wrong with it."""
    if not data.strip(JSON_WHITESPACE):
        return None
    where_ = f"{name}: line {line}"
    # Without its line end, so that an error at the end of the line is reported on that
    # line rather than at the start of the next.
    text = decode(where_, data.rstrip(b"\r\n"))
    try:
        value = parse_json(name, text, line, column, single_line=True)
    except InputError as exc:
        # Only the first envelope can tell a pretty-printed file from a damaged line.
        if index == 0 or "looks like JSON spread" not in str(exc):
            raise
        raise InputError(str(exc).split("; this looks like")[0]) from None
    return as_envelope(value, where_)
