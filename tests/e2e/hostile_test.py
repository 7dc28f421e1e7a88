"""pmtu6 against a scripted ICMPv6 peer: what no router sends on demand."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import TARGET as T, Path, ScriptedPeer, needs_namespaces, run_tool  # noqa: E402

BINARY = None
ME = "2001:db8:1::1"       # the client
R1 = "2001:db8:1::2"       # the peer, as a router next to the client
R2 = "2001:db8:e::7"       # a router further on
OTHER = "2001:db8:e::99"


def reply(probe, type, code=0, field=0, source=R1, **more):
    return dict(probe=probe, type=type, code=code, field=field, source=source, **more)


def ptb(probe, mtu, **more):
    return reply(probe, 2, 0, mtu, **more)


def reached(probe, source=T, **more):
    return reply(probe, 1, 4, source=source, **more)


def port_bytes(offset):
    return {str(offset): 0xEE, str(offset + 1): 0xEE}


def flood(probe, **more):
    """Port Unreachables quoting another program's port, 400 a second for 10 s."""
    return reached(probe, source=OTHER, set=port_bytes(48), repeat=4000, interval=0.0025, **more)


# name, replies, result line, IPv6 sizes of the probes the peer saw (None:
# not checked), (least, most) seconds (None: not checked)
SCENARIOS = [
    ("too big with fields 0, 2^31 and 2^32-2 each cost a pass",
     [ptb(1, 0), ptb(2, 2147483648), ptb(3, 4294967294)],
     "1500 \n", [1500] * 3, (0, 1)),
    ("too big with field 2^32-1 reads as reached",
     [ptb(1, 4294967295)], f"1500 ({R1} reached)\n", [1500], None),
    ("too big with a code other than 0",
     [reply(1, 2, 7, 1280), reached(2)], f"1280 ({R1} 1280, {T} reached)\n", [1500, 1280], None),
    ("too big below the IPv6 minimum is taken unchanged",
     [ptb(1, 1000), reached(2)], f"1000 ({R1} 1000, {T} reached)\n", [1500, 1000], None),
    ("too big above the probe leads back through the local refusal",
     [ptb(1, 9000), ptb(2, 1280), reached(3)],
     f"1280 ({R1} 9000, {ME} 1500, {R1} 1280, {T} reached)\n", [1500, 1500, 1280], None),
    ("quotes of other traffic are dropped, 52 bytes are examined",
     [reached(1, set=port_bytes(48)),              # another run's source port
      reached(1, set=port_bytes(50)),              # another run's destination port
      reached(1, set={"16": 0x20, "31": 0x77}),    # another source address
      reached(1, set={"14": 6}),                   # TCP, not UDP
      reached(1, quote=43),                        # 51 bytes
      ptb(2, 1280, quote=44),                      # 52 bytes
      reached(3, source=R2)],                      # not the host, still reached
     f"1280 ({R1} 1280, {R2} reached)\n", [1500, 1500, 1280], (2, 3)),
    ("parameter problem", [reply(1, 4, 1)], f"1500 ({R1} paramprob)\n", [1500], None),
    ("reassembly time exceeded", [reply(1, 3, 1)], f"1500 ({R1} reasm)\n", None, None),
    ("time exceeded code 2", [reply(1, 3, 2)], f"1500 ({R1} exceeded-unknown)\n", None, None),
    ("beyond scope", [reply(1, 1, 2)], f"1500 ({R1} unreach-notneighbor)\n", None, None),
    ("unreachable code 5", [reply(1, 1, 5)], f"1500 ({R1} unreach-unknown)\n", None, None),
    ("unreachable code 255", [reply(1, 1, 255)], f"1500 ({R1} unreach-unknown)\n", None, None),
    ("a late too big is taken in the next pass",
     [ptb(1, 1280, delay=2.5), reached(3)],
     f"1280 ({R1} 1280, {T} reached)\n", [1500, 1500, 1280], (2.4, 3.5)),
    ("two routers answer one probe",
     [ptb(1, 1400), ptb(1, 1280, source=R2, delay=0.05), reached(3)],
     f"1280 ({R1} 1400, {R2} 1280, {T} reached)\n", [1500, 1400, 1280], None),
    ("too big then silence: exactly two more probes",
     [ptb(1, 1280)], f"1280 ({R1} 1280)\n", [1500, 1280, 1280], (3.9, 5)),
    ("a flood does not hide a real reply",
     [flood(1), reached(2, delay=0.5)], f"1500 ({T} reached)\n", [1500, 1500], (2.4, 3.5)),
    ("a flood does not keep the tool waiting", [flood(1)], "1500 \n", [1500] * 3, (5.9, 7.5)),
    # Only the probe after two unanswered ones meets the learned MTU (1400):
    # the next router may report a larger size again.
    ("the learned check is for one probe",
     [ptb(3, 1400), ptb(4, 1450), reached(5)],
     f"1450 ({R1} 1400, {R1} 1450, {T} reached)\n", [1500, 1500, 1500, 1400, 1450], (3.9, 5)),
    ("the same too big forever ends at 32 entries",
     [ptb("*", 1400)], "1400 (" + ", ".join([f"{R1} 1400"] * 32) + ")\n",
     [1500] + [1400] * 31, None),
]


class ScriptedPeerScenarios(unittest.TestCase):
    @needs_namespaces
    def test_scenarios(self):
        for name, replies, line, sizes, seconds in SCENARIOS:
            with self.subTest(name), Path([1500]) as path, ScriptedPeer(path, replies) as peer:
                run = run_tool(path, BINARY, T)
                self.assertEqual(run[:3], (line, "", 0))
                probes = peer.probes()
                if sizes is not None:
                    self.assertEqual([p["size"] for p in probes], sizes)
                if seconds is not None:
                    self.assertTrue(seconds[0] <= run.seconds <= seconds[1], run.seconds)
                check_probes(self, probes, run.pid)


# Port Unreachables quoting another program's datagram from the client to the
# host (argv 1 and 2), sent as fast as they go.
_FULL_RATE = """import socket, struct, sys
client, host = (socket.inet_pton(socket.AF_INET6, a) for a in sys.argv[1:3])
quote = (struct.pack("!IHBB", 0x60000000, 8, 17, 64) + client + host
         + struct.pack("!HHHH", 9, 9, 8, 0))
flood = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
while True:
    try:
        flood.sendto(struct.pack("!BBHI", 1, 4, 0, 0) + quote, (sys.argv[1], 0))
    except OSError:
        pass
"""


# ICMP to the client (argv 3, IPv4) as a busy host of tunnels gets it:
# "fragmentation needed" about another program's datagram from the client
# to the host inside a VXLAN over IPv4, and other types, as fast as they go.
_ICMP_FLOOD = """import socket, struct, sys
client, host = (socket.inet_pton(socket.AF_INET6, a) for a in sys.argv[1:3])
inner = (struct.pack("!IHBB", 0x60000000, 8, 17, 64) + client + host
         + struct.pack("!HHHH", 9, 9, 8, 0))
outer = struct.pack("!BBHHHBBH", 0x45, 0, 20 + 8 + 8 + 14 + len(inner), 0, 0x4000, 64, 17, 0)
outer += socket.inet_aton(sys.argv[3]) + socket.inet_aton("198.51.100.2")
quote = outer + struct.pack("!HHHH", 40000, 4789, 0, 0) + bytes(8 + 14) + inner
def checksummed(message):
    total = sum(struct.unpack(f"!{len(message) // 2}H", message))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return message[:2] + struct.pack("!H", ~total & 0xFFFF) + message[4:]
flood = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
kinds = [checksummed(struct.pack("!BBHHH", t, c, 0, 0, mtu) + quote)
         for t, c, mtu in ((3, 4, 1400), (3, 4, 0), (3, 1, 0), (11, 0, 0), (0, 0, 0))]
while True:
    for message in kinds:
        try:
            flood.sendto(message, (sys.argv[3], 0))
        except OSError:
            pass
"""


class FullRateFlood(unittest.TestCase):
    @needs_namespaces
    def test_icmp_flood_does_not_wake_the_tool(self):
        """Router 1 floods the client with ICMP about other flows and of
        other types: the tool reads its two replies (a peek and a receive
        each), and nothing of the flood, from either listener."""
        netlab.require_tools("strace")
        with Path([1500, 1280]) as path, tempfile.NamedTemporaryFile() as trace:
            for ns, end in ((path.client, (1, "left")), (path.router(1), (1, "right"))):
                address = "192.0.2.1" if ns == path.client else "192.0.2.2"
                path.exec(ns, "ip", "addr", "add", f"{address}/24", "dev", path.interfaces[end])
            path.daemon(path.router(1), sys.executable, "-c", _ICMP_FLOOD, ME, path.host_address,
                        "192.0.2.1")
            deadline = time.monotonic() + 10
            while True:  # until the flood is under way
                snmp = path.exec(path.client, "cat", "/proc/net/snmp").stdout.splitlines()
                icmp = [line.split() for line in snmp if line.startswith("Icmp:")]
                if icmp[1][icmp[0].index("InDestUnreachs")] != "0":
                    break
                self.assertLess(time.monotonic(), deadline, "the flood did not arrive")
                time.sleep(0.01)
            run = run_tool(path, BINARY, path.host_address,
                           prefix=("env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-o",
                                   trace.name, "-e", "trace=recvfrom,setsockopt"))
            self.assertEqual(run[:3], (f"1280 ({R1} 1280, {path.host_address} reached)\n",
                                       "", 0))
            # What either listener gave once the kernel filters were in place.
            with open(trace.name) as f:
                calls = f.read().split("SO_ATTACH_FILTER")[-1].splitlines()
            reads = [line for line in calls if re.match(r"recvfrom\([0-9]+, .*\) = [0-9]+$", line)]
            self.assertEqual(len(reads), 4, "".join(reads))

    @needs_namespaces
    def test_slowed_tool_keeps_every_reply(self):
        """Router 1 floods the client with foreign errors while the tool runs
        slowed down under strace: none of its own replies is crowded out."""
        netlab.require_tools("strace")
        with Path([1500, 1400, 1280]) as path:
            path.daemon(path.router(1), sys.executable, "-c", _FULL_RATE, ME, path.host_address)
            counters = ["Icmp6InDestUnreachs", "0"]
            while counters[counters.index("Icmp6InDestUnreachs") + 1] == "0":
                time.sleep(0.01)  # until the flood is under way
                counters = path.exec(path.client, "cat", "/proc/net/snmp6").stdout.split()
            # A sanitized build's leak checker cannot run under ptrace.
            run = run_tool(path, BINARY, path.host_address,
                           prefix=("env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o",
                                   "/dev/null"))
            self.assertEqual(run[:3], (f"1280 ({R1} 1400, 2001:db8:2::2 1280, "
                                       f"{path.host_address} reached)\n", "", 0))


def check_probes(test, probes, pid):
    """Every probe: exactly its size, zero payload, this run's ports."""
    test.assertTrue(probes)
    for p in probes:
        test.assertEqual(p["udp_length"], p["size"] - 40)
        test.assertTrue(p["zero"])
        test.assertEqual(p["dport"], 32768 + (pid & 0x7FFF))
    test.assertEqual(len({p["sport"] for p in probes}), 1)


# States the tool may be started in. Closed standard descriptors must not let
# a socket take their place: whatever the tool writes then would be sent to
# the host. name, shell redirections, run as nobody (no raw socket: setup
# fails and says so), reader of standard output gone, exit status, IPv6 sizes
# of the datagrams the peer saw.
STARTS = [
    ("standard output closed", ">&-", False, False, 0, [1500]),
    ("standard error closed, setup fails", "2>&-", True, False, 1, []),
    ("all three closed", "<&- >&- 2>&-", False, False, 0, [1500]),
    ("reader of standard output gone", "", False, True, 0, [1500]),
]


class StartingStates(unittest.TestCase):
    @needs_namespaces
    def test_starting_states(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.chmod(tmp, 0o755)
            copy = shutil.copy(BINARY, os.path.join(tmp, "pmtu6"))
            for name, redirections, nobody, reader_gone, status, sizes in STARTS:
                # A Time Exceeded, unlike a Port Unreachable, leaves no error
                # pending on the probe socket that would fail a stray write.
                with self.subTest(name), Path([1500]) as path, \
                        ScriptedPeer(path, [reply("*", 3, 0)]) as peer:
                    prefix = netlab.AS_NOBODY if nobody else ()
                    # exec keeps the pid, which the probes' port is made of
                    command = ["ip", "netns", "exec", path.client, *prefix, "sh", "-c",
                               f'exec "$0" "$@" {redirections}', copy, T]
                    read_end, write_end = os.pipe()
                    if reader_gone:
                        os.close(read_end)
                    try:
                        tool = subprocess.Popen(command, stdout=write_end,
                                                stderr=subprocess.DEVNULL)
                    finally:
                        os.close(write_end)
                        if not reader_gone:
                            os.close(read_end)
                    self.assertEqual(tool.wait(timeout=30), status)
                    probes = peer.probes()
                    self.assertEqual([p["size"] for p in probes], sizes)
                    if probes:
                        check_probes(self, probes, tool.pid)


class Names(unittest.TestCase):
    @needs_namespaces
    def test_names_from_hosts_file(self):
        cases = [
            ("target6", (f"1500 ({T} reached)\n", "", 0)),
            ("target4", ("", "Unknown host target4\n", 1)),
            ("mapped", ("", "Unknown host mapped\n", 1)),
        ]
        with Path([1500]) as path, ScriptedPeer(path, [reached("*")]):
            hosts_dir = f"/etc/netns/{path.client}"
            os.makedirs(hosts_dir)
            try:
                with open(f"{hosts_dir}/hosts", "w") as hosts:
                    hosts.write(f"{T} target6\n192.0.2.1 target4\n::ffff:192.0.2.1 mapped\n")
                for name, expected in cases:
                    with self.subTest(name):
                        self.assertEqual(run_tool(path, BINARY, name)[:3], expected)
            finally:
                shutil.rmtree(hosts_dir)

    @needs_namespaces
    def test_link_local_with_zone(self):
        with Path([1500]) as path:
            path.exec(path.host, "ip", "-6", "addr", "add", "fe80::2/64",
                      "dev", path.interfaces[(1, "right")], "nodad")
            zone = path.interfaces[(1, "left")]
            run = run_tool(path, BINARY, f"fe80::2%{zone}")
            self.assertEqual(run[:3], ("1500 (fe80::2 reached)\n", "", 0))


if __name__ == "__main__":
    BINARY = netlab.main_binary()
    unittest.main(argv=[sys.argv[0], *netlab.rest_args], verbosity=2)
