"""Reading the command line's input: files as bytes, JSON as it is written, with the position
of every fault in the file's own lines and columns.

JSON is parsed strictly: duplicate keys and NaN are refused. Each line of a chain goes
through a fast parse first; only a line that fails it is parsed again, slowly, to say why.
"""

from __future__ import annotations

import io
import json
import os
import re
import select
import sys
from collections.abc import Callable
from typing import Any, BinaryIO, NoReturn

JSON_WHITESPACE = b" \t\n\r"
BOM = b"\xef\xbb\xbf"

PRETTY_HINT = ("; this looks like JSON spread over several lines: give one envelope per line "
               "(JSON Lines), or a JSON array of envelopes")


class InputError(Exception):
    """The input is not envelopes. Deliberately not a ValueError: the envelope rules
    and the substrate report through ValueError, and the two must not be confused."""


def _pairs_to_dict(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # One C-level dict build per object: a duplicate shows as a shorter dict, and the slow
    # parse then names the key.
    obj = dict(pairs)
    if len(obj) != len(pairs):
        raise ValueError("duplicate key")
    return obj


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # Parsers disagree on which of two equal keys wins, so an envelope with a duplicate
    # field could mean one thing to its signer and another here: refuse it.
    obj: dict[str, Any] = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError(f"duplicate key {json.dumps(key)}")
        obj[key] = value
    return obj


def _no_constant(token: str) -> NoReturn:
    raise ValueError(f"{token} is not JSON")


class HugeInt(int):
    """A JSON integer with more digits than the interpreter converts from text.

    No such integer can be hashed (the canonical form stops at 2**53-1), but it must still
    be read: it may sit in a key that is not hashed, and where it is hashed the envelope
    rules and then the hash must give their own answer, not a parse error. Its value is
    beyond every integer that does convert, ordered by length then digits, so that the
    rules compare it as its text would compare; the hash then refuses it.
    """

    key: tuple[int, int, str]

    def __new__(cls, text: str) -> HugeInt:
        digits = text.lstrip("-")
        sign = -1 if text.startswith("-") else 1
        obj = super().__new__(cls, sign * len(digits) * 10 ** max(sys.get_int_max_str_digits(), 1))
        obj.key = (sign, sign * len(digits), digits if sign > 0 else _complement(digits))
        return obj

    def _cmp_key(self, other: object) -> tuple[Any, Any] | None:
        return (self.key, other.key) if isinstance(other, HugeInt) else None

    def __lt__(self, other: object) -> bool:
        keys = self._cmp_key(other)
        return keys[0] < keys[1] if keys else int.__lt__(self, other)  # type: ignore[operator]

    def __le__(self, other: object) -> bool:
        keys = self._cmp_key(other)
        return keys[0] <= keys[1] if keys else int.__le__(self, other)  # type: ignore[operator]

    def __gt__(self, other: object) -> bool:
        keys = self._cmp_key(other)
        return keys[0] > keys[1] if keys else int.__gt__(self, other)  # type: ignore[operator]

    def __ge__(self, other: object) -> bool:
        keys = self._cmp_key(other)
        return keys[0] >= keys[1] if keys else int.__ge__(self, other)  # type: ignore[operator]

    __hash__ = int.__hash__


# A JSON integer to whoever names its type: a message that does (the ref pattern's "got
# 'int'") reads the same for every integer, however long.
HugeInt.__name__ = HugeInt.__qualname__ = "int"


def _complement(digits: str) -> str:
    # Among negative numbers of one length, the larger digits are the smaller number.
    return digits.translate(str.maketrans("0123456789", "9876543210"))


def _parse_int(text: str) -> int:
    limit = sys.get_int_max_str_digits()
    if limit and len(text) - text.startswith("-") > limit:
        return HugeInt(text)
    return int(text)


# The fast decoder answers only "here is the value" or "something is wrong"; the strict one
# is what every fault is reported from.
_FAST = json.JSONDecoder(object_pairs_hook=_pairs_to_dict, parse_constant=_no_constant)
_STRICT = json.JSONDecoder(object_pairs_hook=_unique_keys, parse_constant=_no_constant,
                           parse_int=_parse_int)
fast_scan: Callable[[str, int], tuple[Any, int]] = getattr(_FAST, "scan_once")


def parse_json(name: str, text: str, line: int = 1, column: int = 1,
               single_line: bool = False) -> Any:
    """Parse `text`, which starts at `line` and `column` of the file, naming that position
    in the file (not in `text`) when it is invalid."""
    try:
        return _STRICT.decode(text)
    except json.JSONDecodeError as exc:
        at_column = exc.colno + column - 1 if exc.lineno == 1 else exc.colno
        hint = PRETTY_HINT if single_line and exc.pos >= len(text.rstrip()) else ""
        raise InputError(f"{name}: line {exc.lineno + line - 1} column {at_column}: "
                         f"invalid JSON: {exc.msg}{hint}") from None
    except ValueError as exc:
        # Duplicate keys or NaN: no position comes with these.
        at = f"line {line}: " if single_line else ""
        raise InputError(f"{name}: {at}invalid JSON: {exc}") from None
    except RecursionError:
        raise InputError(f"{name}: invalid JSON: nested too deeply") from None


def json_kind(value: Any) -> str:
    kinds = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
             int: "a number", float: "a number", type(None): "null", HugeInt: "a number"}
    return kinds.get(type(value), type(value).__name__)


def as_envelope(value: Any, where: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise InputError(f"{where}: expected a JSON object (an envelope), got {json_kind(value)}")
    return value


def open_input(path: str) -> BinaryIO:
    # Bytes, decoded a line at a time, so that an invalid byte is reported on its own line
    # rather than on whichever line a text decoder's read-ahead happened to be serving.
    try:
        if path == "-":
            if sys.stdin is None:
                raise InputError("<stdin>: cannot read: there is no standard input")
            return io.BufferedReader(WaitingReader(sys.stdin.fileno()))
        return open(path, "rb")
    except OSError as exc:
        raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None


class WaitingReader(io.RawIOBase):
    """Standard input, read to its end even when its file description is non-blocking.

    A parent can leave the description it shares with us non-blocking (Node does so with
    its own standard input), and a read that finds no data yet then fails with EAGAIN. A
    buffered file takes that for the end of the input: the links not yet written were
    never read, and the chain read so far verified as if it were the whole one. Such a
    read waits here until there is data or the end, as on a blocking descriptor; the
    flag is left as it is, since the description is not ours alone."""

    def __init__(self, fd: int) -> None:
        super().__init__()
        self.fd = fd

    def readable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self.fd

    def readinto(self, buffer: Any) -> int:
        while True:
            try:
                return os.readv(self.fd, [buffer])
            except BlockingIOError:
                select.select([self.fd], [], [])


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def json_name(name: str) -> str:
    """A file name as JSON can carry it to any parser: bytes of the name that are not UTF-8
    (which the interpreter holds as lone surrogates, and strict parsers refuse in JSON) are
    written as the text \\xNN."""
    try:
        return os.fsencode(name).decode("utf-8", "backslashreplace")
    except UnicodeError:  # a lone surrogate that stands for no byte (given through main())
        return json_text(name)


def json_text(text: str) -> str:
    """Text as JSON can carry it to any parser: a lone surrogate, which strict parsers refuse
    as an escape (jq: "Invalid \\uXXXX\\uXXXX surrogate pair escape"), as the text of its
    escape."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


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
        # A run of whitespace is passed over a buffer at a time: byte by byte, megabytes of
        # it (a padded or hostile file) took seconds.
        run = leading_whitespace(stream, name)
        if run:
            newlines = run.count(b"\n")
            line += newlines
            column = len(run) - run.rfind(b"\n") if newlines else column + len(run)
        char = read(stream, name, 1)
    return char, line, column


def leading_whitespace(stream: BinaryIO, name: str) -> bytes:
    """The whitespace that the stream's buffer holds next, read past."""
    peek = getattr(stream, "peek", None)
    if peek is None:
        return b""
    try:
        ahead = peek()
    except OSError as exc:
        raise InputError(f"{name}: cannot read: {exc.strerror or exc}") from None
    run = ahead[:len(ahead) - len(ahead.lstrip(JSON_WHITESPACE))]
    return read(stream, name, len(run)) if run else b""


def read_whole(path: str) -> tuple[str, Any]:
    """The one JSON value in a file, and the file's display name."""
    name = display_name(path)
    with open_input(path) as stream:
        first, line, column = skip_whitespace(stream, name)
        value = parse_json(name, decode(name, first + read(stream, name)), line, column)
    return name, value


# Digits that stand alone, not the tail of a name or of "sha256:".
_LONG_NUMBER = re.compile(r"(?<![\w:.])-?\d{25,}(?![\w.])")


def shorten_numbers(text: str) -> str:
    """A reason must fit on a line: a long integer is shown by its ends and its length."""
    def short(match: re.Match[str]) -> str:
        number = match.group()
        digits = len(number.lstrip("-"))
        return f"{number[:10]}...{number[-6:]} ({digits} digits)"
    return _LONG_NUMBER.sub(short, text)
