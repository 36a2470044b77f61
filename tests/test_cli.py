"""`python -m kestrim_delegation_ref`, run as a user would: in a fresh interpreter, from
another directory, on files and on standard input."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import kestrim_delegation_ref
from conftest import build_chain, envelope, reference_ref

# Run the same package the tests import, wherever it is installed.
PACKAGE_ROOT = str(Path(kestrim_delegation_ref.__file__).resolve().parents[1])
CHAIN_BREAK = "chain break at link {}: prev_delegation_ref does not match the prior link"


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PACKAGE_ROOT] + [p for p in [env.get("PYTHONPATH")] if p])
    return env


def command(*args, **popen):
    return [sys.executable, "-m", "kestrim_delegation_ref", *args], dict(env=child_env(), **popen)


def cli(tmp_path, *args, stdin=b""):
    argv, options = command(*args, cwd=tmp_path)
    done = subprocess.run(argv, input=stdin, capture_output=True, timeout=120, **options)
    out, err = done.stdout.decode(), done.stderr.decode()
    assert "Traceback" not in err, err
    return done.returncode, out, err


def jsonl(links, sep="\n"):
    return "".join(json.dumps(link, ensure_ascii=False) + sep for link in links).encode()


def array(links):
    return json.dumps(links, indent=2).encode()


def write(tmp_path, content, name="input"):
    path = tmp_path / name
    path.write_bytes(content)
    return name


def refs(links):
    return "".join(reference_ref(link) + "\n" for link in links)


@pytest.mark.parametrize("via_stdin", [False, True], ids=["file", "stdin"])
def test_ref_prints_the_ref(tmp_path, via_stdin):
    env = envelope(scope="lire:boîte", note="not hashed")
    data = json.dumps(env, ensure_ascii=False).encode()
    args = ("ref", "-") if via_stdin else ("ref", write(tmp_path, data))
    assert cli(tmp_path, *args, stdin=data) == (0, refs([env]), "")


@pytest.mark.parametrize("content", [
    lambda links: jsonl(links),
    lambda links: b"\xef\xbb\xbf\n\n" + jsonl(links, sep="\r\n\r\n"),  # BOM, CRLF, blank lines
    lambda links: array(links),
    lambda links: b"  " + json.dumps(links).encode(),
], ids=["jsonl", "jsonl-bom-crlf-blank", "array-indented", "array-one-line"])
@pytest.mark.parametrize("via_stdin", [False, True], ids=["file", "stdin"])
def test_verify_prints_one_ref_per_link(tmp_path, content, via_stdin):
    links = build_chain(4)
    data = content(links)
    args = ("verify", "-") if via_stdin else ("verify", write(tmp_path, data))
    assert cli(tmp_path, *args, stdin=data) == (0, refs(links), "")


def broken_prev(links):
    links[2]["prev_delegation_ref"] = links[0]["prev_delegation_ref"]
    return links


def malformed(links):
    links[1]["scope"] = ""
    return links


@pytest.mark.parametrize("fmt, damage, message", [
    (jsonl, broken_prev, "input: line 3: " + CHAIN_BREAK.format(2)),
    (array, broken_prev, "input: " + CHAIN_BREAK.format(2)),
    (jsonl, malformed, "input: line 2: scope must be a non-empty string"),
    (array, malformed, "input: link 1: scope must be a non-empty string"),
], ids=["jsonl-break", "array-break", "jsonl-malformed", "array-malformed"])
def test_verify_names_the_failing_link(tmp_path, fmt, damage, message):
    name = write(tmp_path, fmt(damage(build_chain(4))))
    # Nothing on stdout: refs of a chain that does not verify would be misleading.
    assert cli(tmp_path, "verify", name) == (1, "", message + "\n")


def test_verify_stops_reading_at_the_first_bad_link(tmp_path):
    links = build_chain(3)
    tail = b'{"not json\n[1, 2]\n'
    name = write(tmp_path, jsonl(broken_prev(links)) + tail)
    assert cli(tmp_path, "verify", name) == (1, "", f"input: line 3: {CHAIN_BREAK.format(2)}\n")
    # The same tail after a sound chain is read, and reported.
    name = write(tmp_path, jsonl(build_chain(3)) + tail)
    assert cli(tmp_path, "verify", name)[:2] == (2, "")


def test_verify_streams_json_lines(tmp_path):
    """A broken link is reported while the input is still open: the links after it are
    never waited for, so the chain was never read whole."""
    links = broken_prev(build_chain(3))
    argv, options = command("verify", "-", cwd=tmp_path)
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **options)
    try:
        proc.stdin.write(jsonl(links))
        proc.stdin.flush()
        assert proc.wait(timeout=60) == 1
        assert proc.stderr.read().decode() == f"<stdin>: line 3: {CHAIN_BREAK.format(2)}\n"
    finally:
        proc.kill()
        proc.communicate()


@pytest.mark.parametrize("claimed, env, status, message", [
    (reference_ref(envelope()), envelope(), 0, None),
    (reference_ref(envelope()), envelope(scope="read:everything"), 1,
     f"input: does not match: it recomputes to {reference_ref(envelope(scope='read:everything'))}"),
    (reference_ref(envelope()).upper(), envelope(), 1,
     f"input: does not match: it recomputes to {reference_ref(envelope())}"),
    (reference_ref(envelope()), envelope(not_after_ms=0), 1,
     "input: malformed: not_after_ms must be greater than not_before_ms"),
], ids=["match", "tampered", "upper-case", "malformed"])
def test_check(tmp_path, claimed, env, status, message):
    name = write(tmp_path, json.dumps(env).encode())
    expected = (0, "ok\n", "") if status == 0 else (1, "", message + "\n")
    assert cli(tmp_path, "check", claimed, name) == expected


@pytest.mark.parametrize("env, message", [
    (envelope(not_after_ms=2**53), "cannot compute a ref: "),
    (envelope(scope="\ud800"), "cannot compute a ref: "),
    (envelope(prev_delegation_ref=None), "cannot compute a ref: "),
    (envelope(not_before_ms=5.0),
     "not_before_ms must be a non-negative integer (integer-millisecond)"),
], ids=["beyond-2**53-1", "lone-surrogate", "prev-null", "float"])
def test_envelopes_without_a_ref_exit_1(tmp_path, env, message):
    name = write(tmp_path, json.dumps(env).encode())
    status, out, err = cli(tmp_path, "ref", name)
    assert (status, out) == (1, "") and err.startswith(f"input: {message}")
    assert err.count("\n") == 1


LINK = json.dumps(envelope()).encode()


@pytest.mark.parametrize("args, content, message", [
    (("ref", "missing.json"), None, "missing.json: cannot read: No such file or directory"),
    (("verify", "."), None, ".: cannot read: Is a directory"),
    (("ref", "input"), b'{"scope": "a",\n', "input: line 2 column 1: invalid JSON: "),
    (("verify", "input"), LINK + b"\n\n" + LINK[:-1] + b"\n",
     f"input: line 3 column {len(LINK)}: invalid JSON: "),
    (("verify", "input"), b'\n  [{"a": 1}\n  {"b": 2}]',
     "input: line 3 column 3: invalid JSON: Expecting ',' delimiter"),
    (("verify", "input"), LINK + b"\n[]\n",
     "input: line 2: expected a JSON object (an envelope), got an array"),
    (("verify", "input"), b"[" + LINK + b', "link"]',
     "input: item 1: expected a JSON object (an envelope), got a string"),
    (("ref", "input"), b"[]", "input: expected a JSON object (an envelope), got an array"),
    (("check", "sha256:00", "input"), b"null",
     "input: expected a JSON object (an envelope), got null"),
    (("ref", "input"), b'{"scope": "a", "scope": "b"}', 'input: invalid JSON: duplicate key "scope"'),
    (("ref", "input"), b'{"not_after_ms": NaN}', "input: invalid JSON: NaN is not JSON"),
    (("ref", "input"), b'{"scope": "caf\xe9"}', "input: not UTF-8 text"),
    (("verify", "input"), LINK + b'\n\n{"scope": "caf\xe9"}\n', "input: line 3: not UTF-8 text"),
    (("verify", "input"), b" \n\t\n", "input: no envelopes"),
    (("verify", "input"), b"[]", "input: no envelopes"),
], ids=["missing", "directory", "ref-json", "jsonl-json", "array-json", "jsonl-not-object",
        "array-not-object", "ref-not-object", "check-not-object", "duplicate-key", "nan",
        "not-utf8", "jsonl-not-utf8", "blank", "empty-array"])
def test_input_that_is_not_envelopes_exits_2_with_one_line(tmp_path, args, content, message):
    if content is not None:
        write(tmp_path, content)
    status, out, err = cli(tmp_path, *args)
    assert (status, out, err[:len(message)]) == (2, "", message)
    assert err.count("\n") == 1, err


@pytest.mark.parametrize("args, expected", [
    (["--help"], ["ref", "verify", "check", "exit status", "standard input"]),
    (["ref", "--help"], ["FILE", "exit status"]),
    (["verify", "--help"], ["JSON Lines", "array", "FILE", "exit status"]),
    (["check", "--help"], ["REF", "FILE", "exit status"]),
])
def test_help(tmp_path, args, expected):
    status, out, err = cli(tmp_path, *args)
    assert (status, err) == (0, "")
    assert out.startswith("usage: python -m kestrim_delegation_ref")
    assert all(word in out for word in expected), out


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["check", "input"]])
def test_bad_command_lines_exit_2_with_usage(tmp_path, args):
    status, out, err = cli(tmp_path, *args)
    assert (status, out) == (2, "") and err.startswith("usage: ")


def test_a_reader_that_stops_early_gets_no_traceback(tmp_path):
    # Far more output than a pipe buffers, so the writer is still writing when the reader
    # goes away.
    name = write(tmp_path, jsonl(build_chain(3000)))
    argv, options = command("verify", name, cwd=tmp_path)
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **options)
    first = proc.stdout.readline().decode()
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 1
    assert first.startswith("sha256:") and err == ""
