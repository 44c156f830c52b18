#!/usr/bin/env python3
"""Reports read and built by usage, checked against what QEMU was told.

Boots the test VM (vmtest.py's machine, initramfs and guest application) and
runs the tool in the guest on QEMU's devices:
  - the tablet, moved to absolute positions through QMP: 'vyhid monitor
    --decode' shows X and Y equal to the positions QMP sent, mapped from QMP's
    range onto the logical range that 'vyhid describe' gives, and the button;
  - the keyboard: keys pressed through QMP arrive as their usage names;
  - 'vyhid send --set NumLock=1': the keyboard receives the boot keyboard's LED
    byte 01 (SET_REPORT in QEMU's usbmon capture of the keyboard);
  - the mouse, recorded with 'vyhid record' while QMP moves it: the recording,
    replayed on the host by the simulated bridge, decodes to the moves QMP
    made, in their order.

usage: decode.py --work DIR --init FILE --bin ELF... --lib SO... --tool VYHID
Exit status 0 when every check passed, 1 otherwise, 77 when the VM cannot run
here (a failure under CI for a missing package). Every wait is bounded.
"""
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import record_examples  # noqa: E402
import vmtest  # noqa: E402

# QMP's absolute axes run over 0..0x7fff (QEMU's INPUT_EVENT_ABS_MAX).
QMP_ABS_MAX = 0x7FFF
TABLET_POINTS = [(16384, 8192), (0, QMP_ABS_MAX), (1000, 30000)]
# The mouse's moves while it is recorded, and the values each decodes to.
MOUSE_MOVES = [((("x", 10), ("y", -5)), {"X": 10, "Y": -5, "Button1": 0}),
               ((("x", -3), ("y", 2)), {"X": -3, "Y": 2, "Button1": 0}),
               ((("left", True),), {"X": 0, "Y": 0, "Button1": 1}),
               ((("left", False),), {"X": 0, "Y": 0, "Button1": 0})]


def values(line):
    """{'X': -3, 'Y': 2, ...} and the active array usages of a decoded
    monitor line ('... input     id 0: Button1 1  X -3  Y 2  A')."""
    decoded = line.split(": ", 1)[1] if ": " in line else ""
    named, active = {}, []
    for item in decoded.split("  "):
        parts = item.split(" ")
        if len(parts) == 2 and re.fullmatch(r"-?\d+", parts[1]):
            named[parts[0]] = int(parts[1])
        elif item:
            active.append(item)
    return named, active


class DecodeScenario(vmtest.Scenario):
    def __init__(self, vm, with_tool, host_tool):
        super().__init__(vm, with_tool)
        self.host_tool = host_tool

    def spawn(self, command):
        self.vm.call(f"spawn {command}", r"SPAWNED")

    def tool_line(self, regex, timeout=30.0):
        return self.vm.expect(rf"TOOL (.*{regex}.*)", timeout).group(1)

    def stop_tool(self):
        self.vm.call("interrupt", r"OK interrupted")
        self.vm.expect(r"TOOL-EXIT (.*)", 20)

    def run_tool(self, command, timeout=60.0):
        """Runs the tool to its end: (exit, output lines)."""
        seen = []
        self.vm.send(f"spawn {command}")
        m = self.vm.expect(r"TOOL-EXIT (.*)", timeout, seen)
        return m.group(1), [line[5:] for line in seen if line.startswith("TOOL ")]

    def logical_range(self, product, usage):
        """The logical range of the field holding usage, as 'vyhid describe'
        lists the device's input report."""
        nr = self.by_product(product)[0]["nr"]
        rc, lines = self.run_tool(f"vyhid describe {nr}")
        for line in lines:
            m = re.match(rf"\s+\d+\s+\d+\s+\d+\s+(.*\b{usage}\b.*?)\s+(-?\d+)\.\.(-?\d+)\s", line)
            if m:
                return int(m.group(2)), int(m.group(3))
        raise vmtest.Failure(f"'vyhid describe {nr}' ({rc}) lists no field with {usage}")

    def tablet(self):
        self.step("tablet: absolute positions decoded")
        xmin, xmax = self.logical_range(vmtest.TABLET, "X")
        ymin, ymax = self.logical_range(vmtest.TABLET, "Y")
        nr = self.by_product(vmtest.TABLET)[0]["nr"]
        self.spawn(f"vyhid monitor {nr} --decode")
        self.tool_line(r"\bopen\b")
        for i, (x, y) in enumerate(TABLET_POINTS):
            down = i % 2 == 0
            self.vm.qmp.execute("input-send-event", {"device": "vga0", "events": [
                {"type": "abs", "data": {"axis": "x", "value": x}},
                {"type": "abs", "data": {"axis": "y", "value": y}},
                {"type": "btn", "data": {"down": down, "button": "left"}}]})
            want = {"X": xmin + round(x * (xmax - xmin) / QMP_ABS_MAX),
                    "Y": ymin + round(y * (ymax - ymin) / QMP_ABS_MAX),
                    "Button1": int(down)}
            named, _ = values(self.tool_line(r"\binput\b", 20))
            got = {k: named.get(k) for k in want}
            self.check(got == want, f"tablet at QMP ({x}, {y}), button {int(down)}: decoded "
                       f"{got}, expected {want} (logical X {xmin}..{xmax}, Y {ymin}..{ymax})")
        self.stop_tool()

    def keyboard_names(self):
        self.step("keyboard: keys by usage name, LEDs by usage")
        nr = self.by_product(vmtest.KBD)[0]["nr"]
        self.spawn(f"vyhid monitor {nr} --decode")
        self.tool_line(r"\bopen\b")
        self.vm.keys(("shift", True), ("a", True))
        # The two keys may come as one report or two: wait for both held.
        for _ in range(3):
            named, active = values(self.tool_line(r"\binput\b", 20))
            if "A" in active:
                break
        self.check(named.get("LeftShift") == 1 and active == ["A"],
                   f"Shift and 'a' held decode as LeftShift 1 and A: {named}, {active}")
        self.vm.keys(("a", False), ("shift", False))
        for _ in range(3):
            named, active = values(self.tool_line(r"\binput\b", 20))
            if not active and named.get("LeftShift") == 0:
                break
        self.check(not active and named.get("LeftShift") == 0,
                   f"released, no key is active: {named}, {active}")
        self.stop_tool()

        pcap = os.path.join(self.vm.run_dir, "kbd0.pcap")
        before = vmtest.pcap_set_reports(pcap)
        rc, lines = self.run_tool(f"vyhid send {nr} --set NumLock=1")
        self.check(rc == "rc=0" and lines == ["sent output report 0, 1 byte: 01 (NumLock=1)"],
                   f"'vyhid send --set NumLock=1' ({rc}): {lines}")
        # QEMU writes the capture as the request passes; it may lag a little.
        end = time.monotonic() + 5
        new = []
        while time.monotonic() < end:
            new = vmtest.pcap_set_reports(pcap)[len(before):]
            if new:
                break
            time.sleep(0.1)
        self.check((0x0200, 0, "01") in new,
                   f"the keyboard received SET_REPORT(Output, LED 01): new requests {new}")

    def round_trip(self):
        self.step("mouse: recorded in the VM, replayed and decoded on the host")
        rec = record_examples.Recorder(self)

        def move(*events):
            self.vm.qmp.execute("input-send-event", record_examples.mouse_events(*events))

        lines = rec.record(vmtest.MOUSE, lambda: move(("x", 1)),
                           lambda: [move(*events) for events, _ in MOUSE_MOVES],
                           len(MOUSE_MOVES))
        reports = [line for line in lines if line.startswith("E:")]
        path = os.path.join(self.vm.run_dir, "mouse-recording.txt")
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        decoded = self.replay(path, len(reports))
        want = [w for _, w in MOUSE_MOVES]
        got = [{k: named.get(k) for k in ("X", "Y", "Button1")}
               for named, _ in decoded[-len(MOUSE_MOVES):]]
        self.check(got == want, f"the replayed recording ({len(reports)} reports) decodes on the "
                   f"host to QMP's moves in order: {got}")

    def replay(self, path, count):
        """The decoded input lines of the recording, replayed on the host."""
        proc = subprocess.Popen([self.host_tool, f"--simulate={path}", "monitor", "0", "--decode"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        decoded = []
        try:
            end = min(time.monotonic() + 60, self.vm.deadline)
            while len(decoded) < count and time.monotonic() < end:
                line = proc.stdout.readline()
                if not line:
                    break
                if " input " in line:
                    decoded.append(values(line.rstrip("\n")))
        finally:
            proc.send_signal(signal.SIGINT)
            try:
                _, err = proc.communicate(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                _, err = proc.communicate()
        if len(decoded) < count:
            raise vmtest.Failure(f"the host's replay gave {len(decoded)} of {count} reports: {err}")
        return decoded

    def run(self):
        self.boot()
        self.scan()
        self.tablet()
        self.keyboard_names()
        self.round_trip()
        self.finish()


def main():
    host_tool = None
    if "--tool" in sys.argv:
        host_tool = sys.argv[sys.argv.index("--tool") + 1]
    if host_tool is None:
        print("FAIL: --tool is required")
        return 1
    return vmtest.main(make_scenario=lambda vm, with_tool: DecodeScenario(vm, with_tool, host_tool),
                       doc=__doc__)


if __name__ == "__main__":
    sys.exit(main())
