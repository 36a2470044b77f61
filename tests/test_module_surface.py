import builtins
import json
import copy
import pickle
import re
import typing

import pytest
from hypothesis import given, strategies as st

import kestrim_substrate
import model
from conftest import MODULE_NAME, GetEnv, build_chain, envelope, reference_ref, run_python

BOUND_IN_ORDER = [
    "__builtins__", "re", "Any", "Mapping", "Sequence", "sha256_jcs", "__all__",
    "SHA256_PREFIX", "_FIELDS", "_REF_RE", "DelegationRefError",
    "_normalise", "delegation_ref", "tamper_detected", "verify_chain", "__test__",
]
FUNCTION_NAMES = ["_normalise", "delegation_ref", "tamper_detected", "verify_chain"]

MODULE_DOC = "".join(line + "\n" for line in [
    "Content-addressed delegation references for the Kestrim substrate.",
    "",
    "An agent A delegates authority to agent B for a scope and a validity window. The",
    "``delegation_ref`` is the content hash of that delegation envelope, so any tamper",
    "-- widening the scope, extending the expiry, swapping the delegate -- changes the",
    "ref and is detectable offline. Delegations chain (A->B->C) via",
    "``prev_delegation_ref``, giving a tamper-evident delegation chain.",
    "",
    "This is the inverse of an *opaque* delegation token (an arbitrary label chosen by",
    "the authority, which does not change when the delegation's content is altered).",
    "",
    "    delegation_ref = " + '"sha256:"' + " + SHA-256(JCS(RFC 8785)({",
    "        delegate_id, delegator_id, not_after_ms, not_before_ms,",
    "        prev_delegation_ref, scope }))",
    "",
    "with integer-millisecond validity bounds. Additive over the frozen substrate; the",
    "canonical hash is the substrate's own ``sha256_jcs``.",
])

VERIFY_CHAIN_DOC = "".join(line + "\n" for line in [
    "Compute the delegation_ref of each link and verify chain integrity.",
    "",
    "    The first link must have ``prev_delegation_ref == " + '""' + "``; every subsequent link's",
    "    ``prev_delegation_ref`` must equal the prior link's computed ref. Returns the",
    "    list of refs; raises DelegationRefError on a broken or forged link.",
]) + "    "

SIGNATURES = {
    "_normalise": ({"envelope": "Mapping[str, Any]", "return": "dict"}, None),
    "delegation_ref": (
        {"envelope": "Mapping[str, Any]", "return": "str"},
        "Compute the content-addressed delegation_ref for a delegation envelope."),
    "tamper_detected": (
        {"claimed_ref": "str", "envelope": "Mapping[str, Any]", "return": "bool"},
        "True if ``envelope`` does not recompute to ``claimed_ref`` (tamper / malformed)."),
    "verify_chain": ({"envelopes": "Sequence[Mapping[str, Any]]", "return": "list[str]"},
                     VERIFY_CHAIN_DOC),
}


def test_names_are_bound_in_order(dr):
    names = list(vars(dr))
    assert [n for n in names if n in BOUND_IN_ORDER] == BOUND_IN_ORDER
    own = {n for n in names if not (n.startswith("__") and n.endswith("__"))}
    assert own == {n for n in BOUND_IN_ORDER if not n.startswith("__")}


def test_bound_values(dr):
    assert vars(dr)["__builtins__"] is builtins
    assert dr.re is re
    assert dr.Any is typing.Any and dr.Mapping is typing.Mapping and dr.Sequence is typing.Sequence
    assert dr.sha256_jcs is kestrim_substrate.sha256_jcs
    assert type(dr.__test__) is dict and dr.__test__ == {}
    assert type(dr.__all__) is list
    assert dr.__all__ == ["DelegationRefError", "SHA256_PREFIX", "delegation_ref",
                          "tamper_detected", "verify_chain"]
    assert type(dr.SHA256_PREFIX) is str and dr.SHA256_PREFIX == "sha256:"
    assert type(dr._FIELDS) is tuple and dr._FIELDS == model.FIELDS
    assert isinstance(dr._REF_RE, re.Pattern)
    assert dr._REF_RE.pattern == model.REF_PATTERN and dr._REF_RE.flags == re.UNICODE
    assert dr._REF_RE == re.compile(model.REF_PATTERN)


def test_module_identity(dr):
    import sys
    assert sys.modules[MODULE_NAME] is dr
    assert dr.__name__ == MODULE_NAME and dr.__package__ == "kestrim_delegation_ref"
    assert dr.__doc__ == MODULE_DOC and len(dr.__doc__.splitlines()) == 17
    assert dr.__spec__.name == MODULE_NAME
    assert dr.__loader__ is dr.__spec__.loader and dr.__file__ == dr.__spec__.origin
    assert not hasattr(dr, "__path__")


def test_star_import(dr):
    ns = {}
    exec(f"from {MODULE_NAME} import *", ns)
    ns.pop("__builtins__")
    assert ns == {name: getattr(dr, name) for name in dr.__all__}
    assert all(name in vars(dr) for name in ("_normalise", "_FIELDS", "_REF_RE"))


def test_error_class(dr):
    cls = dr.DelegationRefError
    assert cls.__bases__ == (ValueError,) and type(cls) is type
    assert cls.__module__ == MODULE_NAME
    assert cls.__name__ == cls.__qualname__ == "DelegationRefError"
    assert cls.__doc__ == ("Raised when a delegation envelope is malformed or a chain link "
                           "does not match.")
    same_shape = type("DelegationRefError", (ValueError,), {
        "__module__": MODULE_NAME, "__qualname__": "DelegationRefError", "__doc__": cls.__doc__})
    assert set(vars(cls)) == set(vars(same_shape))
    with pytest.raises(ValueError) as info:
        dr._normalise({})
    assert type(info.value) is cls and info.value.args == ("delegator_id must be a non-empty string",)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_attributes(dr, name):
    f = getattr(dr, name)
    annotations, doc = SIGNATURES[name]
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == MODULE_NAME
    assert f.__doc__ == doc
    assert f.__annotations__ == annotations and list(f.__annotations__)[-1] == "return"
    assert list(f.__annotations__) == list(annotations)
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__globals__ is vars(dr)
    assert re.fullmatch(rf"<function {name} at 0x[0-9a-fA-F]+>", repr(f))
    assert isinstance(f.__dict__, dict)
    f.marker = 1
    try:
        assert f.__dict__["marker"] == 1
    finally:
        del f.marker
    assert f.__get__(None, object) is f
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_functions_bind_as_methods(dr):
    env, links = envelope(), build_chain(2)
    ref = reference_ref(env)

    class Env(dict):
        normalise, ref = dr._normalise, dr.delegation_ref

    class Claim(str):
        check = dr.tamper_detected

    class Chain(list):
        verify = dr.verify_chain

    assert Env(env).normalise() == env and Env(env).ref() == ref
    assert Claim(ref).check(env) is False and Claim("x").check(env) is True
    assert Chain(links).verify() == [reference_ref(e) for e in links]


def count(name, n, given):
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


E, R = envelope(), "sha256:" + "0" * 64
BINDING = [
    ("delegation_ref", (), {}, count("delegation_ref", 1, 0)),
    ("delegation_ref", (E, E), {}, count("delegation_ref", 1, 2)),
    ("_normalise", (), {}, count("_normalise", 1, 0)),
    ("_normalise", (E,), {"envelope": E}, "_normalise() got multiple values for keyword argument 'envelope'"),
    ("_normalise", (E,), {"env": E}, "_normalise() got an unexpected keyword argument 'env'"),
    ("_normalise", (), {"Envelope": E}, "_normalise() got an unexpected keyword argument 'Envelope'"),
    ("verify_chain", (), {}, count("verify_chain", 1, 0)),
    ("verify_chain", ([], []), {"envelopes": []}, count("verify_chain", 1, 2)),
    ("tamper_detected", (R,), {}, count("tamper_detected", 2, 1)),
    ("tamper_detected", (), {}, count("tamper_detected", 2, 0)),
    ("tamper_detected", (), {"claimed_ref": R}, count("tamper_detected", 2, 1)),
    ("tamper_detected", (), {"envelope": E}, count("tamper_detected", 2, 0)),
    ("tamper_detected", (R, E, 1), {"bogus": 1}, count("tamper_detected", 2, 3)),
    ("tamper_detected", (R,), {"bogus": 1}, "tamper_detected() got an unexpected keyword argument 'bogus'"),
    ("tamper_detected", (), {"bogus": 1, "claimed_ref": R}, "tamper_detected() got an unexpected keyword argument 'bogus'"),
    ("tamper_detected", (R,), {"bogus": 1, "claimed_ref": R}, "tamper_detected() got an unexpected keyword argument 'bogus'"),
    ("tamper_detected", (R,), {"claimed_ref": R, "bogus": 1}, "tamper_detected() got multiple values for keyword argument 'claimed_ref'"),
    ("tamper_detected", (R, E), {"envelope": E}, "tamper_detected() got multiple values for keyword argument 'envelope'"),
]

ROUTES = {
    "call": lambda f, a, k: f(*a, **k),
    "tp_call": lambda f, a, k: type(f).__call__(f, *a, **k),
}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name, args, kwargs, message", BINDING)
def test_binding_errors(dr, route, name, args, kwargs, message):
    assert model.binding_error(name, len(args), list(kwargs)) == message
    with pytest.raises(TypeError) as info:
        ROUTES[route](getattr(dr, name), args, kwargs)
    assert type(info.value) is TypeError and info.value.args == (message,)


VALUES = {"envelope": E, "claimed_ref": R, "envelopes": [], "bogus": 0, "Envelope": E}


@given(name=st.sampled_from(FUNCTION_NAMES), nargs=st.integers(0, 3),
       keywords=st.lists(st.sampled_from(["envelope", "claimed_ref", "envelopes", "bogus"]),
                         unique=True, max_size=3),
       route=st.sampled_from(sorted(ROUTES)))
def test_binding_agrees_with_the_rules(dr, name, nargs, keywords, route):
    params = model.PARAMETERS[name]
    args = [VALUES[p] for p in params][:nargs] + [E] * max(0, nargs - len(params))
    kwargs = {k: VALUES[k] for k in keywords}
    message = model.binding_error(name, nargs, keywords)
    try:
        ROUTES[route](getattr(dr, name), args, kwargs)
    except TypeError as e:
        assert e.args == (message,)
    else:
        assert message is None


class NeverEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


class AlwaysEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class EqualRaises(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("keyword __eq__")


PYTHON_TWINS = {
    "_normalise": lambda envelope: None,
    "delegation_ref": lambda envelope: None,
    "tamper_detected": lambda claimed_ref, envelope: None,
    "verify_chain": lambda envelopes: None,
}


@pytest.mark.parametrize("key_type", [NeverEqual, AlwaysEqual, EqualRaises])
@pytest.mark.parametrize("text", ["own-name", "bogus"])
@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_keyword_name_of_a_str_subclass_binds_by_its_own_eq(dr, name, text, key_type):
    # **kwargs hands the callee its keys as they are; a Python function binds one that is not
    # a parameter name itself by `key == name`, so the key's own __eq__ decides.
    params = model.PARAMETERS[name]
    key = key_type(params[-1] if text == "own-name" else text)
    args = [VALUES[p] for p in params[:-1]]

    def ended(f):
        try:
            f(*args, **{key: VALUES[params[-1]]})
        except TypeError as e:
            return TypeError, e.args
        except Exception as e:  # noqa: BLE001 - what the key's __eq__ raised
            return type(e), e.args
        return "bound"

    native, python = ended(getattr(dr, name)), ended(PYTHON_TWINS[name])
    assert native[0] == python[0]
    if native[0] is TypeError and key_type is NeverEqual:
        assert native[1] == (f"{name}() got an unexpected keyword argument '{key}'",)


def test_binding_fails_before_reading_anything(dr):
    env = GetEnv(envelope())
    consumed = []
    gen = (consumed.append(x) or x for x in [env])
    for call in (lambda: dr._normalise(env, bogus=1), lambda: dr.delegation_ref(env, env),
                 lambda: dr.tamper_detected(R, env, envelope=env),
                 lambda: dr.verify_chain(gen, envelopes=gen)):
        with pytest.raises(TypeError):
            call()
    assert env.calls == [] and consumed == []


def test_non_string_keyword_reaching_the_function():
    # The interpreter refuses **{1: x} before any callee sees it; only a direct vectorcall
    # with a non-str name in kwnames reaches the function's own check.
    result = run_python(f"""
import ctypes
import kestrim_delegation_ref.delegation_ref as dr
call = ctypes.pythonapi.PyObject_Vectorcall
call.restype = ctypes.py_object
call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
args = (ctypes.py_object * 2)({E!r}, 2)
for kwnames in [(1,), ("envelope",)]:
    try:
        call(dr.delegation_ref, ctypes.cast(args, ctypes.c_void_p), 1, kwnames)
    except TypeError as e:
        print(e)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "delegation_ref() keywords must be strings",
        "delegation_ref() got multiple values for keyword argument 'envelope'",
    ]


def test_function_cleared_by_the_collector_still_answers():
    # The collector clears a function it found in a garbage cycle; code that runs while the
    # cycle is broken may still reach it. Cleared by hand here, through the type's own slot.
    result = run_python(f"""
import ctypes, json, importlib
dr = importlib.import_module({MODULE_NAME!r})
f = dr.verify_chain
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
Py_tp_clear = 51
ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(f), Py_tp_clear))(f)
calls = []
for call in (lambda: f([]), lambda: f(envelopes=[]), lambda: f()):
    try:
        calls.append(repr(call()))
    except Exception as e:
        calls.append(type(e).__name__)
print(json.dumps(dict(
    repr=repr(f).startswith("<function verify_chain at 0x"), name=f.__name__,
    qualname=f.__qualname__, reduce=f.__reduce__(), module=f.__module__, doc=f.__doc__,
    globals=f.__globals__, builtins=f.__builtins__, annotations=f.__annotations__,
    code=f.__code__.co_varnames, calls=calls,
    others=dr.delegation_ref(dict(delegator_id="a", delegate_id="b", scope="s",
                                  not_before_ms=1, not_after_ms=2))[:7])))
""")
    assert result.returncode == 0, result.stderr[-2000:]
    assert json.loads(result.stdout) == {
        "repr": True, "name": "verify_chain", "qualname": "verify_chain",
        "reduce": "verify_chain", "module": None, "doc": None, "globals": None,
        "builtins": None, "annotations": {}, "code": ["envelopes"],
        "calls": ["SystemError", "SystemError", "TypeError"], "others": "sha256:",
    }
