#!/usr/bin/env python3
"""Writes a pcap file of ipconf and notifier traffic for checking the
dissector, from the messages in the fuzz seed corpus (tests/fuzz/corpus, built
by the project's own message builders). Nothing is sent or captured: the file
is written from bytes alone.

    python3 dist/wireshark/sample_pcap.py OUT.pcap
    tshark -r OUT.pcap -X lua_script:build/default/dist/wireshark/orvane.lua -V -Y orvane

Frames, in order: a LOOK, an INFO, a challenge request, a challenge, a CONF,
an OK and an ERR over UDP port 4445 (configurator 192.0.2.10, device
192.0.2.11, replies broadcast); malformed datagrams (a short one and every
regression seed of the fuzzers); the INFO again as a sleep-mode raw frame
(source 0.0.0.0 port 0, time to live 33); then a notifier TCP stream on port
4445: challenge request, challenge, login, ok, error, an event split over two
segments, and two events in one segment.
"""

import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = ROOT / "tests" / "fuzz" / "corpus"

CONFIGURATOR = (bytes([2, 0, 0, 0, 0, 0x10]), bytes([192, 0, 2, 10]))
DEVICE = (bytes([2, 0, 0, 0, 1, 1]), bytes([192, 0, 2, 11]))
BROADCAST_MAC = b"\xff" * 6
BROADCAST_IP = bytes([255, 255, 255, 255])
PORT = 4445


def seed(name):
    return (CORPUS / name).read_bytes()


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(source, destination, protocol, payload, ttl=64):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0, ttl, protocol, 0,
                         source, destination)
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def udp(source, destination, source_port, payload):
    length = 8 + len(payload)
    pseudo = source + destination + struct.pack("!BBH", 0, 17, length)
    header = struct.pack("!HHHH", source_port, PORT, length, 0)
    value = checksum(pseudo + header + payload) or 0xFFFF
    return struct.pack("!HHHH", source_port, PORT, length, value) + payload


def tcp(source, destination, source_port, destination_port, sequence, acknowledgement, payload):
    header = struct.pack("!HHIIBBHHH", source_port, destination_port, sequence, acknowledgement,
                         5 << 4, 0x18, 65535, 0, 0)  # PSH, ACK
    pseudo = source + destination + struct.pack("!BBH", 0, 6, len(header) + len(payload))
    value = checksum(pseudo + header + payload)
    return header[:16] + struct.pack("!H", value) + header[18:] + payload


def ethernet(source_mac, destination_mac, packet):
    return destination_mac + source_mac + b"\x08\x00" + packet


class Capture:
    def __init__(self):
        self.frames = []

    def add(self, frame):
        self.frames.append(frame)

    def write(self, path):
        with open(path, "wb") as out:
            out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))  # Ethernet
            for number, frame in enumerate(self.frames):
                out.write(struct.pack("<IIII", 1700000000 + number, 0, len(frame), len(frame)))
                out.write(frame)


def udp_frame(sender, message, source_port=PORT):
    mac, address = sender
    packet = ipv4(address, BROADCAST_IP, 17, udp(address, BROADCAST_IP, source_port, message))
    return ethernet(mac, BROADCAST_MAC, packet)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: sample_pcap.py OUT.pcap")
    capture = Capture()

    for sender, name in [
        (CONFIGURATOR, "ipconf/look/look"),
        (DEVICE, "ipconf/info/info_2_interfaces"),
        (CONFIGURATOR, "auth/challenge_request/request"),
        (DEVICE, "auth/challenge/challenge"),
        (CONFIGURATOR, "ipconf/conf/conf_2_interfaces"),
        (DEVICE, "ipconf/ok/ok"),
        (DEVICE, "ipconf/error/error"),
    ]:
        capture.add(udp_frame(sender, seed(name)))

    # Malformed datagrams: shorter than a header, and every input the fuzzers
    # ever failed on. The dissector must show them without a Lua error.
    capture.add(udp_frame(CONFIGURATOR, b"LOOKx"))
    for path in sorted(CORPUS.glob("*/*/regression-*")):
        capture.add(udp_frame(CONFIGURATOR, path.read_bytes()))

    # Sleep mode: the device builds the IPv4 and UDP headers itself.
    info = seed("ipconf/info/info_1_interfaces")
    raw = ipv4(bytes(4), BROADCAST_IP, 17, udp(bytes(4), BROADCAST_IP, 0, info), ttl=33)
    capture.add(ethernet(DEVICE[0], BROADCAST_MAC, raw))

    # Notifier: peer 192.0.2.10:50000 to device 192.0.2.11:4445.
    sequence = {"peer": 1000, "device": 5000}

    def segment(direction, payload):
        if direction == "peer":
            source, destination, ports = CONFIGURATOR, DEVICE, (50000, PORT)
        else:
            source, destination, ports = DEVICE, CONFIGURATOR, (PORT, 50000)
        other = "device" if direction == "peer" else "peer"
        body = tcp(source[1], destination[1], ports[0], ports[1], sequence[direction], sequence[other], payload)
        capture.add(ethernet(source[0], destination[0], ipv4(source[1], destination[1], 6, body)))
        sequence[direction] += len(payload)

    segment("peer", seed("auth/challenge_request/request_bare"))
    segment("device", seed("auth/challenge/challenge_bare"))
    segment("peer", seed("auth/login/login"))
    segment("device", seed("auth/login/ok"))
    segment("device", seed("auth/login/error"))
    event = seed("notif/event/event_user_0")
    segment("device", event[:13])
    segment("device", event[13:])
    segment("device", seed("notif/event/event_1") + seed("notif/event/event_2"))

    capture.write(sys.argv[1])


if __name__ == "__main__":
    main()
