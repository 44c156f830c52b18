#!/usr/bin/env python3
"""Enumeration on real devices: the hidraw bridge against hidapi's hid_enumerate.

Boots the test VM of tests/vm (Debian's kernel, QEMU's USB keyboard, mouse and
tablet, the uhid echo device) with bench_enumerate as the guest application,
and writes what it measured as JSON.

usage: bench_vm.py --build DIR --out FILE [--accel tcg|kvm] [--deadline S] [--debug]
DIR is a build folder holding bench_enumerate, the hidraw bridge and the VM's
guest programs. --debug runs the guest with VYHID_DEBUG=1: the bridge's notes
go to the console log (and slow what they note). Exit status 0, 1 on failure, 77 when this machine cannot run
the VM (no QEMU, kernel or busybox).
"""
import argparse
import json
import os
import queue
import re
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "vm"))
import initramfs  # noqa: E402
import vmtest  # noqa: E402


def guest_files(build):
    """The programs and the bridge that go into the guest, by build path."""
    wanted = {
        "bench": os.path.join(build, "bench", "bench_enumerate"),
        "uhid": os.path.join(build, "tests", "vm", "guest", "uhid-echo"),
        "bridge": os.path.join(build, "bridge", "hidraw", "HID_Bridge__.dll"),
    }
    missing = [p for p in wanted.values() if not os.path.exists(p)]
    if missing:
        raise initramfs.BuildError("not built: " + ", ".join(missing))
    return wanted


def run_guest(kernel, initrd, accel, deadline, log_path, debug=False):
    """Boots the VM and returns the guest's "@@ " lines up to GUEST-EXIT."""
    with tempfile.TemporaryDirectory(prefix="bench-vm.") as run_dir:
        qmp_path = os.path.join(run_dir, "qmp.sock")
        cmd = [vmtest.QEMU, "-accel", accel, "-smp", "1", "-m", "256M", "-nodefaults",
               "-no-user-config", "-display", "none", "-serial", "stdio", "-no-reboot",
               "-qmp", f"unix:{qmp_path},server=on,wait=off",
               "-kernel", kernel, "-initrd", initrd,
               "-append", "console=ttyS0 quiet panic=-1 VMTEST_NDEV=4 VMTEST_APP=bench_enumerate"
               + (" VYHID_DEBUG=1" if debug else "")]
        for d in vmtest.MACHINE_DEVICES:
            cmd += ["-device", d.format(run=run_dir)]
        lines = queue.Queue()
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, preexec_fn=vmtest._die_with_parent)

        def read():
            with open(log_path, "w") as log:
                for raw in proc.stdout:
                    line = raw.decode(errors="replace").rstrip("\r\n").replace("\r", "")
                    log.write(line + "\n")
                    if "@@ " in line:
                        lines.put(line[line.index("@@ ") + 3:])
            lines.put(None)

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        seen = []
        qmp = None
        end = time.monotonic() + deadline
        try:
            while True:
                try:
                    line = lines.get(timeout=max(0.0, end - time.monotonic()))
                except queue.Empty:
                    raise RuntimeError(f"no result within {deadline:.0f} s") from None
                if line is None:
                    raise RuntimeError("the guest's console closed before it exited")
                seen.append(line)
                # The guest's reconnection rounds replug the keyboard.
                if line in ("UNPLUG-KBD", "PLUG-KBD") and qmp is None:
                    qmp = vmtest.QMP(qmp_path, time.monotonic() + 10)
                if line == "UNPLUG-KBD":
                    qmp.execute("device_del", {"id": "kbd0"})
                    qmp.wait_event("DEVICE_DELETED", lambda d: d.get("device") == "kbd0")
                elif line == "PLUG-KBD":
                    qmp.execute("device_add", {"driver": "usb-kbd", "bus": "xhci.0", "port": "1",
                                               "id": "kbd0", "serial": vmtest.KBD_SERIAL})
                if line.startswith("GUEST-EXIT"):
                    return seen
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            reader.join(timeout=5)


def parse(lines):
    result = {"methods": {}, "ratios": {}}
    for line in lines:
        if line.startswith("ERROR"):
            raise RuntimeError(f"guest: {line}")
        if line.startswith("BENCH ENUM "):
            f = vmtest.parse_fields(line)
            result["methods"][f["name"]] = {
                k: (float(v) if "." in v else int(v)) for k, v in f.items() if k != "name"}
        elif line.split()[:2] in (["BENCH", "IDLE"], ["BENCH", "LOST"], ["BENCH", "ATTACH"],
                                  ["BENCH", "INPUT"], ["BENCH", "ATTACH_MANY"],
                                  ["BENCH", "READERS"], ["BENCH", "LOST_PLUG"]):
            key = line.split()[1].lower()
            result[key] = {k: (float(v) if "." in v else int(v))
                           for k, v in vmtest.parse_fields(line).items()}
        elif line.startswith("BENCH RECONNECT "):
            f = vmtest.parse_fields(line)
            name = f.pop("name")
            result.setdefault("reconnect", {})[name] = {
                k: (float(v) if "." in v else int(v)) for k, v in f.items()}
        elif line.startswith("BENCH SCALE "):
            result.setdefault("scale", []).append(
                {k: (float(v) if "." in v else int(v))
                 for k, v in vmtest.parse_fields(line).items()})
        elif line.startswith("BENCH RATIO "):
            name, _, value = line[len("BENCH RATIO "):].partition("=")
            result["ratios"][name] = float(value)
        elif m := re.match(r"GUEST-EXIT rc=(\d+)", line):
            result["guest_exit"] = int(m.group(1))
    if result.get("guest_exit") != 0 or "hidraw_bridge" not in result["methods"]:
        raise RuntimeError("the guest program did not finish its measurements")
    return result


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--accel", choices=["kvm", "tcg"], default="tcg",
                   help="tcg (default) works everywhere, as the VM test runs it; "
                        "kvm only where nested virtualisation works")
    p.add_argument("--deadline", type=float, default=420)
    p.add_argument("--debug", action="store_true",
                   help="the bridge's VYHID_DEBUG notes in the console log")
    args = p.parse_args()

    reason = vmtest.skip_reason(None)
    if reason:
        print(f"SKIP: {reason}")
        return vmtest.SKIP
    accel = args.accel
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench", "vm-work")
    try:
        files = guest_files(build)
        kernel, initrd = initramfs.build(argparse.Namespace(
            out=work, init=os.path.join(ROOT, "tests", "vm", "guest", "init"),
            bin=[files["bench"], files["uhid"]], lib=[files["bridge"]], file=[],
            kernel_version=None))
    except initramfs.BuildError as e:
        print(f"FAIL building the guest: {e}")
        return 1
    log = os.path.join(work, "console.log")
    try:
        result = parse(run_guest(kernel, initrd, accel, args.deadline, log, args.debug))
    except (RuntimeError, vmtest.Failure) as e:
        print(f"FAIL: {e}; console log: {log}")
        return 1
    result["accel"] = accel
    with open(args.out, "w") as f:
        json.dump(result, f, indent=2)
    for name, m in result["methods"].items():
        print(f"{name:16} {m['entries']:3} entries  median {m['median_us']:10.1f} us"
              f"  min {m['min_us']:10.1f} us  ({m['rounds']} rounds)")
    for name, r in result.get("reconnect", {}).items():
        print(f"reconnect {name:6} median {r['median_us']} us  p95 {r['p95_us']} us"
              f"  scan+open median {r['scan_open_median_us']} us  ({r['replugs']} replugs)")
    for name, v in result["ratios"].items():
        print(f"{name:40} {v:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
