"""The results as one Markdown document: the figures against their goals,
then the detail behind them."""

from stats import verdict


def figure_table(figures):
    lines = ["| figure | measured | goal | result |", "|---|---|---|---|"]
    lines += [f"| {f.name} | {f.measured} | {f.goal} | {verdict(f.met)} |" for f in figures]
    return "\n".join(lines)


def document(figures, context, breakdown, hit_details, import_details, thread_details):
    hit_lines = [f"| {name} | {d['min_ns']:.0f} | {d['median_ns']:.0f} | {d['rounds']} |"
                 for name, d in hit_details["sides"].items()]
    ceiling = "; ".join(f"{name} {ratio:.2f}x" for name, ratio in hit_details["ceiling"].items())
    return "\n".join([
        "# zorf_lib benchmarks",
        "",
        context,
        "",
        figure_table(figures),
        "",
        "## Cache hit (ns per call, rounds of a tight loop)",
        "",
        "| side | fastest round | median round | rounds |",
        "|---|---:|---:|---:|",
        *hit_lines,
        "",
        f"The most a module with no cost of its own could reach (median round ratio): {ceiling}.",
        "",
        "## Cache miss, stage by stage (µs, medians)",
        "",
        "core: the project's C++ library, each stage timed on its own; bare: the fake",
        "NVML walked from C with nothing around it (the floor).",
        "",
        breakdown,
        "",
        "## Import",
        "",
        f"self µs per run: {import_details['self_us']}; cumulative: {import_details['cumulative_us']};",
        f"fastest {import_details['fastest_us']} µs.",
        "",
        "Where it goes (medians, µs, in a fresh interpreter): "
        + ", ".join(f"{name} {value:.0f}" for name, value in import_details["split_us"].items())
        + " (the rest: the module's own load, relocation and initialisation).",
        "",
        "## Threads",
        "",
        f"{thread_details['build']}; {thread_details['cores']} usable cores.",
        "",
        "| threads | calls/s (best of the rounds) |",
        "|---:|---:|",
        *[f"| {t} | {c:,.0f} |" for t, c in thread_details["calls_per_second"].items()],
        "",
    ])
