import sys
import threading
import time

import pytest

from conftest import (
    DELETE, Boom, BoolBomb, DictSub, Feed, GetEnv, ListSub, NeverNe, Stop, build_chain,
    envelope, reference_ref, run_python,
)
from model import CHAIN_BREAK, ORDER_MESSAGE

FETCHES_ONE_LINK = [(("prev_delegation_ref", ""), {})] + [
    ((name,), {}) for name in ("delegator_id", "delegate_id", "scope", "not_before_ms",
                               "not_after_ms")] + [(("prev_delegation_ref", ""), {})]


class TupleSub(tuple):
    pass


class Iterable:
    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


CONTAINERS = [list, tuple, ListSub, TupleSub, Iterable, lambda links: (x for x in links)]
CONTAINER_IDS = ["list", "tuple", "ListSub", "TupleSub", "iterable", "generator"]


@pytest.mark.parametrize("make", CONTAINERS, ids=CONTAINER_IDS)
@pytest.mark.parametrize("n", [0, 1, 2, 4])
def test_valid_chains_return_every_ref(dr, make, n):
    links = build_chain(n)
    refs = dr.verify_chain(make(links))
    assert type(refs) is list
    assert refs == [reference_ref(env) for env in links]
    assert refs[:-1] == [env["prev_delegation_ref"] for env in links[1:]]


def test_keyword_call_and_fresh_lists(dr):
    links = build_chain(2)
    first = dr.verify_chain(envelopes=links)
    assert sys.getrefcount(first) == 2  # nothing kept behind
    assert first == dr.verify_chain(links) and first is not dr.verify_chain(links)


@pytest.mark.parametrize("empty", [[], (), iter([]), {}, ListSub(), ""])
def test_empty_chains_hash_nothing(dr, empty):
    dr.delegation_ref = None  # would fail if it were ever called
    assert dr.verify_chain(empty) == []


def test_single_link_without_prev(dr):
    env = envelope(prev_delegation_ref=DELETE)
    assert dr.verify_chain([env]) == [reference_ref(env)]


def mutate(n, index, **changes):
    links = build_chain(n)
    links[index] = dict(links[index], **changes)
    return links


def break_at(i):
    return CHAIN_BREAK.format(i)


BREAKS = [
    (lambda: mutate(1, 0, prev_delegation_ref="sha256:" + "a" * 64), break_at(0)),
    (lambda: mutate(1, 0, prev_delegation_ref=None), break_at(0)),
    (lambda: mutate(3, 2, prev_delegation_ref=build_chain(3)[1]["prev_delegation_ref"]), break_at(2)),
    (lambda: mutate(2, 1, prev_delegation_ref=build_chain(2)[1]["prev_delegation_ref"].upper()), break_at(1)),
    (lambda: mutate(2, 1, prev_delegation_ref=build_chain(2)[1]["prev_delegation_ref"] + " "), break_at(1)),
    (lambda: mutate(2, 1, prev_delegation_ref=build_chain(2)[1]["prev_delegation_ref"] + "\n"), break_at(1)),
    (lambda: mutate(2, 1, prev_delegation_ref=DELETE), break_at(1)),
    (lambda: mutate(3, 0, scope="read:*"), break_at(1)),
    # The linkage test runs before the link is validated.
    (lambda: mutate(2, 1, prev_delegation_ref="junk", not_after_ms=0), break_at(1)),
    (lambda: mutate(2, 1, not_after_ms=envelope()["not_before_ms"]), ORDER_MESSAGE),
    (lambda: mutate(1, 0, scope=""), "scope must be a non-empty string"),
    (lambda: mutate(14, 12, prev_delegation_ref=""), break_at(12)),
]


@pytest.mark.parametrize("case, message", BREAKS)
@pytest.mark.parametrize("make", CONTAINERS, ids=CONTAINER_IDS)
def test_breaks(dr, make, case, message):
    with pytest.raises(dr.DelegationRefError) as info:
        dr.verify_chain(make(case()))
    assert type(info.value) is dr.DelegationRefError and info.value.args == (message,)


def test_tampering_with_the_last_link_goes_unnoticed(dr):
    links = build_chain(3)
    refs = dr.verify_chain(links)
    tampered = dr.verify_chain(mutate(3, 2, scope="read:*"))
    assert tampered[:2] == refs[:2] and tampered[2] != refs[2]


@pytest.mark.parametrize("k", [0, 1, 3])
def test_generator_is_consumed_lazily(dr, k):
    links = mutate(5, k, prev_delegation_ref="x")
    taken = []

    def gen():
        for env in links:
            taken.append(env)
            yield env

    with pytest.raises(dr.DelegationRefError, match=f"link {k}:"):
        dr.verify_chain(gen())
    assert len(taken) == k + 1

    it = gen()
    taken.clear()
    links[k] = build_chain(5)[k]
    assert len(dr.verify_chain(it)) == 5 and next(it, None) is None


class Hook(DictSub):
    """A link whose first get runs an action on the chain being walked."""

    def __init__(self, data, action):
        super().__init__(data)
        self.action = action

    def get(self, *args):
        action, self.action = self.action, None
        if action:
            action()
        return super().get(*args)


@pytest.mark.parametrize("kind", [list, ListSub], ids=["list", "ListSub"])
@pytest.mark.parametrize("edit, expected_len", [
    (lambda seq, extra: seq.append(extra), 3),
    (lambda seq, extra: seq.__delitem__(slice(1, None)), 1),
    (lambda seq, extra: seq.clear(), 1),
])
def test_list_is_walked_in_its_current_state(dr, kind, edit, expected_len):
    links = build_chain(3)
    seq = kind()
    hook = Hook(links[0], lambda: edit(seq, links[2]))  # kept alive here: see the next test
    seq.extend([hook, links[1]])
    refs = dr.verify_chain(seq)
    assert refs == [reference_ref(env) for env in links[:expected_len]]


def test_link_removed_from_the_list_while_handled_is_kept_alive():
    result = run_python("""
import kestrim_delegation_ref.delegation_ref as dr
freed, seen = [], []
class Link(dict):
    def get(self, *args):
        seen.append(len(freed))
        chain.clear()
        return dict.get(self, *args)
    def __del__(self):
        freed.append(1)
env = {"delegator_id": "a", "delegate_id": "b", "scope": "s",
       "not_before_ms": 1, "not_after_ms": 2, "prev_delegation_ref": ""}
chain = [Link(env)]
refs = dr.verify_chain(chain)
print(len(refs), len(freed), seen)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "1 1 [0, 0, 0, 0, 0, 0, 0]"


def test_subclass_iter_is_honoured(dr):
    links = build_chain(3)

    class FirstOnly(list):
        def __iter__(self):
            return iter(self[:1])

    assert dr.verify_chain(FirstOnly(links)) == [reference_ref(links[0])]
    assert dr.verify_chain(type("T", (tuple,), {"__iter__": lambda s: iter(())})(links)) == []


@pytest.mark.parametrize("end, outcome", [
    (StopIteration, "ok"), (Stop("done"), "ok"), (Boom("next"), Boom), (KeyError("k"), KeyError),
])
def test_iterator_end(dr, end, outcome):
    links = build_chain(2)
    hashed = []
    real = dr.delegation_ref
    dr.delegation_ref = lambda env: hashed.append(env) or real(env)
    if outcome == "ok":
        assert dr.verify_chain(Feed(links, end)) == [reference_ref(e) for e in links]
    else:
        with pytest.raises(outcome):
            dr.verify_chain(Feed(links, end))
        assert hashed == links


def test_rebound_delegation_ref_names_every_ref(dr):
    calls, made = [], []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        made.append(f"R{len(calls)}")
        return made[-1]

    dr.delegation_ref = fake
    links = [{"prev_delegation_ref": ""}, {"prev_delegation_ref": "R1"}, {"prev_delegation_ref": "R2"}]
    refs = dr.verify_chain(links)
    assert refs == ["R1", "R2", "R3"] and all(r is m for r, m in zip(refs, made))
    assert calls == [((env,), {}) for env in links]
    links[2] = {"prev_delegation_ref": "R1"}
    calls.clear()
    with pytest.raises(dr.DelegationRefError, match="link 2:"):
        dr.verify_chain(links)


def test_comparison_is_the_host_operator(dr):
    dr.sha256_jcs = lambda obj: "0" * 64  # keeps the substrate's view of str subclasses out
    links = build_chain(2)
    # Left operand: the claimed predecessor decides with its own __ne__.
    links[1]["prev_delegation_ref"] = NeverNe("not the ref")
    refs = dr.verify_chain(links)
    assert len(refs) == 2
    # Right operand: a str subclass returned by delegation_ref gets its reflected __ne__ first.
    dr.delegation_ref = lambda env: NeverNe("whatever")
    assert dr.verify_chain([{"prev_delegation_ref": ""}, {"prev_delegation_ref": "z"}]) \
        == ["whatever", "whatever"]
    # The claimed predecessor is the left operand: its own != speaks first.
    says = lambda answer: type("Says", (), {"__ne__": lambda s, o: answer})()  # noqa: E731
    dr.delegation_ref = lambda env: says(True)
    assert len(dr.verify_chain([{}, {"prev_delegation_ref": says(False)}])) == 2
    with pytest.raises(Boom):
        dr.verify_chain([{}, {"prev_delegation_ref": says(BoolBomb())}])


def test_get_is_read_once_for_linkage_then_by_the_rules(dr):
    env = GetEnv(envelope())
    dr.verify_chain([env])
    assert env.calls == FETCHES_ONE_LINK


class Fickle(dict):
    """Gives a different prev_delegation_ref on each read."""

    def __init__(self, data, prevs):
        super().__init__(data)
        self.prevs = list(prevs)

    def get(self, key, *default):
        if key == "prev_delegation_ref":
            return self.prevs.pop(0)
        return dict.get(self, key, *default)


@pytest.mark.parametrize("prevs, message", [
    (["", "bad"], 'prev_delegation_ref must be "" or a "sha256:"-prefixed 64-hex ref'),
    (["bad", ""], break_at(0)),
])
def test_linkage_and_rules_read_prev_separately(dr, prevs, message):
    with pytest.raises(dr.DelegationRefError) as info:
        dr.verify_chain([Fickle(envelope(), prevs)])
    assert info.value.args == (message,)


def test_threads_do_not_share_state(dr):
    chains = [build_chain(4, delegator_id=f"agent:{t}") for t in range(6)]
    expected = [[reference_ref(e) for e in c] for c in chains]

    class Yielding(dict):
        def get(self, *args):
            time.sleep(0)  # hand the interpreter lock to another thread mid-call
            return dict.get(self, *args)

    results = {}

    def work(t):
        results[t] = [dr.verify_chain([Yielding(e) for e in chains[t]]) for _ in range(30)]

    threads = [threading.Thread(target=work, args=(t,)) for t in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert all(results[t] == [expected[t]] * 30 for t in range(6))


@pytest.mark.parametrize("chain, exc_type", [
    (envelope(), AttributeError),
    ([envelope(), "not a link"], AttributeError),
    ([5], AttributeError),
    (5, TypeError),
    (None, TypeError),
])
def test_host_errors(dr, mdl, chain, exc_type):
    hashed = []
    dr.delegation_ref = lambda env: hashed.append(env) or reference_ref(env)
    with pytest.raises(exc_type) as expected:
        mdl.verify_chain(chain)
    with pytest.raises(exc_type) as got:
        dr.verify_chain(chain)
    assert got.value.args == expected.value.args
    assert hashed == ([envelope()] if isinstance(chain, list) and len(chain) == 2 else [])
