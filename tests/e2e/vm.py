"""Runs one command as root in a virtual machine on Debian's full kernel.

The machine's own kernel lacks drivers that some paths need (VRF, GRE,
GENEVE, IPsec). This boots Debian's kernel under QEMU with this machine's
files as a read-only root under a writable overlay in memory, runs the
command in the same folder, and hands back its output and exit status. The
VM has no network device. The only folder it can write to on the host is the
run folder, which carries the status back and is removed afterwards, however
the run ends: a run that overstays its bound, Ctrl-C, SIGTERM, or even
SIGKILL of the runner (QEMU dies with it, a reaper removes the folder).

    vm.py [--timeout SECONDS] COMMAND [ARGUMENT...]

exits with the command's status, 124 when it overstayed, 125 when the VM
did not boot.
"""

import argparse
import ctypes
import glob
import lzma
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MODULES = ("fs/netfs/netfs", "net/9p/9pnet", "net/9p/9pnet_virtio", "fs/9p/9p",
           "fs/overlayfs/overlay")
PREFIX = "pmtu6-vm-"
NINEP = "trans=virtio,version=9p2000.L,msize=262144"
OVERSTAYED, NOT_BOOTED = 124, 125

# PID 1 of the initramfs: the host's root under an overlay (whose /tmp is
# writable, and may hold the caller's folder), a fresh /run with the run
# folder at /run/vm, then the command's own script as the new init.
_INIT = f"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /dev /lower /upper /newroot
mount -t proc proc /proc
mount -t devtmpfs dev /dev
for m in netfs 9pnet 9pnet_virtio 9p overlay; do insmod /modules/$m.ko || exit 1; done
mount -t 9p -o ro,cache=loose,{NINEP} root /lower
mount -t tmpfs tmpfs /upper
mkdir /upper/data /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work overlay /newroot
mount -t tmpfs tmpfs /newroot/run
mkdir /newroot/run/vm
mount -t 9p -o {NINEP} run /newroot/run/vm
mount --move /proc /newroot/proc
mount --move /dev /newroot/dev
mount -t sysfs sysfs /newroot/sys
mount -t cgroup2 none /newroot/sys/fs/cgroup
mkdir -p /newroot/dev/pts
mount -t devpts devpts /newroot/dev/pts
exec switch_root /newroot /bin/sh /run/vm/stage2
"""

_STAGE2 = """export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
{environment}
port() {{
    for p in /sys/class/virtio-ports/*; do
        [ "$(cat "$p/name")" = "$1" ] && echo "/dev/${{p##*/}}"
    done
}}
: >/run/vm/started
{{ cd {folder} && {command}; }} >"$(port pmtu6.stdout)" 2>"$(port pmtu6.stderr)" </dev/null
echo $? >/run/vm/status
/bin/busybox reboot -f
"""


def kernel():
    """The full kernel and its modules folder, or a line that says what is
    missing."""
    missing = [tool for tool in ("qemu-system-x86_64", "busybox") if not shutil.which(tool)]
    releases = [image[len("/boot/vmlinuz-"):]
                for image in sorted(glob.glob("/boot/vmlinuz-*-amd64"))]
    releases = [r for r in releases
                if os.path.isdir(f"/lib/modules/{r}") and r != os.uname().release]
    if not releases:
        missing.append("a full kernel (linux-image-6.12-rt-amd64)")
    if missing:
        return None, "not installed: " + ", ".join(missing)
    return (f"/boot/vmlinuz-{releases[-1]}", f"/lib/modules/{releases[-1]}"), None


def _cpio(entries):
    """A newc archive of (name, mode, data) entries."""
    out = bytearray()
    for number, (name, mode, data) in enumerate([*entries, ("TRAILER!!!", 0, b"")], 1):
        encoded = name.encode() + b"\0"
        fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0)
        out += b"070701" + "".join(f"{f:08x}" for f in fields).encode() + encoded
        out += bytes(-len(out) % 4) + data
        out += bytes(-len(out) % 4)
    return bytes(out)


def _initramfs(modules, path):
    with open(shutil.which("busybox"), "rb") as f:
        busybox = f.read()
    entries = [("bin", 0o40755, b""), ("modules", 0o40755, b""),
               ("bin/busybox", 0o100755, busybox), ("init", 0o100755, _INIT.encode())]
    for module in MODULES:
        with lzma.open(f"{modules}/kernel/{module}.ko.xz") as f:
            entries.append((f"modules/{os.path.basename(module)}.ko", 0o100644, f.read()))
    with open(path, "wb") as f:
        f.write(_cpio(entries))


def _remove_stale():
    """Run folders of runners that are gone."""
    for folder in glob.glob(os.path.join(tempfile.gettempdir(), PREFIX + "*")):
        m = re.match(rf"{PREFIX}(\d+)-", os.path.basename(folder))
        if m and not os.path.exists(f"/proc/{m.group(1)}"):
            shutil.rmtree(folder, ignore_errors=True)


def _start_reaper(folder):
    """A child that waits for the runner to end, however it ends, then stops
    QEMU and removes the run folder. Returns the pipe end it waits on."""
    read_end, write_end = os.pipe()
    if os.fork() == 0:
        try:
            os.setsid()  # a Ctrl-C to the runner's group must not stop it first
            for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(s, signal.SIG_IGN)
            os.close(write_end)
            os.read(read_end, 1)  # nothing comes: it returns when the runner is gone
            try:
                with open(os.path.join(folder, "qemu.pid")) as f:
                    qemu = int(f.read())
                os.kill(qemu, signal.SIGKILL)
                while os.path.exists(f"/proc/{qemu}"):
                    time.sleep(0.05)
            except (OSError, ValueError):
                pass
            shutil.rmtree(folder, ignore_errors=True)
        finally:
            os._exit(0)
    os.close(read_end)
    return write_end


def _die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _stop(*_):
    raise KeyboardInterrupt


def run(command, timeout):
    """(stdout, stderr, status) of `command` run in the VM."""
    found, missing = kernel()
    if missing:
        raise RuntimeError(missing)
    image, modules = found
    _remove_stale()
    folder = tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-")
    reaper = _start_reaper(folder)
    previous = signal.signal(signal.SIGTERM, _stop)
    qemu = None
    try:
        _initramfs(modules, os.path.join(folder, "initramfs"))
        environment = " ".join(f"{k}={shlex.quote(os.environ[k])}"
                               for k in ("CI",) if k in os.environ)
        with open(os.path.join(folder, "stage2"), "w") as f:
            f.write(_STAGE2.format(environment=f"export {environment}" if environment else "",
                                   folder=shlex.quote(os.getcwd()),
                                   command=shlex.join(command)))
        ports = []
        for name in ("stdout", "stderr"):
            ports += ["-chardev", f"file,id={name},path={folder}/{name}",
                      "-device", f"virtserialport,chardev={name},name=pmtu6.{name}"]
        qemu = subprocess.Popen(
            ["qemu-system-x86_64", "-nodefaults", "-nic", "none", "-no-reboot", "-display",
             "none", "-accel", "tcg,thread=multi,tb-size=1024", "-cpu", "max", "-smp", "2",
             "-m", "4G", "-kernel", image, "-initrd", f"{folder}/initramfs",
             "-append", "console=ttyS0 rdinit=/init panic=-1 quiet loglevel=4",
             "-serial", f"file:{folder}/console", "-pidfile", f"{folder}/qemu.pid",
             "-virtfs", "local,path=/,mount_tag=root,security_model=none,readonly=on,"
                        "multidevs=remap",
             "-virtfs", f"local,path={folder},mount_tag=run,security_model=none",
             "-device", "virtio-serial-pci", *ports],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            preexec_fn=_die_with_parent)
        try:
            _, qemu_errors = qemu.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
            return _read(folder, "stdout"), _read(folder, "stderr") + \
                f"vm: the command overstayed its bound of {timeout} s\n", OVERSTAYED
        status = _read(folder, "status")
        if not status:
            started = os.path.exists(os.path.join(folder, "started"))
            console = _read(folder, "console").splitlines()[-20:]
            return _read(folder, "stdout"), _read(folder, "stderr") + (
                "vm: the command ended the VM" if started else "vm: the VM did not boot") + \
                f" (QEMU: {qemu_errors.decode().strip() or 'no error'}); its console ended:\n" + \
                "".join(f"  {line}\n" for line in console), NOT_BOOTED
        return _read(folder, "stdout"), _read(folder, "stderr"), int(status)
    finally:
        if qemu and qemu.poll() is None:
            qemu.kill()
            qemu.wait()
        signal.signal(signal.SIGTERM, previous)
        shutil.rmtree(folder, ignore_errors=True)
        os.close(reaper)


def _read(folder, name):
    try:
        with open(os.path.join(folder, name), errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def main():
    parser = argparse.ArgumentParser(description="Runs a command in a VM on the full kernel.")
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    if not options.command:
        parser.error("no command")
    try:
        out, err, status = run(options.command, options.timeout)
    except KeyboardInterrupt:
        sys.exit(130)
    except RuntimeError as e:
        print(f"vm: {e}", file=sys.stderr)
        sys.exit(NOT_BOOTED)
    sys.stdout.write(out)
    sys.stderr.write(err)
    sys.exit(status)


if __name__ == "__main__":
    main()
