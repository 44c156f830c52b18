#!/usr/bin/env python3
"""Plot of listing time against the number of hidraw devices in the test VM.

Reads the JSON that scripts/bench_vm.py writes (its "scale" entries: at each
number of devices the median of the hidraw bridge's rescan with nothing
changed, its first scan without the library's load, and hidapi's
hid_enumerate) and draws one line for each.

usage: plot_scale.py ENUMERATE_JSON OUT_PNG
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    with open(sys.argv[1]) as f:
        scale = json.load(f).get("scale", [])
    if not scale:
        print("no scale entries in " + sys.argv[1], file=sys.stderr)
        return 1
    devices = [s["devices"] for s in scale]
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for key, label, style in (("full_us", "hidraw bridge, full scan (first scan)", "o-"),
                              ("rescan_us", "hidraw bridge, incremental rescan", "s-"),
                              ("hid_enumerate_us", "hidapi hid_enumerate", "^--")):
        ax.plot(devices, [s[key] / 1000 for s in scale], style, label=label)
    ax.set_xlabel("hidraw devices (3 QEMU USB devices, the rest uhid)")
    ax.set_ylabel("time per listing, ms (median)")
    ax.set_title("Listing the devices in the test VM (QEMU TCG)")
    ax.set_xlim(0, max(devices) + 1)
    ax.set_ylim(0, None)
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=100)
    return 0


if __name__ == "__main__":
    sys.exit(main())
