"""End-to-end runs of pmtu6 across real IPv6 stacks in network namespaces."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import INNER, Path, link_address as at, needs_namespaces, run_tool  # noqa: E402

BINARY = None


def hop_limit_one(path):
    path.sysctl(path.client, f"net.ipv6.conf.{path.interfaces[(1, 'left')]}.hop_limit=1")


def host_route(kind):
    def setup(path):
        path.route(path.router(1), kind, f"{path.host_address}/128")
    return setup


def client_route(*route):
    """The client's route to the host's prefix, with `route` added to it."""
    def setup(path):
        prefix = path.host_address.rsplit("::", 1)[0] + "::/64"
        path.route(path.client, prefix, "via", at(1, 2), *route)
    return setup


def host_route_mtu(path):
    path.route(path.client, f"{path.host_address}/128", "via", at(1, 2), "mtu", "1400")


def ipv6_mtu_1400(path):
    path.sysctl(path.client, f"net.ipv6.conf.{path.interfaces[(1, 'left')]}.mtu=1400")


def advertised_1400(port_mtu):
    """Router 2 advertises an MTU of 1400 and its prefix to the client, across
    node 1 turned into a switch whose ports carry `port_mtu`; the client takes
    its address from the advertisement."""
    def setup(path):
        netlab.require_tools("radvd")
        switch, client_dev = path.router(1), path.interfaces[(1, "left")]
        path.exec(switch, "ip", "link", "add", "sw0", "type", "bridge", "mcast_snooping", "0")
        for port in (path.interfaces[(1, "right")], path.interfaces[(2, "left")]):
            path.exec(switch, "ip", "addr", "flush", "dev", port)
            path.exec(switch, "ip", "link", "set", port, "mtu", str(port_mtu), "master", "sw0")
        path.exec(switch, "ip", "link", "set", "sw0", "up")
        path.exec(path.client, "ip", "addr", "flush", "dev", client_dev, "scope", "global")
        path.exec(path.client, "ip", "-6", "route", "flush", "proto", "boot")
        files = tempfile.mkdtemp(prefix="pmtu6-radvd-")
        path.at_close(lambda: shutil.rmtree(files, ignore_errors=True))
        config = os.path.join(files, "radvd.conf")
        with open(config, "w") as f:
            f.write(f"interface {path.interfaces[(2, 'right')]} {{ AdvSendAdvert on;\n"
                    "  MinRtrAdvInterval 3; MaxRtrAdvInterval 4; AdvLinkMTU 1400;\n"
                    "  prefix 2001:db8:2::/64 { AdvOnLink on; AdvAutonomous on; };\n};\n")
        path.daemon(path.router(2), "radvd", "-n", "-C", config, "-p",
                    os.path.join(files, "radvd.pid"))
        deadline = time.monotonic() + 10
        while True:
            address = path.exec(path.client, "ip", "-6", "-o", "addr", "show", "dev", client_dev,
                                "scope", "global").stdout.split()
            routes = path.exec(path.client, "ip", "-6", "route", "show", "default").stdout
            if "inet6" in address and "proto ra" in routes:
                path.client_address = address[address.index("inet6") + 1].split("/")[0]
                return
            if time.monotonic() > deadline:
                raise RuntimeError("the client took no address from the advertisement")
            time.sleep(0.02)
    return setup


def bound_device(route_mtu=None):
    """The tool's sockets are bound to the client's first link, whose path is
    1500 then 1400; the main table reaches the host by a direct link of 1280."""
    def setup(path):
        path.add_link(9, path.client, path.host, 1280)
        path.wait_until_up()
        path.route(path.client, f"{path.host_address}/128", "via", at(9, 2))
        if route_mtu:
            client_route("mtu", route_mtu)(path)
        return netlab.bound_to(path, path.interfaces[(1, "left")]), None
    return setup


def udp_rule(*selector):
    """A policy rule sends UDP (`selector`) to a table whose route has an MTU."""
    def setup(path):
        path.exec(path.client, "ip", "-6", "rule", "add", *selector, "table", "30")
        path.route(path.client, f"{path.host_address}/128", "via", at(1, 2), "mtu", "1300",
                   "table", "30")
    return setup


def marked(path):
    """The tool's sockets carry a mark that a rule sends to a table whose
    route has an MTU."""
    udp_rule("fwmark", "42")(path)
    return netlab.marked(path, 42), None


def multipath(path):
    """Two next hops, through two interfaces whose IPv6 MTU is 1400."""
    path.add_link(9, path.client, path.router(1), 1500)
    path.wait_until_up()
    path.route(path.client, "2001:db8:2::/64", "src", at(1, 1),
               "nexthop", "via", at(1, 2), "nexthop", "via", at(9, 2))
    for link in (1, 9):
        path.sysctl(path.client, f"net.ipv6.conf.{path.interfaces[(link, 'left')]}.mtu=1400")


# Answers every query after a second: AAAA with the address in argv[2],
# anything else with no record.
_SLOW_NAME_SERVER = """import socket, struct, sys, time
server = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
server.bind((sys.argv[1], 53))
answer = socket.inet_pton(socket.AF_INET6, sys.argv[2])
while True:
    query, client = server.recvfrom(512)
    time.sleep(1)
    end = 12
    while query[end]:
        end += query[end] + 1
    end += 5
    aaaa = query[end - 4:end - 2] == b"\\0\\x1c"
    record = b"\\xc0\\x0c" + struct.pack("!HHIH", 28, 1, 60, 16) + answer if aaaa else b""
    server.sendto(query[:2] + struct.pack("!HHHHH", 0x8180, 1, int(aaaa), 0, 0)
                  + query[12:end] + record, client)
"""


def slow_lookup_in_a_flood(path):
    """The host's name comes from a name server on router 1 that takes a
    second, while router 1 floods the client with echo requests."""
    netlab.require_tools("ping")
    netlab.private_names(path, "", at(1, 2), timeout=3)
    path.daemon(path.router(1), sys.executable, "-c", _SLOW_NAME_SERVER, at(1, 2),
                path.host_address)
    while not path.exec(path.router(1), "ss", "-Hlun", "sport = :53").stdout:
        time.sleep(0.01)
    path.daemon(path.router(1), "ping", "-6", "-f", "-q", "-s", "1000", at(1, 1))
    return (), "slow.example", nothing_queued


def nothing_queued(pid):
    """While the lookup waits, the listener (the namespace's only raw socket)
    has nothing queued and has dropped nothing."""
    time.sleep(0.5)
    with open(f"/proc/{pid}/net/raw6") as f:
        rows = [line.split() for line in f][1:]
    if [(row[4].split(":")[1], row[-1]) for row in rows] != [("00000000", "0")]:
        raise AssertionError(f"queued during the lookup: {rows}")


def rate_limited(path):
    path.sysctl(path.router(1), "net.ipv6.icmp.ratelimit=1000")


# name, link MTUs, setup (which may return a prefix for the tool, a name for
# the host and a check to make while the tool runs), expected line ({h} is
# the host, {c} the client's address); the tool's target is the host.
# Router n's address towards the client is at(n, 2).
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
    # This host's own settings allow less than its device: a larger probe is
    # refused as for a narrow link.
    ("route mtu", [1500, 1500], client_route("mtu", "1400"),
     "1400 ({c} 1400, {h} reached)\n"),
    ("locked route mtu", [1500, 1500], client_route("mtu", "lock", "1400"),
     "1400 ({c} 1400, {h} reached)\n"),
    ("host route mtu", [1500, 1500], host_route_mtu, "1400 ({c} 1400, {h} reached)\n"),
    ("interface ipv6 mtu", [1500, 1500], ipv6_mtu_1400, "1400 ({c} 1400, {h} reached)\n"),
    ("advertised mtu", [1500, 1500, 1500], advertised_1400(1500),
     "1400 ({c} 1400, {h} reached)\n"),
    ("advertised mtu, the segment carries no more", [1500, 1500, 1500], advertised_1400(1400),
     "1400 ({c} 1400, {h} reached)\n"),
    ("route mtu, then a narrower router link", [1500, 1300], client_route("mtu", "1450"),
     f"1300 ({{c}} 1450, {at(1, 2)} 1300, {{h}} reached)\n"),
    # The route of the probes' own flow counts: their device, protocol and ports.
    ("bound device", [1500, 1400], bound_device(), f"1400 ({at(1, 2)} 1400, {{h}} reached)\n"),
    ("bound device whose route has an mtu", [1500, 1400], bound_device("1300"),
     "1300 ({c} 1300, {h} reached)\n"),
    ("rule for udp", [1500, 1500], udp_rule("ipproto", "udp"), "1300 ({c} 1300, {h} reached)\n"),
    # A range may not end at 65535: a pid whose low 15 bits are all set is
    # so rare that the row takes the risk.
    ("rule for the probes' port", [1500, 1500], udp_rule("dport", "32768-65534"),
     "1300 ({c} 1300, {h} reached)\n"),
    ("rule for the source port", [1500, 1500], udp_rule("sport", "1024-65534"),
     "1300 ({c} 1300, {h} reached)\n"),
    ("marked sockets", [1500, 1500], marked, "1300 ({c} 1300, {h} reached)\n"),
    ("multipath route", [1500, 1500], multipath, "1400 ({c} 1400, {h} reached)\n"),
    # The rerun comes within the router's limit; it still names the router.
    ("router limits its error rate", [1500, 1280], rate_limited,
     f"1280 ({at(1, 2)} 1280, {{h}} reached)\n"),
    # What arrives during the lookup is no reply and crowds none out: the
    # line comes right after it.
    ("slow lookup in a flood", [1500, 1280], slow_lookup_in_a_flood,
     f"1280 ({at(1, 2)} 1280, {{h}} reached)\n"),
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


# A VXLAN endpoint hears its underlay's report about the encapsulated probe,
# ICMPv6 or ICMP: a first run finds the inner limit at once. A routed client
# finds it in what the endpoint learned. A rerun knows it at once from
# the underlay's route to the peer. name, link MTUs, kind, node of the
# tunnel's end A, IPv4 underlay, most seconds of the first run, expected line
# (from the first node, towards B', or the host behind B).
TUNNELS = [
    ("VXLAN endpoint, IPv6 underlay", [9000, 1400], "vxlan", 0, False, 0.5,
     f"1330 ({INNER[0]} 1330, {INNER[1]} reached)\n"),
    ("VXLAN endpoint, IPv4 underlay", [9000, 1400], "vxlan", 0, True, 0.5,
     f"1350 ({INNER[0]} 1350, {INNER[1]} reached)\n"),
    ("routed through a VXLAN endpoint", [1500, 9000, 1400], "vxlan", 1, False, 4.6,
     f"1330 ({at(1, 2)} 1330, {INNER[1]} reached)\n"),
    # What the peer's narrower link taught the system is no limit of A's own.
    ("VXLAN endpoint, the peer's link beyond narrower", [9000, 1400, 1280], "vxlan", 0, False,
     0.5, f"1280 ({INNER[0]} 1330, {INNER[1]} 1280, {{h}} reached)\n"),
    # Peers in the forwarding table, as container overlays keep them.
    ("VXLAN endpoint, peer in the forwarding table", [9000, 1400], "vxlan-fdb", 0, True, 0.5,
     f"1350 ({INNER[0]} 1350, {INNER[1]} reached)\n"),
    ("VXLAN endpoint, one forwarding entry for all", [9000, 1400], "vxlan-flood", 0, True, 0.5,
     f"1350 ({INNER[0]} 1350, {INNER[1]} reached)\n"),
    ("VXLAN endpoint, forwarding table, IPv6 underlay", [9000, 1400], "vxlan-fdb", 0, False,
     0.5, f"1330 ({INNER[0]} 1330, {INNER[1]} reached)\n"),
]


class Paths(unittest.TestCase):
    @needs_namespaces
    def test_tunnel_endpoints(self):
        for name, mtus, kind, a, ipv4, first, expected in TUNNELS:
            with self.subTest(name), Path(mtus) as path:
                netlab.tunnel(path, kind, a, ipv4)
                target = INNER[1] if a + 3 == len(path.nodes) else path.host_address
                for most in (first, 1.5, 1.5):
                    run = run_tool(path, BINARY, target)
                    self.assertEqual(run[:3], (expected.format(h=path.host_address), "", 0))
                    self.assertLess(run.seconds, most)

    @needs_namespaces
    def test_paths(self):
        for name, mtus, setup, expected in PATHS:
            with self.subTest(name), Path(mtus) as path:
                prefix, host_name, *during = (setup(path) if setup else None) or ((), None)
                line = expected.format(h=path.host_address, c=path.client_address)
                for _ in range(2):  # the rerun too, with the system's cache filled
                    run = run_tool(path, BINARY, host_name or path.host_address, prefix=prefix,
                                   during=during[0] if during else None)
                    self.assertEqual(run[:3], (line, "", 0))
                    # Every row ends with an answer: no pass may wait out its
                    # time (a lookup may take a second of its own).
                    self.assertLess(run.seconds, 1.5 + (host_name is not None))

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
        # A later setup call that fails (a route MTU below 1280 cannot cap a
        # socket) must not lend the raw socket's message its error.
        for name, setup in [("plain path", None), ("route mtu 1000", client_route("mtu", "1000"))]:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp, \
                    Path([1500, 1500]) as path:
                if setup:
                    setup(path)
                os.chmod(tmp, 0o755)
                copy = shutil.copy(BINARY, os.path.join(tmp, "pmtu6"))
                run = run_tool(path, copy, path.host_address, prefix=netlab.AS_NOBODY)
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
