"""The committed examples: the vectors other implementations test against must be what this
module computes, and the example chains must show what the README says they show."""

import hashlib
import json
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import canonical_bytes, reference_ref
from test_cli import child_env, cli

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
VECTORS = json.loads((EXAMPLES / "vectors.json").read_text(encoding="utf-8"))


def generated_files():
    return runpy.run_path(str(EXAMPLES / "make_examples.py"))["files"]()


@pytest.mark.parametrize("vector", VECTORS, ids=[v["name"] for v in VECTORS])
def test_vector_matches_the_module(dr, vector):
    env, canonical = vector["envelope"], vector["canonical"].encode("utf-8")
    assert dr.delegation_ref(env) == vector["ref"]
    assert dr.sha256_jcs(json.loads(canonical)) == vector["ref"].removeprefix("sha256:")
    # Checked without the module too, so a fault shared by the module and the generator
    # cannot hide: the bytes are the six fields' RFC 8785 form and the ref is their SHA-256.
    assert canonical == canonical_bytes(env)
    assert vector["ref"] == "sha256:" + hashlib.sha256(canonical).hexdigest()


def test_vectors_cover_what_other_implementations_get_wrong():
    canonical = [v["canonical"] for v in VECTORS]
    envelopes = [v["envelope"] for v in VECTORS]
    assert any(e.get("not_after_ms") == 2**53 - 1 for e in envelopes)
    assert any(not c.isascii() for c in canonical)
    assert any(any(ord(ch) > 0xFFFF for ch in c) for c in canonical)  # UTF-16 surrogate pair
    assert all(escape in "".join(canonical) for escape in ('\\"', "\\\\", "\\n", "\\u0001"))
    assert any("prev_delegation_ref" not in e for e in envelopes)
    assert any(set(e) - {"delegator_id", "delegate_id", "scope", "not_before_ms",
                         "not_after_ms", "prev_delegation_ref"} for e in envelopes)


def test_committed_examples_are_what_the_generator_writes():
    for name, content in generated_files().items():
        assert (EXAMPLES / name).read_text(encoding="utf-8") == content, (
            f"examples/{name} is stale: run python examples/make_examples.py")


def test_example_chains(tmp_path):
    links = [json.loads(line) for line in (EXAMPLES / "chain.jsonl").read_text().splitlines()]
    good = cli(tmp_path, "verify", str(EXAMPLES / "chain.jsonl"))
    assert good == (0, "".join(reference_ref(link) + "\n" for link in links), "")

    tampered = EXAMPLES / "chain-tampered.jsonl"
    changed = [json.loads(line) for line in tampered.read_text().splitlines()]
    assert [a == b for a, b in zip(links, changed)] == [True, False, True]
    assert cli(tmp_path, "verify", str(tampered)) == (
        1, "", f"{tampered}: chain break: link 2 (line 2) no longer matches the ref that link 3 "
               f"(line 3) names for it: named {reference_ref(links[1])}, recomputes to "
               f"{reference_ref(changed[1])}\n")


README = (EXAMPLES.parent / "README.md").read_text(encoding="utf-8")


def blocks(text, language):
    found = re.findall(rf"^ *```{language}\n(.*?)^ *```$", text, re.MULTILINE | re.DOTALL)
    return [textwrap.dedent(block) for block in found]


def test_readme_worked_example_is_what_the_module_computes(dr):
    section = README.split("## The canonical form", 1)[1].split("\n## ", 1)[0]
    (envelope_json,), (canonical, ref) = blocks(section, "json"), blocks(section, "text")
    env = json.loads(envelope_json)
    assert dr.delegation_ref(env) == ref.strip()
    assert canonical_bytes(env) == canonical.strip().encode("utf-8")
    assert f"({len(canonical.strip().encode())} of them)" in section


def test_readme_python_examples_run(tmp_path):
    script = tmp_path / "readme_examples.py"
    script.write_text("\n".join(blocks(README, "python")))
    done = subprocess.run([sys.executable, str(script)], cwd=EXAMPLES.parent, env=child_env(),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "examples/chain.jsonl ok, last ref sha256:" in done.stdout
    assert "examples/chain-tampered.jsonl rejected: chain break at link 2" in done.stdout


def command_line_examples():
    section = README.split("## Command line\n", 1)[1].split("\n## ", 1)[0]
    return [block for block in blocks(section, "text") if block.startswith("$ ")]


@pytest.mark.parametrize("block", command_line_examples(),
                         ids=lambda block: block.split("\n")[0][2:60])
def test_readme_command_line_examples_say_what_the_program_says(block):
    """Each `$ command` in the README's command-line section, run from the repository root
    with the installed script; stdout and stderr together, in any order between them."""
    from test_cli import SCRIPT
    command, *shown = block.rstrip("\n").split("\n")
    script = command[2:].replace("kestrim-delegation-ref", str(SCRIPT), 1)
    done = subprocess.run(["bash", "-c", script], cwd=EXAMPLES.parent, env=child_env(),
                          capture_output=True, text=True, timeout=60)
    assert sorted((done.stdout + done.stderr).splitlines()) == sorted(shown)
    assert done.returncode == (1 if "FAILED" in block or "chain break" in block else 0)


def test_readme_says_what_tamper_detected_raises(dr):
    """The README once said True "including when it is malformed"; it raises in two cases."""
    bullet = README.split("**`tamper_detected(", 1)[1].split("\n- **", 1)[0]
    assert "TypeError" in bullet and "ValueError" in bullet and "DelegationRefError" in bullet
    env = {"delegator_id": "a", "delegate_id": "b", "scope": "s", "not_before_ms": 0,
           "not_after_ms": 1, "prev_delegation_ref": ""}
    ref = dr.delegation_ref(env)
    assert dr.tamper_detected(ref, dict(env, scope="")) is True
    with pytest.raises(TypeError):
        dr.tamper_detected(ref, dict(env, prev_delegation_ref=None))
    with pytest.raises(ValueError) as refused:
        dr.tamper_detected(ref, dict(env, not_after_ms=2**53))
    assert not isinstance(refused.value, dr.DelegationRefError)
