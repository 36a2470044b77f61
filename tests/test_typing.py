"""The type stubs: they must agree with the compiled modules (stubtest), let typed code that
uses the API pass `mypy --strict`, and still reject code that misuses it."""

import ast
import importlib
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is a test dependency: pip install '.[test]'")

import kestrim_delegation_ref  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
PACKAGE_ROOT = str(Path(kestrim_delegation_ref.__file__).resolve().parents[1])


def run(tmp_path, *args):
    # From an empty directory, so that the stubs and the modules mypy sees are the ones
    # the tests import (installed, or the checkout on PYTHONPATH), and its cache goes there.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PACKAGE_ROOT] + [p for p in [env.get("PYTHONPATH")] if p])
    env["MYPY_CACHE_DIR"] = str(tmp_path / ".mypy_cache")
    done = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout + done.stderr


def test_stubs_agree_with_the_compiled_modules(tmp_path):
    status, out = run(tmp_path, "mypy.stubtest", "kestrim_delegation_ref.delegation_ref",
                      "kestrim_substrate")
    assert status == 0, out


def test_typed_code_passes_strict_mypy(tmp_path):
    files = [REPO / "examples" / "typed_usage.py", REPO / "examples" / "make_examples.py",
             REPO / "kestrim_delegation_ref" / "cli.py",
             *(REPO / "kestrim_delegation_ref").glob("_cli_*.py"),
             REPO / "kestrim_delegation_ref" / "__main__.py"]
    status, out = run(tmp_path, "mypy", "--strict", *map(str, files))
    assert status == 0, out


MISUSE = """\
from collections.abc import Mapping
from typing import Any
from kestrim_delegation_ref.delegation_ref import (
    _normalise, delegation_ref, tamper_detected, verify_chain)
from kestrim_substrate import canonicalize, sha256_jcs

class AnyGet:
    def get(self, key: str, default: object = None) -> object: ...

class IntKeys:
    def get(self, key: int) -> object: ...

env: dict[str, object] = {}
view: Mapping[str, Any] = env
delegation_ref(env); delegation_ref(view); delegation_ref(AnyGet())
verify_chain(iter([env, view])); verify_chain((AnyGet(),))
ok: bool = tamper_detected(delegation_ref(env), env)
hex_digest: str = sha256_jcs(env)
normalised: dict[str, Any] = _normalise(env)
delegation_ref("agent:A")  # E: a str has no get
delegation_ref(IntKeys())  # E: get must take the field name
tamper_detected(env, "sha256:")  # E: arguments swapped
verify_chain(env)  # E: a dict iterates its keys, not envelopes
ref: bytes = delegation_ref(env)  # E: a ref is a str
raw: str = canonicalize(env)  # E: canonical form is bytes
sha256_jcs(obj=env)  # E: positional only
"""


def test_misuse_is_rejected_where_it_happens(tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    status, out = run(tmp_path, "mypy", "--strict", "misuse.py")
    flagged = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error", out, re.MULTILINE)}
    expected = {n for n, line in enumerate(MISUSE.splitlines(), 1) if "# E:" in line}
    assert status == 1 and flagged == expected, out


# The compiled modules have no Python source: for a type checker or an editor their stubs are
# all there is, so a docstring missing there is missing from every hover and completion.
NATIVE_STUBS = ["kestrim_delegation_ref.delegation_ref", "kestrim_substrate._jcs"]


def stub_docstrings(module_name):
    """{name: docstring or None} of the stub's module and its top-level classes and functions;
    the module itself is keyed by ""."""
    module = importlib.import_module(module_name)
    stub = Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    docs = {"": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            docs[node.name] = ast.get_docstring(node)
    return module, docs


@pytest.mark.parametrize("module_name", NATIVE_STUBS)
def test_stub_docstrings_are_the_compiled_ones(module_name):
    module, docs = stub_docstrings(module_name)
    runtime = {"": inspect.getdoc(module)}
    for name in docs.keys() - {""}:
        if hasattr(module, name):
            runtime[name] = inspect.getdoc(getattr(module, name))
    # Names the stub alone declares (a Protocol for envelopes) have nothing to repeat.
    assert {name: docs[name] for name in runtime} == runtime
