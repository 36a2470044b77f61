"""Envelopes read in one pass and chains hashed side by side, against the general reading.

An exact dict whose keys are all exact str and whose fields are exact str and int is read
without `get` and hashed directly; the links of an exact list or tuple of such dicts are read
ahead and hashed in batches. Neither may change an outcome: each case here runs once as the
shortcut takes it and once through a form that only the general reading takes (a dict
subclass, a list subclass), and the two must agree, result or exception, message included.
"""

import re
import timeit

import pytest

from conftest import DELETE, DictSub, ListSub, build_chain, envelope, outcome, reference_ref


def general_chain(links):
    """The same links, taken one at a time through `get` and an iterator."""
    return ListSub(DictSub(link) if type(link) is dict else link for link in links)


# Breaks and malformations placed around the batch boundaries (64 links a batch).
POSITIONS = [0, 1, 62, 63, 64, 65, 127, 128, 149]
MALFORMED = {
    "empty text": {"scope": ""},
    "missing field": {"delegate_id": DELETE},
    "bool time": {"not_before_ms": True},
    "equal bounds": {"not_after_ms": 1_700_000_000_000},
    "ref shape": {"prev_delegation_ref": "sha256:" + "A" * 64},
    "lone surrogate": {"scope": "read:\ud800"},
    "past 2**53-1": {"not_after_ms": 2**53},
}


def chain_with(n, position, changes, relink=True):
    links = build_chain(n)
    links[position].update(changes)
    for key, value in changes.items():
        if value is DELETE:
            links[position].pop(key)
    if relink:  # the links after it name its ref (when it has one), so only it is wrong
        for k in range(position + 1, n):
            try:
                links[k]["prev_delegation_ref"] = reference_ref(links[k - 1])
            except (KeyError, ValueError, TypeError):
                break
    return links


@pytest.mark.parametrize("container", [list, tuple])
@pytest.mark.parametrize("position", POSITIONS)
@pytest.mark.parametrize("kind", ["break"] + list(MALFORMED))
def test_batched_chain_fails_where_the_general_walk_does(dr, container, position, kind):
    if kind == "break":
        links = build_chain(150)
        links[position]["prev_delegation_ref"] = reference_ref(envelope(scope="elsewhere"))
    else:
        links = chain_with(150, position, MALFORMED[kind])
    batched = outcome(dr.verify_chain, container(links))
    assert batched == outcome(dr.verify_chain, general_chain(links))
    assert batched[0] == "raised"


@pytest.mark.parametrize("position", [0, 63, 64, 100])
def test_break_is_reported_before_the_same_links_malformation(dr, position):
    links = chain_with(130, position, {"scope": ""}, relink=False)
    links[position]["prev_delegation_ref"] = reference_ref(envelope(scope="elsewhere"))
    batched = outcome(dr.verify_chain, links)
    assert batched == outcome(dr.verify_chain, general_chain(links))
    assert "chain break at link %d" % position in batched[2]


@pytest.mark.parametrize("kind", ["lone surrogate", "past 2**53-1"])
def test_a_batch_refused_by_the_hash_is_read_ahead_once(dr, kind):
    # Such a link is plain in form, so it is read ahead and only hashing the batch refuses
    # it. Were the batch read ahead again after each link the general walk takes, a refusal
    # at the end of a batch would hash it some 60 times over: 23-36x the good chain's time.
    bad = chain_with(64, 63, MALFORMED[kind])
    good = build_chain(64)

    def fastest(links):
        return min(timeit.repeat(lambda: outcome(dr.verify_chain, links), number=20, repeat=15))

    assert outcome(dr.verify_chain, bad)[0] == "raised"
    assert fastest(bad) < 8 * fastest(good)


@pytest.mark.parametrize("odd_at", [[], [5], [63, 64], [0, 129]])
def test_unusual_links_between_plain_ones_keep_every_ref(dr, odd_at):
    links = build_chain(130)
    for k in odd_at:
        links[k] = DictSub(links[k])
    refs = dr.verify_chain(links)
    assert refs == [reference_ref(link) for link in links]
    assert refs == dr.verify_chain(general_chain(links))


def test_keys_that_are_equal_but_not_the_same_object_are_found(dr):
    # Keys made at run time, as json.loads makes them, are not the interned names; a deleted
    # key leaves a hole in the table; extra keys of any kind are passed over.
    env = envelope()
    fresh = {"".join(list(k)): v for k, v in env.items()}
    fresh["zzz"] = 1
    fresh["\u00e9t\u00e9"] = "x"
    del fresh["zzz"]
    assert dr.delegation_ref(fresh) == reference_ref(env)
    crowded = dict(env, **{f"extra{i}": i for i in range(40)})
    assert dr.delegation_ref(crowded) == reference_ref(env)
    # Extra keys as long as a field's name but not it, and longer than any name.
    near = {k[:-1] + "_": k for k in env} | {"x" * 64: 0, "y" * 100: 0, "note": 0}
    assert dr.delegation_ref(dict(fresh, **near)) == reference_ref(env)
    assert dr.delegation_ref(dict(near, **fresh)) == reference_ref(env)


class CollidingKey(str):
    """A key with the hash of another name (a field's, a module name's): a lookup of that
    name runs its __eq__, which calls on_eq and answers what it returns, unless None, else
    by text."""

    def __new__(cls, text, on_eq, hashed_as="scope"):
        self = super().__new__(cls, text)
        self.on_eq, self.hashed_as = on_eq, hashed_as
        return self

    def __hash__(self):
        return hash(self.hashed_as)

    def __eq__(self, other):
        answer = self.on_eq()
        return str.__eq__(self, other) if answer is None else answer


@pytest.mark.parametrize("at", [1, 63, 64, 90])
def test_a_link_with_a_colliding_key_is_read_only_in_its_turn(dr, at):
    # Its __eq__ runs while that link is read: it changes the link before it and rebinds
    # delegation_ref. Had the earlier link been read after that (ahead of its turn, or
    # again), its ref would be of the changed text and the chain would break; had the
    # rebinding been missed, the links after it would not go through the stand-in.
    def run(links):
        calls, armed = [], []

        def on_eq():
            # Inserting the key compares it too; and a lookup may compare it more than once.
            if armed != [True]:
                return
            armed.append("done")
            links[at - 1]["scope"] = "changed"
            dr.delegation_ref = lambda env, real=dr.delegation_ref: calls.append(1) or real(env)

        original = dr.delegation_ref
        # First in the table, so that a lookup of "scope" meets it before the real one.
        links[at] = type(links[at])({CollidingKey("note", on_eq): "x", **links[at]})
        armed.append(True)
        try:
            return outcome(dr.verify_chain, links), len(calls)
        finally:
            dr.delegation_ref = original

    expected = [reference_ref(link) for link in build_chain(100)]
    batched = run(build_chain(100))
    assert batched == run(general_chain(build_chain(100)))
    assert batched == (("returned", expected), 100 - at - 1)


@pytest.mark.parametrize("name", ["_normalise", "_REF_RE", "SHA256_PREFIX", "sha256_jcs",
                                  "delegation_ref"])
def test_rebinding_a_name_is_seen_at_once_and_undone_at_once(dr, name):
    env, links = envelope(), build_chain(70)
    def all_three():
        return (outcome(dr.delegation_ref, env), outcome(dr.verify_chain, links),
                outcome(dr.tamper_detected, "x", env))

    expected = all_three()
    original = getattr(dr, name)
    calls = []

    def stand_in(*args):
        calls.append(name)
        return original(*args)

    if name == "_REF_RE":
        stand_in.match = lambda text: calls.append(name) or original.match(text)
        setattr(dr, name, stand_in)
    elif name == "SHA256_PREFIX":
        setattr(dr, name, "other:")
    else:
        setattr(dr, name, stand_in)
    changed = all_three()
    assert calls if name != "SHA256_PREFIX" else changed[0][1].startswith("other:")
    setattr(dr, name, original)
    calls.clear()
    assert all_three() == expected
    assert not calls


class StandInError(Exception):
    pass


def stand_in_for(name):
    if name == "SHA256_PREFIX":
        return "shadowed:"
    if name == "_REF_RE":
        return re.compile("(?!)")
    if name == "DelegationRefError":
        return StandInError

    def stand_in(*args):
        raise LookupError("stand-in for " + name)
    return stand_in


SHADOWED_CALLS = {
    "delegation_ref": lambda impl: outcome(impl.delegation_ref, envelope()),
    "delegation_ref, refused": lambda impl: outcome(impl.delegation_ref, envelope(scope="")),
    "tamper_detected": lambda impl: outcome(impl.tamper_detected, "x", envelope()),
    "tamper_detected, refused": lambda impl: outcome(impl.tamper_detected, "x",
                                                     envelope(not_after_ms=0)),
    "verify_chain": lambda impl: outcome(impl.verify_chain, build_chain(3)),
    "verify_chain, broken": lambda impl: outcome(impl.verify_chain, build_chain(3)[1:]),
}


@pytest.mark.parametrize("name", ["_normalise", "_REF_RE", "SHA256_PREFIX", "sha256_jcs",
                                  "delegation_ref", "DelegationRefError"])
@pytest.mark.parametrize("call", sorted(SHADOWED_CALLS))
def test_a_namespace_key_that_is_not_a_str_is_asked_at_every_lookup(dr, mdl, name, call):
    # Such a key makes every lookup of a name with its hash run its __eq__, whose answer may
    # change with nothing written to the namespace: no binding found before stands for it.
    def shadowed(impl):
        ns, log, armed = vars(impl), [], [False]
        real = ns.pop(name)
        # Counted at each lookup of the name, and claiming to be it once armed.
        shadow = CollidingKey("shadow of " + name, lambda: log.append(1) or armed[0], name)
        ns[shadow] = stand_in_for(name)
        ns[name] = real
        # Whether each call asked the key at all: how many times is the interpreter's own
        # affair (its specialiser looks a global up once more now and then).
        before = []
        for _ in range(3):
            log.clear()
            before.append((SHADOWED_CALLS[call](impl), bool(log)))
        armed[0] = True
        return before, SHADOWED_CALLS[call](impl)

    assert shadowed(dr) == shadowed(mdl)


@pytest.mark.parametrize("claimed", ["same", "other", "ascii-short", "non-ascii", "subclass"])
def test_tamper_detected_compares_as_the_general_path_does(dr, claimed):
    env = envelope(scope="\u00fcber:\U0001f510")
    ref = reference_ref(env)

    class Claim(str):
        def __ne__(self, other):
            return "from __ne__"

    value = {"same": ref, "other": ref[:-1] + "0", "ascii-short": ref[:-1],
             "non-ascii": ref[:-1] + "\u00e9", "subclass": Claim(ref)}[claimed]
    assert outcome(dr.tamper_detected, value, env) == outcome(dr.tamper_detected, value,
                                                              DictSub(env))


def test_depth_limit_is_met_at_the_same_depth(dr):
    import sys

    # Read the general way, yet with the same calls as a plain dict: a dict subclass would
    # add the depth of calling its get.
    class Note(str):
        pass

    links = build_chain(3)
    unusual = [dict(link, **{Note("note"): 1}) for link in links]

    def deepest(fn, arg):
        def at_depth(d):
            return fn(arg) if d == 0 else at_depth(d - 1)
        depth = 0
        while True:
            try:
                at_depth(depth)
            except RecursionError:
                return depth
            depth += 1

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        for fn, plain, general in [
            (dr.verify_chain, links, unusual),
            (dr.delegation_ref, links[1], unusual[1]),
            (lambda env: dr.tamper_detected("x", env), links[0], unusual[0]),
        ]:
            assert deepest(fn, plain) == deepest(fn, general)
    finally:
        sys.setrecursionlimit(limit)


MORE_MALFORMED = {
    "missing time": {"not_before_ms": DELETE},
    "negative time": {"not_before_ms": -1},
    "both bounds broken": {"not_before_ms": 5, "not_after_ms": 5, "scope": ""},
    "huge time": {"not_after_ms": 2**70},
    "ref beyond ASCII": {"prev_delegation_ref": "sha256:" + "\u00e9" * 64},
    "ref with a final line feed": {"prev_delegation_ref": reference_ref(envelope()) + "\n"},
}


@pytest.mark.parametrize("changes", list({**MALFORMED, **MORE_MALFORMED}.values()),
                         ids=list({**MALFORMED, **MORE_MALFORMED}))
def test_malformed_envelopes_are_refused_as_the_general_reading_refuses(dr, changes):
    # The values a one pass found stand in for the general reading's lookups: the rule
    # reported, its message and the traceback's last entry must not change.
    env = envelope(**changes)
    for fn in (dr.delegation_ref, dr._normalise, lambda e: dr.tamper_detected("x", e)):
        assert outcome(fn, env) == outcome(fn, DictSub(env))
    try:
        dr.delegation_ref(env)
    except Exception as exc:  # noqa: BLE001
        plain_tb = exc.__traceback__
    else:
        return
    try:
        dr.delegation_ref(DictSub(env))
    except Exception as exc:  # noqa: BLE001
        general_tb = exc.__traceback__
    names = []
    for tb in (plain_tb, general_tb):
        frames = []
        while tb:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        names.append(frames)
    assert names[0] == names[1]
