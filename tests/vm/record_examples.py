#!/usr/bin/env python3
"""Makes the recordings of examples/recordings/ from the test VM's devices.

Boots the test VM (vmtest.py's machine, initramfs and guest application) and,
for QEMU's USB mouse, QEMU's USB keyboard and the uhid vendor device, runs
'vyhid record' in the guest while this driver moves the mouse and presses keys
through QMP, or has the uhid device send reports; each recording comes back
over the console and is written, with a line saying how it was made, to OUT.

usage: record_examples.py --work DIR --init FILE --bin ELF... --lib SO... --tool VYHID --out DIR
Every wait is bounded; QEMU is always killed. Exit status 0 when all three
recordings were written, 1 otherwise, 77 when the VM cannot run here.
"""
import argparse
import os
import re
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import initramfs  # noqa: E402
import vmtest  # noqa: E402


def mouse_events(*events):
    return {"events": [{"type": "rel", "data": {"axis": a, "value": v}} if a in ("x", "y")
                       else {"type": "btn", "data": {"down": v, "button": a}}
                       for a, v in events]}


class Recorder:
    def __init__(self, scenario):
        self.sc = scenario
        self.vm = scenario.vm
        # Lines that came while another answer was awaited (vm.call's seen):
        # the tool's among them are read before the console's next lines.
        self.seen = []

    def record(self, product, warm_up, sequence, reports):
        """Records the device named product: warm_up() is repeated until the
        recording shows a report (the tool has opened the device), then, once
        the device is quiet, sequence() runs; the recording ends once it holds
        the `reports` reports the sequence makes."""
        nr = self.sc.by_product(product)[0]["nr"]
        self.vm.call(f"spawn vyhid record {nr}", r"SPAWNED")
        lines = []

        def tool_line(timeout):
            while self.seen:
                m = re.match(r"TOOL(-EXIT|ERR)? ?(.*)", self.seen.pop(0))
                if m:
                    return m
            return self.vm.expect(r"TOOL(-EXIT|ERR)? ?(.*)", timeout)

        def next_line(timeout):
            m = tool_line(timeout)
            if m.group(1) is not None:
                raise vmtest.Failure(f"vyhid record: TOOL{m.group(1)} {m.group(2)}")
            lines.append(m.group(2))
            return m.group(2)

        while not next_line(30).startswith("I:"):
            pass
        for _ in range(20):
            warm_up()
            try:
                if next_line(2).startswith("E:"):
                    break
            except vmtest.Failure:
                continue
        else:
            raise vmtest.Failure(f"{product}: no report recorded")
        # The warm-up's own reports come to an end before the sequence starts.
        while True:
            try:
                next_line(1.5)
            except vmtest.Failure:
                break
        before = sum(1 for l in lines if l.startswith("E:"))
        sequence()
        while sum(1 for l in lines if l.startswith("E:")) < before + reports:
            next_line(20)
        self.vm.call("interrupt", r"OK interrupted", seen=self.seen)
        while True:
            m = tool_line(20)
            if m.group(1) == "-EXIT":
                break
            if m.group(1) is None:
                lines.append(m.group(2))
        return lines


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--work", required=True)
    p.add_argument("--init", required=True)
    p.add_argument("--bin", action="append", default=[])
    p.add_argument("--lib", action="append", default=[])
    p.add_argument("--tool", required=True)
    p.add_argument("--out", required=True, help="where the recordings go")
    p.add_argument("--deadline", type=float, default=300)
    args = p.parse_args()

    reason, _ = vmtest.prerequisites(None)
    if reason:
        print(f"SKIP: {reason}")
        return vmtest.SKIP
    kernel, initrd = initramfs.build(argparse.Namespace(
        out=args.work, init=args.init, bin=args.bin + [args.tool], lib=args.lib,
        file=[f"{os.path.join(HERE, 'guest', 'tsan.supp')}:/etc/tsan.supp"],
        kernel_version=None))
    os.makedirs(os.path.join(args.work, "runs"), exist_ok=True)
    run_dir = tempfile.mkdtemp(prefix="record.", dir=os.path.join(args.work, "runs"))
    log = os.path.join(run_dir, "console.log")
    vm = None
    try:
        vm = vmtest.Machine(kernel, initrd, run_dir, time.monotonic() + args.deadline, log, 1)
        sc = vmtest.Scenario(vm, True)
        sc.boot()
        sc.scan()
        rec = Recorder(sc)
        how = "made in the test VM with tests/vm/record_examples.py: 'vyhid record' in the guest"
        made = {}

        def move(*events):
            vm.qmp.execute("input-send-event", mouse_events(*events))

        made["qemu-usb-mouse.txt"] = (
            f"# QEMU's USB mouse, moved and clicked through QMP; {how}",
            rec.record(vmtest.MOUSE, lambda: move(("x", 1)), lambda: (
                move(("x", 10), ("y", -5)), move(("x", -3), ("y", 2)),
                move(("left", True)), move(("left", False)),
                move(("right", True)), move(("right", False))), 6))

        def tap(qcode):
            vm.keys((qcode, True))
            vm.keys((qcode, False))

        made["qemu-usb-keyboard.txt"] = (
            f"# QEMU's USB keyboard, keys pressed through QMP; {how}",
            rec.record(vmtest.KBD, lambda: tap("shift"), lambda: (
                tap("h"), tap("i"), vm.keys(("shift", True)), tap("1"),
                vm.keys(("shift", False))), 8))

        def echo(text):
            vm.call(f"send 2 {text.encode().hex()}", r"SENT rc=0", seen=rec.seen)

        vm.call(f"openp {vmtest.ECHO}", r"OPENED (.*)")
        made["uhid-vendor-device.txt"] = (
            "# The test VM's uhid vendor device (report IDs): output reports echoed as input "
            f"report 1, then a 200-byte input report 4; {how}",
            rec.record(vmtest.ECHO, lambda: echo("warm"), lambda: (
                echo("Hello, vyhid"),
                vm.call("dev input200 7", r"DEVCMD input200", seen=rec.seen)), 2))
        vm.call("quit", r"BYE")
    except vmtest.Failure as e:
        print(f"FAILED: {e}\nconsole log: {log}")
        return 1
    finally:
        if vm is not None:
            vm.stop()
    os.makedirs(args.out, exist_ok=True)
    for name, (comment, lines) in made.items():
        with open(os.path.join(args.out, name), "w") as f:
            f.write(comment + "\n" + "".join(l + "\n" for l in lines))
        print(f"wrote {os.path.join(args.out, name)}: {len(lines)} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
