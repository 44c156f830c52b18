#!/usr/bin/env python3
"""Plot of the cost of SetReport per byte against the length sent.

Reads bench_send's Google Benchmark JSON (runs BM_SetReport/bytes:L/k:K on the
simulated bridge and BM_SetReportNullBridge/bytes:L/k:K with a bridge that does
nothing; with or without repetitions, which are read through their median) and
draws one line per bridge and k, the number of bytes the bridge takes from each
report. A flat line means the cost grows linearly with the length.

usage: plot_send.py BENCH_SEND_JSON OUT_PNG
"""
import json
import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def per_byte_series(path):
    """{(benchmark, k): [(bytes, ns per byte), ...]} sorted by length."""
    with open(path) as f:
        data = json.load(f)
    series = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        m = re.match(r"(BM_SetReport\w*)/bytes:(\d+)/k:(\d+)$", b.get("run_name", b["name"]))
        if not m:
            continue
        key = (m.group(1), int(m.group(3)))
        series.setdefault(key, {})[int(m.group(2))] = b["time_per_byte"] * 1e9
    return {k: sorted(v.items()) for k, v in series.items()}


def label_bytes(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB"


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    series = per_byte_series(sys.argv[1])
    if not series:
        raise SystemExit(f"{sys.argv[1]}: no BM_SetReport runs")
    fig, ax = plt.subplots(figsize=(7, 4.6), dpi=110)
    styles = {"BM_SetReport": ("-", "o", "simulated bridge"),
              "BM_SetReportNullBridge": ("--", "s", "component alone (bridge does nothing)")}
    colours = {64: "tab:blue", 8: "tab:orange"}
    for (bench, k) in sorted(series, key=lambda key: (key[0], -key[1])):
        line, marker, what = styles.get(bench, (":", "x", bench))
        xs = [x for x, _ in series[(bench, k)]]
        ys = [y for _, y in series[(bench, k)]]
        ax.plot(xs, ys, linestyle=line, marker=marker, color=colours.get(k),
                label=f"k = {k}, {what}")
    xs = sorted({x for s in series.values() for x, _ in s})
    ax.set_xscale("log", base=2)
    ax.set_xticks(xs)
    ax.set_xticklabels([label_bytes(x) for x in xs])
    # Logarithmic: the lines lie a decade apart; flat stays flat.
    ax.set_yscale("log")
    ax.set_ylim(0.1, 500)
    ax.set_xlabel("length of the byte string sent")
    ax.set_ylabel("time per byte (ns, logarithmic)")
    ax.set_title("SetReport: cost per byte (k = bytes the bridge takes per report)")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize="small", loc="lower center", ncol=2)
    fig.tight_layout()
    fig.savefig(sys.argv[2])


if __name__ == "__main__":
    main()
