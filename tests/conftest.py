import collections.abc
import hashlib
import importlib
import importlib.util
import json
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, settings

import model

# restore_dr is function-scoped on purpose: it undoes rebinding once per test, and a @given
# body that rebinds module names undoes it itself. Timings on a shared machine are noisy.
settings.register_profile("kestrim", deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.load_profile("kestrim")

MODULE_NAME = "kestrim_delegation_ref.delegation_ref"
DELETE = object()  # marks a field to drop from an envelope


@pytest.fixture(scope="session")
def dr():
    return importlib.import_module(MODULE_NAME)


@pytest.fixture(autouse=True)
def restore_dr(request):
    """Tests rebind and delete module names on purpose; put the namespace back exactly,
    insertion order included. Tests of other modules never import this one."""
    if "dr" not in request.fixturenames:
        yield
        return
    ns = vars(request.getfixturevalue("dr"))
    snapshot = dict(ns)
    yield
    ns.clear()
    ns.update(snapshot)


@pytest.fixture
def mdl(dr):
    """The model, raising the native class and hashing with the native module's hash."""
    return model.build(dr.DelegationRefError, dr.sha256_jcs)


def envelope(**changes):
    env = {
        "delegator_id": "agent:A",
        "delegate_id": "agent:B",
        "scope": "read:inbox",
        "not_before_ms": 1_700_000_000_000,
        "not_after_ms": 1_700_000_360_000,
        "prev_delegation_ref": "",
    }
    for key, value in changes.items():
        if value is DELETE:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def canonical_bytes(env):
    """RFC 8785 bytes of the six hashed fields. json.dumps agrees with RFC 8785 here only
    because the values are str/int within +-(2**53-1), the keys are ASCII (so code-point and
    UTF-16 order coincide), and ensure_ascii=False escapes exactly the controls, quote and
    backslash, with lower-case \\u00xx, as RFC 8785 does."""
    obj = {k: env.get(k, "") if k == "prev_delegation_ref" else env[k] for k in model.FIELDS}
    return json.dumps(obj, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False).encode("utf-8")


def reference_ref(env):
    return "sha256:" + hashlib.sha256(canonical_bytes(env)).hexdigest()


def build_chain(n, **changes):
    """n well-linked envelopes, refs computed independently of the module."""
    links, prev = [], ""
    for i in range(n):
        env = envelope(**{"scope": f"scope:{i}", "prev_delegation_ref": prev, **changes})
        links.append(env)
        prev = reference_ref(env)
    return links


def run_python(code, **extra_env):
    """Run code in a fresh interpreter that finds this checkout's packages."""
    package = importlib.util.find_spec(MODULE_NAME.rpartition(".")[0])
    root = os.path.dirname(os.path.dirname(os.path.abspath(package.origin)))
    env = dict(os.environ, **extra_env)
    env["PYTHONPATH"] = os.pathsep.join([root] + [p for p in [env.get("PYTHONPATH")] if p])
    # Run from the package's parent so that `-c`'s current-directory entry on sys.path
    # cannot bring in a second copy of the package from wherever the tests were started.
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=120, cwd=root)


# --- envelope kinds: the exact dict may be read natively, the rest only through get ---

class DictSub(dict):
    pass


class ListSub(list):
    pass


def outcome(fn, *args):
    """What a call gave: its result, or its exception's type and message, to compare paths."""
    try:
        return ("returned", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the type and message are what is compared
        return ("raised", type(exc), str(exc))


def nested(depth):
    """An empty list inside depth lists."""
    value = []
    for _ in range(depth):
        value = [value]
    return value


def reachable_depth():
    """How many more Python calls the recursion limit allows from here: unchanged by a call
    that gives back every level it took."""
    def down(n):
        try:
            return down(n + 1)
        except RecursionError:
            return n
    return down(0)


class MappingEnv(collections.abc.Mapping):
    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class GetEnv:
    """Anything with a dict-like get; records every call and every lookup of get."""

    def __init__(self, data):
        self.data = dict(data)
        self.calls = []
        self.lookups = 0

    def __getattribute__(self, name):
        if name == "get":
            object.__setattr__(self, "lookups", object.__getattribute__(self, "lookups") + 1)
        return object.__getattribute__(self, name)

    def get(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.data.get(*args, **kwargs)


ENV_KINDS = [dict, DictSub, MappingEnv, GetEnv]


class Boom(Exception):
    """Raised by the caller's own methods; must reach the caller unchanged."""


class Stop(StopIteration):
    pass


class InitRaises(ValueError):
    """An error class that cannot be made: raising it raises Boom instead."""

    def __init__(self, *args):
        raise Boom("__init__")


class Feed:
    """An iterator over links. Before handing out link `at` it runs `action(self)`, which may
    change `self.links`; past the last link it raises `end` (a class is raised afresh each
    time, so a traceback never grows across calls)."""

    def __init__(self, links, end=StopIteration, at=None, action=None):
        self.links, self.end, self.at, self.action, self.i = list(links), end, at, action, 0

    def __iter__(self):
        return self

    def __next__(self):
        i, self.i = self.i, self.i + 1
        if i == self.at:
            self.action(self)
        if i < len(self.links):
            return self.links[i]
        raise self.end


class BoolBomb:
    def __bool__(self):
        raise Boom("truth")


class EqBomb:
    """Not a str and without __ne__: `!=` falls back on __eq__, whose answer has no truth."""
    __hash__ = None

    def __eq__(self, other):
        return BoolBomb()


class NeFalse:
    """Equal to "" by its own !=, so accepted as prev_delegation_ref, and not JSON."""

    def __ne__(self, other):
        return False


# --- str/int subclasses that decide the module's tests by their own methods ---

def answers(value):
    return lambda self, other=None: value


def raises(what):
    def method(self, other=None):
        raise Boom(what)
    return method


def subclass(base, name, **methods):
    return type(name, (base,), methods)


Text = subclass(str, "Text")
FalsyText = subclass(str, "FalsyText", __bool__=answers(False))
TruthyText = subclass(str, "TruthyText", __bool__=answers(True))
BoomText = subclass(str, "BoomText", __bool__=raises("bool"))
NeverNe = subclass(str, "NeverNe", __ne__=answers(False))  # equal to all, whatever its text
AlwaysNe = subclass(str, "AlwaysNe", __ne__=answers(True))
BoomNe = subclass(str, "BoomNe", __ne__=raises("ne"))
Ms = subclass(int, "Ms")
LtTrue = subclass(int, "LtTrue", __lt__=answers(True))
LtFalse = subclass(int, "LtFalse", __lt__=answers(False))
LtBoom = subclass(int, "LtBoom", __lt__=raises("lt"))
LtBomb = subclass(int, "LtBomb", __lt__=lambda self, other: BoolBomb())
LeTrue = subclass(int, "LeTrue", __le__=answers(True))
LeFalse = subclass(int, "LeFalse", __le__=answers(False))
LeBoom = subclass(int, "LeBoom", __le__=raises("le"))
# As the right operand of <=, a subclass's own reflected __ge__ is tried first.
GeTrue = subclass(int, "GeTrue", __ge__=answers(True))


class ClaimsStr:
    """Says it is a str through __class__, as mocks made with spec=str do."""
    __class__ = property(lambda self: str)


class ClaimsInt:
    __class__ = property(lambda self: int)
    __lt__ = __le__ = __ge__ = answers(False)
