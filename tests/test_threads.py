"""Many threads at once give the single-threaded answers.

The functions keep no state between calls, but they run callers' code (get, comparisons) in
the middle of a call, and the interpreter may switch threads there. A tiny switch interval
forces a switch at nearly every opportunity. Each test runs for a fixed time, not a fixed
count, so a slow (sanitized) build does fewer rounds instead of taking longer.
"""

import contextlib
import re
import sys
import threading
import time

import pytest

from conftest import DictSub, MappingEnv, Ms, Text, build_chain, envelope, reference_ref
from kestrim_substrate import canonicalize, sha256_jcs
from model import REF_PATTERN

WORKERS = 8
REF = "sha256:" + "0" * 64


class Yielding(dict):
    """Hands the interpreter lock to another thread in the middle of every read."""

    def get(self, *args):
        time.sleep(0)
        return dict.get(self, *args)


@contextlib.contextmanager
def switching_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def run_workers(work, seconds, extra=()):
    """Runs work(index, deadline) in WORKERS threads (plus any extra targets) until the
    deadline; returns what each worker returned, re-raising the first failure. The clock
    starts once every thread is running: on a loaded machine, starting the threads alone can
    take longer than a test's whole time."""
    results, errors = [None] * WORKERS, []
    deadline = [0.0]

    def start_clock():
        deadline[0] = time.monotonic() + seconds

    ready = threading.Barrier(WORKERS + len(extra), action=start_clock)

    def wrap(i):
        try:
            ready.wait()
            results[i] = work(i, deadline[0])
        except BaseException as e:  # reported in the main thread, with its traceback
            errors.append(e)

    def wrap_extra(target):
        ready.wait()
        target(deadline[0])

    threads = [threading.Thread(target=wrap, args=(i,)) for i in range(WORKERS)]
    threads += [threading.Thread(target=wrap_extra, args=(target,)) for target in extra]
    with switching_often():
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]
    return results


def outcome(call):
    try:
        return "returned", call()
    except Exception as e:
        return "raised", type(e), e.args


def document(i):
    """A JSON value with the substrate's harder cases: key order by UTF-16, escapes, numbers."""
    return {
        "id": f"agent-{i}", "\U0001f600": [i / 7, -0.0, 1e21, 5e-324, 2**53 - 1],
        "\ue000": "é\u2028\x00\"\\", "nested": [{"k": [None, True, False]}] * (i % 5),
        **{f"m{j:03}": j * i for j in range(40)},
    }


def jobs(dr):
    """(name, call) pairs covering every function, success and failure, fast and general
    paths; each call builds nothing shared but reads shared inputs."""
    chains = {
        "dict": build_chain(5),
        "subclass-values": [dict(e, scope=Text(e["scope"]), not_after_ms=Ms(e["not_after_ms"]))
                            for e in build_chain(3, delegator_id="agent:Z")],
    }
    yielding = [Yielding(e) for e in build_chain(4, delegate_id="agent:Y")]
    mapping = [MappingEnv(e) for e in build_chain(3, scope="s")]
    broken = build_chain(4)
    broken[2] = dict(broken[2], prev_delegation_ref=REF)
    malformed = build_chain(3)
    malformed[1] = dict(malformed[1], not_after_ms=malformed[1]["not_before_ms"])
    env = envelope()
    return [
        ("chain-dict", lambda: dr.verify_chain(chains["dict"])),
        ("chain-subclass-values", lambda: dr.verify_chain(tuple(chains["subclass-values"]))),
        ("chain-yielding-get", lambda: dr.verify_chain(yielding)),
        ("chain-mapping", lambda: dr.verify_chain(iter(mapping))),
        ("chain-broken", lambda: dr.verify_chain(broken)),
        ("chain-malformed", lambda: dr.verify_chain(malformed)),
        ("ref", lambda: dr.delegation_ref(env)),
        ("ref-yielding", lambda: dr.delegation_ref(Yielding(env))),
        ("tamper-false", lambda: dr.tamper_detected(reference_ref(env), DictSub(env))),
        ("tamper-true", lambda: dr.tamper_detected(REF, env)),
        ("tamper-malformed", lambda: dr.tamper_detected(REF, Yielding(env, scope=""))),
        ("normalise-bad-prev", lambda: dr._normalise(Yielding(env, prev_delegation_ref=None))),
        ("hash", lambda: sha256_jcs(document(3))),
        ("canonical", lambda: canonicalize(document(4))),
        ("hash-refused", lambda: sha256_jcs([document(1), 2**60])),
    ]


def test_eight_threads_give_the_single_threaded_answers(dr):
    calls = jobs(dr)
    expected = [outcome(call) for _, call in calls]
    assert {r[0] for r in expected} == {"returned", "raised"}  # both kinds are exercised

    def work(i, deadline):
        rounds = 0
        while time.monotonic() < deadline:
            for k in range(len(calls)):
                j = (k + i) % len(calls)  # each thread starts elsewhere in the list
                name, call = calls[j]
                assert outcome(call) == expected[j], name
            rounds += 1
        return rounds

    rounds = run_workers(work, seconds=1.2)
    assert min(rounds) >= 1


def test_names_flipping_between_equivalents_meanwhile(dr):
    # Another thread keeps rebinding every name the functions look up, to fresh equivalents
    # (which defeat the fast paths) and back; each replaced object may be freed at once. The
    # answers must not move, and nothing may be used after it was freed.
    ns = vars(dr)
    originals = {name: ns[name] for name in
                 ("_normalise", "delegation_ref", "sha256_jcs", "_REF_RE", "SHA256_PREFIX")}

    def equivalents():
        real = originals
        return {
            "_normalise": lambda envelope: real["_normalise"](envelope),
            "delegation_ref": lambda envelope: real["delegation_ref"](envelope),
            "sha256_jcs": lambda obj: real["sha256_jcs"](obj),
            "_REF_RE": re.compile(REF_PATTERN, re.UNICODE),
            "SHA256_PREFIX": "".join(["sha", "256:"]),
        }

    def flip(deadline):
        while time.monotonic() < deadline:
            ns.update(equivalents())
            time.sleep(0)
            ns.update(originals)

    calls = [c for c in jobs(dr) if not c[0].startswith(("hash", "canonical"))]
    expected = [outcome(call) for _, call in calls]

    def work(i, deadline):
        rounds = 0
        while time.monotonic() < deadline:
            for (name, call), answer in zip(calls, expected):
                assert outcome(call) == answer, name
            rounds += 1
        return rounds

    try:
        assert min(run_workers(work, seconds=0.6, extra=[flip])) >= 1
    finally:
        ns.update(originals)


@pytest.mark.parametrize("kind", [dict, Yielding], ids=["dict-links", "yielding-links"])
def test_chain_list_changed_by_another_thread(dr, kind):
    # Positions always hold the same links; another thread cuts the list short and restores
    # it. A walk reads the length afresh at each step, so it sees a prefix of the chain (with
    # yielding links, the list also changes in the middle of walks).
    links = [kind(e) for e in build_chain(6)]
    expected = [reference_ref(e) for e in build_chain(6)]
    shared = list(links)

    def cut(deadline):
        while time.monotonic() < deadline:
            del shared[2:]
            time.sleep(0)
            shared[:] = links

    def work(i, deadline):
        lengths = set()
        while time.monotonic() < deadline:
            refs = dr.verify_chain(shared)
            assert len(refs) >= 2 and refs == expected[:len(refs)]
            lengths.add(len(refs))
        return lengths

    assert all(run_workers(work, seconds=0.4, extra=[cut]))  # every thread finished walks
