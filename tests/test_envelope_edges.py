"""Edges of the one-pass reading and the chain's read-ahead, against the general path.

Each case runs as the shortcuts take it (exact dicts in an exact list or tuple) and through
forms only the general path takes (dict and list subclasses), and where the model can run the
same script, against the model as well: results, messages and side effects must agree.
"""

import itertools

import pytest

from conftest import DictSub, ListSub, build_chain, envelope, outcome, reference_ref


# --- a predecessor whose comparison is the caller's code --------------------------------
#
# delegation_ref rebound for link 0 only: the stand-in puts the module's own function back
# and returns its ref as a str subclass. The walk compares link 1's claimed predecessor with
# that object, and its reflected __ne__ runs the caller's code, which changes a link not yet
# reached. Links read ahead before that comparison would be hashed (or, worse, read after
# being freed) in their old state.

def _edit_scope(links, at):
    links[at]["scope"] = "changed"


def _clear(links, at):
    links[at].clear()


def _shrink(links, at):
    del links[at:]


def _replace(links, at):
    links[at] = {"scope": ""}


EDITS = {"scope changed": _edit_scope, "link cleared": _clear, "list shrunk": _shrink,
         "link replaced": _replace}


def _walk_with_rebound_first_ref(ns, links, chain, edit, at):
    """verify_chain(chain) in `ns`, with `edit(links, at)` run by link 0's ref's __ne__."""
    original = ns.delegation_ref

    class Ref(str):
        def __ne__(self, other):
            edit(links, at)
            return str.__ne__(self, other)

        __hash__ = str.__hash__

    def stand_in(env):
        ns.delegation_ref = original
        return Ref(original(env))

    ns.delegation_ref = stand_in
    try:
        return outcome(ns.verify_chain, chain)
    finally:
        ns.delegation_ref = original


def _fresh_links(n, wrap_link=dict):
    # Values made afresh, owned by their link alone, so that clearing a link frees them.
    return [wrap_link({"".join(k): "".join(v) if isinstance(v, str) else v + 0
                       for k, v in link.items()})
            for link in build_chain(n)]


# A tuple's items cannot change; its links can.
WALKS = [(list, edit) for edit in EDITS] + [(tuple, "scope changed"), (tuple, "link cleared")]


@pytest.mark.parametrize("container, edit", WALKS)
@pytest.mark.parametrize("at", [2, 3, 63, 64, 65])
def test_a_predecessor_compared_by_the_callers_code_is_compared_before_links_ahead_are_read(
        dr, mdl, container, edit, at):

    def run(ns, wrap_link, wrap_chain):
        chain = wrap_chain(_fresh_links(70, wrap_link))
        # A tuple's links are edited through a list of the same dicts.
        links = chain if isinstance(chain, list) else list(chain)
        return _walk_with_rebound_first_ref(ns, links, chain, EDITS[edit], at)

    plain = run(dr, dict, container)
    assert plain == run(dr, DictSub, ListSub)
    assert plain == run(mdl, dict, container)
    if edit == "scope changed":  # the changed link's ref is new, so the link after it breaks
        assert plain[0] == "raised" and f"chain break at link {at + 1}" in plain[2]


# --- values at the edges of what the one pass and the prepared rows read natively -----------

# Ints of one, two and three 30-bit digits, and past 64 bits: read from their storage, through
# the public conversion, or not at all; and either side of the substrate's safe range.
EDGE_INTS = [0, 1, 2**30 - 1, 2**30, 2**30 + 1, 2**53 - 2, 2**53 - 1, 2**53, 2**60 - 1, 2**60,
             2**60 + 1, 2**63 - 1, 2**63, 2**64, -1, -(2**30), -(2**60), -(2**63), -(2**64)]


@pytest.mark.parametrize("before, after", [
    pair for pair in itertools.product(EDGE_INTS, repeat=2)
    if abs(pair[0] - pair[1]) <= 2 or pair[0] in (0, -1) or pair[1] in (0, -1)])
def test_time_bounds_at_digit_edges(dr, mdl, before, after):
    env = envelope(not_before_ms=before, not_after_ms=after)
    for fn, model_fn in [(dr.delegation_ref, mdl.delegation_ref), (dr._normalise, mdl._normalise)]:
        assert outcome(fn, env) == outcome(fn, DictSub(env)) == outcome(model_fn, env)


def _text(length, odd, at):
    return "a" * at + odd + "b" * (length - at - 1)


# Lengths either side of the SIMD steps and of the longest str a prepared row copies; a
# character that must be escaped, or is not ASCII, first, in the middle and last.
TEXTS = [_text(n, odd, at) for n in (1, 7, 8, 15, 16, 17, 255, 256, 257)
         for odd in ("a", '"', "\\", "\n", "\x1f", "\x7f", "\u00e9", "\U0001f510")
         for at in sorted({0, n // 2, n - 1})]


@pytest.mark.parametrize("field", ["delegator_id", "scope"])
def test_texts_at_the_prepared_rows_edges_hash_as_json_writes_them(dr, field):
    envs = [envelope(**{field: text}) for text in TEXTS]
    assert [dr.delegation_ref(env) for env in envs] == [reference_ref(env) for env in envs]
    # A chain of such links, hashed in batches, with every text in one batch or another.
    links, prev = [], ""
    for text in TEXTS:
        links.append(envelope(**{field: text, "prev_delegation_ref": prev}))
        prev = reference_ref(links[-1])
    assert dr.verify_chain(links) == [reference_ref(link) for link in links]


# --- tables the one pass reads otherwise, or not at all --------------------------------------

class _Holder:
    pass


def _instance_dict(env, drop=()):
    # Instances of one class share their keys: a split table, until it is changed.
    holder = _Holder()
    for key, value in env.items():
        setattr(holder, key, value)
    for key in drop:
        delattr(holder, key)
    return vars(holder)


SHAPES = {
    "split table": lambda env: _instance_dict(env),
    "split table, field deleted": lambda env: _instance_dict(env, drop=("scope",)),
    "int key first": lambda env: {1: "x", **env},
    "tuple key last": lambda env: {**env, (1, 2): "x"},
    "int key deleted": lambda env: (lambda d: (d.pop(7), d)[1])({**env, 7: 0}),
    "sixteen keys": lambda env: dict(env, **{f"e{i}": i for i in range(10)}),
    "seventeen keys": lambda env: dict(env, **{f"e{i}": i for i in range(11)}),
    "many deleted": lambda env: (lambda d: [d.pop(f"k{i}") for i in range(50)] and d)(
        {**{f"k{i}": i for i in range(50)}, **env}),
}


@pytest.mark.parametrize("shape", list(SHAPES))
@pytest.mark.parametrize("changes", [{}, {"scope": ""}, {"not_after_ms": 1_700_000_000_000}])
def test_dicts_of_unusual_shape_read_as_through_get(dr, mdl, shape, changes):
    env = SHAPES[shape](envelope(**changes))
    for fn, model_fn in [(dr.delegation_ref, mdl.delegation_ref),
                         (lambda e: dr.tamper_detected(reference_ref(envelope()), e),
                          lambda e: mdl.tamper_detected(reference_ref(envelope()), e))]:
        assert outcome(fn, env) == outcome(fn, DictSub(env)) == outcome(model_fn, env)
    links = [SHAPES[shape](link) for link in build_chain(70)]
    assert outcome(dr.verify_chain, links) == outcome(mdl.verify_chain, links)
