"""End-to-end runs of pmtu6 across real IPv6 stacks in network namespaces."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import Path, link_address as at, needs_namespaces, run_tool  # noqa: E402

BINARY = None


def hop_limit_one(path):
    path.sysctl(path.client, f"net.ipv6.conf.{path.interfaces[(1, 'left')]}.hop_limit=1")


def host_route(kind):
    def setup(path):
        path.route(path.router(1), kind, f"{path.host_address}/128")
    return setup


# name, link MTUs, setup, expected line ({h} is the host); the tool's target
# is the host. Router n's address towards the client is at(n, 2).
PATHS = [
    ("one narrow link", [1500, 1280], None,
     f"1280 ({at(1, 2)} 1280, {{h}} reached)\n"),
    ("two narrowing links", [1500, 1400, 1280], None,
     f"1280 ({at(1, 2)} 1400, {at(2, 2)} 1280, {{h}} reached)\n"),
    ("wide path", [1500, 1500], None, "1500 ({h} reached)\n"),
    ("client's own link is narrow", [1400, 1500], None,
     f"1400 ({at(1, 1)} 1400, {{h}} reached)\n"),
    ("prohibit route", [1500, 1500], host_route("prohibit"),
     f"1500 ({at(1, 2)} unreach-admin)\n"),
    ("unreachable route", [1500, 1500], host_route("unreachable"),
     f"1500 ({at(1, 2)} unreach-noroute)\n"),
    ("hop limit 1", [1500, 1400], hop_limit_one,
     f"1500 ({at(1, 2)} hoplimit)\n"),
]


# Paths run three times in a row: once the system has cached the path MTU, a
# probe must be neither fragmented nor refused for it, and a probe refused at
# a narrow first link names that link's MTU, not the cached one.
RERUNS = [
    ("one narrow link", [1500, 1280],
     f"1280 ({at(1, 2)} 1280, {{h}} reached)\n"),
    ("narrow first link, narrower second", [1400, 1300],
     f"1300 ({at(1, 1)} 1400, {at(1, 2)} 1300, {{h}} reached)\n"),
    ("narrow first link, two narrower after it", [1400, 1300, 1280],
     f"1280 ({at(1, 1)} 1400, {at(1, 2)} 1300, {at(2, 2)} 1280, {{h}} reached)\n"),
    ("routers narrow in steps after the first link", [1450, 1500, 1420, 1500, 1300],
     f"1300 ({at(1, 1)} 1450, {at(2, 2)} 1420, {at(4, 2)} 1300, {{h}} reached)\n"),
]


class Paths(unittest.TestCase):
    @needs_namespaces
    def test_paths(self):
        for name, mtus, setup, expected in PATHS:
            with self.subTest(name), Path(mtus) as path:
                if setup:
                    setup(path)
                run = run_tool(path, BINARY, path.host_address)
                self.assertEqual(run[:3],
                                 (expected.format(h=path.host_address), "", 0))
                # Every row ends with an answer: no pass may wait out its time.
                self.assertLess(run.seconds, 1.5)

    @needs_namespaces
    def test_rerun_prints_the_same_line(self):
        for name, mtus, expected in RERUNS:
            with self.subTest(name), Path(mtus) as path:
                lines = [run_tool(path, BINARY, path.host_address)[0] for _ in range(3)]
                self.assertEqual(lines, [expected.format(h=path.host_address)] * 3)

    @needs_namespaces
    def test_widened_path_reports_its_new_size(self):
        with Path([1400, 1280]) as path:
            host = path.host_address
            first = run_tool(path, BINARY, host)
            self.assertEqual(first.out,
                             f"1280 ({at(1, 1)} 1400, {at(1, 2)} 1280, {host} reached)\n")
            for ns, side in ((path.router(1), "left"), (path.host, "right")):
                path.exec(ns, "ip", "link", "set", path.interfaces[(2, side)], "mtu", "1400")
            second = run_tool(path, BINARY, host)
            self.assertEqual(second.out, f"1400 ({at(1, 1)} 1400, {host} reached)\n")

    @needs_namespaces
    def test_loopback_reaches_itself(self):
        with Path([1500]) as path:
            self.assertEqual(run_tool(path, BINARY, "::1")[:3], ("1500 (::1 reached)\n", "", 0))

    @needs_namespaces
    def test_silent_path_gives_up_after_three_waits(self):
        with Path([1500, 1500]) as path:
            host_route("blackhole")(path)
            run = run_tool(path, BINARY, path.host_address)
            self.assertEqual(run[:3], ("1500 \n", "", 0))
            self.assertGreater(run.seconds, 5.9)
            self.assertLess(run.seconds, 7.5)

    @needs_namespaces
    def test_unprivileged_run_stops_at_the_raw_socket(self):
        with tempfile.TemporaryDirectory() as tmp, Path([1500]) as path:
            os.chmod(tmp, 0o755)
            copy = shutil.copy(BINARY, os.path.join(tmp, "pmtu6"))
            run = run_tool(path, copy, "::1", prefix=netlab.AS_NOBODY)
            self.assertEqual(run[:3], ("", "socket: Operation not permitted\n", 1))


class CommandLine(unittest.TestCase):
    def run_plain(self, *args):
        done = subprocess.run([BINARY, *args], capture_output=True, text=True, timeout=10)
        return done.stdout, done.stderr, done.returncode

    def test_messages(self):
        cases = [
            ((), ("", f"Usage: {BINARY} <host>\n", 1)),
            (("192.0.2.1",), ("", "Unknown host 192.0.2.1\n", 1)),
            (("192.0.2.1", "::1"), ("", "Unknown host 192.0.2.1\n", 1)),  # the first counts
            # IPv4-mapped: the probes would leave as IPv4, the answers as ICMPv4
            (("::ffff:127.0.0.1",), ("", "Unknown host ::ffff:127.0.0.1\n", 1)),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(self.run_plain(*args), expected)


if __name__ == "__main__":
    BINARY = netlab.main_binary()
    unittest.main(argv=[sys.argv[0], *netlab.rest_args], verbosity=2)
