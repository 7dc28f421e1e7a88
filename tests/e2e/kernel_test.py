"""pmtu6 on paths that only Debian's full kernel builds: real VRFs, GRE,
GENEVE and IPsec. The table runs in one VM (vm.py) booted for all of it;
--inside runs it where the VM is.

Every expected line follows from the topology and the encapsulation's size:
on a 1400 underlay, GRE over IPv4 carries 1376 (20 + 4 bytes), sit 1380
(20), VXLAN and GENEVE over IPv4 1350 (50), ip6gre 1348
(40 + 4 + 8 of encapsulation limit), GENEVE over IPv6 1330 (70), ESP tunnel
mode with AES-GCM 1326 (40 + 8 + 8 of IV, 16 of ICV, trailer padded to 4).
ESP transport mode on a 1500 link carries 1466 with AES-GCM and 1446 with
AES-CBC and SHA-256 (IV 16, padded to 16), and 1366 or 1350 on a 1400 link.
"""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
import vm  # noqa: E402
from netlab import INNER, Path, link_address as at, needs_namespaces, run_tool  # noqa: E402

BINARY = None
GCM = ("aead", "rfc4106(gcm(aes))", "0x" + "11" * 20, "128")
CBC = ("enc", "cbc(aes)", "0x" + "22" * 16, "auth-trunc", "hmac(sha256)", "0x" + "33" * 32, "128")


def vrf(route_mtu=None):
    """The client's first link, whose path is 1500 then 1400, is enslaved to
    a VRF and the tool runs in it; the main table reaches the host by a direct
    link of 1280."""
    def setup(path):
        path.add_link(9, path.client, path.host, 1280)
        path.wait_until_up()
        path.route(path.client, f"{path.host_address}/128", "via", at(9, 2))
        path.exec(path.client, "ip", "link", "add", "vrf0", "type", "vrf", "table", "10")
        path.exec(path.client, "ip", "link", "set", "vrf0", "up")
        dev = path.interfaces[(1, "left")]
        path.exec(path.client, "ip", "link", "set", dev, "master", "vrf0")
        # Enslaving takes the device down, and its global address with it.
        path.exec(path.client, "ip", "-6", "addr", "add", f"{at(1, 1)}/64", "dev", dev, "nodad")
        path.route(path.client, "2001:db8:2::/64", "via", at(1, 2), "table", "10",
                   *(("mtu", route_mtu) if route_mtu else ()))
        return ("ip", "vrf", "exec", "vrf0"), path.host_address
    return setup


def tunnel(kind, a, ipv4=None):
    def setup(path):
        netlab.tunnel(path, kind, a, ipv4=kind in ("gre", "sit") if ipv4 is None else ipv4)
        return (), INNER[1] if a == len(path.nodes) - 3 else path.host_address
    return setup


def states(path, nodes, ends, mode, algorithm, extra=()):
    """ESP states both ways between the addresses `ends`, on `nodes`."""
    for ns in nodes:
        for (src, dst), spi in ((ends, "0x100"), (ends[::-1], "0x200")):
            path.exec(ns, "ip", "xfrm", "state", "add", "src", src, "dst", dst, "proto", "esp",
                      "spi", spi, "reqid", "1", "mode", mode, *algorithm, *extra)


def policy(path, ns, direction, src, dst, tmpl, mode, extra=()):
    path.exec(ns, "ip", "xfrm", "policy", "add", "src", src, "dst", dst, *extra,
              "dir", direction, "tmpl", "src", tmpl[0], "dst", tmpl[1], "proto", "esp",
              "reqid", "1", "mode", mode)


def esp_tunnel(path):
    """Policies between gateways A and B (the ends of the 9000 and the 1400
    link) carry the client's link to the host's link in ESP tunnel mode."""
    a = path.mtus.index(9000)
    ends = (at(a + 1, 1), at(a + 2, 2))
    ga, gb = path.nodes[a], path.nodes[a + 2]
    left, right = "2001:db8:1::/64", path.host_address.rsplit("::", 1)[0] + "::/64"
    states(path, (ga, gb), ends, "tunnel", GCM)
    for direction in ("in", "fwd"):
        policy(path, ga, direction, right, left, ends[::-1], "tunnel")
        policy(path, gb, direction, left, right, ends, "tunnel")
    policy(path, ga, "out", left, right, ends, "tunnel")
    policy(path, gb, "out", right, left, ends[::-1], "tunnel")
    return (), path.host_address


def xfrm_interface(path):
    """The client (A) reaches the host's link through an xfrm interface whose
    states and policies carry its own address A' to gateway B."""
    ends = (at(1, 1), at(2, 2))
    ga, gb = path.client, path.nodes[2]
    right = path.host_address.rsplit("::", 1)[0] + "::/64"
    path.exec(ga, "ip", "link", "add", "xfrm1", "type", "xfrm", "dev",
              path.interfaces[(1, "left")], "if_id", "7")
    path.exec(ga, "ip", "link", "set", "xfrm1", "mtu", "1500", "up")
    path.exec(ga, "ip", "-6", "addr", "add", f"{INNER[0]}/128", "dev", "xfrm1", "nodad")
    path.route(ga, right, "dev", "xfrm1")
    states(path, (ga,), ends, "tunnel", GCM, ("if_id", "7"))
    states(path, (gb,), ends, "tunnel", GCM)
    policy(path, ga, "out", "::/0", "::/0", ends, "tunnel", ("if_id", "7"))
    policy(path, ga, "in", "::/0", "::/0", ends[::-1], "tunnel", ("if_id", "7"))
    for direction in ("in", "fwd"):
        policy(path, gb, direction, f"{INNER[0]}/128", right, ends, "tunnel")
    policy(path, gb, "out", right, f"{INNER[0]}/128", ends[::-1], "tunnel")
    path.route(gb, f"{INNER[0]}/128", "via", at(2, 1))
    path.route(path.host, f"{INNER[0]}/128", "via", at(3, 1))
    return (), path.host_address


def esp_transport(algorithm, *selector):
    """ESP transport mode between the client and the host only."""
    def setup(path):
        c, h = path.client_address, path.host_address
        states(path, (path.client, path.host), (c, h), "transport", algorithm)
        for ns, out, back in ((path.client, (c, h), (h, c)), (path.host, (h, c), (c, h))):
            policy(path, ns, "out", *out, out, "transport", selector)
            policy(path, ns, "in", *back, back, "transport", selector)
        return (), h
    return setup


def l2tp(encapsulation):
    """An L2TPv3 Ethernet pseudowire between the client (A) and node 2 (B),
    over the 9000 and the 1400 link, at its default MTU (1500 over a 9000
    link)."""
    def setup(path):
        ends = ((path.client, at(1, 1)), (path.nodes[2], at(2, 2)))
        for (ns, local), (_, remote), inner in zip(ends, reversed(ends), INNER):
            path.exec(ns, "modprobe", "-q", "l2tp_eth", "l2tp_ip6", check=False)
            ports = ("udp_sport", "5000", "udp_dport", "5000") if encapsulation == "udp" else ()
            path.exec(ns, "ip", "l2tp", "add", "tunnel", "tunnel_id", "1", "peer_tunnel_id", "1",
                      "encap", encapsulation, "local", local, "remote", remote, *ports)
            path.exec(ns, "ip", "l2tp", "add", "session", "name", "pw0", "tunnel_id", "1",
                      "session_id", "1", "peer_session_id", "1")
            path.exec(ns, "ip", "link", "set", "pw0", "up")
            path.exec(ns, "ip", "-6", "addr", "add", f"{inner}/64", "dev", "pw0", "nodad")
        return (), INNER[1]
    return setup


def srv6(mode):
    """The client's route to the host puts a segment routing header on its
    probes, inline or in an outer header, through node 2 (S) as a segment."""
    def setup(path):
        for (link, side), dev in path.interfaces.items():
            ns = path.links[link][0 if side == "left" else 1]
            if ns in path.nodes[2:]:
                path.sysctl(ns, "net.ipv6.conf.all.seg6_enabled=1",
                            f"net.ipv6.conf.{dev}.seg6_enabled=1")
        path.route(path.client, f"{path.host_address}/128", "encap", "seg6", "mode", mode, "segs",
                   at(2, 2), "via", at(1, 2))
        return (), path.host_address
    return setup


def lines(first, rerun=None):
    return first, rerun or first


# name, link MTUs, setup (returns a prefix for the tool and its target),
# expected lines of the first run and of the rerun ({h} the host, {c} the
# client), most seconds each may take. A first run through a tunnel loses a
# probe while the kernel learns the underlay.
TABLE = [
    ("real VRF", [1500, 1400], vrf(),
     lines(f"1400 ({at(1, 2)} 1400, {{h}} reached)\n"), (1.5, 1.5)),
    ("real VRF whose route has an mtu", [1500, 1400], vrf("1300"),
     lines("1300 ({c} 1300, {h} reached)\n"), (1.5, 1.5)),
    ("routed through GRE over IPv4", [1500, 9000, 1400, 1500], tunnel("gre", 1),
     lines(f"1376 ({at(1, 2)} 1376, {{h}} reached)\n"), (3.5, 1.5)),
    # The underlay's ICMP about this host's own encapsulation reaches the
    # tool: at once on the first run too.
    ("on a GRE endpoint", [9000, 1400], tunnel("gre", 0),
     lines(f"1376 ({INNER[0]} 1376, {INNER[1]} reached)\n"), (1.0, 1.0)),
    ("on a sit endpoint", [9000, 1400], tunnel("sit", 0),
     lines(f"1380 ({INNER[0]} 1380, {INNER[1]} reached)\n"), (1.0, 1.0)),
    ("on a VXLAN endpoint over IPv4", [9000, 1400], tunnel("vxlan", 0, ipv4=True),
     lines(f"1350 ({INNER[0]} 1350, {INNER[1]} reached)\n"), (1.0, 1.0)),
    ("on a GENEVE endpoint over IPv4", [9000, 1400], tunnel("geneve", 0, ipv4=True),
     lines(f"1350 ({INNER[0]} 1350, {INNER[1]} reached)\n"), (1.0, 1.0)),
    ("routed through ip6gre", [1500, 9000, 1400, 1500], tunnel("ip6gre", 1),
     lines(f"1348 ({at(1, 2)} 1348, {{h}} reached)\n"), (3.5, 1.5)),
    # The underlay's report about this host's own encapsulation reaches the
    # tool: at once on the first run too.
    ("on an ip6gre endpoint", [9000, 1400], tunnel("ip6gre", 0),
     lines(f"1348 ({INNER[0]} 1348, {INNER[1]} reached)\n"), (1.0, 1.0)),
    ("on a GENEVE endpoint", [9000, 1400], tunnel("geneve", 0),
     lines(f"1330 ({INNER[0]} 1330, {INNER[1]} reached)\n"), (1.0, 1.0)),
    ("on an L2TPv3 endpoint over UDP", [9000, 1400], l2tp("udp"),
     lines(f"1326 ({INNER[0]} 1326, {INNER[1]} reached)\n"), (1.0, 1.0)),
    ("on an L2TPv3 endpoint over IP", [9000, 1400], l2tp("ip"),
     lines(f"1338 ({INNER[0]} 1338, {INNER[1]} reached)\n"), (1.0, 1.0)),
    # A routing header of two segments (40 bytes) inline, or an outer header
    # and one of a segment (64 bytes).
    ("SRv6 inline, the narrow link before the segment", [1500, 1400, 1500], srv6("inline"),
     lines("1360 ({c} 1460, {c} 1360, {h} reached)\n"), (1.0, 1.0)),
    # The segment's error names the host as the destination: the system
    # learns the limit for it, and a rerun's refusal names that at once.
    ("SRv6 inline, the narrow link after the segment", [1500, 1500, 1400], srv6("inline"),
     lines("1360 ({c} 1460, {c} 1360, {h} reached)\n", "1360 ({c} 1360, {h} reached)\n"),
     (1.0, 1.0)),
    ("SRv6 encapsulation, the narrow link before the segment", [1500, 1400, 1500],
     srv6("encap"), lines("1336 ({c} 1436, {c} 1336, {h} reached)\n"), (1.0, 1.0)),
    ("routed through ESP tunnel mode", [1500, 9000, 1400, 1500], esp_tunnel,
     lines(f"1326 ({at(1, 2)} 1326, {{h}} reached)\n"), (3.5, 1.5)),
    ("on an ESP tunnel gateway", [9000, 1400, 1500], esp_tunnel,
     lines("1326 ({c} 1326, {h} reached)\n"), (4.6, 1.5)),
    ("on an xfrm interface", [9000, 1400, 1500], xfrm_interface,
     lines(f"1326 ({INNER[0]} 1326, {{h}} reached)\n"), (3.5, 1.5)),
    # This host's own ESP: what it applies, then what it learns.
    ("ESP transport mode, AES-GCM", [1500, 1400], esp_transport(GCM),
     lines("1366 ({c} 1466, {c} 1366, {h} reached)\n", "1366 ({c} 1366, {h} reached)\n"),
     (4.6, 1.5)),
    ("ESP transport mode, AES-CBC", [1500, 1400], esp_transport(CBC),
     lines("1350 ({c} 1446, {c} 1350, {h} reached)\n", "1350 ({c} 1350, {h} reached)\n"),
     (4.6, 1.5)),
    ("ESP transport mode for UDP only", [1500, 1400], esp_transport(GCM, "proto", "udp"),
     lines("1366 ({c} 1466, {c} 1366, {h} reached)\n", "1366 ({c} 1366, {h} reached)\n"),
     (4.6, 1.5)),
]


class Inside(unittest.TestCase):
    """Runs where the full kernel is."""

    @needs_namespaces
    def test_table(self):
        for name, mtus, setup, expected, seconds in TABLE:
            with self.subTest(name), Path(mtus) as path:
                prefix, target = setup(path)
                for run_number, line, most in zip(("first", "rerun"), expected, seconds):
                    run = run_tool(path, BINARY, target, prefix=prefix)
                    line = line.format(h=path.host_address, c=path.client_address)
                    self.assertEqual(run[:3], (line, "", 0), run_number)
                    self.assertLess(run.seconds, most, run_number)


def full_kernel():
    """Skips without QEMU, busybox or the full kernel, saying which; under
    CI=true that fails."""
    _, missing = vm.kernel()
    if missing and netlab.must_run_privileged():
        raise AssertionError(missing)
    if missing:
        raise unittest.SkipTest(missing)


class FullKernel(unittest.TestCase):
    @needs_namespaces
    def test_table_in_a_vm(self):
        full_kernel()
        out, err, status = vm.run([sys.executable, os.path.abspath(__file__), "--binary", BINARY,
                                   "--inside", *netlab.rest_args], timeout=420)
        sys.stderr.write(out + err)
        self.assertEqual(status, 0, "the table failed in the VM")

    @needs_namespaces
    def test_interrupted_run_leaves_nothing(self):
        full_kernel()
        for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGKILL):
            with self.subTest(signal.Signals(stop).name):
                runner = subprocess.Popen([sys.executable, vm.__file__, "sleep", "300"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                folder = os.path.join(tempfile.gettempdir(), f"{vm.PREFIX}{runner.pid}-")
                qemu = None
                deadline = time.monotonic() + 120
                while qemu is None or not any(os.path.exists(os.path.join(f, "started"))
                                              for f in _folders(folder)):
                    self.assertLess(time.monotonic(), deadline, "the VM did not come up")
                    time.sleep(0.1)
                    qemu = qemu or _child(runner.pid, "qemu-system-x86_64")
                runner.send_signal(stop)
                runner.wait(timeout=30)
                deadline = time.monotonic() + 10
                while (os.path.exists(f"/proc/{qemu}") or _folders(folder)) and \
                        time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertFalse(os.path.exists(f"/proc/{qemu}"), "QEMU is still running")
                self.assertEqual(_folders(folder), [])


def _folders(prefix):
    parent = os.path.dirname(prefix)
    return [os.path.join(parent, f) for f in os.listdir(parent)
            if f.startswith(os.path.basename(prefix))]


def _child(pid, name):
    """The pid of a child of `pid` that runs `name`, or None."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = f.read().split()
    except OSError:
        return None
    for child in children:
        try:
            with open(f"/proc/{child}/comm") as f:
                if f.read().strip() == name[:15]:
                    return int(child)
        except OSError:
            pass
    return None


if __name__ == "__main__":
    BINARY = netlab.main_binary()
    inside = "--inside" in netlab.rest_args
    if inside:
        netlab.rest_args.remove("--inside")
    suite = "Inside" if inside else "FullKernel"
    unittest.main(argv=[sys.argv[0], *netlab.rest_args], defaultTest=suite, verbosity=2)
