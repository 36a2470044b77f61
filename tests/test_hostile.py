"""Callers' objects that fight back: a get that raises, edits the envelope or the chain, or
rebinds the module's names mid-call; truth tests and comparisons that raise or answer with
odd objects; iterators that fail; a hash that returns junk; an error class that is not one.

These functions guard authorisation, so the bar is: no crash, and the very outcome that the
plain-Python rules in model.py give (same result, or same exception type and arguments).
Every scenario builds its objects afresh for each side, so nothing one run changes can leak
into the other; the module namespace is put back after each run.
"""

import contextlib
import json
import os
import re
import sys

import pytest

import model
from conftest import (BoolBomb, Boom, EqBomb, Feed, InitRaises, NeFalse, Stop, build_chain,
                      reachable_depth, reference_ref, run_python)

REF = "sha256:" + "ab" * 32
LINKS = build_chain(3)  # plain data, copied for every run


def outcome(call):
    try:
        value = call()
    except BaseException as e:  # a caller's get may raise KeyboardInterrupt or SystemExit too
        context = type(e.__context__) if e.__context__ is not None else None
        return "raised", type(e), e.args, context
    return "returned", shape(value)


def shape(value):
    """What a result holds, by type and stored content: the objects differ from run to run."""
    if type(value) is dict:
        return [(k, shape(v)) for k, v in value.items()]
    if type(value) is list:
        return [shape(v) for v in value]
    if type(value) is bool:
        return value
    if isinstance(value, str):
        return type(value).__name__, str.__str__(value)
    if isinstance(value, int):
        return type(value).__name__, int.__repr__(value)
    return type(value).__name__


@contextlib.contextmanager
def restored(m):
    ns = vars(m)
    saved = dict(ns)
    try:
        yield
    finally:
        ns.clear()
        ns.update(saved)


def agree(dr, mdl, scenario, *, exact=True):
    """Runs scenario(m)() on the native module and on the model; they must end alike.
    exact=False compares only how they ended and the exception type (the host words a
    RecursionError or an argument-binding error of a Python function its own way)."""
    native, expected = [], []
    for m, into in ((dr, native), (mdl, expected)):
        with restored(m):
            into.append(outcome(scenario(m)))
    native, expected = native[0], expected[0]
    if exact:
        assert native == expected
    else:
        assert native[:2] == expected[:2]
    return native


def raise_(exc):
    raise exc


# ---- a get that acts on its n-th call ----------------------------------------------------

class Clock:
    """Counts get calls across every link of one run and acts on the n-th."""

    def __init__(self, at, action):
        self.at, self.action, self.ticks = at, action, 0


class Tripwire(dict):
    """A link that runs the clock's action when its turn comes. A dict subclass: read
    through its get, as any envelope but an exact dict is."""

    def __init__(self, data, clock):
        super().__init__(data)
        self.clock = clock

    def get(self, *args):
        clock = self.clock
        clock.ticks += 1
        if clock.ticks == clock.at:
            clock.action(self)
        return dict.get(self, *args)


NORMALISED = {k: LINKS[0][k] for k in model.NORMALISED_ORDER}

# action(m, chain, env): what the get does on its n-th call.
GET_ACTIONS = {
    "raise-Boom": lambda m, c, e: raise_(Boom("get")),
    "raise-KeyError": lambda m, c, e: raise_(KeyError("scope")),
    "raise-StopIteration": lambda m, c, e: raise_(StopIteration("get")),
    "raise-KeyboardInterrupt": lambda m, c, e: raise_(KeyboardInterrupt()),
    "raise-SystemExit": lambda m, c, e: raise_(SystemExit(3)),
    "raise-rule-error": lambda m, c, e: raise_(m.DelegationRefError("from get")),
    "env-clear": lambda m, c, e: e.clear(),
    "env-drop-scope": lambda m, c, e: e.pop("scope", None),
    "env-grow": lambda m, c, e: e.update({f"k{i}": i for i in range(1000)}),
    "env-rewrite-prev": lambda m, c, e: e.__setitem__("prev_delegation_ref", REF),
    "chain-append": lambda m, c, e: c.append(dict(c[-1])),
    "chain-clear": lambda m, c, e: c.clear(),
    "chain-del-first": lambda m, c, e: c.__delitem__(slice(0, 1)),
    "chain-del-rest": lambda m, c, e: c.__delitem__(slice(1, None)),
    "chain-insert": lambda m, c, e: c.insert(0, {}),
    "chain-reverse": lambda m, c, e: c.reverse(),
    "chain-replace": lambda m, c, e: c.__setitem__(slice(None), [dict(x) for x in c]),
    "chain-extend-self": lambda m, c, e: c.extend(c),
    "rebind-delegation_ref": lambda m, c, e: setattr(m, "delegation_ref", lambda env: "R"),
    "rebind-_normalise": lambda m, c, e: setattr(m, "_normalise", lambda env: dict(NORMALISED)),
    "rebind-sha256_jcs": lambda m, c, e: setattr(m, "sha256_jcs", lambda obj: "0" * 64),
    "rebind-SHA256_PREFIX": lambda m, c, e: setattr(m, "SHA256_PREFIX", "x:"),
    "rebind-_REF_RE": lambda m, c, e: setattr(m, "_REF_RE", re.compile("^never$")),
    "rebind-DelegationRefError": lambda m, c, e: setattr(m, "DelegationRefError", KeyError),
    "rebind-recursion": lambda m, c, e: setattr(m, "_normalise", m.delegation_ref),
    **{f"delete-{name}": (lambda name: lambda m, c, e: vars(m).pop(name))(name)
       for name in ("delegation_ref", "_normalise", "sha256_jcs", "SHA256_PREFIX", "_REF_RE",
                    "DelegationRefError")},
    "clear-namespace": lambda m, c, e: vars(m).clear(),
}

ENTRIES = {
    "_normalise": lambda m, links: lambda: m._normalise(links[0]),
    "delegation_ref": lambda m, links: lambda: m.delegation_ref(links[0]),
    "tamper_detected": lambda m, links: lambda: m.tamper_detected(reference_ref(LINKS[0]), links[0]),
    "verify_chain": lambda m, links: lambda: m.verify_chain(links),
    "verify_chain-iterator": lambda m, links: lambda: m.verify_chain(iter(links)),
}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("action", GET_ACTIONS)
def test_get_acting_on_its_nth_call(dr, mdl, entry, action):
    n_links = len(LINKS) if entry.startswith("verify_chain") else 1
    for at in range(1, 7 * n_links + 1):
        def scenario(m):
            links = []
            clock = Clock(at, lambda env: GET_ACTIONS[action](m, links, env))
            links.extend(Tripwire(data, clock) for data in LINKS[:n_links])
            return ENTRIES[entry](m, links)

        agree(dr, mdl, scenario, exact=action != "rebind-recursion")


# ---- values with their own truth tests and comparisons -----------------------------------

def str_sub(name, **methods):
    return type(name, (str,), methods)


def int_sub(name, **methods):
    return type(name, (int,), methods)


class ClassBoom:
    __class__ = property(lambda self: raise_(Boom("__class__")))


class ClassMissing:
    __class__ = property(lambda self: raise_(AttributeError("__class__")))


def renaming(base, method, name):
    """A value whose own method deletes a module name before answering."""
    def make(m):
        def act(self, *other):
            vars(m).pop(name, None)
            return getattr(base, method)(self, *other)
        return type("Renaming", (base,), {method: act})
    return make


# field -> value factories; a factory takes the namespace so that a value can act on it.
TEXT_VALUES = {
    "bool-returns-int": lambda m: str_sub("B", __bool__=lambda s: 2)("a"),
    "bool-returns-bomb": lambda m: str_sub("B", __bool__=lambda s: BoolBomb())("a"),
    "bool-is-None": lambda m: str_sub("B", __bool__=None)("a"),
    "class-raises": lambda m: ClassBoom(),
    "class-missing": lambda m: ClassMissing(),
    "bool-deletes-error-class": lambda m: str_sub("B", __bool__=lambda s: bool(
        vars(m).pop("DelegationRefError", None)) and False)("a"),
}
TIME_VALUES = {
    "lt-returns-bomb": lambda m: int_sub("T", __lt__=lambda s, o: BoolBomb())(5),
    "lt-not-implemented": lambda m: int_sub("T", __lt__=lambda s, o: NotImplemented)(-5),
    "lt-returns-empty": lambda m: int_sub("T", __lt__=lambda s, o: "")(-5),
    "le-returns-bomb": lambda m: int_sub("T", __le__=lambda s, o: BoolBomb(), __lt__=lambda s, o: False)(2**70),
    "le-not-implemented": lambda m: int_sub("T", __le__=lambda s, o: NotImplemented)(2**70),
    "ge-raises": lambda m: int_sub("T", __ge__=lambda s, o: raise_(Boom("ge")))(7),
    "class-raises": lambda m: ClassBoom(),
    "lt-deletes-error-class": lambda m: renaming(int, "__lt__", "DelegationRefError")(m)(-1),
}
PREV_VALUES = {
    "ne-returns-bomb": lambda m: str_sub("P", __ne__=lambda s, o: BoolBomb())(REF),
    "ne-not-implemented": lambda m: str_sub("P", __ne__=lambda s, o: NotImplemented)(REF),
    "ne-returns-object": lambda m: str_sub("P", __ne__=lambda s, o: object())("junk"),
    "eq-returns-bomb": lambda m: EqBomb(),
    "ne-false-not-json": lambda m: NeFalse(),
    "ne-deletes-pattern": lambda m: renaming(str, "__ne__", "_REF_RE")(m)(REF),
    "bytes": lambda m: REF.encode(),
}
VALUE_CASES = [(f, name) for f in model.TEXT_FIELDS for name in TEXT_VALUES] + \
              [(f, name) for f in model.TIME_FIELDS for name in TIME_VALUES] + \
              [("prev_delegation_ref", name) for name in PREV_VALUES]
FACTORIES = {**{("text", k): v for k, v in TEXT_VALUES.items()},
             **{("time", k): v for k, v in TIME_VALUES.items()},
             **{("prev", k): v for k, v in PREV_VALUES.items()}}


def kind_of(field):
    return "text" if field in model.TEXT_FIELDS else "time" if field in model.TIME_FIELDS else "prev"


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("field, value", VALUE_CASES)
def test_values_with_hostile_methods(dr, mdl, entry, field, value):
    # The last link carries the value; for a chain, the rules see it after a good link.
    n_links = 2 if entry.startswith("verify_chain") else 1

    def scenario(m):
        links = [dict(data) for data in LINKS[:n_links]]
        links[-1][field] = FACTORIES[kind_of(field), value](m)
        return ENTRIES[entry](m, links)

    agree(dr, mdl, scenario)


# ---- get itself in odd shapes --------------------------------------------------------------

class StaticGet:
    get = staticmethod(lambda *args: dict.get(LINKS[0], *args))


class ClassGet:
    get = classmethod(lambda cls, *args: dict.get(LINKS[0], *args))


class ForeignDescriptor:
    get = dict.get  # a dict method on something that is not a dict


class PropertyGet:
    get = property(lambda self: raise_(Boom("property")))


class NotCallable:
    get = 5


class LateGet:
    """get found through __getattr__, a new callable every time."""

    def __getattr__(self, name):
        if name == "get":
            return lambda *args: dict.get(LINKS[0], *args)
        raise AttributeError(name)


class ThirdLookupRaises:
    """Its third lookup of get raises: lookups are per field, as for a Python caller."""

    def __init__(self):
        self.lookups = 0

    def __getattribute__(self, name):
        if name == "get":
            lookups = object.__getattribute__(self, "lookups") + 1
            object.__setattr__(self, "lookups", lookups)
            if lookups == 3:
                raise Boom("third lookup")
            return lambda *args: dict.get(LINKS[0], *args)
        return object.__getattribute__(self, name)


class GetIsAClass:
    get = str  # get("scope") gives "scope", get("prev_delegation_ref", "") a TypeError


class GetReturnsItself:
    def get(self, *args):
        return self


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("kind", [StaticGet, ClassGet, ForeignDescriptor, PropertyGet, NotCallable,
                                  LateGet, ThirdLookupRaises, GetIsAClass, GetReturnsItself],
                         ids=lambda k: k.__name__)
def test_get_in_odd_shapes(dr, mdl, entry, kind):
    agree(dr, mdl, lambda m: ENTRIES[entry](m, [kind()]))


# ---- chains that fail to iterate ------------------------------------------------------------

def feed(m, links, k, action):
    """Links handed out one by one, with `action(m, feed)` run before link k."""
    return Feed(links, at=k, action=lambda f: action(m, f))


class OldProtocol:
    """Iterable through __getitem__ alone; IndexError ends it."""

    def __init__(self, links, fail_at):
        self.links, self.fail_at = links, fail_at

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom("getitem")
        return self.links[i]


def generator_reentering(m, links):
    def gen():
        for i, link in enumerate(links):
            if i == 1:
                m.verify_chain(it)  # the generator is running: ValueError
            yield link
    it = gen()
    return it


FEED_ACTIONS = {
    "raise-Boom": lambda m, f: raise_(Boom("next")),
    "raise-KeyError": lambda m, f: raise_(KeyError("next")),
    "raise-StopIteration-subclass": lambda m, f: raise_(Stop("done")),
    "raise-StopIteration-with-value": lambda m, f: raise_(StopIteration(42)),
    "raise-GeneratorExit": lambda m, f: raise_(GeneratorExit()),
    "give-an-int": lambda m, f: f.links.insert(f.at, 5),
    "give-a-str": lambda m, f: f.links.insert(f.at, "prev_delegation_ref"),
    "rebind-delegation_ref": lambda m, f: setattr(m, "delegation_ref", lambda env: "R"),
    "delete-DelegationRefError": lambda m, f: vars(m).pop("DelegationRefError"),
    "delete-delegation_ref": lambda m, f: vars(m).pop("delegation_ref"),
    "recurse": lambda m, f: m.verify_chain(feed(m, f.links, f.at, FEED_ACTIONS["recurse"])),
}


@pytest.mark.parametrize("k", [0, 1, 3])
@pytest.mark.parametrize("action", FEED_ACTIONS)
def test_iterators_that_misbehave(dr, mdl, action, k):
    def scenario(m):
        links = [dict(x) for x in LINKS]
        if action == "delete-DelegationRefError":
            links[2]["prev_delegation_ref"] = ""  # a break, reported after the name went
        return lambda: m.verify_chain(feed(m, links, k, FEED_ACTIONS[action]))

    agree(dr, mdl, scenario, exact=action != "recurse")


class IterBoom:
    def __iter__(self):
        raise Boom("iter")


class IterNotIterator:
    def __iter__(self):
        return 5


class IterNone:
    __iter__ = None


@pytest.mark.parametrize("make", [
    IterBoom, IterNotIterator, IterNone,
    lambda m: OldProtocol([dict(x) for x in LINKS], 2),
    lambda m: OldProtocol([dict(x) for x in LINKS], 9),
    lambda m: generator_reentering(m, [dict(x) for x in LINKS]),
    lambda m: (raise_(Boom("gen")) if i == 2 else dict(x) for i, x in enumerate(LINKS)),
], ids=["iter-raises", "iter-not-iterator", "iter-None", "getitem-raises", "getitem-ends",
        "generator-reentered", "generator-raises"])
def test_chains_that_fail_to_iterate(dr, mdl, make):
    def scenario(m):
        chain = make() if isinstance(make, type) else make(m)
        return lambda: m.verify_chain(chain)

    agree(dr, mdl, scenario)


# ---- a hash that returns junk ------------------------------------------------------------

class RaddBoom(str):
    def __radd__(self, other):
        raise Boom("radd")


class RaddBomb(str):
    """Joined into an object whose truth test and != answer with a bomb."""

    def __radd__(self, other):
        return EqBomb()


class RaddText(str):
    def __radd__(self, other):
        return RaddText(other + str(self))


HASHES = {
    "int": lambda m: lambda obj: 5,
    "None": lambda m: lambda obj: None,
    "bytes": lambda m: lambda obj: b"0" * 64,
    "empty": lambda m: lambda obj: "",
    "huge": lambda m: lambda obj: "f" * 1_000_000,
    "str-subclass-radd": lambda m: lambda obj: RaddText("d"),
    "radd-raises": lambda m: lambda obj: RaddBoom("d"),
    "radd-returns-bomb": lambda m: lambda obj: RaddBomb("d"),
    "its-argument": lambda m: lambda obj: obj,
    "mutates-its-argument": lambda m: lambda obj: obj.clear() or "0" * 64,
    "raises-rule-error": lambda m: lambda obj: raise_(m.DelegationRefError("hash")),
    "raises-KeyError": lambda m: lambda obj: raise_(KeyError("hash")),
    "rebinds-prefix-while-hashing": lambda m: lambda obj: setattr(m, "SHA256_PREFIX", 7) or "0" * 64,
    "deletes-itself": lambda m: lambda obj: vars(m).pop("sha256_jcs") and "0" * 64,
    "recurses": lambda m: lambda obj: m.delegation_ref(LINKS[0]),
    "not-callable": lambda m: "0" * 64,
}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("junk", HASHES)
def test_hash_returning_junk(dr, mdl, entry, junk):
    def scenario(m):
        m.sha256_jcs = HASHES[junk](m)
        n_links = 3 if entry.startswith("verify_chain") else 1
        links = [dict(x) for x in LINKS[:n_links]]
        return ENTRIES[entry](m, links)

    agree(dr, mdl, scenario, exact=junk != "recurses")


# ---- an error class that is not one ------------------------------------------------------

class NewRaises(ValueError):
    def __new__(cls, *args):
        raise Boom("__new__")


class NotAnException:
    def __init__(self, *args):
        self.args = args


class Rule(LookupError):
    pass


ERROR_CLASSES = {
    "int": lambda m: 5,
    "None": lambda m: None,
    "str": lambda m: "DelegationRefError",
    "exception-instance": lambda m: ValueError("instance"),
    "init-raises": lambda m: InitRaises,
    "new-raises": lambda m: NewRaises,
    "not-an-exception": lambda m: NotAnException,
    "function-returning-None": lambda m: lambda message: None,
    "function-returning-instance": lambda m: lambda message: Rule(message),
    "tuple": lambda m: (KeyError, Rule),
    "nested-tuple": lambda m: ((Rule,),),
    "empty-tuple": lambda m: (),
    "base-exception": lambda m: KeyboardInterrupt,
    "stop-iteration": lambda m: StopIteration,
    "recursion-error": lambda m: RecursionError,
    "deletes-itself": lambda m: lambda message: vars(m).pop("DelegationRefError") and Rule(message),
}

BROKEN = {
    "malformed": [dict(LINKS[0], scope="")],
    "order": [dict(LINKS[0], not_after_ms=0, not_before_ms=0)],
    "prev-format": [dict(LINKS[0], prev_delegation_ref="nope")],
    "chain-break": [dict(LINKS[1])],
    "hash-raises-original": None,  # a well-formed link whose hash raises the original class
}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("broken", BROKEN)
@pytest.mark.parametrize("error", ERROR_CLASSES)
def test_error_class_rebound(dr, mdl, entry, broken, error):
    original = dr.DelegationRefError

    def scenario(m):
        links = [dict(x) for x in BROKEN[broken] or LINKS[:1]]
        if BROKEN[broken] is None:
            m.sha256_jcs = lambda obj: raise_(original("hash"))
        m.DelegationRefError = ERROR_CLASSES[error](m)
        return ENTRIES[entry](m, links)

    agree(dr, mdl, scenario)


# The class statement would be `raise DelegationRefError(message)`: when that call hands back
# a class, `raise` calls it once more and insists on an instance. Run apart: the native module
# recursed without end on this, which takes the whole interpreter down.
CLASS_CALL_RETURNS = """
import json, sys
sys.path.insert(0, {tests!r})
import model
import kestrim_delegation_ref.delegation_ref as dr

class Meta(type):
    def __call__(cls, *args):
        return {returns}

class Odd(Exception, metaclass=Meta):
    pass

mdl = model.build(dr.DelegationRefError, dr.sha256_jcs)
out = []
for m in (dr, mdl):
    m.DelegationRefError = Odd
    for call in (lambda: m._normalise({{}}), lambda: m.tamper_detected("x", {{}})):
        try:
            out.append(repr(call()))
        except BaseException as e:
            out.append([type(e).__name__, str(e)])
print(json.dumps(out))
"""


@pytest.mark.parametrize("returns", ["cls", "cls if args else 5", "cls if args else KeyError('k')"],
                         ids=["always-the-class", "the-class-then-not-an-exception",
                              "the-class-then-another-exception"])
def test_error_class_whose_call_returns_a_class(returns):
    tests = os.path.dirname(os.path.abspath(__file__))
    result = run_python(CLASS_CALL_RETURNS.format(tests=tests, returns=returns))
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = json.loads(result.stdout)
    assert outcomes[:2] == outcomes[2:]


# ---- recursion through rebinding ---------------------------------------------------------

RECURSIONS = {
    "normalise-is-delegation_ref": lambda m: setattr(m, "_normalise", m.delegation_ref),
    "delegation_ref-verifies": lambda m: setattr(m, "delegation_ref", lambda env: m.verify_chain([env])),
    "hash-recomputes": lambda m: setattr(m, "sha256_jcs", lambda obj: m.delegation_ref(LINKS[0])),
    "normalise-tampers": lambda m: setattr(m, "_normalise", lambda env: m.tamper_detected(REF, env)),
}


NORMALISE_RECURSES = {"normalise-is-delegation_ref", "normalise-tampers"}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("recursion", RECURSIONS)
def test_recursion_through_rebinding_is_a_recursion_error(dr, mdl, entry, recursion):
    depth = reachable_depth()

    def scenario(m):
        RECURSIONS[recursion](m)
        return ENTRIES[entry](m, [dict(x) for x in LINKS])

    result = agree(dr, mdl, scenario, exact=False)
    if entry != "_normalise" or recursion in NORMALISE_RECURSES:
        assert result[:2] == ("raised", RecursionError)
    # The depth bookkeeping is balanced on the way out: the interpreter can go as deep as
    # before, and an ordinary call works.
    assert reachable_depth() == depth
    assert dr.delegation_ref(LINKS[0]) == reference_ref(LINKS[0])


def test_recursion_caught_as_a_rule_error_answers_true(dr, mdl):
    def scenario(m):
        m._normalise = m.delegation_ref
        m.DelegationRefError = RecursionError
        return lambda: m.tamper_detected(REF, LINKS[0])

    assert agree(dr, mdl, scenario) == ("returned", True)


def test_recursion_in_a_get_that_calls_back(dr, mdl):
    class Reentrant(dict):
        def get(self, *args):
            self.m.verify_chain([self])
            return dict.get(self, *args)

    def scenario(m):
        link = Reentrant(LINKS[0])
        link.m = m
        return lambda: m.tamper_detected(REF, link)

    depth = reachable_depth()
    assert agree(dr, mdl, scenario, exact=False)[:2] == ("raised", RecursionError)
    assert reachable_depth() == depth


def test_recursion_limit_lowered_mid_chain(dr, mdl):
    # The limit drops below the current depth while the walk is inside a get.
    limit = sys.getrecursionlimit()

    class Lowering(dict):
        def get(self, *args):
            sys.setrecursionlimit(60)
            return dict.get(self, *args)

    def scenario(m):
        def deep(n):
            return deep(n - 1) if n else m.verify_chain([Lowering(x) for x in LINKS])
        return lambda: deep(80)

    try:
        agree(dr, mdl, scenario, exact=False)
    finally:
        sys.setrecursionlimit(limit)


# Each level of our functions calling each other takes C stack, which Python-to-Python calls
# do not: under a raised limit the stack, not the limit, would run out first. In a fresh
# interpreter, since a crash would take the test run with it.
RAISED_LIMIT_RECURSION = """
import sys
sys.path.insert(0, {tests!r})
from conftest import build_chain
import kestrim_delegation_ref.delegation_ref as dr

links = build_chain(3)

class CallsBack(dict):
    def get(self, *args):
        dr.delegation_ref(CallsBack(self))
        return dict.get(self, *args)

rebind = {{
    "normalise-is-delegation_ref": lambda: setattr(dr, "_normalise", dr.delegation_ref),
    "normalise-tampers": lambda: setattr(dr, "_normalise",
                                         lambda env: dr.tamper_detected("x", env)),
    "delegation_ref-verifies": lambda: setattr(dr, "delegation_ref",
                                               lambda env: dr.verify_chain([env])),
    "get-calls-back": lambda: links.__setitem__(0, CallsBack(links[0])),
}}
rebind[{recursion!r}]()
call = {{
    "delegation_ref": lambda: dr.delegation_ref(links[0]),
    "tamper_detected": lambda: dr.tamper_detected("x", links[0]),
    "verify_chain": lambda: dr.verify_chain(links),
}}[{entry!r}]
sys.setrecursionlimit(10**6)
try:
    call()
except RecursionError:
    print("RecursionError")
"""


@pytest.mark.parametrize("entry", ["delegation_ref", "tamper_detected", "verify_chain"])
@pytest.mark.parametrize("recursion", ["normalise-is-delegation_ref", "normalise-tampers",
                                       "delegation_ref-verifies", "get-calls-back"])
def test_recursion_under_a_raised_limit_is_a_recursion_error(entry, recursion):
    tests = os.path.dirname(os.path.abspath(__file__))
    result = run_python(RAISED_LIMIT_RECURSION.format(tests=tests, entry=entry,
                                                      recursion=recursion))
    assert (result.returncode, result.stdout) == (0, "RecursionError\n"), result.stderr[-2000:]


# ---- the substrate's native table ----------------------------------------------------------

def test_substrate_table_is_kept_alive_while_used():
    # While sha256_jcs is the substrate's own function, refs are hashed through the table in
    # the capsule kestrim_substrate._jcs._C_API, which the capsule owns. A caller may drop
    # that attribute; the table must live on for as long as the module uses it. glibc is
    # told to fill freed memory, so a use after free shows without a sanitizer too.
    code = """
import gc
import kestrim_substrate._jcs as jcs
import kestrim_delegation_ref.delegation_ref as dr
env = {"delegator_id": "a", "delegate_id": "b", "scope": "s", "not_before_ms": 1, "not_after_ms": 2}
before = dr.delegation_ref(env)
del jcs._C_API
gc.collect()
print(dr.delegation_ref(env) == before, dr.verify_chain([env]) == [before])
"""
    result = run_python(code, GLIBC_TUNABLES="glibc.malloc.tcache_count=0:glibc.malloc.perturb=165")
    assert (result.returncode, result.stdout) == (0, "True True\n"), result.stderr[-2000:]
