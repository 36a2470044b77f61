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
