"""Scripts shipped beside the package: the command line's speed bench and the audit of a
folder of chains on a Dask cluster. Both run small here, as CI can afford."""

import json
import os
import pickle
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import build_chain, reference_ref
from test_cli import child_env, cli, jsonl, rescoped

ROOT = Path(__file__).resolve().parents[1]


def test_cli_speed_bench_runs_and_reports_a_ratio(tmp_path):
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "cli_speed.py"), "3000",
                           "--repeats", "1", "--limit", "1000"], capture_output=True,
                          text=True, env=child_env(), cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("3,000 links")
    assert [line.split()[0] for line in lines[1:4]] == ["loop", "verify", "refs"]
    assert lines[-1].startswith("PASS: verify within ")


def chain_folder(tmp_path):
    folder = tmp_path / "chains"
    folder.mkdir()
    (folder / "a-good.jsonl").write_bytes(jsonl(build_chain(5)))
    (folder / "b-tampered.jsonl").write_bytes(jsonl(rescoped(build_chain(4), 2)))
    (folder / "c-pretty.jsonl").write_text(json.dumps(build_chain(1)[0], indent=2))
    (folder / "d-good.jsonl").write_bytes(jsonl(build_chain(2, delegate_id="agent:Z")))
    (folder / "ignored.txt").write_text("not a chain")
    return folder


def expected_report(tmp_path, folder):
    """What the audit must say of each file: what the command line says of it."""
    lines = []
    for path in sorted(folder.glob("*.jsonl")):
        status, out, err = cli(tmp_path, "verify", str(path))
        if status == 0:
            refs = out.split()
            lines.append(f"{path}: OK, {len(refs)} links, last {refs[-1]}")
        else:
            lines.append(f"{path}: FAILED: {err.strip().removeprefix(f'{path}: ')}")
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local:
        yield local


def test_functions_travel_to_workers_as_they_are(cluster):
    """No wrapper and no cloudpickle by value: the worker, another process, unpickles the
    package's own functions by name and runs them."""
    from distributed import Client

    from kestrim_delegation_ref.cli import verify_file
    from kestrim_delegation_ref.delegation_ref import verify_chain
    links = build_chain(3)
    for function in (verify_chain, verify_file):
        assert pickle.loads(pickle.dumps(function)) is function
        assert len(pickle.dumps(function)) < 100  # a name, not code
    with Client(cluster) as client:
        (worker_pid,) = client.run(os.getpid).values()
        assert worker_pid != os.getpid()
        assert client.submit(verify_chain, links).result() == [reference_ref(x) for x in links]


def test_distributed_audit_on_a_scheduler(tmp_path, cluster, capsys):
    folder = chain_folder(tmp_path)
    audit = runpy.run_path(str(ROOT / "examples" / "distributed_audit.py"))["main"]
    status = audit([str(folder), "--scheduler", cluster.scheduler_address])
    assert (status, capsys.readouterr().out) == (2, expected_report(tmp_path, folder))


def test_distributed_audit_on_its_own_local_cluster(tmp_path):
    pytest.importorskip("distributed")
    folder = chain_folder(tmp_path)
    for bad in ("b-tampered.jsonl", "c-pretty.jsonl"):
        (folder / bad).unlink()
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "distributed_audit.py"),
                           str(folder), "--workers", "1"],
                          capture_output=True, text=True, env=child_env(), timeout=120)
    assert (done.returncode, done.stdout) == (0, expected_report(tmp_path, folder))
