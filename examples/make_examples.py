"""Writes the example chains and the cross-language vectors next to this file.

    python examples/make_examples.py

Every ref and every canonical form is computed by the installed module, never typed in; the
tests regenerate these files in memory and fail if the committed copies have drifted.
"""

from __future__ import annotations

import hashlib
import json
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from kestrim_delegation_ref.delegation_ref import _FIELDS, _normalise, delegation_ref
from kestrim_substrate import canonicalize

HERE = Path(__file__).resolve().parent
MAX_SAFE_INTEGER = 2**53 - 1  # the largest integer every JSON reader holds exactly


def ms(year: int, month: int, day: int, hour: int, minute: int) -> int:
    """UTC date and time to integer milliseconds since the epoch."""
    when = datetime(year, month, day, hour, minute, tzinfo=timezone.utc)
    return int(when.timestamp()) * 1000


def envelope(delegator: str, delegate: str, scope: str, not_before: int, not_after: int,
             prev: str, **extra: Any) -> dict[str, Any]:
    return {"delegator_id": delegator, "delegate_id": delegate, "scope": scope,
            "not_before_ms": not_before, "not_after_ms": not_after,
            "prev_delegation_ref": prev, **extra}


def link_up(links: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The same links with each prev_delegation_ref set to the ref of the link before."""
    linked, prev = [], ""
    for link in links:
        link = dict(link, prev_delegation_ref=prev)
        linked.append(link)
        prev = delegation_ref(link)
    return linked


def chain() -> list[dict[str, Any]]:
    """An operations lead lets a travel planner book a trip; the planner hands booking to
    an airline's bot, which hands the card charge to a payment agent. Each hop narrows
    the scope and the window, as a careful delegator would (nothing here enforces it)."""
    return link_up([
        envelope("agent:acme.example/ops-lead", "agent:acme.example/travel-planner",
                 "travel:read travel:book", ms(2026, 3, 2, 9, 0), ms(2026, 3, 2, 17, 0), ""),
        envelope("agent:acme.example/travel-planner", "agent:skyways.example/booking-bot",
                 "travel:book", ms(2026, 3, 2, 9, 5), ms(2026, 3, 2, 12, 0), ""),
        envelope("agent:skyways.example/booking-bot", "agent:paywell.example/card-charger",
                 "payment:charge", ms(2026, 3, 2, 9, 10), ms(2026, 3, 2, 9, 40), ""),
    ])


def tampered_chain() -> list[dict[str, Any]]:
    """The middle link with its scope widened after the fact: its own prev still matches,
    so the break shows at the link after it, whose prev names the original."""
    links = chain()
    links[1] = dict(links[1], scope="travel:book payment:charge")
    return links


def vector_envelopes() -> list[tuple[str, dict[str, Any]]]:
    first = envelope("agent:alice", "agent:bob", "calendar:read", 0, 3_600_000, "")
    first_ref = delegation_ref(first)
    no_prev = dict(first)
    del no_prev["prev_delegation_ref"]
    return [
        ("first link", first),
        ("prev_delegation_ref absent: hashed as the empty string", no_prev),
        ("second link: prev_delegation_ref is the ref of the first",
         envelope("agent:bob", "agent:carol", "calendar:read", 60_000, 1_800_000, first_ref)),
        ("keys other than the six are not hashed: same ref as the first link",
         dict(first, note="not hashed", signature="ed25519:...")),
        ("non-ASCII text: written as UTF-8, never escaped",
         envelope("agent:zoë@exemple.fr", "エージェント:東京", "lire:boîte-de-réception 📬",
                  ms(2026, 1, 1, 0, 0), ms(2026, 1, 2, 0, 0), "")),
        ("escapes: quote, backslash and controls escaped; DEL, slash and U+2028 not",
         envelope("agent:\"quoted\"", "agent:back\\slash",
                  "line1\nline2\ttab\u0001\u001f\u007f/\u2028\b\f\r",
                  ms(2026, 1, 1, 0, 0), ms(2026, 1, 2, 0, 0), "")),
        ("bounds: 0 and 2**53-1",
         envelope("agent:alice", "agent:bob", "calendar:read", 0, MAX_SAFE_INTEGER, "")),
        ("one final line feed after a well-formed prev ref is accepted and hashed with it",
         envelope("agent:bob", "agent:carol", "calendar:read", 60_000, 1_800_000,
                  first_ref + "\n")),
    ]


def vectors() -> list[dict[str, Any]]:
    out = []
    for name, env in vector_envelopes():
        normalised = _normalise(env)
        canonical = canonicalize({field: normalised[field] for field in _FIELDS})
        ref = delegation_ref(env)
        # The ref must be the plain SHA-256 of exactly these bytes, or the vector would
        # teach another implementation the wrong thing.
        if ref != "sha256:" + hashlib.sha256(canonical).hexdigest():
            raise SystemExit(f"vector {name!r}: ref is not the SHA-256 of its canonical form")
        out.append({"name": name, "envelope": env, "canonical": canonical.decode("utf-8"),
                    "ref": ref})
    return out


def jsonl(links: list[dict[str, Any]]) -> str:
    return "".join(json.dumps(link, ensure_ascii=False) + "\n" for link in links)


def files() -> dict[str, str]:
    """File name to content, for everything this script writes."""
    return {
        "chain.jsonl": jsonl(chain()),
        "chain-tampered.jsonl": jsonl(tampered_chain()),
        # One envelope alone, for the commands that take one (`check`, `canonical`).
        "envelope.json": json.dumps(chain()[0], ensure_ascii=False, indent=2) + "\n",
        "vectors.json": json.dumps(vectors(), ensure_ascii=False, indent=2) + "\n",
    }


def main() -> None:
    for name, content in files().items():
        (HERE / name).write_text(content, encoding="utf-8")
        print(f"wrote examples/{name}")


if __name__ == "__main__":
    main()
