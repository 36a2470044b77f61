"""Import-time behaviour, each case in a fresh interpreter: the module initialises once per
process, so only a new process shows what a first import does."""

import json

import pytest

from conftest import MODULE_NAME, envelope, reference_ref, run_python

PRELUDE = f"""
import importlib, importlib.util, json, sys, types
NAME = {MODULE_NAME!r}
ENV = {envelope()!r}
def report(**kw):
    print(json.dumps(kw))
"""


def run(code):
    result = run_python(PRELUDE + code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def test_missing_substrate_fails_the_import_and_a_retry_succeeds():
    out = run("""
sys.modules["kestrim_substrate"] = None
try:
    importlib.import_module(NAME)
    error = None
except ImportError as e:
    error = type(e).__name__
del sys.modules["kestrim_substrate"]
dr = importlib.import_module(NAME)
report(error=error, ref=dr.delegation_ref(ENV), registered=sys.modules[NAME] is dr)
""")
    assert out == {"error": "ModuleNotFoundError", "ref": reference_ref(envelope()),
                   "registered": True}


@pytest.mark.parametrize("module, missing", [
    ("kestrim_substrate", "sha256_jcs"),
    ("typing", "Any"), ("typing", "Mapping"), ("typing", "Sequence"),
])
def test_missing_name_fails_the_import_then_a_new_module_initialises(module, missing):
    out = run(f"""
import kestrim_substrate, typing
real = sys.modules[{module!r}]
seen = []
class Partial(types.ModuleType):
    def __getattr__(self, name):
        if name == {missing!r}:
            seen.append(sys.modules.get(NAME))
            raise AttributeError(name)
        return getattr(real, name)
sys.modules[{module!r}] = Partial({module!r})
try:
    importlib.import_module(NAME)
    error = None
except ImportError as e:
    error = str(e)
sys.modules[{module!r}] = real
dr = importlib.import_module(NAME)
failed = seen[0] if seen else None
report(error=error, new=failed is not None and failed is not dr,
       ref=dr.delegation_ref(ENV), same_re=dr.re is sys.modules["re"])
""")
    assert out == {"error": f"cannot import name {missing}", "new": True,
                   "ref": reference_ref(envelope()), "same_re": True}


def test_names_come_from_the_host_modules_at_import():
    out = run("""
import kestrim_substrate, re as real_re, typing as real_typing
compiled = []
fake_re = types.ModuleType("re")
fake_re.__getattr__ = lambda name: getattr(real_re, name)
fake_re.compile = lambda *args, **kwargs: compiled.append((args, kwargs)) or real_re.compile(*args, **kwargs)
fake_typing = types.ModuleType("typing")
fake_typing.Any, fake_typing.Mapping, fake_typing.Sequence = "any", "mapping", "sequence"
sys.modules["re"], sys.modules["typing"] = fake_re, fake_typing
dr = importlib.import_module(NAME)
sys.modules["re"], sys.modules["typing"] = real_re, real_typing
report(re=dr.re is fake_re, typing=[dr.Any, dr.Mapping, dr.Sequence],
       pattern=[c[0][0] for c in compiled], ok=dr._REF_RE.pattern == "^sha256:[0-9a-f]{64}$")
""")
    assert out == {"re": True, "typing": ["any", "mapping", "sequence"],
                   "pattern": ["^sha256:[0-9a-f]{64}$"], "ok": True}


def test_one_module_object_per_process():
    out = run("""
import ctypes
spec = importlib.util.find_spec(NAME)
first = importlib.util.module_from_spec(spec)
spec.loader.exec_module(first)
registered = sys.modules.get(NAME) is first
first.SHA256_PREFIX = "kept:"
# A second create step hands back the same module; executing it again changes nothing.
again = importlib.util.module_from_spec(importlib.util.find_spec(NAME))
spec.loader.exec_module(again)
reloaded = importlib.reload(first)
kept = first.SHA256_PREFIX
# The execute step run on any other module object refuses.
get_def = ctypes.pythonapi.PyModule_GetDef
get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
exec_def = ctypes.pythonapi.PyModule_ExecDef
exec_def.restype, exec_def.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
other = types.ModuleType(NAME)
try:
    exec_def(other, get_def(first))
    error = None
except RuntimeError as e:
    error = str(e)
report(registered=registered, same=again is first and reloaded is first, kept=kept,
       error=error, other_untouched="delegation_ref" not in vars(other))
""")
    assert out == {
        "registered": True, "same": True, "kept": "kept:", "other_untouched": True,
        "error": "Module 'delegation_ref' has already been imported. "
                 "Re-initialisation is not supported.",
    }


@pytest.mark.parametrize("attrs, expected", [
    ("loader = 'L'; parent = 'pkg.sub'; submodule_search_locations = ['p']",
     {"loader": "L", "package": "pkg.sub", "path": ["p"]}),
    ("loader = None; parent = None; submodule_search_locations = None",
     {"loader": None, "package": None, "path": "absent"}),
    ("pass", {"loader": None, "package": None, "path": "absent"}),
    ("loader = 'L'; parent = property(lambda self: 1 / 0)", {"error": "ZeroDivisionError"}),
])
def test_create_step_copies_loader_origin_parent_and_path(attrs, expected):
    out = run(f"""
real = importlib.util.find_spec(NAME)
class Spec:
    name = NAME
    origin = real.origin
    {attrs}
try:
    m = real.loader.create_module(Spec())
except Exception as e:
    report(error=type(e).__name__)
else:
    report(name=m.__name__, file=m.__file__ == real.origin,
           loader=getattr(m, "__loader__", None), package=getattr(m, "__package__", None),
           path=getattr(m, "__path__", "absent"))
""")
    if "error" not in expected:
        expected = dict(expected, name=MODULE_NAME, file=True)
    assert out == expected


def test_second_interpreter_is_refused():
    out = run("""
import os
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    report(skip=True)
    raise SystemExit
importlib.import_module(NAME)
r, w = os.pipe()
interpreters.run_string(interpreters.create(), f'''
import os
try:
    import {NAME}
    outcome = "imported"
except Exception as e:
    outcome = type(e).__name__ + ": " + str(e)
os.write({w}, outcome.encode())
''')
os.close(w)
report(outcome=os.read(r, 4096).decode())
""")
    if out.get("skip"):
        pytest.skip("no subinterpreter support in this build")
    assert out == {"outcome": "ImportError: Interpreter change detected - this module can only "
                              "be loaded into one interpreter per process."}


# A key planted during the import that equals "__test__" and raises when the module binds
# that name, the last binding, after the functions: hostile code keeps the half-made module.
KEPT_FROM_A_FAILED_IMPORT = """
import kestrim_substrate as real
kept = []
class Planted(str):
    def __hash__(self):
        return str.__hash__(self)
    def __eq__(self, other):
        if not kept:
            kept.append(sys.modules[NAME])
            raise RuntimeError("planted")
        return str.__eq__(self, other)
class Standin(types.ModuleType):
    @property
    def sha256_jcs(self):
        vars(sys.modules[NAME])[Planted("__test__")] = "planted"
        return real.sha256_jcs
sys.modules["kestrim_substrate"] = Standin("kestrim_substrate")
try:
    importlib.import_module(NAME)
    error = None
except RuntimeError as e:
    error = str(e)
sys.modules["kestrim_substrate"] = real
old = kept[0]
"""


def test_functions_kept_from_a_failed_import_use_their_own_namespace():
    out = run(KEPT_FROM_A_FAILED_IMPORT + """
before = [old.delegation_ref(ENV), old.verify_chain([ENV]), old.tamper_detected("x", ENV),
          old.tamper_detected("x", {})]
new = importlib.import_module(NAME)
# Each module's functions read their own namespace, whichever was rebound.
old.SHA256_PREFIX = "old:"
new.delegation_ref = lambda env: "R"
after = {"old": [old.delegation_ref(ENV), old.verify_chain([ENV])],
         "new": [new.delegation_ref(ENV), new.verify_chain([ENV])]}
report(error=error, before=before, after=after, distinct=old is not new,
       globals=[f.__globals__ is vars(m) for m in (old, new)
                for f in (m._normalise, m.tamper_detected, m.verify_chain)])
""")
    ref = reference_ref(envelope())
    assert out == {
        "error": "planted", "before": [ref, [ref], True, True], "distinct": True,
        "after": {"old": ["old:" + ref[len("sha256:"):], ["old:" + ref[len("sha256:"):]]],
                  "new": ["R", ["R"]]},
        "globals": [True] * 6,
    }


def test_kept_functions_outlive_their_module_and_the_next_import():
    # The failed module object and every other name for its namespace are dropped; the
    # functions hold their namespace themselves.
    out = run(KEPT_FROM_A_FAILED_IMPORT + """
import gc
ref = old.delegation_ref
chain = old.verify_chain
del old, kept[:]
gc.collect()
new = importlib.import_module(NAME)
report(ref=ref(ENV), chain=chain([ENV]), new=new.delegation_ref(ENV), own=ref is not new.delegation_ref)
""")
    ref = reference_ref(envelope())
    assert out == {"ref": ref, "chain": [ref], "new": ref, "own": True}


def test_builtins_that_are_not_a_module():
    # `import builtins` gives what sys.modules holds; names the namespace lacks then fall back
    # on the builtins the interpreter itself runs with, as for the functions' __builtins__.
    out = run("""
import builtins as real
sys.modules["builtins"] = 42
try:
    dr = importlib.import_module(NAME)
finally:
    sys.modules["builtins"] = real
del dr.DelegationRefError
real.DelegationRefError = KeyError
try:
    dr._normalise({})
    fallback = None
except KeyError as e:
    fallback = e.args
report(bound=vars(dr)["__builtins__"], ref=dr.delegation_ref(ENV), fallback=fallback,
       builtins=[f.__builtins__ is vars(real) for f in (dr._normalise, dr.verify_chain)])
""")
    assert out == {"bound": 42, "ref": reference_ref(envelope()),
                   "fallback": ["delegator_id must be a non-empty string"],
                   "builtins": [True, True]}


# What a stand-in re.compile hands back at import; `calls` records each match.
PATTERNS = {
    "case-insensitive": "real_re.compile(pattern, real_re.IGNORECASE)",
    "multiline": "real_re.compile(pattern, real_re.MULTILINE)",
    "other-text": "real_re.compile(pattern.replace('64', '4,64'))",
    "instrumented-double": "Double(real_re.compile(pattern))",
    "named-like-a-pattern": "Named(real_re.compile(pattern))",
    "genuine": "real_re.compile(pattern)",
}


@pytest.mark.parametrize("made", PATTERNS)
def test_ref_pattern_that_is_not_the_genuine_one_is_asked(made):
    out = run(f"""
import re as real_re
calls = []
class Double:
    def __init__(self, inner):
        self.inner = inner
    def match(self, value):
        calls.append(value)
        return self.inner.match(value)
Named = type("re.Pattern", (Double,), {{}})
fake_re = types.ModuleType("re")
fake_re.__getattr__ = lambda name: getattr(real_re, name)
fake_re.compile = lambda pattern: {PATTERNS[made]}
sys.modules["re"] = fake_re
dr = importlib.import_module(NAME)
sys.modules["re"] = real_re
values = ["sha256:" + "AB" * 32, "SHA256:" + "ab" * 32, "sha256:" + "ab" * 32,
          "sha256:" + "ab" * 32 + "\\n", "sha256:" + "ab" * 32 + "\\nmore", "sha256:" + "ab" * 2]
verdicts = []
for value in values:
    try:
        dr._normalise(dict(ENV, prev_delegation_ref=value))
        verdicts.append(True)
    except dr.DelegationRefError:
        verdicts.append(False)
calls.clear()
matched = [bool(dr._REF_RE.match(v)) for v in values]
asked = len(calls)
calls.clear()
dr.tamper_detected("x", dict(ENV, prev_delegation_ref=values[0]))
report(agree=verdicts == matched, verdicts=verdicts, asked=asked, tamper_calls=len(calls))
""")
    asked = 6 if made in ("instrumented-double", "named-like-a-pattern") else 0
    assert out["agree"] and out["asked"] == asked, out
    assert out["tamper_calls"] == asked // 6
    # The values tell these patterns from the module's own.
    if made == "case-insensitive":
        assert out["verdicts"][:2] == [True, True]
    if made == "multiline":
        assert out["verdicts"][4]


def test_import_failing_for_lack_of_memory_leaves_nothing_behind():
    # Every allocation of the execute step fails in turn, until one is survived. Each
    # failed attempt must drop what it made, so a field name is held exactly as often as
    # after one clean import.
    pytest.importorskip("_testcapi")
    sweep = """
import _testcapi, gc
spec = importlib.util.find_spec(NAME)
import kestrim_substrate, re, typing
probe = sys.intern("delegator_id")
before = sys.getrefcount(probe)
attempts = 0
for n in range(1, 5000) if SWEEP else [0]:
    m = importlib.util.module_from_spec(spec)
    if SWEEP:
        _testcapi.set_nomemory(n, n + 1)
    try:
        spec.loader.exec_module(m)
    except Exception:
        _testcapi.remove_mem_hooks()
        sys.modules.pop(NAME, None)
        attempts += 1
        continue
    _testcapi.remove_mem_hooks()
    break
gc.collect()
report(held=sys.getrefcount(probe) - before, failed=attempts, ref=m.delegation_ref(ENV))
"""
    clean, swept = run("SWEEP = False" + sweep), run("SWEEP = True" + sweep)
    assert swept["failed"] > 20
    assert swept["held"] == clean["held"]
    assert swept["ref"] == clean["ref"] == reference_ref(envelope())
