"""Cache miss against the fake NVML with several GPU counts: the module's
whole call against a ctypes peer, the module's own work (the whole call less
the fake library's floor, taken in the same process), and where a miss spends
its time, stage by stage, through the core library and bare."""

import json
import os
import subprocess
import sys
import tempfile

from stats import Figure, median, paired_median, quartiles, us

GPU_COUNTS = (1, 8, 64)
WARM_UP = 5  # first calls of each process: cold caches, lazy binding
OWN_WORK_GOAL_NS = 50_000


def _environment(build, config):
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(build, os.pardir, "fake_nvml", "full"), FAKE_NVML_CONFIG=config)
    # One event per call written to a file would swamp what is measured.
    env.pop("FAKE_NVML_LOG", None)
    return env


def _run(command, env):
    return subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout


def _stage_table(output):
    lines = output.splitlines()
    names = lines[0].split()
    rows = [list(map(int, line.split())) for line in lines[1:]][WARM_UP:]
    return {name: [row[i] for row in rows] for i, name in enumerate(names)}


def _one_size(build, directory, gpus, rounds, iterations):
    config = os.path.join(directory, f"fake-nvml-{gpus}.conf")
    with open(config, "w") as file:
        file.write(f"generate {gpus}\n")
    env = _environment(build, config)
    worker = [sys.executable, os.path.join(os.path.dirname(__file__), "miss_worker.py"), str(iterations),
              directory, os.path.join(build, "libfake_walk.so")]
    # Stages come from two small processes alike, so that core and bare
    # compare like with like; the whole calls share the worker's process.
    stage_programs = {"core": [os.path.join(build, "miss_stages"), str(iterations), directory],
                      "bare": [os.path.join(build, "miss_bare"), str(iterations)]}
    whole = {"module": [], "peer": [], "floor": []}
    stages = {"core": {}, "bare": {}}
    for _ in range(rounds):
        for side, values in json.loads(_run(worker, env)).items():
            whole[side] += values[WARM_UP:]
        for kind, command in stage_programs.items():
            for name, values in _stage_table(_run(command, env)).items():
                stages[kind].setdefault(name, []).extend(values)
    os.unlink(config)
    return whole, stages


def run(build, directory, rounds=8, iterations=100):
    figures, sizes = [], {}
    for gpus in GPU_COUNTS:
        whole, stages = _one_size(build, directory, gpus, rounds, iterations)
        module, peer, floor = (median(whole[side]) for side in ("module", "peer", "floor"))
        own = paired_median(whole["module"], whole["floor"])
        figures.append(Figure(f"cache miss, {gpus} GPUs: ctypes peer / module",
                              f"{peer / module:.2f}x ({us(peer)} / {us(module)})", "> 1.00x", peer > module))
        figures.append(Figure(f"cache miss, {gpus} GPUs: module's own work",
                              f"{us(own)} (whole {us(module)} − fake library {us(floor)})",
                              "< 50 µs", own < OWN_WORK_GOAL_NS))
        sizes[gpus] = {
            "whole": {side: {"median": median(v), "quartiles": quartiles(v), "n": len(v)} for side, v in whole.items()},
            "own_work": own,
            "stages": {kind: {name: median(v) for name, v in table.items()} for kind, table in stages.items()},
        }
    return figures, sizes


def filesystem_of(path):
    """The type of the file system that holds `path` (tmpfs, ext4, ...), from
    the mount with the longest prefix of it."""
    path = os.path.realpath(path)
    best, kind = "", "unknown"
    with open("/proc/self/mountinfo") as mounts:
        for line in mounts:
            fields = line.split()
            mount_point = fields[4].replace("\\040", " ")
            fs_type = fields[fields.index("-") + 1]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best):
                best, kind = mount_point, fs_type
    return kind


def disk_folder():
    """A folder on a disk-backed file system for the flush figure, or None."""
    for folder in ("/var/tmp", "/tmp", os.path.expanduser("~")):
        if os.access(folder, os.W_OK) and filesystem_of(folder) not in ("tmpfs", "ramfs", "unknown"):
            return folder
    return None


def write_cost(build, directory, rounds=3, iterations=40):
    """The cache write (new file, fdatasync, rename) where the other figures
    are taken and on a disk: on a disk-backed cache folder the flush is most
    of a miss. One informative figure, and the medians for the report."""
    config = os.path.join(directory, "fake-nvml-write.conf")
    with open(config, "w") as file:
        file.write("generate 1\n")
    env = _environment(build, config)
    places = {"scratch": directory}
    disk = disk_folder()
    costs = {}
    with tempfile.TemporaryDirectory(prefix="zorf-bench-disk-", dir=disk) as on_disk:
        if disk is not None:
            places["disk"] = on_disk
        for name, folder in places.items():
            values = []
            for _ in range(rounds):
                values += _stage_table(_run([os.path.join(build, "miss_stages"), str(iterations), folder], env))["write"]
            costs[name] = {"folder": os.path.dirname(folder) if name == "disk" else folder,
                           "fs": filesystem_of(folder), "write": median(values), "whole": None}
    os.unlink(config)
    scratch = costs["scratch"]
    if "disk" not in costs:
        text = f"{us(scratch['write'])} on {scratch['fs']}; no disk-backed folder to compare"
    else:
        on = costs["disk"]
        text = (f"{us(on['write'])} on {on['fs']} ({on['folder']}) against {us(scratch['write'])} on "
                f"{scratch['fs']}: the flush to disk costs about {us(on['write'] - scratch['write'])}")
    return Figure("cache miss: cache write (temporary file, fdatasync, rename)", text, "reported", None), costs


# Label, the core program's stage, the bare program's stage.
_BREAKDOWN_ROWS = [
    ("library load (dlopen)", "load", "load"),
    ("resolve 5 entry points (dlsym)", "resolve", "resolve"),
    ("nvmlInit_v2", "init", "init"),
    ("device count", "count", "count"),
    ("handles + UUIDs", "queries", "queries"),
    ("sort + BLAKE3 + hex", "hash", None),
    ("cache write (temp file + rename)", "write", None),
    ("nvmlShutdown", "shutdown", "shutdown"),
    ("library unload (dlclose)", "unload", "unload"),
    ("Nvml::init (load + resolve + init)", "nvml_init", None),
    ("Nvml::end (shutdown + unload)", "nvml_end", None),
    ("whole: C++ service call / bare walk", "whole", "total"),
]


def breakdown_table(sizes):
    """Markdown: each stage's median in µs, through the core library and bare,
    then the whole calls as the Python worker saw them."""
    gpus = list(sizes)

    def cell(value):
        return "" if value is None else f"{value / 1000:.1f}"

    head = "| stage | " + " | ".join(f"{g} GPU{'s' if g > 1 else ''}: core | bare" for g in gpus) + " |"
    lines = [head, "|---|" + "---:|---:|" * len(gpus)]
    for label, core_key, bare_key in _BREAKDOWN_ROWS:
        cells = []
        for g in gpus:
            cells += [cell(sizes[g]["stages"]["core"][core_key]),
                      cell(sizes[g]["stages"]["bare"][bare_key] if bare_key else None)]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    for label, left, right in (("in Python: module call / fake library alone", "module", "floor"),
                               ("in Python: ctypes peer call", "peer", None)):
        cells = []
        for g in gpus:
            cells += [cell(sizes[g]["whole"][left]["median"]),
                      cell(sizes[g]["whole"][right]["median"] if right else None)]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines)
