"""The command line, run as a user runs it: the installed `kestrim-delegation-ref` script in a
fresh process, from another directory, on files, on standard input, in pipes and on a
terminal."""

import contextlib
import fcntl
import functools
import json
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import warnings
from pathlib import Path

import pytest

import kestrim_delegation_ref
from conftest import build_chain, canonical_bytes, envelope, reference_ref
from kestrim_delegation_ref._cli_verify import show

# Run the same package the tests import, wherever it is installed (under `make test-asan`
# that is a copy on PYTHONPATH, which the script then imports too).
PACKAGE_ROOT = str(Path(kestrim_delegation_ref.__file__).resolve().parents[1])
# `make build` installs the script beside the interpreter that runs the tests.
SCRIPT = Path(sys.executable).with_name("kestrim-delegation-ref")
REF_SHAPE_MESSAGE = 'a ref is "sha256:" followed by 64 lower-case hexadecimal digits'


def child_env(first_path=None, **extra):
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(p) for p in [first_path, PACKAGE_ROOT, env.get("PYTHONPATH")] if p])
    return env


def command(*args, module=False):
    if module:
        return [sys.executable, "-m", "kestrim_delegation_ref", *args]
    assert SCRIPT.exists(), f"{SCRIPT} is not installed: run make build"
    return [str(SCRIPT), *args]


def cli(tmp_path, *args, stdin=b"", module=False, **popen):
    done = subprocess.run(command(*args, module=module), input=stdin, capture_output=True,
                          timeout=120, cwd=tmp_path, env=child_env(), **popen)
    # A reason names its file by the name's bytes, which need not be UTF-8.
    out, err = done.stdout.decode(), done.stderr.decode(errors="surrogateescape")
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


def rescoped(links, index):
    """The chain with one link's content changed afterwards, as an attacker would."""
    links[index] = dict(links[index], scope="admin:everything")
    return links


# --- what each command prints when all is well ---

@pytest.mark.parametrize("stdin", ["file", "dash", "default"])
def test_ref_prints_the_ref(tmp_path, stdin):
    env = envelope(scope="lire:boîte", note="not hashed")
    data = json.dumps(env, ensure_ascii=False).encode()
    args = {"file": ("ref", write(tmp_path, data)), "dash": ("ref", "-"), "default": ("ref",)}
    assert cli(tmp_path, *args[stdin], stdin=data) == (0, refs([env]), "")


@pytest.mark.parametrize("content, stdin", [
    (lambda links: jsonl(links), "file"),
    (lambda links: jsonl(links), "dash"),
    (lambda links: jsonl(links), "default"),
    (lambda links: b"\xef\xbb\xbf\n\n" + jsonl(links, sep="\r\n\r\n"), "file"),  # BOM, CRLF, blanks
    (lambda links: b"\xef\xbb\xbf\n\n" + jsonl(links, sep="\r\n\r\n"), "default"),
    (lambda links: array(links), "file"),
    (lambda links: array(links), "default"),
    (lambda links: b"  " + json.dumps(links).encode(), "file"),
], ids=["jsonl", "jsonl-dash", "jsonl-stdin", "jsonl-bom-crlf-blank", "jsonl-bom-crlf-blank-stdin",
        "array-indented", "array-indented-stdin", "array-one-line"])
def test_verify_prints_one_ref_per_link(tmp_path, content, stdin):
    links = build_chain(4)
    data = content(links)
    args = {"file": ("verify", write(tmp_path, data)), "dash": ("verify", "-"),
            "default": ("verify",)}
    assert cli(tmp_path, *args[stdin], stdin=data) == (0, refs(links), "")


def test_canonical_prints_the_hashed_bytes(tmp_path):
    env = envelope(scope="lire:boîte\n\"q\"", note="not hashed")
    del env["prev_delegation_ref"]  # hashed as ""
    name = write(tmp_path, json.dumps(env).encode())
    done = subprocess.run(command("canonical", name), capture_output=True, cwd=tmp_path,
                          env=child_env(), timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, canonical_bytes(env), b"")


def test_canonical_any_is_rfc8785(tmp_path):
    rfc8785 = pytest.importorskip("rfc8785")
    value = {"b": [1, 2.5, -0.0, 1e21, "\u20ac\U0001f600"], "a": {"z": None, "\u00e9": True},
             "\U0001f600": "astral key", "\ufb33": "BMP key after it in code points"}
    name = write(tmp_path, json.dumps(value).encode())
    done = subprocess.run(command("canonical", "--any", name), capture_output=True,
                          cwd=tmp_path, env=child_env(), timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, rfc8785.dumps(value), b"")


# --- verdicts: where a chain fails, and both sides of the failure ---

def test_chain_break_names_the_changed_link_and_both_refs(tmp_path):
    """Link 2's scope widened afterwards: the link that no longer matches is link 2, found
    at link 3, and lines and links count alike from 1."""
    links = build_chain(4)
    original = reference_ref(links[1])
    rescoped(links, 1)
    name = write(tmp_path, jsonl(links))
    assert cli(tmp_path, "verify", name) == (1, "", (
        f"input: chain break: link 2 (line 2) no longer matches the ref that link 3 (line 3) "
        f"names for it: named {original}, recomputes to {reference_ref(links[1])}\n"))


def broken_prev(links):
    links[2]["prev_delegation_ref"] = ""
    return links


def malformed(links):
    links[1]["scope"] = ""
    return links


def first_names_one(links):
    links[0]["prev_delegation_ref"] = "sha256:" + "0" * 64 + "\n"
    return links


@pytest.mark.parametrize("fmt, blank", [(jsonl, False), (jsonl, True), (array, False)],
                         ids=["jsonl", "jsonl-blank-lines", "array"])
@pytest.mark.parametrize("damage, message", [
    (broken_prev, 'chain break: link 2{2} no longer matches the ref that link 3{3} names for '
                  'it: named "", recomputes to {ref1}'),
    (malformed, "link 2{2}: scope must be a non-empty string"),
    (first_names_one, 'chain break: link 1{1} is the first link but names a link before it, '
                      '"sha256:{zeros}\\n"; the first link\'s prev_delegation_ref is ""'),
])
def test_verify_names_the_failing_link(tmp_path, fmt, blank, damage, message):
    links = damage(build_chain(4))
    data = fmt(links) if not blank else b"\n" + jsonl(links, sep="\n\n")
    lines = {n: "" if fmt is array else f" (line {2 * n if blank else n})" for n in (1, 2, 3)}
    expected = "input: " + message.format(None, *lines.values(), ref1=reference_ref(links[1]),
                                          zeros="0" * 64)
    # Nothing on stdout: refs of a chain that does not verify would be misleading.
    assert cli(tmp_path, "verify", write(tmp_path, data)) == (1, "", expected + "\n")


def test_verify_stops_reading_at_the_first_bad_link(tmp_path):
    tail = b'{"not json\n[1, 2]\n'
    name = write(tmp_path, jsonl(broken_prev(build_chain(3))) + tail)
    status, out, err = cli(tmp_path, "verify", name)
    assert (status, out) == (1, "") and "chain break" in err
    # The same tail after a sound chain is read, and reported.
    name = write(tmp_path, jsonl(build_chain(3)) + tail)
    assert cli(tmp_path, "verify", name)[:2] == (2, "")


def test_verify_streams_json_lines(tmp_path):
    """A broken link is reported while the input is still open: the links after it are
    never waited for, so the chain was never read whole."""
    proc = subprocess.Popen(command("verify"), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=tmp_path, env=child_env())
    try:
        proc.stdin.write(jsonl(broken_prev(build_chain(3))))
        proc.stdin.flush()
        assert proc.wait(timeout=60) == 1
        assert proc.stderr.read().decode().startswith("<stdin>: chain break: link 2 (line 2)")
    finally:
        proc.kill()
        proc.communicate()


@pytest.mark.parametrize("damage", [None, "prev", "content", "malformed", "first", "dup-env"])
@pytest.mark.parametrize("at", [0, 3, 6])
@pytest.mark.parametrize("fmt", [jsonl, array], ids=["jsonl", "array"])
def test_the_walk_agrees_with_verify_chain(dr, tmp_path, damage, at, fmt):
    """The command line walks the chain itself (to stay at constant memory and name both
    refs); it must accept and refuse exactly where verify_chain does."""
    from kestrim_delegation_ref.cli import verify_file
    links = build_chain(7)
    if damage == "prev":
        links[at]["prev_delegation_ref"] = reference_ref(links[max(at - 2, 0)])
    elif damage == "content":
        rescoped(links, at)
    elif damage == "malformed":
        links[at]["not_after_ms"] = links[at]["not_before_ms"]
    elif damage == "first":
        links[0]["prev_delegation_ref"] = reference_ref(links[at])
    elif damage == "dup-env":
        links.insert(at, links[at])
    path = tmp_path / "chain.jsonl"
    path.write_bytes(fmt(links))
    seen = []
    result = verify_file(str(path), links_out=lambda i, line, ref: seen.append(ref))
    try:
        expected, error = dr.verify_chain(links), None
    except dr.DelegationRefError as exc:
        expected, error = None, str(exc)
    # How far verify_chain gets: the longest prefix it accepts.
    accepted = max(n for n in range(len(links) + 1) if accepts(dr, links[:n]))
    assert (error is None) == (accepted == len(links))
    assert result.status == (0 if error is None else 1)
    assert seen == [reference_ref(link) for link in links[:accepted]]
    assert (result.links, result.last_ref) == (accepted, seen[-1] if seen else None)
    if error is None:
        assert seen == expected


def accepts(dr, links):
    try:
        dr.verify_chain(links)
    except dr.DelegationRefError:
        return False
    return True


# --- check and its REF ---

@pytest.mark.parametrize("env, status, message", [
    (envelope(), 0, None),
    (envelope(scope="read:everything"), 1,
     f"input: does not match: it recomputes to {reference_ref(envelope(scope='read:everything'))}"
     f", not to {reference_ref(envelope())}"),
    (envelope(not_after_ms=0), 1,
     "input: malformed: not_after_ms must be greater than not_before_ms"),
], ids=["match", "tampered", "malformed"])
def test_check(tmp_path, env, status, message):
    name = write(tmp_path, json.dumps(env).encode())
    expected = (0, "ok\n", "") if status == 0 else (1, "", message + "\n")
    assert cli(tmp_path, "check", reference_ref(envelope()), name) == expected


GOOD_REF = reference_ref(envelope())


WRONG_SHAPES = {
    "upper-case": GOOD_REF.upper(),
    "upper-prefix": "SHA256:" + GOOD_REF[7:],
    "bare-hex": GOOD_REF[7:],
    "short": "sha256:0000",
    "line-feed": GOOD_REF + "\n",  # as "$(cat ref.txt)" drops it but a script may not
    "zero-width": GOOD_REF[:20] + "\u200b" + GOOD_REF[20:],
    "space": " " + GOOD_REF,
}


@pytest.mark.parametrize("shape, option", [(shape, "check") for shape in WRONG_SHAPES] + [
    ("line-feed", "--expect-last"), ("upper-case", "--expect-last"),
    ("bare-hex", "--expect-first"), ("zero-width", "--expect-first")])
def test_a_ref_of_the_wrong_shape_is_a_usage_error(tmp_path, shape, option):
    claimed = WRONG_SHAPES[shape]
    write(tmp_path, jsonl([envelope()]))
    args = ("check", claimed, "input") if option == "check" else ("verify", option, claimed, "input")
    status, out, err = cli(tmp_path, *args)
    assert (status, out) == (2, "") and err.startswith("usage: ")
    assert REF_SHAPE_MESSAGE in err
    # The value as typed, quoted with its escapes, so that an invisible difference shows:
    # "sha256:...\n" must not look like the ref it resembles.
    assert json.dumps(claimed) in err


# --- pinning the ends of a chain ---

def test_a_changed_last_link_verifies_unless_its_ref_is_pinned(tmp_path):
    links = build_chain(3)
    pinned, first = reference_ref(links[-1]), reference_ref(links[0])
    name = write(tmp_path, jsonl(rescoped(links, 2)))
    assert cli(tmp_path, "verify", name) == (0, refs(links), "")
    assert cli(tmp_path, "verify", "--expect-last", pinned, name) == (1, "", (
        f"input: link 3 (line 3), the last link, recomputes to {reference_ref(links[2])}, not "
        f"to the expected {pinned}\n"))
    assert cli(tmp_path, "verify", "--expect-first", first, "--expect-last",
               reference_ref(links[2]), name) == (0, refs(links), "")


def test_expect_first(tmp_path):
    links = build_chain(3)
    other = reference_ref(links[1])
    name = write(tmp_path, jsonl(links))
    assert cli(tmp_path, "verify", "--expect-first", other, name) == (1, "", (
        f"input: link 1 (line 1), the first link, recomputes to {reference_ref(links[0])}, not "
        f"to the expected {other}\n"))


# --- several files, quiet, status, JSON ---

def three_files(tmp_path):
    write(tmp_path, jsonl(build_chain(3)), "good.jsonl")
    write(tmp_path, jsonl(rescoped(build_chain(3), 1)), "tampered.jsonl")
    write(tmp_path, json.dumps(envelope(), indent=2).encode(), "pretty.json")


@pytest.mark.parametrize("files, status, out", [
    (["good.jsonl", "good.jsonl"], 0, "good.jsonl: OK\ngood.jsonl: OK\n"),
    (["good.jsonl", "tampered.jsonl"], 1, "good.jsonl: OK\ntampered.jsonl: FAILED\n"),
    (["pretty.json", "tampered.jsonl", "good.jsonl"], 2,
     "pretty.json: FAILED\ntampered.jsonl: FAILED\ngood.jsonl: OK\n"),
    (["good.jsonl", "missing.jsonl"], 2, "good.jsonl: OK\nmissing.jsonl: FAILED\n"),
])
@pytest.mark.parametrize("mode", [None, "--quiet", "--status"])
def test_several_files_are_verified_each_on_its_own(tmp_path, files, status, out, mode):
    three_files(tmp_path)
    got_status, got_out, err = cli(tmp_path, "verify", *([mode] if mode else []), *files)
    failures = out.count("FAILED")
    assert (got_status, got_out) == (status, out if mode is None else "")
    if mode == "--status":
        assert err == ""
    else:
        reasons = err.splitlines()
        assert len(reasons) == failures + bool(failures)
        assert all(line.startswith(name + ": ") for line, name in zip(
            reasons, [f for f in files if f"{f}: FAILED" in out]))
        if failures:
            assert reasons[-1] == (f"kestrim-delegation-ref: WARNING: {failures} of "
                                   f"{len(files)} chains did NOT verify")


# A name that could pass for another line: a verdict or reason of its own, on its own line.
@pytest.mark.parametrize("name, shown", [
    ("forged\ngood.jsonl", "\\forged\\ngood.jsonl"),
    ("forged\rgood.jsonl", "\\forged\\rgood.jsonl"),
    ("back\\slash.jsonl", "\\back\\\\slash.jsonl"),
    ("plain.jsonl", "plain.jsonl"),
])
def test_a_file_name_cannot_make_a_line_of_its_own(tmp_path, name, shown):
    write(tmp_path, jsonl(build_chain(3)), "good.jsonl")
    write(tmp_path, jsonl(rescoped(build_chain(3), 1)), name)
    status, out, err = cli(tmp_path, "verify", name, "good.jsonl")
    # sha256sum -c's form: escaped, and the line marked with a leading backslash.
    assert (status, out) == (1, f"{shown}: FAILED\ngood.jsonl: OK\n")
    reason, warning = err.splitlines()
    assert reason.startswith(name.replace("\n", "\\n").replace("\r", "\\r") + ": chain break")
    assert warning.endswith("WARNING: 1 of 2 chains did NOT verify")


# FILEs after options, as GNU tools take them; anything else unknown is still refused.
@pytest.mark.parametrize("args, status, out", [
    (["good.jsonl", "--quiet", "tampered.jsonl"], 1, ""),
    (["good.jsonl", "--status", "good.jsonl"], 0, ""),
    (["good.jsonl", "--json", "--expect-first", "sha256:" + "0" * 64, "tampered.jsonl"], 1, None),
    (["--quiet", "good.jsonl", "--", "-x.jsonl"], 2, ""),
    (["good.jsonl", "--quiet", "--bogus", "good.jsonl"], 2, ""),
])
def test_files_may_follow_options(tmp_path, args, status, out):
    three_files(tmp_path)
    got_status, got_out, err = cli(tmp_path, "verify", *args)
    assert got_status == status, err
    if out is not None:
        assert got_out == out
    else:  # --json: a failure record for each file, the first link of each refused
        assert [json.loads(line)["file"] for line in got_out.splitlines()] == [
            "good.jsonl", "tampered.jsonl"]
    if "--bogus" in args:
        assert "unrecognized arguments: --bogus good.jsonl" in err
    elif "-x.jsonl" in args:
        assert err.startswith("-x.jsonl: cannot read")


# `--` after options and a first FILE was itself refused ("unrecognized arguments: --"), so
# a script's `verify "$pinned" --quiet -- "$@"` failed whatever its files held.
@pytest.mark.parametrize("args, status, out, said", [
    (["good.jsonl", "--quiet", "--", "-dash.jsonl"], 0, "", ""),
    (["good.jsonl", "--quiet", "--", "tampered.jsonl"], 1, "", "tampered.jsonl: chain break"),
    (["good.jsonl", "--", "--quiet"], 2, "good.jsonl: OK\n--quiet: FAILED\n",
     "--quiet: cannot read"),
    # Only the first `--` ends the options; a second one is a file's name.
    (["good.jsonl", "--quiet", "--", "--", "-dash.jsonl"], 2, "", "--: cannot read"),
    (["good.jsonl", "--quiet", "--"], 0, "", ""),
    (["good.jsonl", "--json", "--", "-dash.jsonl"], 0, None, ""),
    # Before `--`, what looks like an option is still one.
    (["good.jsonl", "--quiet", "-dash.jsonl", "--", "good.jsonl"], 2, "",
     "unrecognized arguments: -dash.jsonl -- good.jsonl"),
], ids=["dash-name", "tampered", "option-as-name", "double-dash-name", "nothing-after", "json",
        "option-before"])
def test_double_dash_after_options_ends_them(tmp_path, args, status, out, said):
    three_files(tmp_path)
    write(tmp_path, jsonl(build_chain(2)), "-dash.jsonl")
    got_status, got_out, err = cli(tmp_path, "verify", *args)
    assert (got_status, said in err) == (status, True), err
    if out is not None:
        assert got_out == out
    else:
        assert [json.loads(line)["file"] for line in got_out.splitlines()] == [
            "good.jsonl"] * 3 + ["-dash.jsonl"] * 2
    if not said:
        assert err == ""


# Bytes of a name that are not UTF-8 reach Python as lone surrogates, which json.dumps writes
# as escapes that strict parsers (and I-JSON, which canonical JSON is) refuse.
@pytest.mark.parametrize("tampered", [False, True], ids=["links", "failure"])
def test_json_output_carries_a_name_that_is_not_utf8_as_text(tmp_path, tampered):
    links = rescoped(build_chain(3), 1) if tampered else build_chain(3)
    (tmp_path / os.fsdecode(b"bad\xffname.jsonl")).write_bytes(jsonl(links))
    status, out, err = cli(tmp_path, "verify", "--json", os.fsdecode(b"bad\xffname.jsonl"))
    records = [json.loads(line) for line in out.splitlines()]
    assert status == int(tampered) and records
    for record in records:
        assert record["file"] == "bad\\xffname.jsonl"
        assert record.get("message", "bad\\xffname.jsonl: ").startswith("bad\\xffname.jsonl: ")
    # Every string encodes as UTF-8: no lone surrogate is left.
    out.encode("utf-8")
    assert "\\ud" not in out.lower()


@pytest.mark.parametrize("mode", ["--quiet", "--status"])
def test_quiet_and_status_answer_by_status(tmp_path, mode):
    three_files(tmp_path)
    assert cli(tmp_path, "verify", mode, "good.jsonl") == (0, "", "")
    status, out, err = cli(tmp_path, "verify", mode, "tampered.jsonl")
    assert (status, out) == (1, "")
    if mode == "--status":
        assert err == ""
    else:
        assert err.startswith("tampered.jsonl: chain break: link 2") and err.count("\n") == 1


def no_lone_surrogates(value):
    """What a strict parser (jq, serde_json) needs of every string in a record: a UTF-8 form."""
    if isinstance(value, dict):
        for key, item in value.items():
            no_lone_surrogates(key)
            no_lone_surrogates(item)
    elif isinstance(value, str):
        value.encode("utf-8")


# A claimed predecessor read from a \ud800 escape went out as that escape, which jq refuses
# ("Invalid \uXXXX\uXXXX surrogate pair escape"), losing the failure record in a pipeline.
@pytest.mark.parametrize("claimed, shown", [
    ("\ud800", "\\ud800"),
    ("sha256:" + "0" * 63 + "\udfff", "sha256:" + "0" * 63 + "\\udfff"),
    ("\ud83d\ude00", "\U0001f600"),  # a pair is a character, and stays one
], ids=["lone-high", "lone-low-in-ref", "pair"])
@pytest.mark.parametrize("at", [0, 2])
def test_json_failure_record_of_a_lone_surrogate_is_strict_json(tmp_path, claimed, shown, at):
    links = build_chain(3)
    links[at] = dict(links[at], prev_delegation_ref=claimed)
    name = write(tmp_path, "".join(json.dumps(link) + "\n" for link in links).encode())
    status, out, err = cli(tmp_path, "verify", "--json", name)
    records = [json.loads(line) for line in out.splitlines()]
    assert status == 1 and len(records) == at + 1
    no_lone_surrogates(records)
    assert (records[-1]["error"], records[-1]["claimed"]) == ("chain break", shown)


def test_json_output(tmp_path):
    links = build_chain(4)
    original = reference_ref(links[1])
    write(tmp_path, jsonl(build_chain(2), sep="\n\n"), "good.jsonl")
    write(tmp_path, jsonl(rescoped(links, 1)), "tampered.jsonl")
    status, out, err = cli(tmp_path, "verify", "--json", "good.jsonl", "tampered.jsonl")
    records = [json.loads(line) for line in out.splitlines()]
    good = build_chain(2)
    assert status == 1
    assert records[:2] == [
        {"file": "good.jsonl", "index": i, "line": 2 * i + 1, "ref": reference_ref(good[i])}
        for i in range(2)]
    assert records[2:4] == [
        {"file": "tampered.jsonl", "index": i, "line": i + 1, "ref": reference_ref(links[i])}
        for i in range(2)]
    failure = records[4]
    assert {k: failure[k] for k in ("file", "status", "error", "index", "line", "claimed",
                                    "computed")} == {
        "file": "tampered.jsonl", "status": 1, "error": "chain break", "index": 1, "line": 2,
        "claimed": original, "computed": reference_ref(links[1])}
    assert len(records) == 5 and err.startswith(failure["message"] + "\n")


def test_refs_wait_on_disk_and_are_printed_in_order(tmp_path, monkeypatch, capsys):
    """Past a few refs a chain's refs wait in a file, not in memory, and come out whole;
    a chain that fails drops them."""
    from kestrim_delegation_ref import cli as module
    monkeypatch.setattr(module, "SPILL_REFS", 10)
    links = build_chain(9000)  # two ticks, so two spills
    path = tmp_path / "chain.jsonl"
    path.write_bytes(jsonl(links))
    assert module.main(["verify", str(path)]) == 0
    assert capsys.readouterr() == (refs(links), "")
    rescoped(links, 8999 - 1)
    path.write_bytes(jsonl(links))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert module.main(["verify", str(path)]) == 1
    assert capsys.readouterr().out == ""
    # The refs of a chain that failed are dropped with their file closed, not left to the
    # collector (a ResourceWarning under -X dev).
    assert [w.message for w in caught if issubclass(w.category, ResourceWarning)] == []


def full_temporary_file():
    return open("/dev/full", "w+b")  # noqa: SIM115, the spool closes it


def no_temporary_directory():
    raise FileNotFoundError(2, "No usable temporary directory found")


# A temporary directory that was full or missing was reported as "cannot write to standard
# output", sending the auditor to look at a stdout that had nothing wrong with it.
@pytest.mark.parametrize("make_file, why", [
    (full_temporary_file, "No space left on device"),
    (no_temporary_directory, "No usable temporary directory found"),
], ids=["full", "missing"])
@pytest.mark.parametrize("tampered", [False, True], ids=["verifies", "tampered"])
@pytest.mark.timeout(60)
def test_refs_that_cannot_wait_on_disk_say_so(tmp_path, monkeypatch, capsys, make_file, why,
                                              tampered):
    import tempfile
    from kestrim_delegation_ref import cli as module
    monkeypatch.setattr(module, "SPILL_REFS", 10)
    monkeypatch.setattr(tempfile, "TemporaryFile", make_file)
    links = build_chain(5000)  # one spill, at the first tick
    if tampered:
        rescoped(links, 4998)
    path = tmp_path / "chain.jsonl"
    path.write_bytes(jsonl(links))
    status = module.main(["verify", str(path)], prog="kestrim-delegation-ref")
    out, err = capsys.readouterr()
    assert (status, out) == (2, "")
    assert err == (f"kestrim-delegation-ref: {path}: cannot keep the refs until the chain "
                   f"verifies: temporary file: {why}\n")


# --- values that cannot be hashed, and input that is not envelopes ---

def with_number(digits, field="not_after_ms", **changes):
    """An envelope whose `field` is the integer written as `digits`, however long."""
    return json.dumps(envelope(**{field: "@@", **changes})).replace('"@@"', digits).encode()


HUGE = "1" + "0" * 5000


@pytest.mark.parametrize("data, message", [
    (json.dumps(envelope(not_after_ms=2**53)).encode(),
     "cannot compute a ref: integer 9007199254740992 is outside the exactly representable "
     "range ±(2**53-1)"),
    (with_number(HUGE),
     "cannot compute a ref: integer is outside the exactly representable range ±(2**53-1)"),
    (with_number("9" * 40), "cannot compute a ref: integer 9999999999...999999 (40 digits) "),
    (with_number("-" + HUGE, "not_before_ms"),
     "not_before_ms must be a non-negative integer (integer-millisecond)"),
    (with_number(HUGE, "not_before_ms", not_after_ms=5),
     "not_after_ms must be greater than not_before_ms"),
    (with_number(HUGE, "not_before_ms").replace(b'"not_after_ms": 1700000360000',
                                                 b'"not_after_ms": 2' + b"0" * 5000),
     "cannot compute a ref: integer is outside"),
    (with_number(HUGE, "not_after_ms").replace(b'"not_before_ms": 1700000000000',
                                                b'"not_before_ms": 2' + b"0" * 5000),
     "not_after_ms must be greater than not_before_ms"),
    (json.dumps(envelope(scope="\ud800")).encode(), "cannot compute a ref: string holds a lone"),
    (json.dumps(envelope(prev_delegation_ref=None)).encode(), "cannot compute a ref: "),
    (json.dumps(envelope(not_before_ms=5.0)).encode(),
     "not_before_ms must be a non-negative integer (integer-millisecond)"),
], ids=["2**53", "5000-digits", "40-digits", "negative-5000-digits", "5000-digits-before",
        "both-huge-in-order", "both-huge-reversed", "lone-surrogate", "prev-null", "float"])
def test_links_without_a_ref_exit_1_with_the_reason(tmp_path, data, message):
    exits_1_with(tmp_path, "verify", data, message)


@pytest.mark.parametrize("data, message", [
    (with_number(HUGE),
     "cannot compute a ref: integer is outside the exactly representable range ±(2**53-1)"),
    (json.dumps(envelope(not_after_ms=2**53)).encode(), "cannot compute a ref: integer 9007"),
    (json.dumps(envelope(prev_delegation_ref=None)).encode(),
     "cannot compute a ref: expected string or bytes-like object, got 'NoneType'"),
    # However many digits, an integer is named as one.
    (json.dumps(envelope(prev_delegation_ref=7)).encode(),
     "cannot compute a ref: expected string or bytes-like object, got 'int'"),
    (json.dumps(envelope()).replace('"prev_delegation_ref": ""',
                                    '"prev_delegation_ref": ' + HUGE).encode(),
     "cannot compute a ref: expected string or bytes-like object, got 'int'"),
], ids=["5000-digits", "2**53", "prev-null", "prev-int", "prev-5000-digits"])
def test_an_envelope_without_a_ref_exits_1_with_the_reason(tmp_path, data, message):
    exits_1_with(tmp_path, "ref", data, message)


def exits_1_with(tmp_path, cmd, data, message):
    status, out, err = cli(tmp_path, cmd, write(tmp_path, data))
    where = "link 1 (line 1): " if cmd == "verify" else ""
    if cmd == "verify" and b'"prev_delegation_ref": null' in data:
        # In a chain the linkage is tested first: a first link must name "".
        where, message = "", "chain break: link 1 (line 1) is the first link but names a link " \
                             "before it, null;"
    assert (status, out) == (1, "") and err.startswith(f"input: {where}{message}"), err
    assert err.count("\n") == 1 and "set_int_max_str_digits" not in err


@pytest.mark.parametrize("claimed, shown", [
    ("[" + HUGE + "]", "an array holding a number too long to show"),
    ('{"n": -' + HUGE + "}", "an object holding a number too long to show"),
    (HUGE, "a number of 5001 digits"),
], ids=["in-array", "in-object", "bare"])
@pytest.mark.parametrize("at", [0, 2])
@pytest.mark.parametrize("mode", [(), ("--json",), ("--status",)], ids=["plain", "json", "status"])
def test_a_huge_integer_in_a_claimed_predecessor_is_a_chain_break(tmp_path, claimed, shown,
                                                                   at, mode):
    """A predecessor that names a number too long for the interpreter to write, inside an
    array or an object, ended the run with a traceback that advised sys.set_int_max_str_digits."""
    links = build_chain(3)
    lines = jsonl(links).splitlines(keepends=True)
    named = json.dumps(links[at]["prev_delegation_ref"]).encode()
    lines[at] = lines[at].replace(b'"prev_delegation_ref": ' + named,
                                  b'"prev_delegation_ref": ' + claimed.encode())
    status, out, err = cli(tmp_path, "verify", *mode, write(tmp_path, b"".join(lines)))
    assert status == 1 and "set_int_max_str_digits" not in out + err
    if mode == ("--status",):
        assert (out, err) == ("", "")
        return
    assert err.count("\n") == 1 and "chain break" in err and shown in err
    if mode == ("--json",):
        *accepted, failure = [json.loads(line) for line in out.splitlines()]
        assert [record["ref"] for record in accepted] == [reference_ref(x) for x in links[:at]]
        assert failure["error"] == "chain break" and failure["claimed"] == shown


def test_a_huge_integer_outside_the_hashed_fields_is_ignored(tmp_path):
    links = build_chain(3)
    data = jsonl(links).replace(b'"prev_delegation_ref": ""', b'"note": -' + HUGE.encode()
                                + b', "prev_delegation_ref": ""')
    assert cli(tmp_path, "verify", write(tmp_path, data)) == (0, refs(links), "")


@pytest.mark.parametrize("args", [("canonical", "--any", "input"), ("canonical", "input")])
def test_canonical_refuses_what_the_hash_refuses(tmp_path, args):
    write(tmp_path, with_number(HUGE))
    status, out, err = cli(tmp_path, *args)
    assert (status, out) == (1, "") and "outside the exactly representable range" in err


LINK = json.dumps(envelope()).encode()
PRETTY = "; this looks like JSON spread over several lines: give one envelope per line " \
         "(JSON Lines), or a JSON array of envelopes"


@pytest.mark.parametrize("args, content, message", [
    (("ref", "missing.json"), None, "missing.json: cannot read: No such file or directory"),
    (("verify", "."), None, ".: cannot read: Is a directory"),
    (("ref", "input"), b'{"scope": "a",\n', "input: line 2 column 1: invalid JSON: "),
    (("verify", "input"), LINK + b"\n\n" + LINK[:-1] + b"\n",
     f"input: line 3 column {len(LINK)}: invalid JSON: Expecting ',' delimiter\n"),
    (("verify", "input"), b'\n  [{"a": 1}\n  {"b": 2}]',
     "input: line 3 column 3: invalid JSON: Expecting ',' delimiter"),
    (("verify", "input"), json.dumps(envelope(), indent=4).encode(),
     "input: line 1 column 2: invalid JSON: Expecting property name enclosed in double quotes"
     + PRETTY + "\n"),
    (("verify", "input"), b"  " + json.dumps(build_chain(2)[0], indent=1).encode(),
     "input: line 1 column 4: invalid JSON: Expecting property name" ""),
    (("verify", "input"), LINK + b"\n[]\n",
     "input: line 2: expected a JSON object (an envelope), got an array"),
    (("verify", "input"), b"[" + LINK + b', "link"]',
     "input: link 2: expected a JSON object (an envelope), got a string"),
    (("ref", "input"), b"[]", "input: expected a JSON object (an envelope), got an array"),
    (("check", GOOD_REF, "input"), b"null",
     "input: expected a JSON object (an envelope), got null"),
    (("ref", "input"), b'{"scope": "a", "scope": "b"}', 'input: invalid JSON: duplicate key "scope"'),
    (("verify", "input"), LINK + b'\n{"scope": "a", "scope": "b"}\n',
     'input: line 2: invalid JSON: duplicate key "scope"'),
    (("verify", "input"), b'{"a": {"b": 1, "b": 1}}\n',
     'input: line 1: invalid JSON: duplicate key "b"'),
    (("ref", "input"), b'{"not_after_ms": NaN}', "input: invalid JSON: NaN is not JSON"),
    (("ref", "input"), b'{"scope": "caf\xe9"}', "input: not UTF-8 text"),
    (("verify", "input"), LINK + b'\n\n{"scope": "caf\xe9"}\n', "input: line 3: not UTF-8 text"),
    (("verify", "input"), b" \n\t\n", "input: no envelopes"),
    (("verify", "input"), b"[]", "input: no envelopes"),
    (("verify", "input"), b"[" * 100_000, "input: invalid JSON: nested too deeply"),
], ids=["missing", "directory", "ref-json", "jsonl-json", "array-json", "pretty-printed",
        "pretty-printed-indented", "jsonl-not-object", "array-not-object", "ref-not-object",
        "check-not-object", "duplicate-key", "jsonl-duplicate-key", "nested-duplicate-key",
        "nan", "not-utf8", "jsonl-not-utf8", "blank", "empty-array", "deep"])
def test_input_that_is_not_envelopes_exits_2_with_one_line(tmp_path, args, content, message):
    if content is not None:
        write(tmp_path, content)
    status, out, err = cli(tmp_path, *args)
    assert (status, out, err[:len(message)]) == (2, "", message)
    assert err.count("\n") == 1, err


@pytest.mark.parametrize("tail", ["\f", "\v", "\u00a0", "\x1c", "\u2028", "\u3000"],
                         ids=["form-feed", "vertical-tab", "no-break-space", "file-separator",
                              "line-separator", "ideographic-space"])
@pytest.mark.parametrize("indent", ["", " "], ids=["flush", "indented"])
@pytest.mark.parametrize("at", [0, 1])
def test_only_json_whitespace_may_follow_a_link(tmp_path, tail, indent, at):
    """Characters that str.strip() takes for whitespace but JSON does not passed after a link
    that started its line, and were refused after one that did not: the same line got two
    verdicts. Both are invalid JSON, as `ref` already says of the same bytes."""
    links = build_chain(2)
    lines = jsonl(links).decode().splitlines(keepends=True)
    lines[at] = indent + lines[at][:-1] + tail + "\n"
    name = write(tmp_path, "".join(lines).encode())
    status, out, err = cli(tmp_path, "verify", name)
    assert (status, out) == (2, "") and f"line {at + 1} column" in err and "Extra data" in err
    alone = write(tmp_path, lines[at].encode(), "link")
    assert cli(tmp_path, "ref", alone)[0] == 2


def test_a_deeply_nested_link_gets_its_verdict(tmp_path):
    """Where a value nests deeper than the writer can go, the verdict that shows it was a
    RecursionError. On 3.11 the parser's bound depends on how deep its caller's stack is,
    so a value it had just accepted could be too deep to show: each depth around that bound
    gets a verdict of its own, as a file of its own."""
    names = []
    for depth in range(900, 1000, 3):
        nested = "[" * depth + "]" * depth
        data = LINK.replace(b'"prev_delegation_ref": ""',
                            b'"prev_delegation_ref": ' + nested.encode())
        names.append(write(tmp_path, data + b"\n", f"deep{depth}"))
    status, out, err = cli(tmp_path, "verify", *names)
    reasons = err.splitlines()[:-1]
    assert status == (2 if any("invalid JSON" in line for line in reasons) else 1)
    assert out == "".join(f"{name}: FAILED\n" for name in names)
    assert [line.split(":")[0] for line in reasons] == names
    # Deeper than any interpreter's bound, whatever its version.
    deep: list = []
    for _ in range(200_000):
        deep = [deep]
    assert show(deep) == "an array nested too deeply to show"


def test_only_the_first_envelope_gets_the_pretty_printing_hint(tmp_path):
    """A damaged line further down is a damaged line, not a hint about the format."""
    name = write(tmp_path, LINK + b"\n" + LINK[:40] + b"\n")
    status, out, err = cli(tmp_path, "verify", name)
    assert (status, out) == (2, "") and "line 2" in err and "JSON Lines" not in err


# --- help, version, usage ---

@pytest.mark.parametrize("args, expected", [
    (["--help"], ["ref", "verify", "check", "canonical", "exit status", "standard input",
                  "130", "141"]),
    (["ref", "--help"], ["FILE", "exit status", "141"]),
    (["verify", "--help"], ["JSON Lines", "array", "FILE", "--expect-last", "--expect-first",
                            "--quiet", "--status", "--json", "sha256sum", "130", "141"]),
    (["check", "--help"], ["REF", "FILE", "exit status", "64 lower-case hexadecimal"]),
    (["canonical", "--help"], ["--any", "sha256sum", "exit status"]),
])
@pytest.mark.parametrize("module, prog", [(False, "kestrim-delegation-ref")], ids=["script"])
def test_help_names_the_program_as_it_was_started(tmp_path, args, expected, module, prog):
    status, out, err = cli(tmp_path, *args, module=module)
    assert (status, err) == (0, "")
    assert out.startswith(f"usage: {prog} ")
    assert all(word in out for word in expected), out


@pytest.mark.parametrize("args", [["--help"], ["verify", "--help"], ["--version"]])
def test_the_module_names_itself_as_started(tmp_path, args):
    status, out, err = cli(tmp_path, *args, module=True)
    assert (status, err) == (0, "")
    assert out.startswith("usage: python -m kestrim_delegation_ref ") or args == ["--version"]


def test_version_has_one_source(tmp_path):
    import importlib.metadata

    import kestrim_substrate
    version = kestrim_delegation_ref.__version__
    assert version == kestrim_substrate.__version__
    assert version == importlib.metadata.version("kestrim-delegation-ref")
    assert cli(tmp_path, "--version") == (0, f"kestrim-delegation-ref {version}\n", "")


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["check"], ["verify", "--quiet", "--json"],
                                  ["verify", "--expect-last"]])
def test_bad_command_lines_exit_2_with_usage(tmp_path, args):
    status, out, err = cli(tmp_path, *args)
    assert (status, out) == (2, "") and err.startswith("usage: ")


@pytest.mark.parametrize("args", [["frobnicate"], ["check", "sha256:0"], ["verify", "--bogus"],
                                  ["verify", "--quiet", "--json"]])
def test_usage_errors_stay_off_standard_output_when_stderr_is_closed(tmp_path, args):
    """argparse prints the usage to stdout when stderr is closed, where a script reads data."""
    done = subprocess.run(["bash", "-c", '"$@" 2>&-', "-", *command(*args)],
                          capture_output=True, cwd=tmp_path, env=child_env(), timeout=60)
    assert (done.returncode, done.stdout) == (2, b"")


@pytest.mark.parametrize("prog", ["audit-chains", None])
def test_the_warning_names_the_program_as_main_was_told(tmp_path, monkeypatch, capsys, prog):
    from kestrim_delegation_ref import cli as cli_module
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["kestrim-delegation-ref"])
    write(tmp_path, jsonl(build_chain(1)), "good")
    assert cli_module.main(["verify", "good", "missing"], prog=prog) == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"{prog or 'kestrim-delegation-ref'}: WARNING: 1 of 2 chains did NOT verify")


@pytest.mark.parametrize("target, message", [
    ("missing.jsonl", "missing.jsonl: cannot read"), ("folder", "folder: cannot read")])
def test_json_record_of_a_file_that_cannot_be_opened_names_no_link(tmp_path, target, message):
    """Such a record said link 0, as if a link had been read; "no envelopes" says none."""
    (tmp_path / "folder").mkdir()
    status, out, err = cli(tmp_path, "verify", "--json", target)
    record = json.loads(out)
    assert status == 2 and record["message"].startswith(message), record
    assert (record["error"], record["index"], record["line"]) == ("input", None, None)


def leading_runs():
    """Whitespace before the first token, in runs that end on either side of a read
    buffer's edge (8 KiB), with and without newlines in them."""
    for size in (1, 8191, 8192, 8193, 70_000):
        yield pytest.param(b" " * size, id=f"spaces-{size}")
        yield pytest.param(b"\t" * (size // 3) + b"\r\n" + b" " * (size // 3), id=f"crlf-{size}")
        yield pytest.param(b"\n" * size + b"  ", id=f"newlines-{size}")


@pytest.mark.parametrize("via", ["file", "stdin"])
@pytest.mark.parametrize("lead", list(leading_runs()))
def test_a_position_after_leading_whitespace_counts_every_byte(tmp_path, lead, via):
    """Leading whitespace is passed over a buffer at a time: an error after it must still
    name the line and column that the bytes give."""
    content = lead + b'[{"a": tru}]'
    last_line = lead.rsplit(b"\n", 1)[-1]
    line = lead.count(b"\n") + 1
    where = f"line {line} column {len(last_line) + 8}: invalid JSON"
    args = ("verify", write(tmp_path, content)) if via == "file" else ("verify", "-")
    status, out, err = cli(tmp_path, *args, stdin=content if via == "stdin" else b"")
    assert status == 2 and where in err, err


@pytest.mark.parametrize("content, message", [
    (b'\n\n[\n{"a": 1},\n{"a": tru}]', "input: line 5 column 7: invalid JSON"),
    (b'\n\n[\n{"a": 1},\n{"a": 1, "a": 2}]', 'input: invalid JSON: duplicate key "a"'),
    (b'[\n{"a": NaN}]', "input: invalid JSON: NaN is not JSON"),
], ids=["syntax", "duplicate-key", "nan"])
def test_json_record_of_a_damaged_array_has_no_line(tmp_path, content, message):
    """The record gave the line of the opening bracket while its message gave another."""
    status, out, err = cli(tmp_path, "verify", "--json", write(tmp_path, content))
    record = json.loads(out)
    assert status == 2 and record["message"].startswith(message)
    assert (record["index"], record["line"]) == (None, None)


# --- pipes, full disks, Ctrl-C, terminals ---

@pytest.mark.parametrize("unbuffered", ["1", ""], ids=["PYTHONUNBUFFERED", "buffered"])
def test_a_reader_that_stops_early_ends_it_with_141(tmp_path, unbuffered):
    """Under PYTHONUNBUFFERED a write that the kernel took only part of was dropped
    silently, and a reader that went away looked like success."""
    # Far more output than a pipe buffers, so the writer is still writing when the reader
    # goes away.
    name = write(tmp_path, jsonl(build_chain(3000)))
    proc = subprocess.Popen(command("verify", name), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=tmp_path,
                            env=child_env(PYTHONUNBUFFERED=unbuffered))
    first = proc.stdout.readline().decode()
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 141
    assert first.startswith("sha256:") and err == ""


def test_pipefail_and_head(tmp_path):
    """What the issue saw: under `set -o pipefail` a valid chain read by `head` was
    "rejected" (1). A writer whose reader went away ends as sha256sum does, 141."""
    name = write(tmp_path, jsonl(build_chain(3000)))
    done = subprocess.run(
        ["bash", "-c", 'set -o pipefail; "$0" verify "$1" | head -2', str(SCRIPT), name],
        capture_output=True, cwd=tmp_path, env=child_env(), timeout=60)
    assert (done.returncode, done.stderr) == (141, b"")
    assert done.stdout.decode() == refs(build_chain(2))


@pytest.mark.parametrize("args", [
    ("verify", "chain"), ("verify", "--json", "chain"), ("ref", "link"),
    ("check", GOOD_REF, "link"), ("canonical", "link"), ("--version",), ("--help",)])
def test_a_full_disk_is_one_line_and_exit_2(tmp_path, args):
    write(tmp_path, jsonl([envelope()]), "chain")
    write(tmp_path, LINK, "link")
    with open("/dev/full", "wb") as full:
        done = subprocess.run(command(*args), stdout=full, stderr=subprocess.PIPE,
                              cwd=tmp_path, env=child_env(), timeout=60)
    assert (done.returncode, done.stderr.decode()) == (
        2, "kestrim-delegation-ref: cannot write to standard output: No space left on device\n")


CANNOT_WRITE = "kestrim-delegation-ref: cannot write to standard output: "


@pytest.mark.parametrize("redirect, args, status, out, err", [
    # Closed before the start, standard output used to be no stream at all: print() dropped
    # the output silently and the first flush was a traceback.
    (">&-", ("verify", "chain"), 2, "", CANNOT_WRITE + "Bad file descriptor\n"),
    (">&-", ("ref", "link"), 2, "", CANNOT_WRITE + "Bad file descriptor\n"),
    (">&-", ("canonical", "link"), 2, "", CANNOT_WRITE + "Bad file descriptor\n"),
    (">&-", ("--help",), 2, "", CANNOT_WRITE + "Bad file descriptor\n"),
    (">&-", ("verify", "--quiet", "chain"), 0, "", ""),
    (">&-", ("verify", "--status", "tampered"), 1, "", ""),
    # With stderr closed, the reason went to stdout, among the data.
    ("2>&-", ("verify", "tampered"), 1, "", ""),
    ("2>&-", ("verify", "missing"), 2, "", ""),
    ("2>&-", ("verify", "chain", "tampered"), 1, "chain: OK\ntampered: FAILED\n", ""),
    # With stderr full, the failed warning replaced the run's status with 1.
    ("2>/dev/full", ("verify", "missing"), 2, "", ""),
    ("2>/dev/full", ("check", GOOD_REF, "missing"), 2, "", ""),
    ("2>/dev/full", ("verify", "chain", "missing"), 2, "chain: OK\nmissing: FAILED\n", ""),
], ids=["stdout-verify", "stdout-ref", "stdout-canonical", "stdout-help", "stdout-quiet",
        "stdout-status", "stderr-closed-break", "stderr-closed-missing", "stderr-closed-several",
        "stderr-full-missing", "stderr-full-check", "stderr-full-several"])
def test_closed_or_full_standard_streams(tmp_path, redirect, args, status, out, err):
    write(tmp_path, jsonl([envelope()]), "chain")
    write(tmp_path, jsonl(rescoped(build_chain(2), 0)), "tampered")
    write(tmp_path, LINK, "link")
    # stdout and stderr swap places in the redirection, so that the one left open is read.
    shown = "3>&1 1>&2 2>&3" if redirect == ">&-" else ""
    done = subprocess.run(["bash", "-c", f'"$@" {shown} {redirect}', "-", *command(*args)],
                          capture_output=True, cwd=tmp_path, env=child_env(), timeout=60)
    got_out, got_err = done.stdout.decode(), done.stderr.decode()
    if shown:
        got_out, got_err = got_err, got_out
    assert (done.returncode, got_out, got_err) == (status, out, err)


@pytest.mark.parametrize("unbuffered", ["1", ""], ids=["PYTHONUNBUFFERED", "buffered"])
@pytest.mark.parametrize("encoding, name, shown", [
    # Bytes that are not UTF-8 in a name go out as they came in, as under the C locale.
    ("utf-8", b"caf\xe9", b"caf\xe9"),
    ("ascii", b"caf\xe9", b"caf\xe9"),
    # A character that the output's encoding lacks goes out as its escape, as on stderr.
    ("ascii", "café".encode(), b"caf\\xe9"),
    ("latin-1", "cafĕ".encode(), b"caf\\u0115"),
    ("utf-8", "café".encode(), "café".encode()),
], ids=["undecodable-utf8", "undecodable-ascii", "ascii", "latin-1", "utf-8"])
def test_file_names_the_output_encoding_cannot_write(tmp_path, encoding, name, shown, unbuffered):
    """A strict encoding on stdout (a UTF-8 locale, PYTHONIOENCODING) made a file name it could
    not encode a traceback in the middle of the run."""
    (tmp_path / os.fsdecode(name)).write_bytes(jsonl([envelope()]))
    write(tmp_path, jsonl([envelope()]), "chain")
    done = subprocess.run(command("verify", "chain", os.fsdecode(name)), capture_output=True,
                          cwd=tmp_path, timeout=60,
                          env=child_env(PYTHONIOENCODING=encoding, PYTHONUNBUFFERED=unbuffered))
    assert (done.returncode, done.stdout, done.stderr) == (0, b"chain: OK\n" + shown + b": OK\n",
                                                          b"")


UTF8_NAME = "t\u00e4mpered.jsonl".encode()
C_LOCALE = {"LC_ALL": "C", "PYTHONCOERCECLOCALE": "0", "PYTHONUTF8": "0"}


@pytest.mark.parametrize("locale, name, shown", [
    ({}, b"bad\xffname.jsonl", b"bad\xffname.jsonl"),
    (C_LOCALE, b"bad\xffname.jsonl", b"bad\xffname.jsonl"),
    ({"PYTHONIOENCODING": "ascii"}, b"bad\xffname.jsonl", b"bad\xffname.jsonl"),
    (C_LOCALE, UTF8_NAME, UTF8_NAME),
    # A character that the encoding lacks is its escape on both streams.
    ({"PYTHONIOENCODING": "ascii"}, UTF8_NAME, b"t\\xe4mpered.jsonl"),
    ({}, UTF8_NAME, UTF8_NAME),
], ids=["not-utf8", "not-utf8-c-locale", "not-utf8-ascii", "utf8-c-locale", "utf8-ascii",
        "utf8"])
@pytest.mark.parametrize("missing", [False, True], ids=["tampered", "missing"])
def test_a_reason_names_its_file_as_the_verdict_line_does(tmp_path, locale, name, shown,
                                                          missing):
    """A name's bytes that are not text in the locale went to stderr as Python's escapes of
    them (bad\\udcffname.jsonl), while the verdict line on stdout wrote the bytes: the reason
    could not be found by the name that stdout gives, nor by the file's own name."""
    write(tmp_path, jsonl(build_chain(2)), "good.jsonl")
    if not missing:
        (tmp_path / os.fsdecode(name)).write_bytes(jsonl(rescoped(build_chain(3), 1)))
    done = subprocess.run([os.fsencode(part) for part in command("verify", "good.jsonl")] + [name],
                          capture_output=True, cwd=tmp_path, timeout=60,
                          env=child_env(**locale))
    assert done.returncode == (2 if missing else 1)
    assert done.stdout.splitlines()[1] == shown + b": FAILED"
    assert done.stderr.splitlines()[0].startswith(
        shown + (b": cannot read" if missing else b": chain break"))


def waiting_or_gone(proc, seconds=30.0):
    """Until the process has ended or sleeps (a read that waits for input), as seen 5 times
    in a row: then it has read all there was to read so far."""
    deadline, asleep = time.monotonic() + seconds, 0
    while proc.poll() is None and asleep < 5 and time.monotonic() < deadline:
        try:
            stat = Path(f"/proc/{proc.pid}/stat").read_text()
        except OSError:
            break
        asleep = asleep + 1 if stat.rsplit(")", 1)[1].split()[0] == "S" else 0
        time.sleep(0.02)


def split_chain(tampered_last=False, mid_line=False):
    """Three links, and how much of them is there to read at the start: the first link, and
    part of the second line if `mid_line`."""
    links = build_chain(3)
    if tampered_last:
        links[2] = dict(links[2], prev_delegation_ref="sha256:" + "0" * 64)
    data = jsonl(links)
    return links, data, data.index(b"\n") + (20 if mid_line else 1)


# A parent can leave a standard input it shares non-blocking (Node does); a read that found
# no data yet was taken for the end of the input, so a chain still being written verified as
# the links that had arrived, breaks and all after them unseen, and `ref` was a traceback.
@pytest.mark.parametrize("args, content, status, out", [
    (("verify",), lambda: split_chain(), 0, lambda links: refs(links)),
    (("verify",), lambda: split_chain(mid_line=True), 0, lambda links: refs(links)),
    (("verify",), lambda: split_chain(tampered_last=True), 1, lambda links: ""),
    (("verify", "--expect-last", "@first"), lambda: split_chain(), 1, lambda links: ""),
    (("verify", "--json"), lambda: split_chain(), 0, lambda links: "".join(
        json.dumps({"file": "<stdin>", "index": i, "line": i + 1,
                    "ref": reference_ref(link)}) + "\n" for i, link in enumerate(links))),
    (("verify",), lambda: (build_chain(3), array(build_chain(3)), 40), 0,
     lambda links: refs(links)),
    (("ref",), lambda: ([envelope()], json.dumps(envelope()).encode(), 30), 0,
     lambda links: refs(links)),
    (("canonical",), lambda: ([envelope()], json.dumps(envelope()).encode(), 30), 0,
     lambda links: canonical_bytes(links[0]).decode()),
], ids=["verify", "verify-mid-line", "break-in-the-rest", "expect-last", "json", "array", "ref",
        "canonical"])
def test_a_non_blocking_standard_input_is_read_to_its_end(tmp_path, args, content, status, out):
    links, data, ready = content()
    args = [reference_ref(links[0]) if arg == "@first" else arg for arg in args]
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    os.write(write_end, data[:ready])
    proc = subprocess.Popen(command(*args), stdin=read_end, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=tmp_path, env=child_env())
    os.close(read_end)
    waiting_or_gone(proc)
    with contextlib.suppress(BrokenPipeError):
        os.write(write_end, data[ready:])
    os.close(write_end)
    got_out, err = proc.communicate(timeout=60)
    assert (proc.returncode, got_out.decode(), b"Traceback" in err) == (status, out(links),
                                                                        False), err


@pytest.mark.parametrize("module", [False, True], ids=["script", "module"])
def test_ctrl_c_while_the_command_loads_is_quiet_too(tmp_path, module):
    """Loading is most of a short run, so in a loop over many files Ctrl-C usually lands
    there; it printed a traceback. The interrupt is raised where the substrate loads."""
    shadow = tmp_path / "shadow"
    shadow.mkdir()
    (shadow / "kestrim_substrate.py").write_text("raise KeyboardInterrupt\n")
    done = subprocess.run(command("verify", module=module), input=jsonl([envelope()]),
                          capture_output=True, cwd=tmp_path, env=child_env(shadow), timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (130, b"", b"")


@functools.lru_cache(maxsize=1)
def terminal_chain():
    links = build_chain(30_000)
    return links, jsonl(links)


class Terminal:
    """The script with its stderr on a pseudo-terminal, fed on standard input a batch of
    links at a time, as a long verification would read them."""

    def __init__(self, tmp_path, *args, first_path=None, rows=24, columns=100):
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.proc = subprocess.Popen(
            command("verify", *args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=slave, cwd=tmp_path, env=child_env(first_path))
        os.close(slave)
        self.screen = b""
        self.links, self.data = terminal_chain()
        self.sent = 0

    def feed_until(self, seen, seconds=20.0):
        """Send links until the terminal shows `seen` (or time runs out); True if it did."""
        deadline = time.monotonic() + seconds
        while seen not in self.screen and time.monotonic() < deadline:
            if self.sent < len(self.data):
                end = self.data.index(b"\n", min(self.sent + 200_000, len(self.data) - 1)) + 1
                self.proc.stdin.write(self.data[self.sent:end])
                self.proc.stdin.flush()
                self.sent = end
            self.read(0.05)
        return seen in self.screen

    def read(self, timeout):
        while select.select([self.master], [], [], timeout)[0]:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:  # the child closed its end
                return
            if not chunk:
                return
            self.screen += chunk
            timeout = 0

    def finish(self, timeout=60):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        out = self.proc.stdout.read()
        status = self.proc.wait(timeout=timeout)
        self.read(0.2)
        os.close(self.master)
        return status, out.decode(), self.screen.decode(errors="replace")


# A bare pseudo-terminal (as `script` or a CI runner makes) reports no size at all.
@pytest.mark.parametrize("rows, columns", [(24, 100), (0, 0), (0, 100), (24, 0)])
def test_progress_on_a_terminal(tmp_path, rows, columns):
    term = Terminal(tmp_path, rows=rows, columns=columns)
    assert term.feed_until(b"links/s"), term.screen
    term.feed_until(b"never", seconds=0.0)
    status, out, screen = term.finish()
    sent = term.data[:term.sent].count(b"\n")
    assert (status, out) == (0, refs(term.links[:sent]))
    assert "<stdin>" in screen and " links" in screen and "B/s" in screen


@pytest.mark.parametrize("args, tqdm", [(("--quiet",), True), ((), False)],
                         ids=["quiet", "without-tqdm"])
def test_no_progress_when_quiet_or_without_tqdm(tmp_path, args, tqdm):
    first_path = None
    if not tqdm:  # as where the progress extra is not installed: same answer, no bar
        first_path = tmp_path / "no-tqdm"
        first_path.mkdir()
        (first_path / "tqdm.py").write_text("raise ImportError('tqdm is not installed')\n")
    term = Terminal(tmp_path, *args, first_path=first_path)
    # Long enough that a bar would have been drawn: the delay is half a second.
    started = time.monotonic()
    while time.monotonic() - started < 1.2 and term.sent < len(term.data):
        term.feed_until(b"never", seconds=0.1)
    status, out, screen = term.finish()
    sent = term.data[:term.sent].count(b"\n")
    assert (status, out, screen) == (0, "" if args else refs(term.links[:sent]), "")


@contextlib.contextmanager
def ctrl_c_acts_in_children():
    """Children started inside get SIGINT's default action, as from a shell's foreground, even
    when this run ignores it (a background job does): an ignored signal stays ignored across
    exec, and the command rightly leaves it so; a handled one does not."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("on_terminal", [True, False], ids=["terminal", "pipe"])
def test_ctrl_c_ends_it_quietly_with_130(tmp_path, on_terminal):
    if on_terminal:
        with ctrl_c_acts_in_children():
            term = Terminal(tmp_path)
        assert term.feed_until(b"links/s"), term.screen  # mid-run, with the bar drawn
        os.kill(term.proc.pid, signal.SIGINT)
        status, out, screen = term.finish()
        assert status == 130
        assert "Traceback" not in screen and "KeyboardInterrupt" not in screen
        return
    with ctrl_c_acts_in_children():
        proc = subprocess.Popen(command("verify", "--json"), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
                                env=child_env())
    proc.stdin.write(jsonl(build_chain(200)))
    proc.stdin.flush()
    assert proc.stdout.readline().startswith(b'{"file": "<stdin>", "index": 0')  # it is running
    os.kill(proc.pid, signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (130, b"")
