#!/usr/bin/env python3
"""Builds what the test VM boots: an uncompressed kernel and a small initramfs.

The initramfs holds busybox (static), the USB and HID kernel modules in load
order, the guest init script, and the guest programs with every shared
library they need (found with ldd and placed at the same paths as on the
host). Libraries that a program loads at run time (a bridge) are named with
--lib and copied together with their own dependencies.

The archive is written directly in the cpio "newc" format, so that building
it needs neither root (for /dev/console) nor the cpio tool. Both outputs are
cached in the output directory: the kernel per version, the archive by a
stamp of everything that went into it.

System programs (--sysbin) keep their host path and bring their libraries;
--symlink adds a link.

usage: initramfs.py --out DIR --init FILE [--bin ELF]... [--lib SO]...
                    [--sysbin ELF]... [--file SRC:DEST]... [--symlink PATH:TARGET]...
                    [--module PATH]... [--kernel-version V]
prints the paths of the kernel and of the archive, one per line.
"""
import argparse
import glob
import gzip
import hashlib
import io
import lzma
import os
import re
import stat
import subprocess
import sys

# Load order matters: the guest has no modprobe, so dependencies come first.
# hidraw is built into hid.ko in Debian's kernel; hid-generic binds the devices.
MODULES = [
    "drivers/usb/common/usb-common.ko",
    "drivers/usb/core/usbcore.ko",
    "drivers/usb/host/xhci-hcd.ko",
    "drivers/usb/host/xhci-pci.ko",
    "drivers/hid/hid.ko",
    "drivers/hid/hid-generic.ko",
    "drivers/hid/usbhid/usbhid.ko",
    "drivers/hid/uhid.ko",
]

BUSYBOX = "/bin/busybox"
# Where the project's programs and libraries live in the guest.
GUEST_BIN = "/opt/vyhid/bin"
GUEST_LIB = "/opt/vyhid/lib"


class BuildError(Exception):
    pass


def newest_kernel_version():
    kernels = glob.glob("/boot/vmlinuz-*")
    if not kernels:
        raise BuildError("no kernel in /boot (install linux-image-amd64)")

    def key(path):
        return [int(p) if p.isdigit() else p for p in re.split(r"(\d+)", path)]

    return sorted(kernels, key=key)[-1][len("/boot/vmlinuz-"):]


def extract_vmlinux(kver, out_dir):
    """Debian's vmlinuz carries an XZ-compressed ELF; booting the uncompressed
    ELF directly (PVH entry) saves several seconds of in-guest decompression."""
    path = os.path.join(out_dir, f"vmlinux-{kver}")
    if os.path.exists(path) and os.path.getsize(path) > 0:
        return path
    src = f"/boot/vmlinuz-{kver}"
    try:
        data = open(src, "rb").read()
    except OSError as e:
        raise BuildError(f"cannot read {src}: {e.strerror}") from e
    off = data.find(b"\xfd7zXZ\x00")
    if off < 0:
        raise BuildError(f"{src} holds no XZ stream")
    elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[off:])
    if elf[:4] != b"\x7fELF":
        raise BuildError(f"{src} does not decompress to an ELF kernel")
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(elf)
    os.replace(tmp, path)
    return path


def shared_deps(elf):
    """Absolute paths of the shared libraries (and the loader) an ELF needs."""
    try:
        out = subprocess.run(["ldd", elf], capture_output=True, text=True, check=False).stdout
    except OSError as e:
        raise BuildError(f"ldd: {e.strerror}") from e
    deps = []
    for line in out.splitlines():
        if "not found" in line:
            raise BuildError(f"{elf}: library {line.split()[0]} not found")
        m = re.search(r"(/\S+)\s+\(0x", line)
        if m:
            deps.append(m.group(1))
    return deps


class Archive:
    """A cpio newc archive built in memory."""

    def __init__(self):
        self.buf = io.BytesIO()
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_b = name.encode() + b"\0"
        hdr = "070701" + "".join(f"{v:08x}" for v in (
            self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0))
        self.ino += 1
        self.buf.write(hdr.encode() + name_b)
        self.buf.write(b"\0" * (-(110 + len(name_b)) % 4))
        self.buf.write(data)
        self.buf.write(b"\0" * (-len(data) % 4))

    def mkdir(self, path):
        path = path.strip("/")
        if not path or path in self.dirs:
            return
        self.mkdir(os.path.dirname(path))
        self.dirs.add(path)
        self._entry(path, stat.S_IFDIR | 0o755)

    def file(self, path, data, mode=0o755):
        path = path.strip("/")
        self.mkdir(os.path.dirname(path))
        self._entry(path, stat.S_IFREG | mode, data)

    def symlink(self, path, target):
        path = path.strip("/")
        self.mkdir(os.path.dirname(path))
        self._entry(path, stat.S_IFLNK | 0o777, target.encode())

    def chardev(self, path, major, minor, mode):
        path = path.strip("/")
        self.mkdir(os.path.dirname(path))
        self._entry(path, stat.S_IFCHR | mode, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return self.buf.getvalue()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise BuildError(f"cannot read {path}: {e.strerror}") from e


def build(args):
    os.makedirs(args.out, exist_ok=True)
    # Callers that build no system programs in may leave these out.
    sysbin = getattr(args, "sysbin", [])
    symlinks = getattr(args, "symlink", [])
    # Extra modules (paths under the kernel's module tree) load after MODULES.
    extra_modules = getattr(args, "modules", [])
    kver = args.kernel_version or newest_kernel_version()
    moddir = f"/lib/modules/{kver}/kernel"
    modules = [os.path.join(moddir, m) for m in MODULES + list(extra_modules)]

    # Everything that goes in, with the libraries the programs need.
    host_files = {}  # guest path -> host path
    for m in modules:
        host_files["/lib/modules/" + os.path.basename(m)] = m
    for b in args.bin:
        host_files[f"{GUEST_BIN}/{os.path.basename(b)}"] = b
    for lib in args.lib:
        host_files[f"{GUEST_LIB}/{os.path.basename(lib)}"] = lib
    for elf in sysbin:
        host_files[elf] = elf
    for elf in args.bin + args.lib + sysbin:
        for dep in shared_deps(elf):
            # The project's own libraries go to GUEST_LIB (LD_LIBRARY_PATH);
            # system libraries keep their host path.
            if dep.startswith(("/lib/", "/lib64/", "/usr/")):
                host_files.setdefault(dep, dep)
            else:
                host_files.setdefault(f"{GUEST_LIB}/{os.path.basename(dep)}", dep)
    for spec in args.file:
        src, _, dest = spec.partition(":")
        if not dest.startswith("/"):
            raise BuildError(f"--file {spec}: the destination must be an absolute path")
        host_files[dest] = src
    host_files["/init"] = args.init
    host_files["/bin/busybox"] = BUSYBOX

    stamp = hashlib.sha256(kver.encode())
    stamp.update(read(os.path.abspath(__file__)))  # a change of this builder rebuilds
    for guest, host in sorted(host_files.items()):
        try:
            st = os.stat(host)
        except OSError as e:
            raise BuildError(f"missing input {host}: {e.strerror}") from e
        stamp.update(f"{guest}\0{host}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_mode}\n".encode())
    links = [spec.partition(":")[::2] for spec in symlinks]
    for path, target in links:
        if not path.startswith("/") or not target:
            raise BuildError(f"--symlink {path}:{target}: needs an absolute path and a target")
        stamp.update(f"{path}\0{target}\n".encode())
    stamp = stamp.hexdigest()

    vmlinux = extract_vmlinux(kver, args.out)
    archive_path = os.path.join(args.out, "initramfs.cpio.gz")
    stamp_path = archive_path + ".stamp"
    if (os.path.exists(archive_path) and os.path.exists(stamp_path)
            and open(stamp_path).read() == stamp):
        return vmlinux, archive_path

    ar = Archive()
    for d in ("/bin", "/dev", "/proc", "/sys", "/tmp", "/run", "/etc", "/lib/modules"):
        ar.mkdir(d)
    # The kernel opens /dev/console for init's standard streams before init
    # can mount devtmpfs.
    ar.chardev("/dev/console", 5, 1, 0o600)
    ar.chardev("/dev/null", 1, 3, 0o666)
    ar.file("/bin/busybox", read(BUSYBOX))
    applets = subprocess.run([BUSYBOX, "--list"], capture_output=True, text=True,
                             check=True).stdout.split()
    for a in applets:
        if a != "busybox":
            ar.symlink(f"/bin/{a}", "busybox")
    ar.file("/etc/modules.order", "".join(os.path.basename(m) + "\n" for m in modules).encode(),
            0o644)
    for guest, host in sorted(host_files.items()):
        if guest in ("/bin/busybox",):
            continue
        data = read(host)
        executable = guest == "/init" or os.access(host, os.X_OK)
        ar.file(guest, data, 0o755 if executable else 0o644)
    for path, target in links:
        ar.symlink(path, target)
    data = gzip.compress(ar.finish(), compresslevel=1)
    tmp = archive_path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, archive_path)
    with open(stamp_path, "w") as f:
        f.write(stamp)
    return vmlinux, archive_path


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", required=True, help="output directory (kernel and archive)")
    p.add_argument("--init", required=True, help="the guest's /init script")
    p.add_argument("--bin", action="append", default=[], help="a guest program (repeatable)")
    p.add_argument("--lib", action="append", default=[],
                   help="a library loaded at run time (repeatable)")
    p.add_argument("--sysbin", action="append", default=[],
                   help="a system program, kept at its host path (repeatable)")
    p.add_argument("--symlink", action="append", default=[],
                   help="PATH:TARGET, a symbolic link (repeatable)")
    p.add_argument("--file", action="append", default=[],
                   help="SRC:DEST, a plain file to put at DEST (repeatable)")
    p.add_argument("--module", dest="modules", action="append", default=[],
                   help="an extra kernel module, loaded after the others (repeatable)")
    p.add_argument("--kernel-version", help="default: the newest /boot/vmlinuz-*")
    args = p.parse_args(argv)
    try:
        for path in build(args):
            print(path)
    except BuildError as e:
        print(f"initramfs.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
