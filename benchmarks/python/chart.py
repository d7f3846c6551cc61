"""The cache-miss chart: time per call against GPU count, for the module, the
ctypes peer and the fake library's own floor. Medians, with the quartiles as
error bars."""

import matplotlib

matplotlib.use("Agg")  # no display on a build machine
import matplotlib.pyplot as plt


def draw(sizes, path):
    gpus = list(sizes)
    figure, axes = plt.subplots(figsize=(7, 4.5), dpi=120)
    series = [("module", "zorf_lib module", "o-"), ("peer", "ctypes + blake3 peer", "s-"),
              ("floor", "fake NVML alone (bare C)", "^--")]
    for key, label, style in series:
        medians = [sizes[g]["whole"][key]["median"] / 1000 for g in gpus]
        low = [m - sizes[g]["whole"][key]["quartiles"][0] / 1000 for m, g in zip(medians, gpus)]
        high = [sizes[g]["whole"][key]["quartiles"][1] / 1000 - m for m, g in zip(medians, gpus)]
        axes.errorbar(gpus, medians, yerr=[low, high], fmt=style, capsize=3, label=label)
    axes.set_xscale("log", base=2)
    axes.set_xticks(gpus, [str(g) for g in gpus])
    axes.set_xlabel("GPUs (fake NVML)")
    axes.set_ylabel("time per cache miss (µs, median)")
    axes.set_ylim(bottom=0)
    axes.set_title("get_gpu_node_id on a cache miss")
    axes.grid(True, alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
