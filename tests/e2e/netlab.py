"""Network namespaces for end-to-end runs of pmtu6.

A path is a chain of namespaces joined by veth pairs: client, routers, host.
Link i (from 1) carries the prefix 2001:db8:i::/64, its left end ::1 and its
right end ::2, so the host is 2001:db8:N::2 on a path of N links. Every
namespace a path makes is removed when the path is closed, when the test
process exits, or, if it was killed, by the next run.
"""

import atexit
import os
import re
import signal
import subprocess
import time

PREFIX = "p6t"
_open_paths = []
_counter = 0


def must_run_privileged():
    return os.environ.get("CI") == "true"


def privileged():
    return os.geteuid() == 0 and subprocess.run(
        ["ip", "netns", "list"], capture_output=True).returncode == 0


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
            ip("netns", "del", m.group(1), check=False)


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
        self.interfaces = {}
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
        for i, mtu in enumerate(self.mtus, start=1):
            left, right = self.nodes[i - 1], self.nodes[i]
            a, b = f"v{tag}-{i}a"[-15:], f"v{tag}-{i}b"[-15:]
            ip("link", "add", a, "netns", left, "mtu", str(mtu),
               "type", "veth", "peer", "name", b, "netns", right, "mtu", str(mtu))
            for ns, dev, end in ((left, a, 1), (right, b, 2)):
                self.exec(ns, "ip", "-6", "addr", "add",
                          f"{link_address(i, end)}/64", "dev", dev, "nodad")
                self.exec(ns, "ip", "link", "set", dev, "up")
            self.interfaces[(i, "left")] = a
            self.interfaces[(i, "right")] = b
        self._wait_until_up()
        links = len(self.mtus)
        for k, ns in enumerate(self.nodes):
            if 0 < k < links and routers_forward:
                self.sysctl(ns, "net.ipv6.conf.all.forwarding=1")
            for j in range(1, links + 1):
                if j < k:      # reached through the left neighbour
                    self.route(ns, f"2001:db8:{j:x}::/64", "via", link_address(k, 1))
                elif j > k + 1:  # reached through the right neighbour
                    self.route(ns, f"2001:db8:{j:x}::/64", "via", link_address(k + 1, 2))

    def _wait_until_up(self):
        # The system takes up to a second to bring a new link into service and
        # drops what is sent before; a test must not measure that.
        deadline = time.monotonic() + 5
        for (link, side), dev in self.interfaces.items():
            ns = self.nodes[link - 1 if side == "left" else link]
            while "state UP" not in self.exec(ns, "ip", "link", "show", dev).stdout:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"{dev} in {ns} did not come up")
                time.sleep(0.02)

    def exec(self, ns, *cmd, check=True, **kw):
        return subprocess.run(["ip", "netns", "exec", ns, *cmd], check=check,
                              capture_output=True, text=True, **kw)

    def sysctl(self, ns, *settings):
        self.exec(ns, "sysctl", "-qw", *settings)

    def route(self, ns, *spec):
        # j == k for the node's own link is skipped above; replace tolerates
        # routes a test sets again with another type.
        self.exec(ns, "ip", "-6", "route", "replace", *spec)

    def router(self, n):
        """Namespace of router n (1 is next to the client)."""
        return self.nodes[n]

    def close(self):
        for ns in self.nodes:
            ip("netns", "del", ns, check=False)
        if self in _open_paths:
            _open_paths.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run_tool(path, binary, *args, ns=None, prefix=(), timeout=60):
    """Runs the tool in a namespace; returns (stdout, stderr, status, seconds)."""
    started = time.monotonic()
    done = subprocess.run(["ip", "netns", "exec", ns or path.client, *prefix, binary, *args],
                          capture_output=True, text=True, timeout=timeout)
    return done.stdout, done.stderr, done.returncode, time.monotonic() - started


def _close_all(*_):
    for path in list(_open_paths):
        path.close()


atexit.register(_close_all)
signal.signal(signal.SIGTERM, lambda *a: (_close_all(), os._exit(1)))
_remove_stale()
