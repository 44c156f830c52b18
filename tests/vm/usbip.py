#!/usr/bin/env python3
"""End-to-end test of devices on another machine, over the kernel's USB/IP.

One guest plays both machines over its loopback interface: it exports its
own QEMU keyboard (with a serial number) and mouse with usbipd and
"usbip bind", and attaches them again with "usbip attach -r 127.0.0.1", so
that the application sees them on the virtual host controller (vhci-hcd)
exactly as a client machine would. One boot costs less than two under TCG,
and the kernel's USB/IP path (usbip-host, TCP, vhci-hcd) is the same.

It checks, in one boot: the remote devices are described exactly as when
local; key presses reach OnGetHIDData over USB/IP; the keyboard's LED
output report reaches the device (QEMU's usbmon capture); the keyboard,
having a serial number, is reopened when it moves from local to remote,
after "usbip detach" and a new attach, and after the server ends the
connection and it is attached again; the mouse, known only by its port, is
not taken for the same device on another port but is reopened on the same
virtual port; a long send cut by the device leaving the server ends with
the bytes not sent. It prints the median input latency over USB/IP against
local and the time from "usbip attach" to OnDevOpen.

Same options, exit statuses and deadline handling as vmtest.py, whose
machine and helpers it uses.
"""
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import vmtest  # noqa: E402
from vmtest import KBD, KBD_SERIAL, MOUSE, parse_fields  # noqa: E402

STEP = "/opt/vyhid/bin/usbip-step"
KBD_BUSID, MOUSE_BUSID = "1-1", "1-2"
USB_IDS = "/usr/share/misc/usb.ids"
LATENCY_SAMPLES = 8
# What a device's description must keep when it is attached over USB/IP.
SAME = ("vid", "pid", "ver", "manufacturer", "product", "serial", "out", "in", "feat")

GUEST_SETUP = vmtest.Guest(
    append="VMTEST_NDEV=3 VMTEST_APP=hidapp",
    devices=("qemu-xhci,id=xhci,p2=8,p3=8",
             f"usb-kbd,bus=xhci.0,port=1,id=kbd0,serial={KBD_SERIAL},pcap={{run}}/kbd0.pcap",
             # An empty serial: the mouse reports none, as many devices do.
             "usb-mouse,bus=xhci.0,port=2,id=mouse0,serial="),
    files=[f"{os.path.join(HERE, 'guest', 'usbip', 'usbip-step')}:{STEP}",
           # the tools' names of vendors and products
           f"{os.path.realpath(USB_IDS)}:{USB_IDS}"],
    sysbin=["/usr/sbin/usbipd", "/usr/sbin/usbip"],
    modules=["drivers/usb/usbip/usbip-core.ko", "drivers/usb/usbip/usbip-host.ko",
             "drivers/usb/usbip/vhci-hcd.ko"],
    needs=[("/usr/sbin/usbipd", "usbip"), (USB_IDS, "usb.ids")])


class UsbIp(vmtest.Scenario):
    def usbip(self, *words, seen=None):
        """Runs a USB/IP step in the guest; the lines it printed."""
        lines = [] if seen is None else seen
        self.vm.call(f"spawn {STEP} {' '.join(words)}", r"SPAWNED", seen=lines)
        m = self.vm.expect(r"TOOL-EXIT (.*)", 30, lines)
        out = [l.split(" ", 1)[1] for l in lines if l.startswith(("TOOL ", "TOOLERR "))]
        if m.group(1) != "rc=0":
            raise vmtest.Failure(f"usbip-step {' '.join(words)}: {m.group(1)} {out}")
        return out

    def threads(self):
        out = self.usbip("threads", "hidapp")
        return int(next(l for l in out if l.startswith("threads ")).split()[1])

    def latency(self):
        """Median ms from a key press sent over QMP to its report in
        OnGetHIDData, as the host sees both."""
        times = []
        for _ in range(LATENCY_SAMPLES):
            t = time.monotonic()
            self.vm.keys(("x", True))
            self.input_reports(1)
            times.append((time.monotonic() - t) * 1000)
            self.vm.keys(("x", False))
            self.input_reports(1)
        return statistics.median(times)

    def described(self, product):
        d = self.by_product(product)
        if len(d) != 1:
            raise vmtest.Failure(f"{len(d)} devices named '{product}' in the scan")
        # The device's number is its place in the scan, not part of it.
        return ({k: d[0][k] for k in SAME},
                [l for l in d[0]["desc"] if not l.startswith("Device Number")])

    def settle(self, count, seen, reopen=False):
        """Waits until a scan listing count devices has come (with reopen, one
        that reopened the device), counting the lines already in seen: the
        scans of a USB/IP step may come before the step's own end."""
        ends = [i for i, l in enumerate(seen) if l.startswith("EV SCANEND ")]
        if ends and seen[ends[-1]] == f"EV SCANEND count={count}":
            start = max(i for i in range(ends[-1]) if seen[i].startswith("EV SCAN "))
            self.devices = self.read_scan(seen[start:ends[-1]])
        else:
            self.wait_scan(count, seen=seen)
        while reopen and not any(l.startswith("EV OPEN") for l in seen):
            self.wait_scan(count, seen=seen)

    def attach_until_scan(self, busid, count, seen):
        self.usbip("attach", busid, seen=seen)
        self.settle(count, seen)

    # -- the steps ----------------------------------------------------------
    def boot(self):
        self.step("boot: keyboard, mouse and the uhid device, local")
        m = self.vm.expect(r"NODES (.*)t=([\d.]+)", 90)
        self.check(len(m.group(1).split()) == 3, f"three hidraw nodes at boot ({m.group(1)})")
        self.vm.expect(r"READY devcount=", 30)
        rc, _ = self.scan()
        self.local = {p: self.described(p) for p in (KBD, MOUSE)}
        self.check(rc == 3, f"the local scan lists 3 devices (rc={rc})")
        self.idle_threads = self.threads()

    def mouse_by_port(self):
        self.step("the mouse, without a serial number, is known by its port")
        self.open_product(MOUSE)
        seen = []
        self.usbip("export", MOUSE_BUSID, seen=seen)
        self.settle(2, seen)
        self.attach_until_scan(MOUSE_BUSID, 3, seen)
        self.vm.sync(seen)
        self.check(not any(l.startswith("EV OPEN") for l in seen),
                   "the open mouse, now attached over USB/IP on another port, is not reopened")
        self.open_product(MOUSE)
        seen = []
        self.usbip("detach", MOUSE_BUSID, seen=seen)
        self.settle(2, seen)
        self.attach_until_scan(MOUSE_BUSID, 3, seen)
        self.vm.sync(seen)
        self.check(any(l.startswith("EV OPEN") and MOUSE in l for l in seen),
                   "detached and attached again on the same virtual port, it is reopened")

    def keyboard_moves(self):
        self.step("the keyboard moves from local to remote")
        opened = self.open_product(KBD)
        self.check(opened.get("active") == "1", "the local keyboard opens")
        local_ms = self.latency()
        seen = []
        self.usbip("export", KBD_BUSID, seen=seen)
        self.settle(2, seen)
        self.check(any(l.startswith("EV CLOSE") for l in seen),
                   "bound to usbip-host, it leaves this machine: OnDevClose")
        seen = []
        t = time.monotonic()
        self.usbip("attach", KBD_BUSID, seen=seen)
        self.settle(3, seen, reopen=True)
        attach_ms = (time.monotonic() - t) * 1000
        ev = parse_fields(next(l for l in seen if l.startswith("EV OPEN")))
        self.check(ev["serial"] == KBD_SERIAL, f"attached over USB/IP, it is reopened "
                   f"by its serial number ({ev})")
        self.scan()
        for product in (KBD, MOUSE):
            remote = self.described(product)
            self.check(remote == self.local[product],
                       f"{product}: the same description over USB/IP as local "
                       f"{'' if remote == self.local[product] else (self.local[product], remote)}")
        self.key_flows("a", "over USB/IP")
        remote_ms = self.latency()
        print(f"     input latency, median of {LATENCY_SAMPLES}: local {local_ms:.1f} ms, "
              f"over USB/IP {remote_ms:.1f} ms", flush=True)
        print(f"     'usbip attach' started -> OnDevOpen: {attach_ms:.0f} ms", flush=True)

    def led(self):
        self.step("the LED output report over USB/IP")
        pcap = os.path.join(self.vm.run_dir, "kbd0.pcap")
        before = len(vmtest.pcap_set_reports(pcap))
        m = self.vm.call("send 0 03", r"SENT rc=(-?\d+)")
        self.check(m.group(1) == "0", f"SetReport of the LED byte returns {m.group(1)}")
        new = []
        end = time.monotonic() + 5
        while time.monotonic() < end and (0x0200, 0, "03") not in new:
            new = vmtest.pcap_set_reports(pcap)[before:]
            time.sleep(0.1)
        self.check((0x0200, 0, "03") in new,
                   f"the keyboard received SET_REPORT(Output, LED 03); new requests {new}")

    def port(self, busid):
        out = self.usbip("port", busid)
        return next(l for l in out if l.startswith("port ")).split()[1]

    def reattach(self, what, detach_step, move=False):
        """The keyboard goes (detach_step) and is attached again: reopened.
        With move, the mouse is detached meanwhile and the keyboard comes
        back on another virtual port."""
        before = self.port(KBD_BUSID)
        seen = []
        self.usbip(detach_step, KBD_BUSID, seen=seen)
        self.settle(2, seen)
        self.check(any(l.startswith("EV CLOSE") for l in seen)
                   and not any(l.startswith("EV OPEN") for l in seen),
                   f"{what}: OnDevClose, not reopened")
        if move:
            seen = []
            self.usbip("detach", MOUSE_BUSID, seen=seen)
            self.settle(1, seen)
        seen = []
        self.usbip("attach", KBD_BUSID, seen=seen)
        self.settle(2 if move else 3, seen, reopen=True)
        ev = parse_fields(next(l for l in seen if l.startswith("EV OPEN")))
        after = self.port(KBD_BUSID)
        self.check(ev["serial"] == KBD_SERIAL and (after != before) == move,
                   f"{what}, attached again: reopened, virtual port {before} then {after} "
                   f"({ev})")
        self.key_flows("b", f"after {what}")
        if move:
            seen = []
            self.attach_until_scan(MOUSE_BUSID, 3, seen)

    def reconnections(self):
        self.step("usbip detach and a new attach")
        self.reattach("usbip detach", "detach")
        self.step("the server ends the connection; the keyboard returns on another port")
        self.reattach("the connection ended", "drop", move=True)

    def send_cut(self):
        self.step("a long send when the link breaks")
        total = 20000
        seen = []
        # The link is dropped from inside the guest once the send is under
        # way: the application's thread is busy sending, not reading commands.
        self.vm.call(f"spawn {STEP} drop-during-writes {KBD_BUSID} hidapp 20", r"SPAWNED",
                     seen=seen)
        self.vm.send(f"sendpat 0 {total} 1")
        got = self.vm.gather([(r"SENT rc=(-?\d+) len=\d+ ms=(\d+)", 1),
                              (r"TOOL-EXIT (.*)", 1)], 60, seen)
        m = got[r"SENT rc=(-?\d+) len=\d+ ms=(\d+)"][0]
        tool_rc = got[r"TOOL-EXIT (.*)"][0].group(1)
        if tool_rc != "rc=0":
            raise vmtest.Failure(f"dropping the link during the send: {tool_rc} {seen}")
        not_sent = int(m.group(1))
        self.check(0 < not_sent < total, f"the send ended when the link broke: {not_sent} of "
                   f"{total} bytes not sent, after {m.group(2)} ms")
        self.settle(2, seen)
        self.check(not self.by_product(KBD), "the keyboard's removal fires a scan without it")
        threads = self.threads()
        self.check(threads == self.idle_threads, f"the application runs {threads} threads, "
                   f"as many as before any device was open ({self.idle_threads})")

    def run(self):
        self.boot()
        self.mouse_by_port()
        self.keyboard_moves()
        self.led()
        self.reconnections()
        self.send_cut()
        self.finish()


if __name__ == "__main__":
    sys.exit(vmtest.main(UsbIp, GUEST_SETUP, __doc__))
