"""The README's recipes for clusters, kept under examples/ and quoted in the
README word for word: each run as far as this machine allows, against the
fake NVML."""

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import UUIDS, node_id_of

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
NODE = node_id_of(UUIDS)
# The installed console script, where the cache folder of the recipes is.
SCRIPT = Path(sysconfig.get_path("scripts")) / "zorf-node-id"
RECIPE_SCRIPT, RECIPE_FOLDER = "/opt/zorf/bin/zorf-node-id", "/var/lib/zorf"


@pytest.mark.parametrize(("name", "fence"), [
    ("zorf-node-id.service", "ini"), ("node-id-labeller.yaml", "yaml"), ("slurm-task-prolog.sh", "sh"),
    ("forked_pool.py", "python")])
def test_readme_quotes_the_example(name, fence):
    assert f"```{fence}\n{(EXAMPLES / name).read_text()}```\n" in (ROOT / "README.md").read_text()


def local(text, folder):
    """A recipe's text with its cache folder moved into the test's."""
    return text.replace(RECIPE_FOLDER, str(folder))


def on_path(folder, **programs):
    """An environment whose PATH finds these shell scripts first, and a
    zorf-node-id that runs this interpreter's module."""
    programs.setdefault("zorf-node-id", f'exec {shlex.quote(sys.executable)} -m zorf_node_id "$@"')
    bin_dir = folder / "bin"
    bin_dir.mkdir(exist_ok=True)
    for name, body in programs.items():
        (bin_dir / name).write_text(f"#!/bin/sh\n{body}\n")
        (bin_dir / name).chmod(0o755)
    return {"PATH": f"{bin_dir}:{os.environ['PATH']}"}


@pytest.mark.skipif(not SCRIPT.exists(), reason=f"no zorf-node-id installed in {SCRIPT.parent}")
def test_systemd_unit(nvml):
    unit = nvml.workdir / "zorf-node-id.service"
    unit.write_text(local((EXAMPLES / unit.name).read_text(), nvml.workdir).replace(RECIPE_SCRIPT, str(SCRIPT)))
    cache = nvml.workdir / "node-id"
    cache.write_text("left from before the reboot")
    for key in ("ExecStartPre=", "ExecStart="):
        (line,) = [line for line in unit.read_text().splitlines() if line.startswith(key)]
        proc, _ = nvml.program(shlex.split(line.removeprefix(key)))
        assert proc.returncode == 0, proc.stderr
    assert (proc.stdout, cache.read_text()) == (f"{NODE}\n", NODE)
    if not shutil.which("systemd-analyze"):
        pytest.skip("no systemd-analyze here to verify the unit")
    verify = subprocess.run(["systemd-analyze", "verify", str(unit)], capture_output=True, text=True)
    assert verify.returncode == 0 and unit.name not in verify.stderr, verify.stderr


# (cache file before, status the prolog's line reports)
@pytest.mark.parametrize(("cache", "line"), [
    (NODE, f"export ZORF_NODE_ID={NODE}"),
    ("missing folder", "print zorf-node-id failed with status 1: ZORF_NODE_ID is not set"),
])
def test_slurm_task_prolog(nvml, cache, line):
    folder = nvml.workdir if cache == NODE else nvml.workdir / "absent"
    (nvml.workdir / "node-id").write_text(cache)
    prolog = local((EXAMPLES / "slurm-task-prolog.sh").read_text(), folder)
    proc, log = nvml.program(["sh", "-c", prolog], env=on_path(nvml.workdir))
    assert (proc.returncode, proc.stdout) == (0, line + "\n")
    assert (log is None) == (cache == NODE)  # a hit never loads NVML


def test_kubernetes_labeller(nvml):
    yaml = pytest.importorskip("yaml", reason="PyYAML checks the Kubernetes recipe")
    documents = list(yaml.safe_load_all((EXAMPLES / "node-id-labeller.yaml").read_text()))
    assert [d["kind"] for d in documents] == ["ServiceAccount", "ClusterRole", "ClusterRoleBinding", "DaemonSet"]
    pod = documents[-1]["spec"]["template"]["spec"]
    volumes = {volume["name"] for volume in pod["volumes"]}
    init, labeller = pod["initContainers"][0], pod["containers"][0]
    assert {m["name"] for c in (init, labeller) for m in c["volumeMounts"]} == volumes
    handover = nvml.workdir / "handover"
    handover.mkdir()
    # The two containers' scripts in turn, kubectl and sleep stood in for.
    env = dict(on_path(nvml.workdir, kubectl='echo "$@" >> "$KUBECTL_LOG"', sleep=""),
               KUBECTL_LOG=str(nvml.workdir / "kubectl.log"), NODE_NAME="gpu-7")
    for container in (init, labeller):
        script = local(container["command"][2], nvml.workdir).replace("/run/zorf", str(handover))
        proc, _ = nvml.program(container["command"][:2] + [script], env=env)
        assert proc.returncode == 0, proc.stderr
    annotate, label = (nvml.workdir / "kubectl.log").read_text().splitlines()
    assert annotate == f"annotate --overwrite node gpu-7 zorf.example.com/node-id={NODE}"
    key, value = label.removeprefix("label --overwrite node gpu-7 ").split("=")
    assert (key, value) == ("zorf.example.com/node-id-prefix", NODE[:16])


def test_forked_pool(nvml):
    """The parent's call makes every worker's a hit; a worker that misses
    loads NVML in its own process and ends it there."""
    proc, log = nvml.program([sys.executable, str(EXAMPLES / "forked_pool.py"), str(nvml.path)])
    assert proc.stdout.splitlines() == [f"{NODE} {task * task}" for task in range(8)], proc.stderr
    assert log.count("load") == 1
    outcome = nvml.run(r'''
def child(i):
    os._exit(0 if zorf_lib.get_gpu_node_id(f"{PATH}-{i}") == first else 1)
first = zorf_lib.get_gpu_node_id(PATH)
pids = [pid if (pid := os.fork()) else child(i) for i in range(3)]
emit([os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids])
''', path=nvml.workdir / "missed")
    assert outcome.data == [0, 0, 0]
    assert [outcome.calls(event) for event in ("load", "nvmlInit_v2", "nvmlShutdown", "unload")] == [4] * 4
