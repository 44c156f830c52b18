#!/usr/bin/env python3
"""End-to-end test of the desktop path in a virtual machine.

The guest runs Debian's udev daemon with its default rules, and the tool and
the test application run as an unprivileged user in the group plugdev. It
checks what that user sees without our udev rule (the devices not writable,
the tool's refusal and advice), follows the advice as written, and then,
with the rule: hotplug heard from the udev daemon's events, 20 replugs of the
open keyboard each reopened read-write (the times from the node's creation
to OnDevOpen reported), a rule that grants access late, one that never
grants writing, a node's mode changed by hand between two scans of one
application (each scan sees it), and an application started before the udev
daemon, whose reopen waits for the node's permissions.

Same options, exit statuses and deadline handling as vmtest.py, whose
machine and helpers it uses.
"""
import glob
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import vmtest  # noqa: E402
from vmtest import KBD, KBD_SERIAL, Failure, parse_fields  # noqa: E402

GUEST = os.path.join(HERE, "guest", "desktop")
RULE = os.path.join(HERE, "..", "..", "packaging", "udev", "70-vyhid-hidraw.rules")
# Where the tool, installed in /opt/vyhid/bin, finds the rule it names.
GUEST_RULE = "/opt/vyhid/share/vyhid/udev/70-vyhid-hidraw.rules"
TEST_RULES = "/opt/vyhid/share/test-rules"
DELAY_RULE = "71-vyhid-test-delay.rules"
READONLY_RULE = "72-vyhid-test-readonly.rules"
DELAY_MS = 300          # the sleep of the delay rule
OPEN_SETTLE_MS = 500    # the bridge's wait for a node's permissions (kOpenSettleTime)
REPLUGS = 20
UDEVADM = "/usr/bin/udevadm"
UDEVD_REQUEST = "/run/udevd.request"  # a FIFO: a line written to it starts the udev daemon
CHMOD_REQUEST = "/run/chmod.request."  # + a mode: FIFOs, a line sets that mode on the nodes
INSTALL = "/usr/bin/install"  # coreutils': the advice uses it, busybox has none

GUEST_SETUP = vmtest.Guest(
    append="VMTEST_NDEV=3 VMTEST_APP=desktop-shell",
    devices=("qemu-xhci,id=xhci,p2=8,p3=8",
             f"usb-kbd,bus=xhci.0,port=1,id=kbd0,serial={KBD_SERIAL}",
             "usb-mouse,bus=xhci.0,port=2,id=mouse0"),
    files=[f"{os.path.join(GUEST, 'desktop-shell')}:/opt/vyhid/bin/desktop-shell",
           f"{os.path.join(GUEST, 'passwd')}:/etc/passwd",
           f"{os.path.join(GUEST, 'group')}:/etc/group",
           f"{os.path.abspath(RULE)}:{GUEST_RULE}",
           f"{os.path.join(GUEST, DELAY_RULE)}:{TEST_RULES}/{DELAY_RULE}",
           f"{os.path.join(GUEST, READONLY_RULE)}:{TEST_RULES}/{READONLY_RULE}"]
    + [f"{r}:{r}" for r in sorted(glob.glob("/usr/lib/udev/rules.d/*.rules"))],
    sysbin=[UDEVADM, INSTALL],
    symlink=[f"/usr/lib/systemd/systemd-udevd:{UDEVADM}"],
    needs=[(UDEVADM, "udev")])


def spread(times):
    return (f"min {min(times):.0f} / median {statistics.median(times):.0f} / "
            f"max {max(times):.0f} ms")


class Desktop(vmtest.Scenario):
    def root(self, line, timeout=30.0, seen=None):
        """Runs a shell line as root in the guest; its exit status."""
        m = self.vm.call(f"{line}; echo \"@@ DONE $?\"", r"DONE (\d+)$", timeout, seen)
        return int(m.group(1))

    def as_user(self, command, timeout=30.0):
        """(status, standard output lines, standard error lines) of a command
        run as the user."""
        seen = []
        m = self.vm.call(f"as_user {command}", r"RC (\d+)$", timeout, seen)
        out = [l[4:] for l in seen if l.startswith("OUT ")]
        err = [l[4:] for l in seen if l.startswith("ERR ")]
        return int(m.group(1)), out, err

    def start_app(self):
        seen = []
        self.vm.send("app")
        self.vm.expect(r"READY devcount=", 30, seen)
        self.vm.call("watchnodes", r"OK watching", seen=seen)
        return seen

    def quit_app(self):
        self.vm.call("quit", r"BYE")
        m = self.vm.expect(r"APP-EXIT rc=(\d+)", 20)
        self.check(m.group(1) == "0", f"the application, as the user, exits cleanly "
                   f"(rc={m.group(1)})")

    def replug_keyboard(self):
        """Unplugs and replugs the open keyboard; (EV OPEN fields, ms from the
        node's creation to its last permission change and to OnDevOpen,
        scans seen)."""
        seen = []
        self.unplug("kbd0")
        self.wait_scan(2, seen=seen)
        self.plug("usb-kbd", "kbd0", 1, serial=KBD_SERIAL)
        while not any(l.startswith("EV OPEN") for l in seen):
            self.wait_scan(3, seen=seen)
        opened = parse_fields(next(l for l in seen if l.startswith("EV OPEN")))
        # OnDevOpen of a reconnection carries the record of the first open:
        # how the device was opened again, the bridge's own record tells.
        m = self.vm.call(f"bridgeinfo {opened['nr']}", r"BRIDGEINFO (.*)", seen=seen)
        opened["rw"] = parse_fields(m.group(1))["rw"]
        nodes = [l.split() for l in seen if l.startswith("NODE ")]
        created = [float(n[3][2:]) for n in nodes if n[1] == "create"]
        attribs = [float(n[3][2:]) for n in nodes if n[1] == "attrib"]
        t_open = float(opened["t"])
        if not created:
            raise Failure(f"no hidraw node was seen created for the keyboard: {seen}")
        t_node = created[-1]
        t_perm = max((t for t in attribs if t_node <= t <= t_open), default=float("nan"))
        scans = sum(1 for l in seen if l.startswith("EV SCAN "))
        return opened, t_perm - t_node, t_open - t_node, scans

    def kbd_line(self):
        """The keyboard's description line with the access marker, as the
        latest scan gave it."""
        return self.by_product(KBD)[0]["desc"][3]

    # -- the steps ----------------------------------------------------------
    def boot(self):
        self.step("boot, the udev daemon")
        m = self.vm.expect(r"NODES (.*)t=([\d.]+)", 90)
        self.check(len(m.group(1).split()) == 3, f"three hidraw nodes at boot ({m.group(1)})")
        m = self.vm.expect(r"DESKTOP udevd=(\d) settled=(\d) t=([\d.]+)", 90)
        self.check(m.groups()[:2] == ("1", "1"), f"systemd-udevd runs and has settled the "
                   f"devices (guest uptime {m.group(3)} s)")
        self.vm.expect(r"SHELL ready", 20)
        rc, out, _ = self.as_user("id")
        self.check(rc == 0 and out and "uid=1000" in out[0] and "plugdev" in out[0],
                   f"the user is unprivileged, in plugdev ({out})")

    def without_rule(self):
        self.step("default rules only: the user may not use the devices")
        rc, out, err = self.as_user("vyhid list")
        lines = [l for l in out if l.startswith("VID:")]
        self.check(rc == 0 and len(lines) == 3 and all(l.endswith("[R/O]") for l in lines)
                   and any(KBD in l for l in lines),
                   f"'vyhid list' shows the three devices not writable [R/O] (rc={rc})")
        self.check(any("not writable for this user" in l and GUEST_RULE in l for l in err),
                   f"and notes the rule that grants access ({err})")
        rc, _, err = self.as_user("vyhid monitor Keyboard")
        advice = [l.strip() for l in err if l.startswith("  sudo ")]
        self.check(rc == 5 and any("permission denied" in l for l in err)
                   and any(GUEST_RULE in l for l in advice),
                   f"'vyhid monitor' exits with 5, permission denied, and the advice ({err})")
        self.check(any("no replug needed" in l for l in err), "the advice says no replug")
        self.step("the advice followed as written (sudo: root's shell)")
        for line in advice:
            self.check(self.root(line) == 0, f"'{line}' succeeds")

    def with_rule(self):
        self.step("with the rule: the user's monitor, with no replug")
        self.start_app()
        self.vm.call("spawn vyhid monitor Keyboard", r"SPAWNED")
        m = self.vm.expect(r"TOOL(ERR)? (.*\b(open|denied)\b.*)", 30)
        self.check(m.group(1) is None and "open" in m.group(2),
                   f"the next 'vyhid monitor' opens the keyboard: {m.group(2)}")
        self.vm.call("interrupt", r"OK interrupted")
        m = self.vm.expect(r"TOOL-EXIT (.*)", 20)
        self.check(m.group(1) in ("rc=0", "rc=130"), f"and ends on SIGINT ({m.group(1)})")

        self.step("the keyboard opened read-write by the user")
        self.scan()
        kbd = self.by_product(KBD)
        self.check(len(kbd) == 1 and kbd[0]["rw"] == "1" and kbd[0]["desc"][3].endswith("[R/W]"),
                   "the scan lists the keyboard read-write [R/W]")
        seen = []
        opened = self.open_product(KBD, seen)
        ev = [parse_fields(l) for l in seen if l.startswith("EV OPEN")]
        self.check(opened["active"] == "1" and ev and ev[0]["rw"] == "1",
                   f"the user opens it read-write ({ev})")
        self.key_flows("a", "as the user")

        self.step(f"the race: {REPLUGS} replugs of the open keyboard")
        perms, opens, bad = [], [], []
        for i in range(REPLUGS):
            opened, t_perm, t_open, scans = self.replug_keyboard()
            perms.append(t_perm)
            opens.append(t_open)
            if opened["rw"] != "1" or not self.kbd_line().endswith("[R/W]") or scans != 2:
                bad.append((i, opened, scans))
        self.vm.sync()
        self.check(not bad, f"every replug: reopened read-write, one scan per udev event "
                   f"(remove, add){'' if not bad else f': {bad}'}")
        print(f"     node created -> permissions set: {spread(perms)}", flush=True)
        print(f"     node created -> OnDevOpen:       {spread(opens)}", flush=True)
        self.key_flows("b", f"after {REPLUGS} replugs")
        self.quit_app()
        self.check(self.root("grep -q \"udev daemon's events\" /tmp/debug.log && "
                             "! grep -q \"kernel's events\" /tmp/debug.log") == 0,
                   "the bridge heard hotplug from the udev daemon's events, not the kernel's")

    def late_rule(self):
        self.step(f"a rule that grants access {DELAY_MS} ms late")
        self.check(self.root(f"cp {TEST_RULES}/{DELAY_RULE} /etc/udev/rules.d/ && "
                             "udevadm control --reload-rules") == 0, "the delay rule installed")
        self.start_app()
        self.scan()
        self.open_product(KBD)
        opened, t_perm, t_open, _ = self.replug_keyboard()
        self.check(opened["rw"] == "1" and t_perm >= DELAY_MS
                   and t_open - t_perm <= OPEN_SETTLE_MS,
                   f"reopened read-write: permissions {t_perm:.0f} ms after the node, "
                   f"OnDevOpen {t_open - t_perm:.0f} ms after them")
        self.quit_app()

    def readonly_rule(self):
        self.step("a rule that never grants writing")
        self.check(self.root(f"rm /etc/udev/rules.d/{DELAY_RULE} && "
                             f"cp {TEST_RULES}/{READONLY_RULE} /etc/udev/rules.d/ && "
                             "udevadm control --reload-rules") == 0,
                   "the read-only rule installed")
        self.check(self.root(f"chmod_on_request {CHMOD_REQUEST}0666 0666 && "
                             f"chmod_on_request {CHMOD_REQUEST}0640 0640") == 0,
                   "a root helper that changes the nodes' mode on request")
        self.start_app()
        self.scan()
        self.open_product(KBD)
        opened, _, t_open, _ = self.replug_keyboard()
        self.check(opened["rw"] == "0" and self.kbd_line().endswith("[R/O]"),
                   f"reopened read-only: HasReadWriteAccess 0, '{self.kbd_line()}' "
                   f"({t_open:.0f} ms after the node)")
        self.key_flows("c", "read-only")
        self.step("the nodes' mode changed by hand: each next scan sees it")
        for mode, rw, marker in (("0666", "1", "[R/W]"), ("0640", "0", "[R/O]")):
            self.vm.call(f"spawn sh -c echo>{CHMOD_REQUEST}{mode}", rf"CHMOD {mode}")
            self.scan()
            self.check(self.by_product(KBD)[0]["rw"] == rw and self.kbd_line().endswith(marker),
                       f"chmod {mode}: the next scan lists the keyboard {marker}")
        self.quit_app()

    def before_daemon(self):
        self.step("an application started before the udev daemon")
        # The daemon leaves its control socket behind: removed, as before it ever ran.
        stopped = self.root(f"rm /etc/udev/rules.d/{READONLY_RULE} && udevadm control --exit "
                            "&& rm /run/udev/control && "
                            f"start_udevd_on_request {UDEVD_REQUEST}")
        self.check(stopped == 0, "the udev daemon stopped, to start again when the application "
                   "asks")
        self.start_app()
        self.scan()
        self.open_product(KBD)
        self.vm.call(f"spawn sh -c echo>{UDEVD_REQUEST}", r"SPAWNED")
        self.vm.gather([(r"UDEVD started", 1), (r"TOOL-EXIT rc=0", 1)])
        opened, t_perm, t_open, _ = self.replug_keyboard()
        self.check(opened["rw"] == "1" and t_open >= t_perm,
                   f"reopened read-write after the node's permissions: permissions "
                   f"{t_perm:.0f} ms after the node, OnDevOpen {t_open - t_perm:.0f} ms after them")
        self.quit_app()
        seen = []
        waited = self.root("grep -q \"kernel's events\" /tmp/debug.log && "
                           "grep -o 'opened /dev/hidraw.* after waiting.*' /tmp/debug.log | "
                           "sed 's/^/@@ OUT /'", seen=seen)
        self.check(waited == 0, "the bridge heard the kernel's events, and its open waited for "
                   f"the permissions: {[l[4:] for l in seen if l.startswith('OUT ')]}")

    def finish(self):
        self.step("power off")
        self.vm.send("exit")
        self.powered_off()

    def run(self):
        self.boot()
        self.without_rule()
        self.with_rule()
        self.late_rule()
        self.readonly_rule()
        self.before_daemon()
        self.finish()


if __name__ == "__main__":
    sys.exit(vmtest.main(Desktop, GUEST_SETUP, __doc__))
