"""RFC 8785 canonical JSON and its SHA-256."""

# The extension has no Python source, so type checkers and editors find documentation only
# here: each docstring repeats the compiled one (tests/test_typing.py keeps them equal).

from typing import Any

def sha256_jcs(obj: Any, /) -> str:
    """SHA-256 of obj's RFC 8785 canonical JSON, as 64 lower-case hex digits.

    Takes what canonicalize() takes and raises what it raises.
    """

def canonicalize(obj: Any, /) -> bytes:
    """obj as RFC 8785 canonical JSON, in UTF-8 bytes.

    dict (str keys), list, tuple, str, int, float, bool and None are accepted, and
    subclasses of these as their stored value. Object members are sorted by the
    UTF-16 code units of their keys; floats are written as ECMAScript does.

    Raises ValueError for integers outside ±(2**53-1), NaN and infinities, strings
    holding a lone surrogate and keys with equal text; TypeError for other types
    and non-str keys; RecursionError for nesting deeper than the recursion limit,
    2000 levels or the calling thread's stack allows.
    """

def _sha256_kernel() -> tuple[str, str]:
    """The SHA-256 compression in use and what chose it."""
