"""The README's recipes, kept under examples/ and linked from it, each run as
far as this machine allows against the fake NVML, with its cache folder moved
into the test's; and the docs' links to the repository's files."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
import zorf_lib

from conftest import UUIDS, node_id_of

ROOT = Path(__file__).resolve().parents[2]
NODE = node_id_of(UUIDS)
SCRIPT = Path(sysconfig.get_path("scripts")) / "zorf-node-id"
# The script belongs to the module under test only when both were installed
# into this interpreter's environment (not where the module comes from
# PYTHONPATH, and the script from an install of another session's).
INSTALLED_HERE = SCRIPT.exists() and Path(zorf_lib.__file__).parent == Path(sysconfig.get_path("platlib"))


def recipe(name, folder):
    return (ROOT / "examples" / name).read_text().replace("/var/lib/zorf", str(folder))


def on_path(folder, **programs):
    """An environment whose PATH finds these shell scripts first, zorf-node-id
    among them: this interpreter's module."""
    programs.setdefault("zorf-node-id", f'exec {shlex.quote(sys.executable)} -P -m zorf_node_id "$@"')
    (bin_dir := folder / "bin").mkdir(exist_ok=True)
    for name, body in programs.items():
        (bin_dir / name).write_text(f"#!/bin/sh\n{body}\n")
        (bin_dir / name).chmod(0o755)
    return {"PATH": f"{bin_dir}:{os.environ['PATH']}"}


DOCS = ["README.md", "CONTRIBUTING.md", "benchmarks/README.md"]
EXAMPLES = ["zorf-node-id.service", "node-id-labeller.yaml", "slurm-task-prolog.sh", "forked_pool.py"]


def relative_links(doc):
    """The Markdown links of DOC that name a file of the repository."""
    targets = re.findall(r"\]\(([^)\s]+)\)", (ROOT / doc).read_text())
    return [target.split("#")[0] for target in targets if not re.match(r"[a-z]+:", target) and target[0] != "#"]


@pytest.mark.parametrize("doc", DOCS)
def test_the_docs_relative_links_resolve(doc):
    missing = [link for link in relative_links(doc) if not ((ROOT / doc).parent / link).exists()]
    assert not missing, f"{doc} links to {missing}"


def test_the_readme_links_every_recipe():
    assert {f"examples/{name}" for name in EXAMPLES} <= set(relative_links("README.md"))
    assert sorted(path.name for path in (ROOT / "examples").iterdir()) == sorted(EXAMPLES)


@pytest.mark.skipif(not INSTALLED_HERE, reason=f"zorf_lib and its zorf-node-id are not installed in {SCRIPT.parent}")
def test_systemd_unit(scenarios):
    (unit := scenarios.workdir / "zorf-node-id.service").write_text(
        recipe(unit.name, scenarios.workdir).replace("/opt/zorf/bin/zorf-node-id", str(SCRIPT)))
    (scenarios.workdir / "node-id").write_text("left from before the reboot")
    for key in ("ExecStartPre=", "ExecStart="):
        (line,) = [line for line in unit.read_text().splitlines() if line.startswith(key)]
        proc, _ = scenarios.program(shlex.split(line.removeprefix(key)))
    assert (proc.returncode, proc.stdout, (scenarios.workdir / "node-id").read_text()) == (0, f"{NODE}\n", NODE)
    if not shutil.which("systemd-analyze"):
        pytest.skip("no systemd-analyze here to verify the unit")
    verify = subprocess.run(["systemd-analyze", "verify", str(unit)], capture_output=True, text=True)
    assert verify.returncode == 0 and unit.name not in verify.stderr, verify.stderr


# What a local user could leave in a cache file that everyone can write (the
# default /tmp/zorf, say): directives of their own for every job's tasks, or
# a value that is no identifier. The recipes pass on an identifier only.
PLANTED = ["0" * 64 + "\nexport LD_PRELOAD=/tmp/theirs.so", "", NODE.upper(), NODE[:63], NODE + "0",
           "print owned; " + NODE[14:]]


@pytest.mark.parametrize(("folder", "cached", "line"), [
    ("", NODE, f"export ZORF_NODE_ID={NODE}"),
    ("missing", NODE, "print zorf-node-id failed with status 1: ZORF_NODE_ID is not set"),
    *(("", planted, "print {folder}/node-id holds no node identifier: ZORF_NODE_ID is not set") for planted in PLANTED)])
def test_slurm_task_prolog(scenarios, folder, cached, line):
    (scenarios.workdir / "node-id").write_text(cached)
    prolog = recipe("slurm-task-prolog.sh", scenarios.workdir / folder)
    proc, log = scenarios.program(["sh", "-c", prolog], env=on_path(scenarios.workdir))
    line = line.format(folder=scenarios.workdir)
    assert (proc.returncode, proc.stdout, log is None) == (0, line + "\n", not folder)  # a hit loads no NVML


@pytest.mark.parametrize("cached", [None, *PLANTED])
def test_kubernetes_labeller(scenarios, cached):
    yaml = pytest.importorskip("yaml", reason="no PyYAML here to parse the Kubernetes recipe")
    documents = list(yaml.safe_load_all(recipe("node-id-labeller.yaml", scenarios.workdir)))
    assert [d["kind"] for d in documents] == ["ServiceAccount", "ClusterRole", "ClusterRoleBinding", "DaemonSet"]
    pod = documents[-1]["spec"]["template"]["spec"]
    containers = pod["initContainers"] + pod["containers"]
    assert {m["name"] for c in containers for m in c["volumeMounts"]} == {v["name"] for v in pod["volumes"]}
    # Each container's script in turn, kubectl and sleep stood in for; the
    # node's cache file missing, or planted.
    (scenarios.workdir / "run").mkdir()
    if cached is not None:
        (scenarios.workdir / "node-id").write_text(cached)
    env = dict(on_path(scenarios.workdir, kubectl='echo "$@" >> kubectl.log', sleep=""), NODE_NAME="gpu-7")
    statuses = []
    for container in containers:
        proc, _ = scenarios.program([*container["command"][:2], container["command"][2].replace("/run/zorf", "run")],
                               env=env)
        statuses.append(proc.returncode)
    if cached is not None:
        # The labeller fails, so that its pod goes into CrashLoopBackOff, and labels nothing.
        assert (statuses, proc.stderr) == ([0, 1], "the cache file holds no node identifier: not labelling\n")
        assert not (scenarios.workdir / "kubectl.log").exists()
        return
    assert statuses == [0, 0], proc.stderr
    assert (scenarios.workdir / "kubectl.log").read_text().splitlines() == [
        f"annotate --overwrite node gpu-7 zorf.example.com/node-id={NODE}",
        f"label --overwrite node gpu-7 zorf.example.com/node-id-prefix={NODE[:16]}"]


def test_forked_pool(scenarios):
    """The parent's one miss makes every worker's call a hit; children that
    miss each load and end NVML in their own process."""
    proc, log = scenarios.program([sys.executable, str(ROOT / "examples" / "forked_pool.py"), str(scenarios.path)])
    assert (proc.stdout.splitlines(), log.count("load")) == ([f"{NODE} {task * task}" for task in range(8)], 1)
    outcome = scenarios.run(r'''
def child(i):
    os._exit(0 if zorf_lib.get_gpu_node_id(f"{PATH}-{i}") == first else 1)
first = zorf_lib.get_gpu_node_id(PATH)
pids = [pid if (pid := os.fork()) else child(i) for i in range(3)]
emit([os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids])
''', path=scenarios.workdir / "missed")
    assert outcome.data == [0, 0, 0]
    assert [outcome.calls(event) for event in ("load", "nvmlInit_v2", "nvmlShutdown", "unload")] == [4] * 4
