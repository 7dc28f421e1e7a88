"""A scripted ICMPv6 peer: sees each probe arrive and answers as a scenario says.

Run inside a namespace beside the client, where the probes' destination is
routed to a blackhole so that no kernel answers them. The scenario (JSON) is a
list of replies; each names the probe it answers ("probe": N counts from 1,
"*" answers every probe) and the message:

  type, code, field     ICMPv6 type, code and 32-bit field
  source                the message's source address (any: nonlocal bind)
  quote                 bytes of the probe to quote (default: what fits in 1280)
  set                   {"offset": byte} changes to the message before sending
  delay                 seconds after the probe arrived
  repeat, interval      how many copies, and the seconds between them

Every probe seen is written to the log as one JSON line, as it arrives; the
harness's marker datagram (port 9) is logged as {"settled": true} and not
answered. The peer stops when its standard input closes.
"""

import argparse
import heapq
import ipaddress
import json
import select
import socket
import struct
import sys
import time

ETH_P_IPV6 = 0x86DD
PACKET_OUTGOING = 4
MAX_QUOTE = 1280 - 40 - 8
# The harness's marker: once it is logged, so is everything sent before it.
SETTLE_PORT, SETTLE_PAYLOAD = 9, b"pmtu6-settle"


def build_message(reply, probe):
    quote = probe[:reply.get("quote", MAX_QUOTE)]
    message = bytearray(struct.pack("!BBHI", reply["type"], reply.get("code", 0), 0,
                                    reply.get("field", 0)) + quote)
    for offset, value in reply.get("set", {}).items():
        if int(offset) < len(message):
            message[int(offset)] = value
    return bytes(message)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dev", required=True)
    parser.add_argument("--target", required=True)
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--log", required=True)
    options = parser.parse_args()
    replies = json.loads(options.scenario)
    target = ipaddress.IPv6Address(options.target).packed

    tap = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IPV6))
    tap.bind((options.dev, ETH_P_IPV6))
    senders = {}
    for source in {r.get("source") for r in replies}:
        s = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
        s.bind((source, 0))
        senders[source] = s

    log = open(options.log, "w", buffering=1)
    print("ready", flush=True)
    seen = 0
    pending = []  # (when, order, source, message, destination)
    order = 0
    while True:
        timeout = max(0.0, pending[0][0] - time.monotonic()) if pending else None
        ready = select.select([tap, sys.stdin], [], [], timeout)[0]
        if sys.stdin in ready and not sys.stdin.buffer.read1(1):
            return  # the harness is gone: stop rather than linger in its namespace
        if tap in ready:
            packet, address = tap.recvfrom(70000)
            if (address[2] == PACKET_OUTGOING or len(packet) < 48 or packet[6] != 17
                    or packet[24:40] != target):
                continue
            now = time.monotonic()
            length, = struct.unpack("!H", packet[4:6])
            sport, dport, udp_length = struct.unpack("!HHH", packet[40:46])
            payload = packet[48:40 + length]
            if dport == SETTLE_PORT and payload == SETTLE_PAYLOAD:
                log.write(json.dumps({"settled": True}) + "\n")
                continue
            seen += 1
            log.write(json.dumps({"n": seen, "size": 40 + length, "sport": sport,
                                  "dport": dport, "udp_length": udp_length,
                                  "zero": payload == bytes(len(payload)),
                                  "t": now}) + "\n")
            client = str(ipaddress.IPv6Address(packet[8:24]))
            for reply in replies:
                if reply["probe"] not in ("*", seen):
                    continue
                message = build_message(reply, packet)
                for i in range(reply.get("repeat", 1)):
                    when = now + reply.get("delay", 0) + i * reply.get("interval", 0)
                    order += 1
                    heapq.heappush(pending, (when, order, reply["source"], message, client))
        while pending and pending[0][0] <= time.monotonic():
            _, _, source, message, client = heapq.heappop(pending)
            try:
                senders[source].sendto(message, (client, 0))
            except OSError:
                pass  # a flood may outrun the queue; a lost copy changes nothing


if __name__ == "__main__":
    main()
