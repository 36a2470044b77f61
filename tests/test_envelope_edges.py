"""Edges of the one-pass reading and the chain's read-ahead, against the general path.

Each case runs as the shortcuts take it (exact dicts in an exact list or tuple) and through
forms only the general path takes (dict and list subclasses), and where the model can run the
same script, against the model as well: results, messages and side effects must agree.
"""

import itertools

import pytest

from conftest import DELETE, DictSub, build_chain, envelope, reference_ref


class ListSub(list):
    pass


def outcome(fn, *args):
    try:
        return ("returned", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the type and message are what is compared
        return ("raised", type(exc), str(exc))


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
