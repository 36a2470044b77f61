"""The native functions in the standard tools: introspection, help, type hints, pickling
(also into worker processes), copying, weak references and tracebacks. Each tool is asked
about a native function and about a plain Python function with the same contract, and
must not tell them apart."""

import concurrent.futures
import copy
import inspect
import io
import multiprocessing
import pickle
import pydoc
import traceback
import typing
import weakref
from typing import Any, Mapping, Sequence

import pytest

from conftest import MODULE_NAME, Boom, GetEnv, build_chain, envelope, reference_ref

SOURCE_PATH = "kestrim_delegation_ref/delegation_ref"


# The contract written as ordinary functions; the tools' view of these is the reference.
# (The blank line keeps pydoc from showing this comment as _normalise's documentation.)

def _normalise(envelope: "Mapping[str, Any]") -> "dict": ...
def delegation_ref(envelope: "Mapping[str, Any]") -> "str": ...
def tamper_detected(claimed_ref: "str", envelope: "Mapping[str, Any]") -> "bool": ...
def verify_chain(envelopes: "Sequence[Mapping[str, Any]]") -> "list[str]": ...


TWINS = {f.__name__: f for f in (_normalise, delegation_ref, tamper_detected, verify_chain)}
NAMES = list(TWINS)


@pytest.fixture(params=NAMES)
def pair(request, dr):
    native, twin = getattr(dr, request.param), TWINS[request.param]
    # The docstrings are checked elsewhere; here only how the tools render them matters.
    twin.__doc__, twin.__module__ = native.__doc__, native.__module__
    return native, twin


def test_signature_is_that_of_the_python_function(pair):
    native, twin = pair
    assert inspect.signature(native) == inspect.signature(twin)
    assert inspect.signature(native, eval_str=True) == inspect.signature(twin, eval_str=True)


def test_type_hints_resolve_through_the_module_namespace(pair, dr):
    native, twin = pair
    assert typing.get_type_hints(native) == typing.get_type_hints(twin)
    # Resolved at the time of asking, in the module's own namespace, not from a copy.
    dr.Any = int
    assert "int" in repr(typing.get_type_hints(native))


def test_pydoc_renders_it_as_a_python_function(pair):
    native, twin = pair
    native_doc = pydoc.render_doc(native, renderer=pydoc.plaintext)
    twin_doc = pydoc.render_doc(twin, renderer=pydoc.plaintext)
    # The first line names the object's type, which only FunctionType can call "function".
    assert native_doc.splitlines()[1:] == twin_doc.splitlines()[1:]
    assert MODULE_NAME in native_doc.splitlines()[0]
    html = pydoc.HTMLDoc().document(native)
    assert f'<a name="-{native.__name__}">' in html


def test_help_on_the_module_lists_the_public_functions(dr):
    out = io.StringIO()
    pydoc.Helper(output=out).help(dr)
    functions = out.getvalue().split("\nFUNCTIONS\n", 1)[1].split("\nDATA\n", 1)[0]
    for name in dr.__all__:
        f = getattr(dr, name)
        if callable(f) and not isinstance(f, type):
            assert f"{name}{inspect.signature(f)}" in functions
            assert f.__doc__.splitlines()[0] in functions
    assert "_normalise" not in functions  # private, as for any module with __all__


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_by_reference_under_every_protocol(dr, protocol):
    functions = [getattr(dr, name) for name in NAMES]
    data = pickle.dumps({"handlers": functions}, protocol)
    assert pickle.loads(data)["handlers"] == functions
    assert all(a is b for a, b in zip(pickle.loads(data)["handlers"], functions))
    # By reference: the payload names the function, it does not carry it.
    assert len(data) < 400


def test_copies_and_weak_references_keep_identity(dr):
    functions = {name: getattr(dr, name) for name in NAMES}
    clone = copy.deepcopy({"nested": [functions]})
    assert all(clone["nested"][0][n] is f for n, f in functions.items())

    refs = {n: weakref.ref(f) for n, f in functions.items()}
    assert all(refs[n]() is f for n, f in functions.items())
    registry = weakref.WeakValueDictionary(functions)
    seen = weakref.WeakSet(functions.values())
    assert dict(registry) == functions and len(seen) == len(functions)


@pytest.mark.parametrize("protocol", [0, pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("call", [
    lambda dr: dr.delegation_ref(envelope(scope="")),
    lambda dr: dr.verify_chain([envelope(prev_delegation_ref=reference_ref(envelope()))]),
], ids=["malformed", "chain-break"])
def test_raised_errors_pickle_with_their_message(dr, protocol, call):
    with pytest.raises(dr.DelegationRefError) as info:
        call(dr)
    restored = pickle.loads(pickle.dumps(info.value, protocol))
    assert type(restored) is dr.DelegationRefError
    assert restored.args == info.value.args and str(restored) == str(info.value)
    assert copy.deepcopy(info.value).args == info.value.args


def spawn_pool():
    # spawn, not fork: each worker imports the module afresh, so the functions and the
    # error really travel by name into a process that never saw them.
    return concurrent.futures.ProcessPoolExecutor(
        max_workers=2, mp_context=multiprocessing.get_context("spawn"))


def test_verify_chain_maps_over_a_process_pool(dr):
    chains = [build_chain(n) for n in (1, 3, 5, 2)]
    with spawn_pool() as pool:
        results = list(pool.map(dr.verify_chain, chains))
        broken = pool.submit(dr.verify_chain, [chains[1][0], chains[1][2]])
        with pytest.raises(dr.DelegationRefError) as info:
            broken.result(timeout=120)
    assert results == [[reference_ref(link) for link in chain] for chain in chains]
    assert info.value.args == (
        "chain break at link 1: prev_delegation_ref does not match the prior link",)


def native_frames(exc):
    return [f for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE_PATH]


@pytest.mark.parametrize("call, error, frames", [
    (lambda dr: dr.delegation_ref(envelope(delegator_id="")), "DelegationRefError",
     ["delegation_ref", "_normalise"]),
    (lambda dr: dr.verify_chain(build_chain(2) + [envelope(not_after_ms=0, prev_delegation_ref=
                                                           reference_ref(build_chain(2)[1]))]),
     "DelegationRefError", ["verify_chain", "delegation_ref", "_normalise"]),
    (lambda dr: dr.verify_chain([envelope(prev_delegation_ref=None)]), "DelegationRefError",
     ["verify_chain"]),
    (lambda dr: dr.tamper_detected("sha256:", envelope(prev_delegation_ref=None)), "TypeError",
     ["tamper_detected", "delegation_ref", "_normalise"]),
], ids=["delegation_ref", "verify_chain-malformed", "verify_chain-break", "tamper_detected"])
def test_tracebacks_show_a_frame_per_native_function(dr, call, error, frames):
    with pytest.raises(Exception) as info:
        call(dr)
    assert type(info.value).__name__ == error
    seen = native_frames(info.value)
    assert [f.name for f in seen] == frames
    for frame in seen:
        code = getattr(dr, frame.name).__code__
        assert frame.filename == code.co_filename
        assert frame.lineno >= code.co_firstlineno > 0
    # The whole report renders, whether or not the source file is at hand.
    assert f"{error}: " in traceback.format_exception(info.value)[-1]


def bad_link_chain():
    chain = build_chain(2)
    return chain + [envelope(not_after_ms=0, prev_delegation_ref=reference_ref(chain[1]))]


# What each native frame of the traceback must hold as its locals: the arguments of its call,
# by identity, as a Python function's frame holds its parameters. (call, [(frame, locals)]),
# the objects made once per case so that identity can be asked.
def traced_calls():
    bad = envelope(delegator_id="")
    yield "delegation_ref", lambda dr: dr.delegation_ref(bad), [
        ("delegation_ref", {"envelope": bad}), ("_normalise", {"envelope": bad})]
    chain = bad_link_chain()
    yield "verify_chain-malformed", lambda dr: dr.verify_chain(chain), [
        ("verify_chain", {"envelopes": chain}), ("delegation_ref", {"envelope": chain[-1]}),
        ("_normalise", {"envelope": chain[-1]})]
    links = iter([envelope(prev_delegation_ref="sha256:" + "0" * 64)])
    yield "verify_chain-break", lambda dr: dr.verify_chain(links), [
        ("verify_chain", {"envelopes": links})]
    # Entered directly by tamper_detected, delegation_ref's and _normalise's entries are owed
    # and added later: their arguments are held until then.
    untyped, claimed = envelope(prev_delegation_ref=None), "sha256:"
    for ids, call in [("tamper_detected", lambda dr: dr.tamper_detected(claimed, untyped)),
                      ("tamper_detected-keywords",
                       lambda dr: dr.tamper_detected(envelope=untyped, claimed_ref=claimed))]:
        yield ids, call, [("tamper_detected", {"claimed_ref": claimed, "envelope": untyped}),
                          ("delegation_ref", {"envelope": untyped}),
                          ("_normalise", {"envelope": untyped})]


TRACED_CALLS = list(traced_calls())


@pytest.mark.parametrize("call, frames", [case[1:] for case in TRACED_CALLS],
                         ids=[case[0] for case in TRACED_CALLS])
def test_native_frames_hold_their_arguments_as_locals(dr, call, frames):
    with pytest.raises(Exception) as info:
        call(dr)
    seen = [frame for frame, _ in traceback.walk_tb(info.value.__traceback__)
            if frame.f_code.co_filename == SOURCE_PATH]
    assert [frame.f_code.co_name for frame in seen] == [name for name, _ in frames]
    for frame, (name, expected) in zip(seen, frames):
        # Asked twice: each reading of f_locals is made afresh from the frame's own slots.
        for _ in range(2):
            held = dict(frame.f_locals)
            assert held.keys() == expected.keys(), name
            assert all(held[k] is v for k, v in expected.items()), name
    # What a report of locals shows (pytest --showlocals, capture_locals).
    report = "".join(traceback.TracebackException.from_exception(
        info.value, capture_locals=True).format())
    for _, expected in frames:
        assert all(f"    {k} = {v!r}\n" in report for k, v in expected.items())


def test_traceback_interleaves_native_and_python_frames(dr):
    class Exploding(GetEnv):
        def get(self, *args, **kwargs):
            if args[0] == "scope":
                raise Boom("from the caller's get")
            return super().get(*args, **kwargs)

    with pytest.raises(Boom) as info:
        dr.verify_chain([Exploding(envelope())])
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-4:] == ["verify_chain", "delegation_ref", "_normalise", "get"]
