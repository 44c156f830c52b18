#!/usr/bin/env python3
"""End-to-end test of the real stack in a virtual machine.

Boots Debian's kernel under QEMU (TCG) with an xHCI controller, QEMU's
emulated USB keyboard, mouse and tablet, and, inside the guest, a uhid device
of our own. The guest application (hidapp, on TVyHID and the hidraw bridge)
reads commands from the serial console; this driver sends them, injects input
and plugs devices through QMP, and checks the "@@ " lines the guest prints.

Every wait is bounded and the whole run has one deadline; QEMU is killed in a
finally (and dies with this process through PR_SET_PDEATHSIG).

usage: vmtest.py --work DIR --init FILE --bin ELF... --lib SO... [--deadline S]
exit status: 0 all checks passed, 1 a check failed, 77 skipped (no QEMU or
kernel on this machine; not root, so the kernel is unreadable). Under CI
(environment CI=true) a missing package is a failure (1), not a skip.
"""
import argparse
import ctypes
import json
import os
import queue
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import initramfs  # noqa: E402

SKIP = 77
QEMU = "qemu-system-x86_64"

KBD = "QEMU USB Keyboard"
MOUSE = "QEMU USB Mouse"
TABLET = "QEMU USB Tablet"
ECHO = "VyHID uhid echo"
KBD_SERIAL = "KBD-A"

# Explicit ports, and p2/p3 so that QEMU never inserts a hub of its own when
# few ports are left. The tablet is bound to a display so that plain pointer
# events go to the mouse.
MACHINE_DEVICES = [
    "qemu-xhci,id=xhci,p2=8,p3=8",
    "VGA,id=vga0,romfile=",
    f"usb-kbd,bus=xhci.0,port=1,id=kbd0,serial={KBD_SERIAL},pcap={{run}}/kbd0.pcap",
    "usb-mouse,bus=xhci.0,port=2,id=mouse0",
    "usb-tablet,bus=xhci.0,port=3,id=tablet0,display=vga0",
]

# qcode -> keyboard usage code of the boot report
USAGE = {"a": 0x04, "b": 0x05, "c": 0x06, "x": 0x1b}


class Failure(Exception):
    """A wait ran out or the guest said something that ends the run."""


def _die_with_parent():
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def parse_fields(text):
    """key=value pairs of a guest line; values may be "quoted\\"escaped"."""
    fields = {}
    for m in re.finditer(r'(\w+)=("(?:[^"\\]|\\.)*"|\S*)', text):
        v = m.group(2)
        if v.startswith('"'):
            v = re.sub(r'\\x([0-9a-f]{2})', lambda h: chr(int(h.group(1), 16)), v[1:-1])
            v = re.sub(r'\\(.)', r'\1', v)
        fields[m.group(1)] = v
    return fields


class QMP:
    def __init__(self, path, deadline):
        while True:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                self.sock.connect(path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                self.sock.close()
                if time.monotonic() > deadline:
                    raise Failure("QEMU's QMP socket never came up")
                time.sleep(0.05)
        self.file = self.sock.makefile("rwb", buffering=0)
        self.replies = queue.Queue()
        self.events = queue.Queue()
        self.last_id = 0
        if "QMP" not in json.loads(self.file.readline()):
            raise Failure("no QMP greeting")
        threading.Thread(target=self._read, daemon=True).start()
        self.execute("qmp_capabilities")

    def _read(self):
        try:
            for raw in self.file:
                msg = json.loads(raw)
                (self.events if "event" in msg else self.replies).put(msg)
        except (OSError, ValueError):
            pass

    def execute(self, command, arguments=None, timeout=10.0):
        self.last_id += 1
        request = {"execute": command, "id": self.last_id}
        if arguments is not None:
            request["arguments"] = arguments
        self.file.write(json.dumps(request).encode() + b"\n")
        end = time.monotonic() + timeout
        while True:
            try:
                reply = self.replies.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                raise Failure(f"no QMP reply to {request}") from None
            if reply.get("id") == self.last_id:
                if "error" in reply:
                    raise Failure(f"QMP {command} {arguments}: {reply['error']}")
                return reply.get("return")

    def wait_event(self, name, match, timeout=10.0):
        end = time.monotonic() + timeout
        while True:
            try:
                ev = self.events.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                raise Failure(f"no QMP event {name}") from None
            if ev["event"] == name and match(ev.get("data", {})):
                return ev


class Machine:
    def __init__(self, kernel, initrd, run_dir, deadline, log_path, smp, append, devices,
                 memory="256M", extra_args=()):
        self.run_dir = run_dir
        self.deadline = deadline
        self.t0 = time.monotonic()
        self.lines = queue.Queue()
        self.log = open(log_path, "w")
        qmp_path = os.path.join(run_dir, "qmp.sock")
        cmd = [QEMU, "-accel", "tcg", "-smp", str(smp), "-m", memory, "-nodefaults",
               "-no-user-config", "-display", "none", "-serial", "stdio", "-no-reboot",
               "-qmp", f"unix:{qmp_path},server=on,wait=off",
               "-kernel", kernel, "-initrd", initrd,
               "-append", f"console=ttyS0 quiet panic=-1 {append}"]
        for d in devices:
            cmd += ["-device", d.format(run=run_dir)]
        cmd += list(extra_args)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.qmp = QMP(qmp_path, deadline)

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n").replace("\r", "")
            self.log.write(f"{time.monotonic() - self.t0:8.3f} {line}\n")
            self.log.flush()
            if "@@ " in line:
                self.lines.put(line[line.index("@@ ") + 3:])
        self.lines.put(None)

    def now(self):
        return time.monotonic() - self.t0

    def expect(self, regex, timeout=20.0, seen=None):
        """The next guest line matching regex; the lines before it go to seen."""
        rx = re.compile(regex)
        end = min(time.monotonic() + timeout, self.deadline)
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                raise Failure(f"timed out waiting for /{regex}/") from None
            if line is None:
                raise Failure(f"the guest's console closed while waiting for /{regex}/")
            if line.startswith("ERROR") or line.startswith("UHID ERROR"):
                raise Failure(f"guest: {line}")
            m = rx.match(line)
            if m:
                return m
            if seen is not None:
                seen.append(line)

    def send(self, command):
        self.proc.stdin.write(command.encode() + b"\n")
        self.proc.stdin.flush()

    def call(self, command, regex, timeout=20.0, seen=None):
        self.send(command)
        return self.expect(regex, timeout, seen)

    def gather(self, wanted, timeout=20.0, seen=None):
        """Reads guest lines until every regex in wanted has matched its count of
        lines, in whatever order they come (the uhid device and the
        application print independently). Returns the matches per regex."""
        found = {rx: [] for rx, _ in wanted}
        compiled = [(re.compile(rx), rx, n) for rx, n in wanted]
        end = min(time.monotonic() + timeout, self.deadline)
        while any(len(found[rx]) < n for _, rx, n in compiled):
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                missing = {rx: f"{len(found[rx])}/{n}" for _, rx, n in compiled}
                raise Failure(f"timed out gathering lines: {missing}") from None
            if line is None:
                raise Failure("the guest's console closed")
            if line.startswith("ERROR") or line.startswith("UHID ERROR"):
                raise Failure(f"guest: {line}")
            for c, rx, n in compiled:
                m = c.match(line)
                if m and len(found[rx]) < n:
                    found[rx].append(m)
                    break
            else:
                if seen is not None:
                    seen.append(line)
        return found

    def sync(self, seen=None):
        """Waits until the guest has handled everything sent so far."""
        token = f"{time.monotonic_ns()}"
        return self.call(f"ping {token}", rf"PONG {token}$", seen=seen)

    def keys(self, *events):
        self.qmp.execute("input-send-event", {"events": [
            {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": k}}}
            for k, down in events]})

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.reader.join(timeout=5)
        self.log.close()


def pcap_set_reports(path):
    """HID SET_REPORT control requests in a QEMU usbmon pcap (link type 220):
    (wValue, wIndex, data hex) for each, in order."""
    try:
        data = open(path, "rb").read()
    except OSError:
        return []
    if len(data) < 24 or struct.unpack("<I", data[:4])[0] != 0xA1B2C3D4:
        return []
    if struct.unpack("<I", data[20:24])[0] != 220:
        raise Failure(f"{path}: not a usbmon capture")
    found, off = [], 24
    while off + 16 <= len(data):
        incl = struct.unpack("<I", data[off + 8:off + 12])[0]
        pkt = data[off + 16:off + 16 + incl]
        off += 16 + incl
        # usbmon header: type 'S'ubmit, transfer type 2 (control), setup present
        if len(pkt) >= 64 and pkt[8:9] == b"S" and pkt[9] == 2 and pkt[14:15] == b"\0":
            bm_request_type, b_request, w_value, w_index, w_length = struct.unpack(
                "<BBHHH", pkt[40:48])
            if bm_request_type == 0x21 and b_request == 0x09:
                found.append((w_value, w_index, pkt[64:64 + w_length].hex()))
    return found


class Scenario:
    def __init__(self, vm, with_tool):
        self.vm = vm
        self.with_tool = with_tool
        self.failures = []
        self.results = []
        self.devices = []      # the latest scan: list of field dicts (with "desc")
        self.hidapi = []

    # -- bookkeeping ---------------------------------------------------------
    def check(self, ok, what):
        self.results.append(("PASS" if ok else "FAIL", what))
        print(f"{'PASS' if ok else 'FAIL'} {self.vm.now():7.2f}s {what}", flush=True)
        if not ok:
            self.failures.append(what)
        return ok

    def step(self, name):
        print(f"---- {self.vm.now():7.2f}s {name}", flush=True)

    # -- guest helpers ------------------------------------------------------
    def read_scan(self, seen):
        """Parses one EV SCAN ... EV SCANEND block from the lines in seen."""
        devices, current = [], None
        for line in seen:
            if line.startswith("EV SCAN "):
                devices, current = [], None
            elif line.startswith("DEV "):
                current = parse_fields(line)
                current["nr"] = int(line.split()[1])
                current["desc"] = []
                devices.append(current)
            elif line.startswith("DESC ") and current is not None:
                current["desc"].append(line.split(" ", 2)[2] if line.count(" ") >= 2 else "")
        return devices

    def wait_scan(self, count, timeout=30.0, seen=None):
        """Waits for a scan (from a device change) that lists count devices."""
        lines = [] if seen is None else seen
        while True:
            start = len(lines)
            m = self.vm.expect(r"EV SCANEND count=(\d+)", timeout, lines)
            block = lines[start:]
            # the block starts at the last "EV SCAN " line
            idx = max((i for i, l in enumerate(block) if l.startswith("EV SCAN ")), default=0)
            devices = self.read_scan(block[idx:])
            if int(m.group(1)) == count:
                self.devices = devices
                return devices

    def scan(self):
        seen = []
        m = self.vm.call("scan", r"SCANNED rc=(-?\d+) devcount=(-?\d+)", seen=seen)
        self.devices = self.read_scan(seen)
        return int(m.group(1)), seen

    def by_product(self, product, devices=None):
        return [d for d in (self.devices if devices is None else devices)
                if d["product"] == product]

    def open_product(self, product, seen=None):
        m = self.vm.call(f"openp {product}", r"OPENED (.*)", seen=seen)
        return parse_fields(m.group(1))

    def input_reports(self, count, timeout=15.0, seen=None):
        reports = []
        for _ in range(count):
            m = self.vm.expect(r"IN id=(\d+) n=(\d+) data=([0-9a-f]*)$", timeout, seen)
            reports.append((int(m.group(1)), int(m.group(2)), m.group(3)))
        return reports

    def plug(self, driver, dev_id, port, **props):
        args = {"driver": driver, "id": dev_id, "bus": "xhci.0", "port": str(port)}
        args.update(props)
        self.vm.qmp.execute("device_add", args)

    def unplug(self, dev_id):
        self.vm.qmp.execute("device_del", {"id": dev_id})
        self.vm.qmp.wait_event("DEVICE_DELETED", lambda d: d.get("device") == dev_id, 15)

    def key_flows(self, qcode, what):
        """A key press and release reach OnGetHIDData as boot keyboard reports."""
        self.vm.keys((qcode, True))
        press = self.input_reports(1)[0]
        self.vm.keys((qcode, False))
        release = self.input_reports(1)[0]
        want = f"0000{USAGE[qcode]:02x}0000000000"
        self.check(press == (0, 8, want) and release == (0, 8, "00" * 8),
                   f"{what}: key '{qcode}' press {press} and release {release}")

    # -- the steps ----------------------------------------------------------
    def boot(self):
        self.step("boot")
        seen = []
        m = self.vm.expect(r"NODES (.*)t=([\d.]+)", 90, seen)
        nodes = m.group(1).split()
        self.check(len(nodes) == 4, f"four hidraw nodes at boot ({' '.join(nodes)}, "
                   f"guest uptime {m.group(2)} s)")
        self.vm.expect(r"HIDAPI END count=(\d+)", 20, seen)
        self.hidapi = [parse_fields(l) for l in seen if l.startswith("HIDAPI DEV ")]
        m = self.vm.expect(r"READY devcount=(-?\d+)", 20, seen)
        self.check(m.group(1) == "-1", "the component is created and has not scanned yet "
                   f"(DevCount {m.group(1)})")

    def first_scan(self):
        self.step("scan and descriptions")
        rc, seen = self.scan()
        self.check(rc == 4 and len(self.devices) == 4, f"scan finds 4 devices (rc={rc})")
        self.check(any(l.startswith("EV CLOSE") for l in seen), "the scan fires OnDevClose")
        want_desc = {
            KBD: ("ReportId 0 (1 bytes)", "ReportId 0 (8 bytes)", "0", 2, 9, 0),
            MOUSE: ("0", "ReportId 0 (4 bytes)", "0", 0, 5, 0),
            TABLET: ("0", "ReportId 0 (6 bytes)", "0", 0, 7, 0),
            ECHO: ("ReportId 2 (64 bytes)", "ReportId 1 (64 bytes); ReportId 4 (200 bytes)",
                   "ReportId 3 (64 bytes)", 65, 201, 65),
        }
        for product, (out, inp, feat, osz, isz, fsz) in want_desc.items():
            found = self.by_product(product)
            if not self.check(len(found) == 1, f"one device named '{product}'"):
                continue
            d = found[0]
            desc = d["desc"]
            if product == ECHO:
                ids_ok = d["vid"] == "1209" and d["pid"] == "EC40"
            else:
                ids_ok = (d["vid"], d["pid"], d["manufacturer"]) == ("0627", "0001", "QEMU")
            self.check(ids_ok, f"{product}: VID {d['vid']} PID {d['pid']} "
                       f"manufacturer '{d['manufacturer']}'")
            self.check(len(desc) == 11 and desc[3].startswith(
                f"VID:{d['vid']} PID:{d['pid']}  {product} (") and desc[3].endswith("[R/W]"),
                f"{product}: description line 4 {desc[3] if len(desc) > 3 else desc!r}")
            lines = desc[8:11] if len(desc) == 11 else []
            self.check(lines == [f"Output Report(s)    : {out}", f"Input Report(s)     : {inp}",
                                 f"Feature Report(s)   : {feat}"],
                       f"{product}: report lists {lines}")
            sizes = (int(d["out"]), int(d["in"]), int(d["feat"]))
            self.check(sizes == (osz, isz, fsz), f"{product}: buffer sizes out/in/feature "
                       f"{sizes}")

    def compare_hidapi(self):
        self.step("hidapi's enumeration against the bridge's")
        per_node = {}
        for e in self.hidapi:  # one entry per top-level collection: keep one per node
            per_node.setdefault(e["path"], e)
        key = ("vid", "pid", "release", "manufacturer", "product", "serial")
        peer = sorted(tuple(e[k] for k in key) for e in per_node.values())
        ours = sorted(tuple(d["ver" if k == "release" else k] for k in key)
                      for d in self.devices)
        self.check(len(per_node) == 4, f"hidapi sees 4 hidraw nodes ({sorted(per_node)})")
        for p in peer:
            self.check(p in ours, f"hidapi's {p} is listed by the bridge")
        for o in ours:
            if o not in peer:
                self.check(False, f"the bridge's {o} is not listed by hidapi")

    def keyboard(self):
        self.step("keyboard: open, LED output report, key input")
        opened = self.open_product(KBD)
        self.check(opened.get("active") == "1" and opened.get("canSetReport") == "1"
                   and opened.get("canGetReport") == "1" and opened.get("canSetFeature") == "0",
                   f"keyboard opens with output and input reports: {opened}")
        before = pcap_set_reports(os.path.join(self.vm.run_dir, "kbd0.pcap"))
        m = self.vm.call("send 0 05", r"SENT rc=(-?\d+)")
        self.check(m.group(1) == "0", f"SetReport of the LED byte returns {m.group(1)}")
        # QEMU writes the capture as the request passes; give it a moment.
        end = time.monotonic() + 5
        new = []
        while time.monotonic() < end:
            new = pcap_set_reports(os.path.join(self.vm.run_dir, "kbd0.pcap"))[len(before):]
            if (0x0200, 0, "05") in new:
                break
            time.sleep(0.1)
        self.check((0x0200, 0, "05") in new,
                   f"the keyboard received SET_REPORT(Output, LED 05); new requests {new}, "
                   f"{len(before)} at boot")
        self.key_flows("b", "keyboard")

    def echo_device(self):
        self.step("uhid device: output, feature and long input reports")
        opened = self.open_product(ECHO)
        self.check(all(opened.get(k) == "1" for k in (
            "active", "canSetReport", "canGetReport", "canSetFeature", "canGetFeature"))
            and opened.get("HaveID") == "3", f"uhid device opens with every kind: {opened}")
        # 200 bytes as output report 2: four reports, each echoed as input 1.
        payload = bytes((1 + i) & 0xff for i in range(200))
        chunks = [payload[i:i + 64].ljust(64, b"\0").hex() for i in range(0, 200, 64)]
        sent, outs, echoes = (r"SENT rc=(-?\d+)", r"UHID OUTPUT id=2 n=64 ([0-9a-f]+)$",
                              r"IN id=(\d+) n=(\d+) data=([0-9a-f]*)$")
        self.vm.send("sendpat 2 200 1")
        got = self.vm.gather([(sent, 1), (outs, 4), (echoes, 4)])
        rc = got[sent][0].group(1)
        self.check(rc == "0", f"SetReport of 200 bytes returns {rc}")
        self.check([m.group(1) for m in got[outs]] == chunks,
                   "the device received four 64-byte output reports of the right bytes")
        self.check([(int(m.group(1)), int(m.group(2)), m.group(3)) for m in got[echoes]]
                   == [(1, 64, c) for c in chunks],
                   "the four echoes came back as input report 1 with the same bytes")
        # Feature report 3: stored by the device, read back.
        feat = bytes((0x80 + 3 * i) & 0xff for i in range(64)).hex()
        m = self.vm.call(f"setfeat 3 {feat}", r"SETFEAT rc=(-?\d+)")
        self.check(m.group(1) == "64", f"SetFeature of 64 bytes returns {m.group(1)}")
        m = self.vm.call("getfeat 3", r"GETFEAT rc=(-?\d+) id=(\d+) data=([0-9a-f]*)")
        self.check(m.group(2) == "3" and m.group(3) == feat,
                   f"GetFeature returns what SetFeature stored (rc={m.group(1)})")
        m = self.vm.call("getin 1", r"GETIN rc=(-?\d+) id=(\d+) data=([0-9a-f]*)")
        self.check(m.group(3) == chunks[-1],
                   f"GetReport(1) returns the last echo (rc={m.group(1)})")
        # A 200-byte input report arrives whole, in 64-byte pieces.
        pieces_rx = r"IN id=(\d+) n=(\d+) data=([0-9a-f]*)$"
        self.vm.send("dev input200 7")
        got = self.vm.gather([(r"DEVCMD input200", 1), (r"UHID SENT-INPUT id=4", 1),
                              (pieces_rx, 4)])
        pieces = [(int(m.group(1)), int(m.group(2)), m.group(3)) for m in got[pieces_rx]]
        want = bytes((7 + i) & 0xff for i in range(200))
        got = b"".join(bytes.fromhex(p[2])[:p[1]] for p in pieces)
        self.check([p[:2] for p in pieces] == [(4, 64), (4, 64), (4, 64), (4, 8)] and got == want,
                   f"the 200-byte input report arrived as {[p[:2] for p in pieces]}, "
                   f"{'all bytes right' if got == want else 'bytes differ'}")

    def mouse_hotplug(self):
        self.step("mouse unplugged and plugged back")
        seen = []
        self.unplug("mouse0")
        devices = self.wait_scan(3, seen=seen)
        self.check(not self.by_product(MOUSE, devices),
                   "unplugging the mouse fires a scan that lists 3 devices, no mouse")
        self.plug("usb-mouse", "mouse0", 2)
        devices = self.wait_scan(4)
        self.check(len(self.by_product(MOUSE, devices)) == 1,
                   "plugging it back fires a scan that lists it again")
        self.vm.sync()

    def reconnection(self):
        self.step("reconnection of the open keyboard")
        self.open_product(KBD)
        seen = []
        self.unplug("kbd0")
        self.wait_scan(3, seen=seen)
        self.check(any(l.startswith("EV CLOSE") for l in seen)
                   and not any(l.startswith("EV OPEN") for l in seen),
                   "keyboard unplugged: OnDevClose, and it is not reopened")
        seen = []
        self.plug("usb-kbd", "kbd0", 1, serial=KBD_SERIAL)
        self.wait_scan(4, seen=seen)
        opens = [parse_fields(l) for l in seen if l.startswith("EV OPEN")]
        closes = [i for i, l in enumerate(seen) if l.startswith("EV CLOSE")]
        kbd_nr = self.by_product(KBD)[0]["nr"]
        self.check(len(opens) == 1 and opens[0]["serial"] == KBD_SERIAL
                   and int(opens[0]["nr"]) == kbd_nr and closes
                   and closes[0] < [i for i, l in enumerate(seen) if l.startswith("EV OPEN")][0],
                   f"plugged back into its port: OnDevClose, then OnDevOpen as number {kbd_nr}"
                   f" ({opens})")
        self.key_flows("a", "after reconnection")

        self.step("AutoConnect false")
        self.vm.call("autoconnect 0", r"OK autoconnect=0")
        self.unplug("kbd0")
        self.wait_scan(3)
        seen = []
        self.plug("usb-kbd", "kbd0", 1, serial=KBD_SERIAL)
        self.wait_scan(4, seen=seen)
        m = self.vm.call("state", r"STATE (.*)")
        self.check(not any(l.startswith("EV OPEN") for l in seen)
                   and parse_fields(m.group(1))["active"] == "0",
                   "with AutoConnect false the returning keyboard stays closed")
        self.vm.call("autoconnect 1", r"OK autoconnect=1")
        rc, seen = self.scan()
        self.check(any(l.startswith("EV OPEN") for l in seen),
                   "AutoConnect true again: the next scan reopens it")

    def identity(self):
        self.step("identity: other devices in its port are not taken for it")
        self.unplug("kbd0")
        self.wait_scan(3)
        for driver, dev_id, props, what in (
                ("usb-mouse", "stranger1", {}, "a mouse"),
                ("usb-kbd", "stranger2", {"serial": "KBD-B"}, "a keyboard with serial KBD-B")):
            seen = []
            self.plug(driver, dev_id, 1, **props)
            self.wait_scan(4, seen=seen)
            m = self.vm.call("state", r"STATE (.*)", seen=seen)
            self.check(not any(l.startswith("EV OPEN") for l in seen)
                       and parse_fields(m.group(1))["active"] == "0",
                       f"{what} in the keyboard's port is not reopened as the keyboard")
            self.unplug(dev_id)
            self.wait_scan(3)
        seen = []
        self.plug("usb-kbd", "kbd0", 4, serial=KBD_SERIAL)
        self.wait_scan(4, seen=seen)
        opens = [parse_fields(l) for l in seen if l.startswith("EV OPEN")]
        self.check(len(opens) == 1 and opens[0]["serial"] == KBD_SERIAL,
                   f"the same keyboard (serial {KBD_SERIAL}) in another port is reopened")
        self.key_flows("c", "in its new port")

    def destroy_during_send(self):
        self.step("uhid device destroyed during a long send")
        self.open_product(ECHO)
        self.vm.call("quiet 1", r"OK quiet=1")
        self.vm.call("dev verbose 0", r"UHID VERBOSE 0")
        self.vm.call("dev destroy-after 50", r"UHID ARMED")
        seen = []
        self.vm.send("sendpat 2 65536 0")
        got = self.vm.gather([(r"UHID DESTROYED outputs=(\d+)", 1),
                              (r"SENT rc=(-?\d+) len=\d+ ms=(\d+)", 1)], 90, seen)
        m = got[r"SENT rc=(-?\d+) len=\d+ ms=(\d+)"][0]
        # SetReport answers with the bytes it could not send: the send stopped.
        not_sent = int(m.group(1))
        self.check(0 < not_sent <= 65536 - 64 * 50,
                   f"the send ended when the device went away: {not_sent} of 65536 bytes "
                   f"not sent, after {m.group(2)} ms")
        stats = self.vm.call("dev stats", r"UHID STATS (.*)", seen=seen)
        print(f"     uhid device: {stats.group(1)}", flush=True)
        self.vm.sync(seen)
        self.vm.call("quiet 0", r"OK quiet=0")
        rc, _ = self.scan()
        self.check(rc == 3 and not self.by_product(ECHO),
                   f"the next scan lists 3 devices, not the destroyed one (rc={rc})")

    def mouse_input(self):
        self.step("mouse and tablet input")
        self.open_product(MOUSE)
        self.vm.qmp.execute("input-send-event", {"events": [
            {"type": "rel", "data": {"axis": "x", "value": 10}},
            {"type": "rel", "data": {"axis": "y", "value": -5}}]})
        rep = self.input_reports(1)[0]
        self.check(rep == (0, 4, "000afb00"), f"a mouse move arrives as {rep}")
        self.open_product(TABLET)
        self.vm.qmp.execute("input-send-event", {"device": "vga0", "events": [
            {"type": "abs", "data": {"axis": "x", "value": 16384}},
            {"type": "abs", "data": {"axis": "y", "value": 8192}},
            {"type": "btn", "data": {"down": True, "button": "left"}}]})
        rep = self.input_reports(1)[0]
        self.check(rep == (0, 6, "010040002000"), f"a tablet click at (16384, 8192) arrives "
                   f"as {rep}")

    def tool(self):
        self.step("the command-line tool on the same devices")
        seen = []
        self.vm.send("spawn vyhid list")
        m = self.vm.expect(r"TOOL-EXIT (.*)", 60, seen)
        text = "\n".join(l[5:] for l in seen if l.startswith("TOOL "))
        self.check(m.group(1) == "rc=0" and all(p in text for p in (KBD, MOUSE, TABLET)),
                   f"'vyhid list' lists the three QEMU devices ({m.group(1)})")

        # The application's bridge has rescanned after every plug and unplug
        # so far, reading again only what changed; a new process scans in
        # full. Both must describe every device alike.
        _, _ = self.scan()
        seen = []
        self.vm.send("spawn vyhid list --json")
        m = self.vm.expect(r"TOOL-EXIT (.*)", 60, seen)
        try:
            listed = json.loads("\n".join(l[5:] for l in seen if l.startswith("TOOL ")))
        except ValueError:
            listed = []
        full = [(d["Description"], d["InputBufferSize"], d["OutputBufferSize"],
                 d["FeatureBufferSize"], int(d["HasReadWriteAccess"])) for d in listed]
        rescanned = [(d["desc"], int(d["in"]), int(d["out"]), int(d["feat"]), int(d["rw"]))
                     for d in self.devices]
        self.check(m.group(1) == "rc=0" and full == rescanned and len(full) >= 3,
                   f"after the rescans, the application's {len(rescanned)} devices are those a "
                   f"full scan lists (differing: {[d for d in rescanned if d not in full]}"
                   f" against {[d for d in full if d not in rescanned]})")

        def tool_line(regex, timeout=30.0):
            return self.vm.expect(r"TOOL (.*)", timeout) if regex is None else \
                self.vm.expect(rf"TOOL (.*{regex}.*)", timeout)

        def hex_of(line):
            return re.sub(r"[^0-9a-f]", "", line.split(":", 1)[-1].lower()) if ":" in line else ""

        def key_seen(qcode):
            want = f"0000{USAGE[qcode]:02x}0000000000"
            self.vm.keys((qcode, True), (qcode, False))
            for expected in (want, "00" * 8):
                while True:
                    line = tool_line(r"input", 20).group(1)
                    if hex_of(line).endswith(expected):
                        break
            return True

        kbd = self.by_product(KBD)[0]["nr"]
        self.vm.call(f"spawn vyhid monitor {kbd}", r"SPAWNED")
        tool_line(r"\bopen\b")
        self.check(key_seen("x"), "'vyhid monitor' prints the keyboard's reports")
        self.unplug("kbd0")
        tool_line(r"\bclose\b")
        self.plug("usb-kbd", "kbd0", 4, serial=KBD_SERIAL)
        tool_line(r"\breconnect\b")
        self.check(key_seen("a"), "'vyhid monitor' follows the keyboard's unplug and return")
        self.vm.call("interrupt", r"OK interrupted")
        m = self.vm.expect(r"TOOL-EXIT (.*)", 20)
        self.check(m.group(1) in ("rc=0", "rc=130"), f"'vyhid monitor' ends on SIGINT "
                   f"({m.group(1)})")

    def finish(self):
        self.step("power off")
        self.vm.call("quit", r"BYE")
        self.vm.expect(r"EXIT rc=(\d+)", 20)
        self.powered_off()

    def powered_off(self):
        """The guest's program has ended: it exited cleanly, and QEMU with it."""
        m = self.vm.expect(r"GUEST-EXIT rc=(\d+)", 20)
        self.check(m.group(1) == "0", f"the application exits cleanly (rc={m.group(1)})")
        try:
            rc = self.vm.proc.wait(timeout=max(1.0, min(20.0, self.vm.deadline - time.monotonic())))
        except subprocess.TimeoutExpired:
            raise Failure("QEMU did not exit after the guest powered off") from None
        self.check(rc == 0, f"QEMU exited with {rc}")

    def run(self):
        self.boot()
        self.first_scan()
        self.compare_hidapi()
        self.keyboard()
        self.echo_device()
        self.mouse_hotplug()
        self.reconnection()
        self.identity()
        self.destroy_during_send()
        self.mouse_input()
        if self.with_tool:
            self.tool()
        self.finish()


def skip_reason(kernel_version):
    return prerequisites(kernel_version)[0]


def prerequisites(kernel_version):
    """(reason, missing_package): why the test cannot run here (None: it can),
    and whether the reason is a package that scripts/setup.sh --all installs,
    which under CI is a failure. Not being root is a skip everywhere."""
    if not shutil.which(QEMU):
        return f"{QEMU} is not installed (Debian package qemu-system-x86)", True
    try:
        kver = kernel_version or initramfs.newest_kernel_version()
    except initramfs.BuildError as e:
        return str(e), True
    for path in (f"/boot/vmlinuz-{kver}", f"/lib/modules/{kver}/kernel/drivers/hid/uhid.ko"):
        if not os.path.exists(path):
            return f"{path} is missing (linux-image-amd64)", True
        if not os.access(path, os.R_OK):
            return f"{path} is unreadable (run as root)", False
    if not os.access(initramfs.BUSYBOX, os.X_OK):
        return f"{initramfs.BUSYBOX} is missing (busybox-static)", True
    return None, False


def missing_prerequisites_fail():
    """Under CI (CI=true, as .ci/run sets it) a missing package fails the test."""
    return os.environ.get("CI", "").lower() in ("true", "1")


class Guest:
    """What a scenario's guest is made of beyond the common programs: extra
    initramfs inputs (initramfs.py's options of the same names), the init's
    words and QEMU's devices."""
    def __init__(self, append="VMTEST_NDEV=4 VMTEST_APP=hidapp", devices=tuple(MACHINE_DEVICES),
                 files=(), sysbin=(), symlink=(), needs=(), modules=()):
        self.append, self.devices = append, devices
        self.modules = modules  # kernel modules beyond initramfs.MODULES
        # (host path, Debian package) of what the guest takes from the host
        self.needs = needs
        self.files, self.sysbin, self.symlink = files, sysbin, symlink


def main(make_scenario=Scenario, guest=Guest(), doc=__doc__):
    p = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    p.add_argument("--work", required=True, help="directory for the kernel, archive and runs")
    p.add_argument("--init", required=True)
    p.add_argument("--bin", action="append", default=[])
    p.add_argument("--lib", action="append", default=[])
    p.add_argument("--tool", help="the command-line tool, also checked in the guest")
    p.add_argument("--kernel-version")
    p.add_argument("--deadline", type=float, default=240, help="seconds for the whole run")
    p.add_argument("--smp", type=int, default=1)
    p.add_argument("--keep", action="store_true", help="keep the run directory on success")
    args = p.parse_args()

    reason, missing_package = prerequisites(args.kernel_version)
    for path, package in guest.needs:
        if not reason and not os.path.exists(path):
            reason, missing_package = f"{path} is missing (Debian package {package})", True
    if reason and missing_package and missing_prerequisites_fail():
        print(f"FAIL: {reason}; under CI a missing prerequisite is a failure")
        return 1
    if reason:
        print(f"SKIP: {reason}")
        return SKIP
    t0 = time.monotonic()
    try:
        kernel, initrd = initramfs.build(argparse.Namespace(
            out=args.work, init=args.init, bin=args.bin + ([args.tool] if args.tool else []),
            lib=args.lib, sysbin=list(guest.sysbin), symlink=list(guest.symlink),
            modules=list(guest.modules),
            file=[f"{os.path.join(HERE, 'guest', 'tsan.supp')}:/etc/tsan.supp", *guest.files],
            kernel_version=args.kernel_version))
    except initramfs.BuildError as e:
        print(f"FAIL building the initramfs: {e}")
        return 1
    print(f"initramfs ready in {time.monotonic() - t0:.1f} s: {initrd}", flush=True)

    return run_scenario(
        args.work, t0, args.keep,
        lambda run_dir, log: Machine(kernel, initrd, run_dir, time.monotonic() + args.deadline,
                                     log, args.smp, guest.append, guest.devices),
        lambda vm: make_scenario(vm, bool(args.tool)))


def run_scenario(work, t0, keep, boot, make_scenario):
    """Boots a machine (boot(run folder, console log path) returns it) in a
    new run folder under work, runs make_scenario(machine), always stops
    QEMU, and prints the summary; the exit status."""
    os.makedirs(os.path.join(work, "runs"), exist_ok=True)
    run_dir = tempfile.mkdtemp(prefix="run.", dir=os.path.join(work, "runs"))
    log = os.path.join(run_dir, "console.log")
    vm = None
    scenario = None
    error = None
    try:
        vm = boot(run_dir, log)
        scenario = make_scenario(vm)
        scenario.run()
    except Failure as e:
        error = str(e)
    except Exception as e:  # noqa: BLE001 - any fault still ends QEMU and is reported
        error = repr(e)
    finally:
        if vm is not None:
            vm.stop()
    failures = (scenario.failures if scenario else []) + ([error] if error else [])
    passed = sum(1 for r in (scenario.results if scenario else []) if r[0] == "PASS")
    print(f"{passed} checks passed, {len(failures)} failed, {time.monotonic() - t0:.1f} s")
    for f in failures:
        print(f"FAILED: {f}")
    if failures or keep:
        print(f"console log: {log}")
        if failures:
            with open(log) as f:
                tail = f.readlines()[-40:]
            print("last console lines:\n" + "".join(tail))
    else:
        shutil.rmtree(run_dir, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
