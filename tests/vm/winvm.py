#!/usr/bin/env python3
"""The Windows bridge against a real kernel device, under wine, in the VM.

The guest (vmtest.py's machine) gets the host's files read-only over 9p and
runs wine from them in a chroot (guest/wine/wine-shell), on a wine prefix
prepared here on the host (wineboot once, cached in the work folder) with
winebus told to leave evdev devices and SDL alone, and the host's udev daemon
running in the guest, from which winebus hears hidraw nodes come and go
(without it, winebus's own watch of /dev, DisableUdevd, loses a replugged
node: see tests/vm/README.md). winebus passes the uhid
device's hidraw node through to wine's HID stack, where the Windows bridge
finds it. The Windows application (win32/winhidcheck.cpp) runs its scenario
and this driver checks what it printed against the hidraw bridge's records
of the same device (hidapp, same boot) and what the device received.

usage: winvm.py --work DIR --init FILE --linux-build DIR --exe EXE --bridge DLL
exit status: 0 passed, 1 a check failed, 77 skipped (as vmtest.py; under CI
a missing package fails).
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import initramfs  # noqa: E402
import vmtest  # noqa: E402
from vmtest import Failure, parse_fields  # noqa: E402

ECHO = vmtest.ECHO
# virtio over PCI, then 9p, then overlayfs, dependencies first (no modprobe).
MODULES = ["drivers/virtio/virtio_ring.ko", "drivers/virtio/virtio.ko",
           "drivers/virtio/virtio_pci_modern_dev.ko", "drivers/virtio/virtio_pci_legacy_dev.ko",
           "drivers/virtio/virtio_pci.ko", "fs/netfs/netfs.ko", "fs/fscache/fscache.ko",
           "net/9p/9pnet.ko", "net/9p/9pnet_virtio.ko", "fs/9p/9p.ko", "fs/overlayfs/overlay.ko"]
WINEBUS_KEY = r"HKLM\System\CurrentControlSet\Services\winebus"
WINEBUS_OPTIONS = {"DisableInput": 1, "Enable SDL": 0}
WINE = "/usr/lib/wine/wine"  # wine32's loader (Debian)
UDEVD = "/usr/lib/systemd/systemd-udevd"  # run in the guest by wine-shell
BURST = 1000
SEND_BYTES = 10 * 1024
REPORT_BYTES = 64
# What the application sends with SetReport (winhidcheck.cpp, the same rule).
SENT = bytes((i * 7 + 1) & 0xff for i in range(SEND_BYTES))
REPLUGS = 20
REQUEST_BOUND_MS = 1000 + 500  # the bridge's request time-out, with room for the emulator
KERNEL_REQUEST_BOUND_MS = 5000 + 1500  # uhid's time-out for a request the device leaves
# Fields of a DEV line both bridges must agree on.
LISTED = ("vid", "pid", "ver", "manufacturer", "product", "serial", "in", "out", "feat",
          "inid", "inbytes", "outid", "outbytes", "featid", "featbytes")
# What wine 8.0 puts in place of an empty string of a device with no USB
# parent (dlls/winebus.sys/bus_udev.c, hidraw_device_create): field -> text.
WINE_PLACEHOLDERS = {"manufacturer": "hidraw", "serial": "0000"}


def wine_env(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    return env


def prepare_prefix(work):
    """The prefix the guest overlays, made once: creating one under the
    emulator would take minutes."""
    prefix = os.path.join(work, "prefix")
    stamp = os.path.join(prefix, ".winvm-ready")
    made_with = repr(sorted(WINEBUS_OPTIONS.items()))
    if os.path.exists(stamp) and open(stamp).read() == made_with:
        return prefix
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    env = wine_env(prefix)
    steps = [["wineboot", "-i"], ["wineserver", "-w"]]
    steps += [["wine", "reg", "add", WINEBUS_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(value),
               "/f"] for name, value in WINEBUS_OPTIONS.items()]
    steps += [["wineserver", "-w"]]
    for step in steps:
        r = subprocess.run(step, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=180)
        if r.returncode != 0:
            raise Failure(f"preparing the wine prefix: {' '.join(step)}: exit {r.returncode}: "
                          f"{r.stderr.strip()[-300:]}")
    with open(stamp, "w") as f:
        f.write(made_with)
    return prefix


class WineScenario(vmtest.Scenario):
    def __init__(self, vm):
        super().__init__(vm, False)
        self.linux = []

    def devices_until(self, end_regex, timeout):
        seen = []
        m = self.vm.expect(end_regex, timeout, seen)
        return m, [parse_fields(l) | {"nr": l.split()[1]} for l in seen if l.startswith("DEV ")], seen

    def linux_listing(self):
        self.step("boot, and the hidraw bridge's records")
        self.vm.expect(r"LINUX-LISTING$", 90)
        _, self.linux, _ = self.devices_until(r"LINUX-LISTING-END", 60)

    def listing(self):
        linux = self.linux
        self.step("the Windows application's scenario")
        self.vm.expect(r"WINE-START mode=scenario", 300)
        t0 = self.vm.now()
        m, windows, seen = self.devices_until(r"OPENED (.*)", 180)
        print(f"     the application started in {self.vm.now() - t0:.1f} s", flush=True)
        lin = [d for d in linux if d.get("product") == ECHO]
        win = [d for d in windows if d.get("product") == ECHO]
        if not lin or not win:
            raise Failure(f"the uhid device is not listed: hidraw bridge {linux}, "
                          f"Windows bridge {windows}")
        for field in LISTED:
            ours, wines = lin[0].get(field), win[0].get(field)
            placeholder = ours == "" and wines == WINE_PLACEHOLDERS.get(field)
            self.check(ours == wines or placeholder,
                       f"listing, {field}: hidraw bridge {ours!r}, Windows bridge {wines!r}"
                       + (" (wine's text for an empty string)" if placeholder else ""))
        opened = parse_fields(m.group(1))
        self.check(all(opened[k] == "1" for k in ("canSetReport", "canGetReport", "canSetFeature",
                                                   "canGetFeature")),
                   f"the device opens read-write through wine ({m.group(1)})")

    def input_burst(self):
        self.step(f"a burst of {BURST} input reports")
        m = self.vm.expect(r"BURST (.*)", 60)
        f = parse_fields(m.group(1))
        self.check(f["reports"] == f["in_order"] == str(BURST) and f["wrong_length"] == "0",
                   f"all {BURST} reports (ids 1 and 4, 64 and 200 bytes) reach OnGetHIDData in "
                   f"order, each with its own length: {f['reports']} reports, {f['in_order']} "
                   f"in order, {f['wrong_length']} of a wrong length ({f['first_wrong']})")

    def output(self):
        self.step(f"SetReport of {SEND_BYTES} bytes")
        seen = []
        m = self.vm.expect(r"SENT rc=(-?\d+) len=\d+ ms=(\d+)", 120, seen)
        self.vm.expect(r"UHID STATS", 30, seen)
        got = b"".join(bytes.fromhex(l.split()[-1]) for l in seen if l.startswith("UHID OUTPUT id=2"))
        want = SENT
        reports = sum(1 for l in seen if l.startswith("UHID OUTPUT id=2"))
        self.check(m.group(1) == "0" and got == want and reports == SEND_BYTES // REPORT_BYTES,
                   f"SetReport returns {m.group(1)} (bytes not sent) after {m.group(2)} ms; the "
                   f"device received {reports} output reports, {len(got)} bytes, "
                   f"{'the same' if got == want else 'NOT the same'} as sent")

    def features(self):
        self.step("features and an input report fetched")
        m = self.vm.expect(r"FEATURE (.*)", 30)
        f = parse_fields(m.group(1))
        want = "".join(f"{0x40 + i:02x}" for i in range(REPORT_BYTES))
        self.check(f["set_rc"] != "-1" and f["get_rc"] != "-1" and f["data"] == want,
                   f"a feature report set and read back ({m.group(1)[:60]}...)")
        m = self.vm.expect(r"GETIN (.*)", 30)
        f = parse_fields(m.group(1))
        tail = SENT[-REPORT_BYTES:].hex()
        self.check(f["data"] == tail, "HIDgetInputReport returns the device's last input report "
                   f"(rc={f['rc']})")

    def unanswered(self):
        self.step("a device that does not answer")
        # winebus asks the device with a blocking ioctl on the hidraw node
        # (bus_udev.c, hidraw_device_get_feature_report and _set_): a
        # cancelled request ends only when the kernel gives up on the device
        # (5 s for uhid), so wine can show that the call ends, not the
        # bridge's own bound.
        for call in ("GetFeature", "SetFeature"):
            m = self.vm.expect(rf"UNANSWERED call={call} rc=(-?\d+) ms=(\d+)", 60)
            ms = int(m.group(2))
            self.check(ms <= KERNEL_REQUEST_BOUND_MS,
                       f"{call} on a device that does not answer fails after {ms} ms "
                       f"(rc={m.group(1)}; the bridge's bound {REQUEST_BOUND_MS} ms, the kernel's "
                       f"{KERNEL_REQUEST_BOUND_MS} ms{'' if ms <= REQUEST_BOUND_MS else ': wine waits for the kernel'})")
        # winebus answers an input-report request from the last report it
        # read (dlls/winebus.sys/main.c, IOCTL_HID_GET_INPUT_REPORT): the
        # device is never asked, so wine cannot show this bound.
        m = self.vm.expect(r"UNANSWERED call=GetReport rc=(-?\d+) ms=(\d+)", 60)
        print(f"     GetReport (not asked of the device under wine): rc={m.group(1)}, "
              f"{m.group(2)} ms", flush=True)

    def replugs(self):
        self.step(f"{REPLUGS} replugs of the open device")
        m = self.vm.expect(r"REPLUGS reconnected=(\d+)", 60 * REPLUGS)
        self.check(int(m.group(1)) == REPLUGS,
                   f"replugs: reopened by AutoConnect with reports flowing {m.group(1)} of "
                   f"{REPLUGS} times")
        rc = self.vm.expect(r"WINE-EXIT mode=scenario rc=(\d+)", 60).group(1)
        self.check(rc == "0", f"the scenario's process exits cleanly (rc={rc})")

    def lifetimes(self):
        self.step("lifetimes")
        m = self.vm.expect(r"CLOSE-IN-HANDLER (.*)", 60)
        f = parse_fields(m.group(1))
        self.check(f["active"] == "0" and f["after_close"] == "0",
                   f"a close from inside OnGetHIDData: no report after it ({m.group(1)})")
        m = self.vm.expect(r"CLOSE-STREAMING (.*)", 60)
        f = parse_fields(m.group(1))
        self.check(f["after_close"] == "0", f"a close while reports stream returns after "
                   f"{f['ms']} ms; no report after it ({m.group(1)})")
        m = self.vm.expect(r"UNLOADED ms=(\d+)", 60)
        self.check(True, f"the bridge unloaded with the device open, in {m.group(1)} ms")

    def process_exit(self):
        self.step("the process ends with the device open")
        self.vm.expect(r"WINE-START mode=exit-open", 90)
        t0 = self.vm.now()
        m = self.vm.expect(r"EXITING open=(\d)", 240)
        print(f"     wine started and the device streamed in {self.vm.now() - t0:.1f} s",
              flush=True)
        rc = self.vm.expect(r"WINE-EXIT mode=exit-open rc=(\d+)", 60).group(1)
        self.check(m.group(1) == "1" and rc == "0",
                   f"the process exits with the device open (open={m.group(1)}, rc={rc})")

    def send_message(self):
        self.step("a handler that hands reports to a window with SendMessage")
        self.vm.expect(r"WINE-START mode=sendmessage", 90)
        for step in ("close", "rescan"):
            m = self.vm.expect(rf"(SENDMESSAGE step={step} .*|HANG .*)", 180)
            self.check(m.group(1).startswith("SENDMESSAGE"),
                       f"SendMessage handler while this thread does a {step}: {m.group(1)}")
            if not m.group(1).startswith("SENDMESSAGE"):
                break
        m = self.vm.expect(r"WINE-EXIT mode=sendmessage rc=(\d+)", 120)
        self.check(m.group(1) == "0", f"the SendMessage run exits (rc={m.group(1)})")

    def run(self):
        t0 = time.monotonic()
        for part in (self.linux_listing, self.process_exit, self.send_message, self.listing,
                     self.input_burst, self.output, self.features, self.lifetimes,
                     self.unanswered, self.replugs):
            try:
                part()
            except Failure as e:
                # A part that lost its way: the rest of the run still counts.
                self.check(False, f"{part.__name__}: {e}")
                if "console closed" in str(e):
                    break
        self.powered_off()
        print(f"     the scenario took {time.monotonic() - t0:.1f} s", flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--work", required=True)
    p.add_argument("--init", required=True)
    p.add_argument("--linux-build", required=True, help="the Linux build (guest programs)")
    p.add_argument("--exe", required=True, help="winhidcheck.exe")
    p.add_argument("--bridge", required=True, help="the Windows bridge")
    p.add_argument("--deadline", type=float, default=360)
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()

    guest_dir = os.path.join(args.linux_build, "tests", "vm", "guest")
    linux_bridge = os.path.join(args.linux_build, "bridge", "hidraw", "HID_Bridge__.dll")
    bins = [os.path.join(guest_dir, b) for b in ("hidapp", "uhid-echo", "hidapi-list")]
    reason, missing_package = vmtest.prerequisites(None)
    for path, what in [(WINE, "Debian package wine32:i386"), (UDEVD, "Debian package udev"),
                       (shutil.which("wineboot") or "/usr/bin/wineboot", "Debian package wine"),
                       (linux_bridge, "the Linux build, stage 1")] + [
                          (b, "the Linux build, stage 1") for b in bins]:
        if not reason and not os.path.exists(path):
            reason, missing_package = f"{path} is missing ({what})", True
    if reason and missing_package and vmtest.missing_prerequisites_fail():
        print(f"FAIL: {reason}; under CI a missing prerequisite is a failure")
        return 1
    if reason:
        print(f"SKIP: {reason}")
        return vmtest.SKIP

    t0 = time.monotonic()
    try:
        prefix = prepare_prefix(os.path.abspath(args.work))
        kernel, initrd = initramfs.build(argparse.Namespace(
            out=args.work, init=args.init,
            bin=bins + [os.path.join(HERE, "guest", "wine", "wine-shell")], lib=[linux_bridge],
            sysbin=[], symlink=[], modules=MODULES, file=[], kernel_version=None))
    except (Failure, initramfs.BuildError, subprocess.TimeoutExpired) as e:
        print(f"FAIL preparing the guest: {e}")
        return 1
    print(f"prefix and initramfs ready in {time.monotonic() - t0:.1f} s", flush=True)

    append = " ".join(["VMTEST_NDEV=1 VMTEST_APP=wine-shell", f"WINVM_PREFIX={prefix}",
                       f"WINVM_EXE={os.path.abspath(args.exe)}",
                       f"WINVM_BRIDGE={os.path.abspath(args.bridge)}"])
    # The host's root, read-only; remap keeps inode numbers of different
    # host file systems apart.
    share = ["-fsdev", "local,id=host,path=/,security_model=none,readonly=on,multidevs=remap"]
    return vmtest.run_scenario(
        args.work, t0, args.keep,
        lambda run_dir, log: vmtest.Machine(
            kernel, initrd, run_dir, time.monotonic() + args.deadline, log, 2, append,
            ["virtio-9p-pci,fsdev=host,mount_tag=host"], memory="2G", extra_args=share),
        WineScenario)


if __name__ == "__main__":
    sys.exit(main())
