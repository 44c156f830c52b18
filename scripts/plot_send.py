#!/usr/bin/env python3
"""Plot of the cost of SetReport per byte against the length sent.

Reads bench_send's Google Benchmark JSON (runs BM_SetReport/bytes:L/k:K, with
or without repetitions; repetitions are read through their median) and draws
one line per k, the number of bytes the bridge takes from each report. A flat
line means the cost grows linearly with the length.

usage: plot_send.py BENCH_SEND_JSON OUT_PNG
"""
import json
import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def per_byte_series(path):
    """{k: [(bytes, ns per byte), ...]} sorted by length."""
    with open(path) as f:
        data = json.load(f)
    series = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        m = re.match(r"BM_SetReport/bytes:(\d+)/k:(\d+)$", b.get("run_name", b["name"]))
        if not m:
            continue
        series.setdefault(int(m.group(2)), {})[int(m.group(1))] = b["time_per_byte"] * 1e9
    return {k: sorted(v.items()) for k, v in series.items()}


def label_bytes(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB"


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    series = per_byte_series(sys.argv[1])
    if not series:
        raise SystemExit(f"{sys.argv[1]}: no BM_SetReport runs")
    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=110)
    for k in sorted(series, reverse=True):
        xs = [x for x, _ in series[k]]
        ys = [y for _, y in series[k]]
        ax.plot(xs, ys, marker="o", label=f"k = {k} bytes per report")
    xs = sorted({x for s in series.values() for x, _ in s})
    ax.set_xscale("log", base=2)
    ax.set_xticks(xs)
    ax.set_xticklabels([label_bytes(x) for x in xs])
    ax.set_ylim(bottom=0)
    ax.set_xlabel("length of the byte string sent")
    ax.set_ylabel("time per byte (ns)")
    ax.set_title("SetReport on the simulated bridge: cost per byte")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(sys.argv[2])


if __name__ == "__main__":
    main()
