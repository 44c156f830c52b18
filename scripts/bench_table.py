#!/usr/bin/env python3
"""The table of benchmark figures as ratios to their baselines, from one run.

Reads the Google Benchmark JSON files that scripts/bench.sh writes (one per
benchmark program, named after it) and, when present, the VM enumeration
result (bench_enumerate.json), and prints a Markdown table. Runs with
repetitions are read through their median; single runs as they are.

usage: bench_table.py RESULTS_DIR
"""
import json
import os
import re
import sys

USB_HS_REPORTS_PER_S = 8000
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(results, program):
    """name -> entry, preferring the median aggregate over single runs."""
    path = os.path.join(results, program + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        data = json.load(f)
    runs, cvs = {}, {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            raise SystemExit(f"{program}: {b['name']}: {b.get('error_message')}")
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                runs[name] = b
            elif b.get("aggregate_name") == "cv":
                cvs[name] = b
        else:
            runs.setdefault(name, b)
    for name, cv in cvs.items():
        if name in runs:
            runs[name] = dict(runs[name], cv=cv)
    return runs


def time_key(entry):
    return "real_time" if "/real_time" in entry["name"] else "cpu_time"


def ns(entry, key=None):
    """The entry's time per iteration in ns: wall time for real-time runs,
    processor time otherwise (of the whole process for process-time runs)."""
    return entry[key or time_key(entry)] * UNIT_NS[entry["time_unit"]]


def spread(*entries, key=None):
    """The coefficients of variation across repetitions, when above 10 %."""
    noisy = []
    for e in entries:
        cv = e.get("cv", {}).get(key or time_key(e))
        if cv is not None and cv > 0.10:
            noisy.append(f"{e['run_name'].removeprefix('BM_')} varies {cv * 100:.0f} %")
    return "; ".join(noisy)


def join(*notes):
    return "; ".join(n for n in notes if n)


def per_s_to_ns(counter):
    """Inverted counters (time per item) come out in seconds."""
    return counter * 1e9


def fmt_ns(v):
    if v >= 1e6:
        return f"{v / 1e6:.2f} ms"
    if v >= 1e3:
        return f"{v / 1e3:.2f} µs"
    return f"{v:.1f} ns"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, path, figure, baseline, ratio, note=""):
        self.rows.append((path, figure, baseline, ratio, note))

    def markdown(self):
        out = ["| Path | Figure | Baseline | Ratio | Note |", "|---|---|---|---|---|"]
        for r in self.rows:
            out.append("| " + " | ".join(r) + " |")
        return "\n".join(out)


def input_rows(t, runs):
    bare = ns(runs["BM_InputDirect_BareCall"])
    comp = ns(runs["BM_InputDirect_Component"])
    t.add("Input, one thread", f"HIDreader to handler {fmt_ns(comp)}/report",
          f"bare call, same copy {fmt_ns(bare)}", f"{comp / bare:.2f}",
          join(f"+{fmt_ns(comp - bare)} per report",
               spread(runs["BM_InputDirect_BareCall"], runs["BM_InputDirect_Component"])))
    sb = runs["BM_InputStream_BareCallback/100000/process_time"]
    sc = runs["BM_InputStream_Component/100000/process_time"]
    bare_s = per_s_to_ns(sb["time_per_report"])
    comp_s = per_s_to_ns(sc["time_per_report"])
    t.add("Input, bridge thread", f"{sc['items_per_second'] / 1e6:.1f} M reports/s, "
          f"{fmt_ns(comp_s)}/report", f"bare callback {fmt_ns(bare_s)}/report",
          f"{comp_s / bare_s:.2f}",
          join(f"+{fmt_ns(comp_s - bare_s)} per report; processor time", spread(sb, sc)))
    for sample in ("mouse", "keyboard", "vendor64"):
        decode = runs[f"BM_Decode/{sample}"]
        t.add(f"Decode, {sample}", f"{fmt_ns(ns(decode))}/report",
              f"HIDreader to handler {fmt_ns(comp)}/report", f"{ns(decode) / comp:.2f}",
              join("one input report to values by usage", spread(decode)))
    share = comp_s * USB_HS_REPORTS_PER_S / 1e9
    extra = (comp_s - bare_s) * USB_HS_REPORTS_PER_S / 1e9
    t.add("Input, USB budget", f"{share * 100:.3f} % of one core at 8000 reports/s",
          "125 µs per report", f"{comp_s / 125e3:.5f}",
          f"component's own part {extra * 100:.4f} %")


def send_rows(t, runs):
    pm = ns(runs["BM_ProcessMessagesEmpty"])
    bridge = ns(runs["BM_BridgeCallAlone"])
    for k in (64, 8):
        sizes = sorted(int(m.group(1)) for n in runs
                       if (m := re.match(rf"BM_SetReport/bytes:(\d+)/k:{k}$", n)))
        per_byte = {s: per_s_to_ns(runs[f"BM_SetReport/bytes:{s}/k:{k}"]["time_per_byte"])
                    for s in sizes}
        lo, hi = sizes[0], sizes[-1]
        t.add(f"Send, k={k}", f"{per_byte[hi]:.2f} ns/byte at {hi >> 20} MiB",
              f"{per_byte[lo]:.2f} ns/byte at {lo >> 10} KiB", f"{per_byte[hi] / per_byte[lo]:.2f}",
              join(f"per byte from {min(per_byte.values()):.2f} to {max(per_byte.values()):.2f} ns",
                   spread(runs[f"BM_SetReport/bytes:{lo}/k:{k}"],
                          runs[f"BM_SetReport/bytes:{hi}/k:{k}"])))
        per_report = per_s_to_ns(runs[f"BM_SetReport/bytes:{hi}/k:{k}"]["time_per_report"])
        t.add(f"Send, k={k}, per report", f"{fmt_ns(per_report)}/report at {hi >> 20} MiB",
              f"ProcessMessages, empty queue {fmt_ns(pm)}", f"{per_report / pm:.2f}",
              f"the bridge's call is {fmt_ns(bridge)} of it")
    for k in (64, 8):
        name = f"BM_SetReportNullBridge/bytes:{{}}/k:{k}"
        sizes = sorted(int(m.group(1)) for n in runs
                       if (m := re.match(rf"BM_SetReportNullBridge/bytes:(\d+)/k:{k}$", n)))
        if not sizes:
            continue
        lo, hi = sizes[0], sizes[-1]
        per_byte = {s: per_s_to_ns(runs[name.format(s)]["time_per_byte"]) for s in sizes}
        t.add(f"Send alone, k={k}", f"{per_byte[hi]:.2f} ns/byte at {hi >> 20} MiB",
              f"{per_byte[lo]:.2f} ns/byte at {lo >> 10} KiB", f"{per_byte[hi] / per_byte[lo]:.2f}",
              join(f"bridge does nothing; per byte from {min(per_byte.values()):.2f} "
                   f"to {max(per_byte.values()):.2f} ns",
                   spread(runs[name.format(lo)], runs[name.format(hi)])))
        per_report = per_s_to_ns(runs[name.format(hi)]["time_per_report"])
        t.add(f"Send alone, k={k}, per report", f"{fmt_ns(per_report)}/report at {hi >> 20} MiB",
              f"ProcessMessages, empty queue {fmt_ns(pm)}", f"{per_report / pm:.2f}",
              f"{fmt_ns(per_report - pm)} per report besides the message pass")


def message_rows(t, runs):
    pr = runs["BM_PostRoundTripAcrossThreads/process_time/real_time"]
    er = runs["BM_EventfdRoundTrip/process_time/real_time"]
    post, efd = ns(pr, "real_time"), ns(er, "real_time")
    t.add("Messages, across threads, latency", f"round trip {fmt_ns(post)}",
          f"eventfd ping-pong {fmt_ns(efd)}", f"{post / efd:.2f}",
          join("two posts, two wake-ups; wall time", spread(pr, er, key="real_time")))
    post, efd = ns(pr, "cpu_time"), ns(er, "cpu_time")
    t.add("Messages, across threads, work", f"round trip {fmt_ns(post)}",
          f"eventfd ping-pong {fmt_ns(efd)}", f"{post / efd:.2f}",
          join("processor time of both threads", spread(pr, er, key="cpu_time")))
    ep = runs.get("BM_EpollEventfdRoundTrip/process_time/real_time")
    if ep is not None:
        for key, what in (("real_time", "latency"), ("cpu_time", "work")):
            post, floor = ns(pr, key), ns(ep, key)
            t.add(f"Messages, across threads, {what}", f"round trip {fmt_ns(post)}",
                  f"eventfd ping-pong through epoll {fmt_ns(floor)}", f"{post / floor:.2f}",
                  spread(pr, ep, key=key))
    one = ns(runs["BM_PostAndDispatchOnOneThread/1"])
    batch = ns(runs["BM_PostAndDispatchOnOneThread/64"]) / 64
    t.add("Messages, one thread", f"{fmt_ns(batch)}/message in batches of 64",
          f"one message and its pass {fmt_ns(one)}", f"{batch / one:.2f}",
          "a pass with messages raises and lowers the eventfd: two system calls")


def scan_rows(t, runs):
    def at(bench, n):
        return ns(runs[f"{bench}/{n}"])

    for n in (0, 1, 8, 32):
        scan = at("BM_Scan", n)
        enum = at("BM_ScanEnumeration", n)
        desc = at("BM_ScanDescriptions", n)
        filt = at("BM_ScanFiltered", n) - scan
        t.add(f"Scan, {n} devices", f"{fmt_ns(scan)}; descriptions alone {fmt_ns(desc)}, "
              f"filter {fmt_ns(filt)}",
              f"simulated enumeration {fmt_ns(enum)}", f"{scan / enum:.2f}",
              f"filter adds {filt / scan * 100:.0f} %")
    for bench, label in (("BM_Scan", "whole scan"), ("BM_ScanDescriptions", "descriptions"),
                         ("BM_ScanFiltered", "filtered scan"),
                         ("BM_ScanEnumeration", "enumeration")):
        d8 = at(bench, 8) - at(bench, 0)
        d32 = at(bench, 32) - at(bench, 0)
        t.add(f"Scan growth, {label}", f"{fmt_ns(d32 / 32)}/device from 0 to 32",
              f"{fmt_ns(d8 / 8)}/device from 0 to 8", f"{(d32 / 32) / (d8 / 8):.2f}",
              "1.00 = linear")


def component_rows(t, runs):
    for name, label in (("BM_Scan32Devices", "scan of 32, filter set"),
                        ("BM_InputReportToHandler", "input report to handler"),
                        ("BM_DeviceChangeToScan", "device change to its scan (4 devices)")):
        if name in runs:
            t.add("Component (bench_component)", f"{label}: {fmt_ns(ns(runs[name]))}", "", "", "")


def vm_rows(t, results):
    path = os.path.join(results, "bench_enumerate.json")
    if not os.path.exists(path):
        t.add("Real bridge (VM)", "not run", "", "", "scripts/bench.sh --vm")
        return
    with open(path) as f:
        vm = json.load(f)
    m = vm["methods"]
    b, f, h, s = m["hidraw_bridge"], m["first_scan"], m["hid_enumerate"], m["component_scan"]
    t.add("Real bridge, rescan", f"hidraw bridge {b['median_us'] / 1e3:.2f} ms "
          f"({b['entries']} devices, none changed)", f"hid_enumerate {h['median_us'] / 1e3:.1f} ms "
          f"({h['entries']} entries)", f"{vm['ratios']['hidraw_bridge/hid_enumerate']:.2f}",
          f"QEMU {vm['accel']}, {b['rounds']} rounds, median of per-round ratios")
    t.add("Real bridge, first scan", f"hidraw bridge {f['median_us'] / 1e3:.1f} ms "
          "(library loaded and unloaded)", f"hid_enumerate {h['median_us'] / 1e3:.1f} ms",
          f"{vm['ratios']['first_scan/hid_enumerate']:.2f}",
          f"the load alone {m['bridge_load']['median_us'] / 1e3:.1f} ms; the scan without it "
          f"{vm['ratios']['first_scan_without_load/hid_enumerate']:.2f} of hid_enumerate")
    if "attach" in vm:
        a = vm["attach"]
        t.add("Real bridge, rescan after an attach", f"hidraw bridge {a['bridge_median_us'] / 1e3:.2f} ms",
              f"hid_enumerate {a['hid_enumerate_median_us'] / 1e3:.1f} ms",
              f"{vm['ratios']['attach_rescan/hid_enumerate']:.2f}",
              f"the uhid device removed and made again, {a['rounds']} rounds")
    if "idle" in vm:
        i = vm["idle"]
        t.add("Real bridge, idle", f"{i['bridge_switches']} wake-ups of {i['bridge_threads']} "
              f"bridge and component threads in {i['seconds']} s, device open",
              f"hid_read blocked: {i['hid_read_switches']}", "",
              f"main thread asleep on its queue: {i['main_switches']} "
              f"(woken by a message: {i['queue_woken']})")
    if "lost" in vm:
        lo = vm["lost"]
        t.add("Real bridge, input across rescans", f"{lo['lost_held']} of {lo['reports']} reports "
              f"lost over {lo['rescans']} rescans, node kept open",
              f"node closed for real: {lo['lost_closed']} lost", "",
              "uhid device at about 1000 reports/s")
    if "lost_plug" in vm:
        lo = vm["lost_plug"]
        t.add("Real bridge, input while another device comes and goes",
              f"{lo['lost_held']} of {lo['reports']} reports lost, another uhid device plugged "
              f"and unplugged {lo['plugs']} times", f"node closed for real at each close: "
              f"{lo['lost_closed']} lost", "",
              f"uhid device at about 1000 reports/s; the component rescans by itself at each "
              f"change ({lo['closes_held']} closes)")
    if "readers" in vm:
        rd = vm["readers"]
        t.add("Real bridge, sysfs reader against libudev", "facts of every device identical, "
              f"field by field: {'yes' if rd['identical'] else 'no'}", "libudev's", "",
              f"{rd['scans']} comparisons, {rd['fewest']} to {rd['most']} devices")
    t.add("Real bridge, scan", f"ScanForHIDdevices {s['median_us'] / 1e3:.2f} ms",
          f"hidraw bridge {b['median_us'] / 1e3:.2f} ms",
          f"{vm['ratios']['component_scan/hidraw_bridge']:.2f}", "")
    for name, how in (("uhid", "destroyed and made again"),
                      ("qmp", "keyboard, device_del/device_add")):
        r = vm.get("reconnect", {}).get(name)
        if r is None:
            continue
        base = r["scan_open_median_us"]
        split = ""
        if "scan_us" in r:
            split = (f"; split (medians, ms): event heard {r['heard_us'] / 1e3:.1f}, to the scan "
                     f"{r['loop_us'] / 1e3:.1f}, scan {r['scan_us'] / 1e3:.1f}, descriptions "
                     f"{r['describe_us'] / 1e3:.1f}, open {r['open_us'] / 1e3:.1f}")
        attach = ""
        if "attach_open_median_us" in r:
            a = r["attach_open_median_us"]
            attach = (f"; against the rescan after an attach + one open ({a / 1e3:.1f} ms): "
                      f"{r['median_us'] / a:.2f} (p95 {r['p95_us'] / a:.2f})")
        t.add(f"Real bridge, reconnection, {name}",
              f"node created to OnDevOpen: median {r['median_us'] / 1e3:.1f} ms, "
              f"p95 {r['p95_us'] / 1e3:.1f} ms", f"one scan + one open {base / 1e3:.1f} ms",
              f"{r['median_us'] / base:.2f} (p95 {r['p95_us'] / base:.2f})",
              f"{r['replugs']} replugs ({how}), at most {r['scans_max']} scans each; "
              f"{r['median_us'] / 5e3:.1f} % (p95 {r['p95_us'] / 5e3:.1f} %) of a 500 ms "
              f"polling interval{attach}{split}")
    for sc in vm.get("scale", []):
        if sc["devices"] != 16:
            continue
        t.add("Real bridge, rescan, 16 devices", f"hidraw bridge {sc['rescan_us'] / 1e3:.2f} ms "
              "(none changed)", f"hid_enumerate {sc['hid_enumerate_us'] / 1e3:.1f} ms "
              f"({sc['hid_entries']} entries)", f"{sc['rescan_ratio']:.3f}",
              f"{sc['rounds']} rounds, median of per-round ratios")
        t.add("Real bridge, first scan, 16 devices", f"hidraw bridge {sc['full_us'] / 1e3:.1f} ms "
              "without the load", f"hid_enumerate {sc['hid_enumerate_us'] / 1e3:.1f} ms",
              f"{sc['full_ratio']:.2f}", "ratio with the load")
    if "attach_many" in vm:
        a = vm["attach_many"]
        t.add(f"Real bridge, rescan after an attach, {a['devices']} devices",
              f"hidraw bridge {a['bridge_median_us'] / 1e3:.2f} ms",
              f"hid_enumerate {a['hid_enumerate_median_us'] / 1e3:.1f} ms", f"{a['ratio']:.3f}",
              f"{a['rounds']} rounds")
    if "input" in vm:
        i = vm["input"]
        n = i["burst"]
        t.add("Real bridge, input burst", f"{n} reports: OnGetHIDData gets "
              f"{i['component_delivered']}, in order: {'yes' if i['component_in_order'] else 'no'}",
              f"hid_read loop: {i['hid_read_delivered']}, in order: "
              f"{'yes' if i['hid_read_in_order'] else 'no'}",
              f"{i['component_delivered'] / max(1, i['hid_read_delivered']):.2f}",
              f"lost: {n - i['component_delivered']} against {n - i['hid_read_delivered']}"
              + (f"; medians of {i['rounds']} turns, fewest {i['component_delivered_min']} "
                 f"against {i['hid_read_delivered_min']}; reader's processor time per report "
                 f"{i['component_cpu_us']:.1f} µs against {i['hid_read_cpu_us']:.1f} µs, "
                 f"the writer's {i['component_writer_us']:.1f} µs against "
                 f"{i['hid_read_writer_us']:.1f} µs" if "rounds" in i else ""))
        t.add("Real bridge, input latency", f"uhid write to OnGetHIDData: median "
              f"{i['component_median_us']:.1f} µs, p95 {i['component_p95_us']:.1f} µs",
              f"blocking hid_read: median {i['hid_read_median_us']:.1f} µs, "
              f"p95 {i['hid_read_p95_us']:.1f} µs",
              f"{i['component_median_us'] / i['hid_read_median_us']:.2f} "
              f"(p95 {i['component_p95_us'] / i['hid_read_p95_us']:.2f})",
              f"{i['paced']} reports, one every 2 ms")


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    results = sys.argv[1]
    t = Table()
    for program, rows in (("bench_input", input_rows), ("bench_send", send_rows),
                          ("bench_messages", message_rows), ("bench_scan", scan_rows),
                          ("bench_component", component_rows)):
        runs = load(results, program)
        if runs is None:
            t.add(program, "not run", "", "", "")
        else:
            rows(t, runs)
    vm_rows(t, results)
    print(t.markdown())


if __name__ == "__main__":
    main()
