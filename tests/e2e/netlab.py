"""Network namespaces for end-to-end runs of pmtu6.

A path is a chain of namespaces joined by veth pairs: client, routers, host.
Link i (from 1) carries the prefix 2001:db8:i::/64, its left end ::1 and its
right end ::2, so the host is 2001:db8:N::2 on a path of N links. Every
namespace a path makes is removed when the path is closed, when the test
process exits, or, if it was killed, by the next run.
"""

import argparse
import atexit
import collections
import ctypes
import json
import os
import platform
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PREFIX = "p6t"
AS_NOBODY = ("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups")
_open_paths = []
_counter = 0


def must_run_privileged():
    return os.environ.get("CI") == "true"


def privileged():
    return os.geteuid() == 0 and subprocess.run(
        ["ip", "netns", "list"], capture_output=True).returncode == 0


def needs_namespaces(case):
    """Skips a test without root, except under CI=true, where that fails."""
    if privileged():
        return case
    if must_run_privileged():
        raise SystemExit("CI=true: end-to-end tests need root and network namespaces")
    return unittest.skip("needs root and network namespaces")(case)


def require_tools(*tools):
    """Skips the test (or the subtest running) when a tool is not installed,
    except under CI=true, where that fails it."""
    missing = [tool for tool in tools if not shutil.which(tool)]
    if not missing:
        return
    if must_run_privileged():
        raise AssertionError(f"not installed: {' '.join(missing)}")
    raise unittest.SkipTest(f"not installed: {' '.join(missing)}")


rest_args = []
CONFINED = True  # whether the tool under test confines itself


def main_binary():
    """The tool named by --binary (--unconfined: built without confinement);
    the other arguments are left for unittest."""
    global rest_args, CONFINED
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--unconfined", action="store_true")
    options, rest_args = parser.parse_known_args()
    CONFINED = not options.unconfined
    return os.path.abspath(options.binary)


def ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


def _remove_stale():
    """Namespaces left by a run that was killed before it could clean up."""
    for line in ip("netns", "list", check=False).stdout.splitlines():
        m = re.match(rf"({PREFIX}-(\d+)-\S+)", line)
        if not m:
            continue
        pid = int(m.group(2))
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            for stray in ip("netns", "pids", m.group(1), check=False).stdout.split():
                try:
                    os.kill(int(stray), signal.SIGKILL)
                except ProcessLookupError:
                    pass
            ip("netns", "del", m.group(1), check=False)
            shutil.rmtree(f"/etc/netns/{m.group(1)}", ignore_errors=True)


def link_address(link, end):
    """Address of the left (1) or right (2) end of link number `link`."""
    return f"2001:db8:{link:x}::{end}"


class Path:
    def __init__(self, mtus, routers_forward=True):
        global _counter
        _counter += 1
        tag = f"{os.getpid()}-{_counter}"
        self.mtus = list(mtus)
        count = len(self.mtus) + 1
        self.nodes = [f"{PREFIX}-{tag}-{i}" for i in range(count)]
        self.client, self.host = self.nodes[0], self.nodes[-1]
        self.host_address = link_address(len(self.mtus), 2)
        self.client_address = link_address(1, 1)  # a test that changes it says so
        self.interfaces = {}
        self.links = {}  # link number: (left node, right node)
        self._at_close = []  # what a test started or made beyond the namespaces
        _open_paths.append(self)
        try:
            self._build(tag, routers_forward)
        except BaseException:
            self.close()
            raise

    def _build(self, tag, routers_forward):
        for ns in self.nodes:
            ip("netns", "add", ns)
            self.sysctl(ns, "net.ipv6.icmp.ratelimit=0",
                        "net.ipv6.conf.all.accept_dad=0",
                        "net.ipv6.conf.default.accept_dad=0")
            self.exec(ns, "ip", "link", "set", "lo", "up")
        self.tag = tag
        for i, mtu in enumerate(self.mtus, start=1):
            self.add_link(i, self.nodes[i - 1], self.nodes[i], mtu)
        self.wait_until_up()
        links = len(self.mtus)
        for k, ns in enumerate(self.nodes):
            if 0 < k < links and routers_forward:
                self.sysctl(ns, "net.ipv6.conf.all.forwarding=1")
            for j in range(1, links + 1):
                if j < k:      # reached through the left neighbour
                    self.route(ns, f"2001:db8:{j:x}::/64", "via", link_address(k, 1))
                elif j > k + 1:  # reached through the right neighbour
                    self.route(ns, f"2001:db8:{j:x}::/64", "via", link_address(k + 1, 2))

    def add_link(self, i, left, right, mtu):
        """Link number i between two nodes, with the addresses of link i."""
        a, b = f"v{self.tag}-{i}a"[-15:], f"v{self.tag}-{i}b"[-15:]
        ip("link", "add", a, "netns", left, "mtu", str(mtu),
           "type", "veth", "peer", "name", b, "netns", right, "mtu", str(mtu))
        for ns, dev, end in ((left, a, 1), (right, b, 2)):
            self.exec(ns, "ip", "-6", "addr", "add",
                      f"{link_address(i, end)}/64", "dev", dev, "nodad")
            self.exec(ns, "ip", "link", "set", dev, "up")
        self.interfaces[(i, "left")] = a
        self.interfaces[(i, "right")] = b
        self.links[i] = (left, right)

    def wait_until_up(self):
        # The system takes up to a second to bring a new link into service and
        # drops what is sent before; a test must not measure that.
        deadline = time.monotonic() + 5
        for (link, side), dev in self.interfaces.items():
            ns = self.links[link][0 if side == "left" else 1]
            while "state UP" not in self.exec(ns, "ip", "link", "show", dev).stdout:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"{dev} in {ns} did not come up")
                time.sleep(0.02)

    def exec(self, ns, *cmd, check=True, **kw):
        return subprocess.run(["ip", "netns", "exec", ns, *cmd], check=check,
                              capture_output=True, text=True, **kw)

    def sysctl(self, ns, *settings):
        self.exec(ns, "sysctl", "-qw", *settings)

    def route(self, ns, *route_args):
        # replace, so that a test may give a route another type
        self.exec(ns, "ip", "-6", "route", "replace", *route_args)

    def router(self, n):
        """Namespace of router n (1 is next to the client)."""
        return self.nodes[n]

    def daemon(self, ns, *cmd):
        """Starts a daemon in a session of its own; closing the path stops the
        whole session, children too."""
        process = subprocess.Popen(["ip", "netns", "exec", ns, *cmd], start_new_session=True,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.at_close(lambda: _stop_group(process))
        return process

    def at_close(self, action):
        self._at_close.append(action)

    def close(self):
        while self._at_close:
            self._at_close.pop()()
        for ns in self.nodes:
            ip("netns", "del", ns, check=False)
        if self in _open_paths:
            _open_paths.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _stop_group(process):
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    process.wait()
    deadline = time.monotonic() + 2
    try:
        while time.monotonic() < deadline:  # its children may outlive it a moment
            os.killpg(process.pid, 0)
            time.sleep(0.01)
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


Run = collections.namedtuple("Run", "out err status seconds pid")


def run_tool(path, binary, *args, ns=None, prefix=(), timeout=60, during=None):
    """Runs the tool in a namespace (`ip netns exec` keeps the tool's pid);
    `during` is called with its pid while it runs."""
    started = time.monotonic()
    with subprocess.Popen(["ip", "netns", "exec", ns or path.client, *prefix, binary, *args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as tool:
        try:
            if during:
                during(tool.pid)
            out, err = tool.communicate(timeout=timeout)
        except BaseException:
            tool.kill()  # a hung tool fails its test instead of hanging the suite
            raise
    return Run(out, err, tool.returncode, time.monotonic() - started, tool.pid)


TARGET = "2001:db8:ff::2"  # routed to the peer, which swallows it
# Sent from the client after a run; the peer logs it after all that came before.
_SEND_SETTLE = ("import socket, sys\n"
                "s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)\n"
                "s.sendto(b'pmtu6-settle', (sys.argv[1], 9))\n")


class ScriptedPeer:
    """The peer at the far end of a one-link path, answering as `replies` say."""

    def __init__(self, path, replies, target=TARGET):
        self.path, self.target = path, target
        peer = path.host
        path.route(path.client, f"{target}/128", "via", link_address(1, 2))
        path.route(peer, "blackhole", f"{target}/128")
        path.sysctl(peer, "net.ipv6.ip_nonlocal_bind=1", "net.ipv6.conf.all.forwarding=1")
        self.log = tempfile.NamedTemporaryFile(prefix="pmtu6-peer-", suffix=".log")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "peer.py")
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", peer, sys.executable, script,
             "--dev", path.interfaces[(1, "right")], "--target", target,
             "--scenario", json.dumps(replies), "--log", self.log.name],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "ready":
            self.close()
            raise RuntimeError("scripted peer did not start")

    def probes(self):
        """The probes the peer saw, once it has seen all that the client sent."""
        self.path.exec(self.path.client, sys.executable, "-c", _SEND_SETTLE, self.target)
        deadline = time.monotonic() + 5
        while True:
            with open(self.log.name) as log:
                lines = [json.loads(line) for line in log]
            if {"settled": True} in lines:
                return lines[:lines.index({"settled": True})]
            if time.monotonic() > deadline:
                raise RuntimeError("scripted peer did not log the settle marker")
            time.sleep(0.01)

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _status_fields(pid):
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return {k: fields[k].split()
            for k in ("Uid", "Gid", "CapPrm", "CapEff", "Seccomp", "NoNewPrivs")}


def holds_raw_icmp_socket(pid):
    """Whether the process holds a raw IPv4 socket for ICMP."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        target = os.readlink(f"/proc/{pid}/fd/{fd}")
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    with open(f"/proc/{pid}/net/raw") as raw:
        rows = [line.split() for line in raw.readlines()[1:]]
    return any(row[1].endswith(":0001") and row[9] in inodes for row in rows)


def private_names(path, hosts, nameserver, timeout=1):
    """A hosts file in the client's namespace that only root may read, and a
    resolver that asks `nameserver`; removed with the path."""
    folder = f"/etc/netns/{path.client}"
    os.makedirs(folder)
    path.at_close(lambda: shutil.rmtree(folder, ignore_errors=True))
    with open(os.open(f"{folder}/hosts", os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write(hosts)
    with open(f"{folder}/resolv.conf", "w") as f:
        f.write(f"nameserver {nameserver}\noptions timeout:{timeout} attempts:1\n")


def check_unprivileged_run(test, binary, prefix, ids, confined=None):
    """The tool, started with `prefix`, finds a 1280 path. A name that only
    root may read resolves for root alone. While the tool waits for its name
    lookup, and later at a silent host, every user and group id is `ids` and
    no capability is left; at the silent host it is confined, unless it was
    built without confinement."""
    confined = CONFINED if confined is None else confined
    with Path([1500, 1280]) as path:
        line = f"1280 ({link_address(1, 2)} 1280, {path.host_address} reached)\n"
        run = run_tool(path, binary, path.host_address, prefix=prefix)
        test.assertEqual(run[:3], (line, "", 0))
        silent = "2001:db8:ff::53"  # a name server that never answers
        path.route(path.client, f"{silent}/128", "via", link_address(1, 2))
        path.route(path.router(1), "blackhole", f"{silent}/128")
        private_names(path, f"{path.host_address} secret\n", silent)
        run = run_tool(path, binary, "secret", prefix=prefix)
        test.assertEqual(run[:3], (line, "", 0) if ids == "0" else
                         ("", "Unknown host secret\n", 1))
        path.route(path.router(1), "blackhole", f"{path.host_address}/128")
        for waiting_for in ("unlisted", path.host_address):
            tool = subprocess.Popen(["ip", "netns", "exec", path.client, *prefix, binary,
                                     waiting_for], stdout=subprocess.DEVNULL)
            try:
                time.sleep(0.5)
                fields = _status_fields(tool.pid)
                # Opened with the privilege, before it was given up.
                test.assertTrue(holds_raw_icmp_socket(tool.pid), waiting_for)
            finally:
                tool.kill()
                tool.wait()
            test.assertEqual(fields["Uid"], [ids] * 4, waiting_for)
            test.assertEqual(fields["Gid"], [ids] * 4, waiting_for)
            test.assertEqual(fields["CapPrm"], ["0000000000000000"], waiting_for)
            test.assertEqual(fields["CapEff"], ["0000000000000000"], waiting_for)
        # Seccomp 2: a filter is installed; NoNewPrivs 1: no exec gains privilege.
        if confined:
            test.assertEqual((fields["Seccomp"], fields["NoNewPrivs"]), (["2"], ["1"]))


INNER = ("2001:db8:f0::1", "2001:db8:f0::2")  # a tunnel's inner ends, A' and B'
_TUNNEL_TYPES = {
    "vxlan": lambda local, remote, df: ["vxlan", "id", "42", "local", local, "remote", remote,
                                        "dstport", "4789", *df],
    "geneve": lambda local, remote, df: ["geneve", "id", "42", "remote", remote, *df],
    "gre": lambda local, remote, df: ["gre", "local", local, "remote", remote, "ttl", "64"],
    "ip6gre": lambda local, remote, df: ["ip6gre", "local", local, "remote", remote],
    "sit": lambda local, remote, df: ["sit", "local", local, "remote", remote, "ttl", "64"],
    # Peers in the forwarding table, as container overlays keep them: an
    # entry for the peer's address, or one for every address.
    "vxlan-fdb": lambda local, remote, df: ["vxlan", "id", "42", "local", local, "dstport", "4789",
                                            "nolearning", *df],
    "vxlan-flood": lambda local, remote, df: ["vxlan", "id", "42", "local", local,
                                              "dstport", "4789", "nolearning", *df],
}


def tunnel(path, kind, a, ipv4=False):
    """A tunnel device `tun0` of 1500 between node a (A) and node a + 2 (B),
    across the router between them, with the inner addresses INNER; over
    IPv4 underlay addresses when `ipv4`. A client behind A reaches B' and
    what lies behind B through it, and B the client's link; a host behind B
    reaches A' and B'."""
    na, nu, nb = path.nodes[a:a + 3]
    ends = ((na, link_address(a + 1, 1)), (nb, link_address(a + 2, 2)))
    df = []
    if ipv4:
        for ns, dev, address in ((na, (a + 1, "left"), "192.0.2.1"),
                                 (nu, (a + 1, "right"), "192.0.2.2"),
                                 (nu, (a + 2, "left"), "198.51.100.1"),
                                 (nb, (a + 2, "right"), "198.51.100.2")):
            path.exec(ns, "ip", "addr", "add", f"{address}/24", "dev", path.interfaces[dev])
        path.exec(na, "ip", "route", "add", "198.51.100.0/24", "via", "192.0.2.2")
        path.exec(nb, "ip", "route", "add", "192.0.2.0/24", "via", "198.51.100.1")
        path.sysctl(nu, "net.ipv4.ip_forward=1")
        ends, df = ((na, "192.0.2.1"), (nb, "198.51.100.2")), ["df", "set"]
    for (ns, local), (_, remote), inner in zip(ends, reversed(ends), INNER):
        path.exec(ns, "ip", "link", "add", "tun0", "type", *_TUNNEL_TYPES[kind](local, remote, df))
        path.exec(ns, "ip", "link", "set", "tun0", "mtu", "1500", "up")
        path.exec(ns, "ip", "-6", "addr", "add", f"{inner}/64", "dev", "tun0", "nodad")
    macs = [path.exec(ns, "cat", "/sys/class/net/tun0/address").stdout.strip() for ns in (na, nb)]
    for (ns, _), (_, remote), mac, inner in zip(ends, reversed(ends), reversed(macs),
                                                reversed(INNER)):
        if kind == "vxlan-fdb":
            path.exec(ns, "bridge", "fdb", "append", mac, "dev", "tun0", "dst", remote)
            path.exec(ns, "ip", "neigh", "replace", inner, "lladdr", mac, "dev", "tun0",
                      "nud", "permanent")
        elif kind == "vxlan-flood":
            path.exec(ns, "bridge", "fdb", "append", "00:00:00:00:00:00", "dev", "tun0",
                      "dst", remote)
    if a == 1:
        path.route(path.client, "2001:db8:f0::/64", "via", link_address(1, 2))
        path.route(nb, "2001:db8:1::/64", "via", INNER[0])
    for link in range(a + 3, len(path.mtus) + 1):
        path.route(na, f"2001:db8:{link:x}::/64", "via", INNER[1])
    if a + 3 < len(path.nodes):  # a host behind B
        path.route(path.nodes[a + 3], "2001:db8:f0::/64", "via", link_address(a + 3, 1))


_SYS_BPF = {"x86_64": 321, "aarch64": 280}


def _bpf(command, attr):
    libc = ctypes.CDLL(None, use_errno=True)
    buffer = ctypes.create_string_buffer(bytes(attr), 128)
    fd = libc.syscall(_SYS_BPF[platform.machine()], command, buffer, 128)
    if fd < 0:
        raise OSError(ctypes.get_errno(), f"bpf command {command}")
    return fd


def bound_to(path, device):
    """A prefix that runs the tool in a cgroup of its own whose program binds
    every inet socket to `device` as it is created: what `ip vrf exec` does."""
    ifindex = int(path.exec(path.client, "cat", f"/sys/class/net/{device}/ifindex").stdout)
    return _socket_setting(path, 0, ifindex)  # bpf_sock.bound_dev_if


def marked(path, mark):
    """A prefix that runs the tool in a cgroup whose program gives every inet
    socket `mark`, as a VPN client's cgroup may."""
    return _socket_setting(path, 16, mark)  # bpf_sock.mark


def _socket_setting(path, offset, value):
    """A prefix that runs the tool in a cgroup of its own, whose program sets
    the 32-bit field at `offset` of every inet socket as it is created. The
    cgroup goes with the path."""
    # *(u32 *)(ctx + offset) = value; return 1 (allow)
    code = struct.pack("<BBhiBBhiBBhiBBhi", 0xB7, 0x02, 0, value, 0x63, 0x21, offset, 0,
                       0xB7, 0x00, 0, 1, 0x95, 0, 0, 0)
    insns = ctypes.create_string_buffer(code, len(code))
    license = ctypes.create_string_buffer(b"GPL")
    cgroup_sock, inet_sock_create = 9, 2
    load = struct.pack("<IIQQ", cgroup_sock, 4, ctypes.addressof(insns),
                       ctypes.addressof(license)).ljust(68, b"\0") + struct.pack("<I",
                                                                                inet_sock_create)
    program = _bpf(5, load)
    # `ip netns exec` mounts a sysfs of its own over /sys: the cgroup is
    # reached through a mount of the hierarchy elsewhere.
    mount = tempfile.mkdtemp(prefix="pmtu6-cgroup-")
    path.at_close(lambda: os.rmdir(mount))
    subprocess.run(["mount", "-t", "cgroup2", "none", mount], check=True)
    path.at_close(lambda: subprocess.run(["umount", mount], check=True))
    folder = os.path.join(mount, f"{PREFIX}-{path.tag}")
    os.mkdir(folder)
    path.at_close(lambda: os.rmdir(folder))
    cgroup = os.open(folder, os.O_RDONLY)
    try:
        _bpf(8, struct.pack("<IIII", cgroup, program, inet_sock_create, 0))
    finally:
        os.close(cgroup)
        os.close(program)
    return ("sh", "-c", f'echo $$ > {folder}/cgroup.procs && exec "$0" "$@"')


def _close_all(*_):
    for path in list(_open_paths):
        path.close()


atexit.register(_close_all)
signal.signal(signal.SIGTERM, lambda *a: (_close_all(), os._exit(1)))
if os.geteuid() == 0:  # without root another run's namespaces are not ours to remove
    _remove_stale()
