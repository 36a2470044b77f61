"""Content-addressed delegation references for the Kestrim substrate.

An agent A delegates authority to agent B for a scope and a validity window. The
``delegation_ref`` is the content hash of that delegation envelope, so any tamper
-- widening the scope, extending the expiry, swapping the delegate -- changes the
ref and is detectable offline. Delegations chain (A->B->C) via
``prev_delegation_ref``, giving a tamper-evident delegation chain.

This is the inverse of an *opaque* delegation token (an arbitrary label chosen by
the authority, which does not change when the delegation's content is altered).

    delegation_ref = "sha256:" + SHA-256(JCS(RFC 8785)({
        delegate_id, delegator_id, not_after_ms, not_before_ms,
        prev_delegation_ref, scope }))

with integer-millisecond validity bounds. Additive over the frozen substrate; the
canonical hash is the substrate's own ``sha256_jcs``.
"""

# The extension has no Python source, so type checkers and editors find documentation only
# here: each docstring repeats the compiled one (tests/test_typing.py keeps them equal).

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

class DelegationRefError(ValueError):
    """Raised when a delegation envelope is malformed or a chain link does not match."""

def _normalise(envelope: _Envelope) -> dict[str, Any]: ...
def delegation_ref(envelope: _Envelope) -> str:
    """Compute the content-addressed delegation_ref for a delegation envelope."""
def tamper_detected(claimed_ref: str, envelope: _Envelope) -> bool:
    """True if ``envelope`` does not recompute to ``claimed_ref`` (tamper / malformed)."""

# Any iterable is walked once and lazily (a generator over a JSON Lines file included),
# which is wider than the "Sequence[...]" string the runtime annotation carries.
def verify_chain(envelopes: Iterable[_Envelope]) -> list[str]:
    """Compute the delegation_ref of each link and verify chain integrity.

    The first link must have ``prev_delegation_ref == ""``; every subsequent link's
    ``prev_delegation_ref`` must equal the prior link's computed ref. Returns the
    list of refs; raises DelegationRefError on a broken or forged link.
    """
