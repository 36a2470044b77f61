"""The repaired wheels of `make wheel`, each installed as a user installs it: into a fresh
virtual environment without the system's site packages, from the wheel file alone, with no
compiler reachable, and run without the machine's libcrypto.

`make test-wheels` builds the wheels and runs this file; a plain pytest run has no wheels to
test and skips it.
"""

import json
import os
import re
import stat
import subprocess
import zipfile
from pathlib import Path

import pytest

from conftest import reference_ref

WHEELHOUSE = os.environ.get("KESTRIM_WHEELHOUSE")
if not WHEELHOUSE:
    pytest.skip("the wheels are built and tested by `make test-wheels`", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[1]
VERSIONS = os.environ.get("KESTRIM_WHEEL_VERSIONS", "3.11.7 3.12.1 3.13.0").split()
LIBCRYPTO = os.environ.get("KESTRIM_WHEEL_LIBCRYPTO", "static")
RELEASE = re.search(r'__version__ = "([^"]+)"',
                    (ROOT / "kestrim_delegation_ref" / "_version.py").read_text()).group(1)
CHAIN_BREAK = (
    "chain break: link 2 (line 2) no longer matches the ref that link 3 (line 3) names for it")

# Anything that would compile: each records that it was called, and fails.
COMPILERS = ["cc", "gcc", "g++", "c++", "clang", "clang++", "cmake", "ninja", "make", "ld"]


def quick_start():
    """The README's quick start, as printed there."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Quick start\n", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


# Run after the quick start, in the same process: what it computed, which libcrypto the
# process has mapped at that point, and whether the interpreter's own hashlib (which loads
# the system libcrypto next to ours) still agrees with the substrate.
REPORT = """
import json, sys
import kestrim_delegation_ref, kestrim_substrate
with open("/proc/self/maps") as f:
    mapped = sorted({line.split()[-1] for line in f if "libcrypto" in line})
import hashlib
blob = kestrim_substrate.canonicalize(a_to_b)
print(json.dumps({
    "refs": refs, "version": [kestrim_delegation_ref.__version__, kestrim_substrate.__version__],
    "python": "%d.%d.%d" % sys.version_info[:3], "jcs": kestrim_substrate._jcs.__file__,
    "libcrypto": mapped,
    "agrees_with_hashlib": kestrim_substrate.sha256_jcs(a_to_b) == hashlib.sha256(blob).hexdigest(),
}))
"""


def find_python(version):
    found = subprocess.run([ROOT / "tools" / "find-python", version], capture_output=True,
                           text=True)
    assert found.returncode == 0, found.stderr  # a missing interpreter fails, never skips
    return found.stdout.strip()


def wheel_for(version):
    tag = "cp" + "".join(version.split(".")[:2])
    wheels = sorted(Path(WHEELHOUSE).glob(f"kestrim_delegation_ref-{RELEASE}-{tag}-{tag}-*.whl"))
    assert len(wheels) == 1, f"expected one {tag} wheel of {RELEASE} in {WHEELHOUSE}: {wheels}"
    return wheels[0]


@pytest.fixture(scope="module", params=VERSIONS)
def installed(request, tmp_path_factory):
    """(version, wheel, venv, env) with the wheel installed; env is the one to run it in."""
    version = request.param
    wheel = wheel_for(version)
    tmp = tmp_path_factory.mktemp(f"wheel-{version}")
    trap_bin, calls = tmp / "no-compilers", tmp / "compiler-calls"
    trap_bin.mkdir()
    for name in COMPILERS:
        trap = trap_bin / name
        trap.write_text(f'#!/bin/sh\necho "{name} $*" >> "{calls}"\nexit 1\n')
        trap.chmod(trap.stat().st_mode | stat.S_IXUSR)
    venv = tmp / "venv"
    subprocess.run([find_python(version), "-m", "venv", venv], check=True)
    env = {"PATH": f"{trap_bin}:/usr/bin:/bin", "HOME": str(tmp), "LD_LIBRARY_PATH": "",
           "CC": str(trap_bin / "cc"), "CXX": str(trap_bin / "c++"), "LANG": "C.UTF-8"}
    # --isolated: no pip configuration or PIP_* variable can point it at an index.
    subprocess.run([venv / "bin" / "python", "-m", "pip", "--isolated", "install", "-q",
                    "--no-index", "--only-binary=:all:", "--no-deps", wheel],
                   check=True, env=env, cwd=tmp)
    assert not calls.exists(), "installing the wheel ran: " + calls.read_text()
    return version, wheel, venv, env


def run(installed, *argv, stdin=None):
    version, wheel, venv, env = installed
    # From an empty directory and with -I, so nothing but the installed wheel is importable.
    return subprocess.run(argv, capture_output=True, text=True, env=env, cwd=venv.parent,
                          input=stdin, timeout=120)


def test_wheel_is_manylinux_and_carries_its_licence(installed):
    version, wheel, venv, env = installed
    assert re.search(r"-manylinux_\d+_\d+_x86_64\.whl$", wheel.name), wheel.name
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        meta = z.read(f"kestrim_delegation_ref-{RELEASE}.dist-info/METADATA").decode()
    assert any(n.endswith("LICENSE") and ".dist-info/" in n for n in names), names
    assert "Requires-Python: >=3.11" in meta
    assert "License :: OSI Approved :: Apache Software License" in meta
    grafted = [n for n in names if ".libs/" in n]
    if LIBCRYPTO == "static":
        assert grafted == [], "a static wheel should need nothing grafted in"
    else:
        assert any("libcrypto" in n for n in grafted), names


def test_quick_start_runs_on_the_wheel_alone(installed):
    version, wheel, venv, env = installed
    result = run(installed, venv / "bin" / "python", "-I", "-c", quick_start() + REPORT)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])

    a_to_b = {"delegator_id": "agent:alice", "delegate_id": "agent:bob",
              "scope": "calendar:read", "not_before_ms": 1767225600000,
              "not_after_ms": 1767254400000, "prev_delegation_ref": ""}
    b_to_c = dict(a_to_b, delegator_id="agent:bob", delegate_id="agent:carol",
                  prev_delegation_ref=reference_ref(a_to_b))
    assert report["refs"] == [reference_ref(a_to_b), reference_ref(b_to_c)]
    assert report["python"] == version
    assert report["version"] == [RELEASE, RELEASE]
    assert report["jcs"].startswith(str(venv) + "/")
    assert report["agrees_with_hashlib"]
    # Only libcrypto the wheel brought may be mapped: none at all when it is linked in
    # statically (hashlib had not been imported when the maps were read).
    if LIBCRYPTO == "static":
        assert report["libcrypto"] == []
    else:
        assert report["libcrypto"] and all(p.startswith(str(venv) + "/")
                                           for p in report["libcrypto"]), report["libcrypto"]


def test_extension_needs_no_system_libcrypto(installed):
    version, wheel, venv, env = installed
    (jcs,) = venv.glob("lib/python*/site-packages/kestrim_substrate/_jcs*.so")
    ldd = run(installed, "ldd", jcs)
    assert ldd.returncode == 0 and "not found" not in ldd.stdout, ldd.stdout
    crypto = [line for line in ldd.stdout.splitlines() if "libcrypto" in line]
    if LIBCRYPTO == "static":
        assert crypto == [], ldd.stdout
    else:
        assert crypto and all(str(venv) in line for line in crypto), ldd.stdout


def test_command_line_verifies_and_rejects_the_example_chains(installed):
    version, wheel, venv, env = installed
    script = venv / "bin" / "kestrim-delegation-ref"
    good = (ROOT / "examples" / "chain.jsonl").read_text(encoding="utf-8")
    links = [json.loads(line) for line in good.splitlines() if line.strip()]
    result = run(installed, script, "verify", "-", stdin=good)
    assert (result.returncode, result.stdout) == (
        0, "".join(reference_ref(link) + "\n" for link in links)), result.stderr

    tampered = (ROOT / "examples" / "chain-tampered.jsonl").read_text(encoding="utf-8")
    result = run(installed, script, "verify", "-", stdin=tampered)
    assert result.returncode == 1 and CHAIN_BREAK in result.stderr, result.stderr
