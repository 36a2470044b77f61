"""Typed use of the API, checked by `mypy --strict` in the tests.

Run it too: `python examples/typed_usage.py` prints the refs of a two-link chain, the verdict
of a tamper check, and the message for a forged link.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

from kestrim_delegation_ref.delegation_ref import (
    SHA256_PREFIX,
    DelegationRefError,
    delegation_ref,
    tamper_detected,
    verify_chain,
)
from kestrim_substrate import canonicalize


def link(delegator: str, delegate: str, scope: str, prev: str) -> dict[str, Any]:
    return {
        "delegator_id": delegator,
        "delegate_id": delegate,
        "scope": scope,
        "not_before_ms": 1_767_225_600_000,
        "not_after_ms": 1_767_254_400_000,
        "prev_delegation_ref": prev,
    }


def chain() -> list[dict[str, Any]]:
    first = link("agent:alice", "agent:bob", "calendar:read", "")
    second = link("agent:bob", "agent:carol", "calendar:read", delegation_ref(first))
    return [first, second]


def lazily(links: list[dict[str, Any]]) -> Iterator[Mapping[str, Any]]:
    # verify_chain takes any iterable, so a chain can come from a stream.
    yield from links


def main() -> None:
    links = chain()
    refs: list[str] = verify_chain(lazily(links))
    assert all(ref.startswith(SHA256_PREFIX) for ref in refs)
    print("\n".join(refs))

    wider = dict(links[0], scope="calendar:write")
    tampered: bool = tamper_detected(refs[0], wider)
    print("tampered:", tampered)

    hashed = {k: links[0][k] for k in sorted(links[0])}
    print(canonicalize(hashed).decode())

    try:
        verify_chain([links[0], dict(links[1], prev_delegation_ref=refs[1])])
    except DelegationRefError as exc:
        print("rejected:", exc)


if __name__ == "__main__":
    main()
