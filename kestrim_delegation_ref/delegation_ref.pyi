"""Content-addressed delegation references (native module)."""

import re as re
from typing import Any as Any, Final, Iterable, Mapping as Mapping, Protocol, overload
from typing import Sequence as Sequence

from kestrim_substrate import sha256_jcs as sha256_jcs

__all__ = [
    "DelegationRefError",
    "SHA256_PREFIX",
    "delegation_ref",
    "tamper_detected",
    "verify_chain",
]

# An envelope is read only through get(name) and get("prev_delegation_ref", ""), so any
# object with a dict-like get qualifies, not just a Mapping; the runtime annotation strings
# say "Mapping[str, Any]" because that is what callers almost always pass.
class _Envelope(Protocol):
    @overload
    def get(self, key: str, /) -> Any: ...
    @overload
    def get(self, key: str, default: str, /) -> Any: ...

SHA256_PREFIX: Final = "sha256:"
_FIELDS: Final[tuple[str, str, str, str, str, str]]
_REF_RE: Final[re.Pattern[str]]
__test__: dict[str, Any]

class DelegationRefError(ValueError): ...

def _normalise(envelope: _Envelope) -> dict[str, Any]: ...
def delegation_ref(envelope: _Envelope) -> str: ...
def tamper_detected(claimed_ref: str, envelope: _Envelope) -> bool: ...

# Any iterable is walked once and lazily (a generator over a JSON Lines file included),
# which is wider than the "Sequence[...]" string the runtime annotation carries.
def verify_chain(envelopes: Iterable[_Envelope]) -> list[str]: ...
