#!/usr/bin/env python3
"""Writes the example logs in examples/logs/ (run from anywhere; the output is committed).

One logger session split over two files, crossing midnight UTC: plain CAN frames, a multiplexed
message, J1939 messages from two sources, a J1939 broadcast (BAM) whose last packet lands in the
second file, a J1939 RTS/CTS transfer, an NMEA 2000 fast-packet message, an ISO-TP response, and a
MUX container (over ISO-TP) carrying two frames for channel 2.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER = """# Logger type: VantorixB
# HW rev: 01.0
# FW rev: 01.07
# Logger ID: 1F3E2A
# Session No.: 3
# Split No.: {split}
# Time: {time}
# Value separator: ";"
# Time format: 4
# Time separator: ":"
# Time separator ms: "."
# Date separator: "/"
# Time and date separator: "T"
# Bit-rate: 500000
# Silent mode: true
# Cyclic mode: false
Timestamp;Type;ID;Length;Data
"""


def line(ms, ident, data, extended=False):
    """ms: milliseconds since 2024-01-31 00:00:00 UTC."""
    day, t = divmod(ms, 86400000)
    hour, t = divmod(t, 3600000)
    minute, t = divmod(t, 60000)
    second, milli = divmod(t, 1000)
    dd = 31 if day == 0 else day
    return (f"{dd:02d}T{hour:02d}:{minute:02d}:{second:02d}.{milli:03d};{1 if extended else 0};"
            f"{ident:X};{len(data)};{bytes(data).hex().upper()}")


def engine_data(i):
    rpm = 800 + 40 * i
    raw = struct.pack("<HBB", int(rpm / 0.25), 90 + 40 + i % 5, int((10 + i % 50) / 0.4))
    oil = int((250 + i) / 0.1)
    return list(raw) + [(oil >> 8) & 0xFF, oil & 0xFF, 0, 0]  # big-endian, most significant bit 39


def battery(i):
    return list(struct.pack("<HhBbBB", int((396.5 + 0.01 * i) / 0.01), int(-12.5 / 0.1) + i, 160 - i, 31, 0, 0))


def sensor(i):
    index = i % 3
    value = [int(21.5 / 0.01), int(45.0 / 0.01), int(1013.2 / 0.1)][index] + i
    return list(struct.pack("<BHxxxxB", index, value & 0xFFFF, 7))


def iso_tp(payload):
    """ISO-TP frames of one message: first frame and consecutive frames (single frame if short)."""
    if len(payload) <= 7:
        return [[len(payload)] + payload + [0xAA] * (7 - len(payload))]
    frames = [[0x10 | (len(payload) >> 8), len(payload) & 0xFF] + payload[:6]]
    rest, seq = payload[6:], 1
    while rest:
        chunk, rest = rest[:7], rest[7:]
        frames.append([0x20 | (seq & 0xF)] + chunk + [0xAA] * (7 - len(chunk)))
        seq += 1
    return frames


def j1939_packets(payload):
    out, seq = [], 1
    for k in range(0, len(payload), 7):
        chunk = payload[k:k + 7]
        out.append([seq] + chunk + [0xFF] * (7 - len(chunk)))
        seq += 1
    return out


def fast_packet(payload, sequence=2):
    frames = [[sequence << 5, len(payload)] + payload[:6]]
    rest, counter = payload[6:], 1
    while rest:
        chunk, rest = rest[:7], rest[7:]
        frames.append([(sequence << 5) | counter] + chunk + [0xFF] * (7 - len(chunk)))
        counter += 1
    return frames


def mux_item(ident, data):
    dlc = len(data)  # 8
    byte0 = 0x08 | ((dlc >> 1) & 0x7)  # index 0, standard, not remote
    byte1 = ((dlc & 1) << 7) | ((ident >> 8) & 0x7)
    return [byte0, byte1, ident & 0xFF] + data


def build():
    start = (23 * 3600 + 59 * 60 + 50) * 1000  # 2024-01-31 23:59:50 UTC
    frames = []  # (ms, ident, data, extended)
    for i in range(150):
        ms = start + i * 100
        frames.append((ms, 0x100, engine_data(i), False))
        if i % 5 == 0:
            frames.append((ms + 10, 0x200, battery(i), False))
            frames.append((ms + 20, 0x300, sensor(i // 5), False))
        if i % 2 == 0:
            eec1 = [0xF1, 125 + 20, 125 + 18, *struct.pack("<H", int((800 + 40 * i) / 0.125)), 0xFF, 0xFF, 0xFF]
            frames.append((ms + 30, 0x0CF00400, eec1, True))
        if i % 10 == 0:
            frames.append((ms + 40, 0x18FEF117, [0xFF, *struct.pack("<H", int((50 + i / 10) * 256)), 0x01, 0x10, 0xFF, 0xFF, 0xFF], True))
            frames.append((ms + 45, 0x0CF00401, [0xF3, 130, 131, *struct.pack("<H", 1200 * 8), 0xFF, 0xFF, 0xFF], True))

    # J1939 broadcast of DM1 (14 bytes) from source 0x00; its second packet is in the second file.
    dm1 = [0x54, 0xFF, 0x6E, 0x00, 0x00, 0x01, 0x64, 0x00, 0x08, 0x02, 0xFF, 0xFF, 0xFF, 0xFF]
    t = start + 9000
    frames.append((t, 0x18ECFF00, [0x20, 14, 0, 2, 0xFF, 0xCA, 0xFE, 0x00], True))
    p1, p2 = j1939_packets(dm1)
    frames.append((t + 50, 0x18EBFF00, p1, True))
    frames.append((start + 10300, 0x18EBFF00, p2, True))

    # RTS/CTS transfer of ComponentId (20 bytes) from 0x00 to 0xF9.
    comp = list(struct.pack("<HIIBBxxxxxxxx", 2023, 123456789, 987654, 3, 17))
    t = start + 4000
    frames.append((t, 0x18ECF900, [0x10, 20, 0, 3, 0xFF, 0xEB, 0xFE, 0x00], True))
    frames.append((t + 5, 0x18EC00F9, [0x11, 3, 1, 0xFF, 0xFF, 0xEB, 0xFE, 0x00], True))
    for k, p in enumerate(j1939_packets(comp)):
        frames.append((t + 10 + k, 0x18EBF900, p, True))
    frames.append((t + 20, 0x18EC00F9, [0x13, 20, 0, 3, 0xFF, 0xEB, 0xFE, 0x00], True))

    # NMEA 2000 fast packet: GnssPosition (18 bytes) from source 0x02.
    gnss = list(struct.pack("<BiiiBh", 7, int(48.1372 / 1e-7), int(11.5756 / 1e-7), int(519.3 / 0.01), 11, 87))
    for k, f in enumerate(fast_packet(gnss)):
        frames.append((start + 6000 + k, 0x0DF80502, f, True))

    # ISO-TP DiagResponse (20 bytes) on 0x7E8, with the tester's flow control on 0x7E0.
    diag = [0x62, 0xF1, 0x90] + list(struct.pack("<IIIf", int(123456.7 / 0.1), int(4321.5 / 0.05), 20240131, 23.5))[:17]
    diag = diag + [0x00]
    t = start + 7000
    isotp = iso_tp(diag)
    frames.append((t, 0x7E8, isotp[0], False))
    frames.append((t + 2, 0x7E0, [0x30, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA], False))
    for k, f in enumerate(isotp[1:]):
        frames.append((t + 5 + k, 0x7E8, f, False))

    # MUX container on 0x600 carrying EngineData and BatteryStatus for channel 2.
    container = mux_item(0x100, engine_data(99)) + mux_item(0x200, battery(99))
    for k, f in enumerate(iso_tp(container)):
        frames.append((start + 8000 + k, 0x600, f, False))

    frames.sort(key=lambda f: f[0])
    midnight = 24 * 3600 * 1000
    first = [f for f in frames if f[0] < start + 10200]
    second = [f for f in frames if f[0] >= start + 10200]
    out = os.path.join(HERE, "logs", "1F3E2A")
    os.makedirs(out, exist_ok=True)
    for split, part, time in ((1, first, "20240131T235950"), (2, second, "20240201T000000")):
        with open(os.path.join(out, f"{split:08d}.txt"), "w") as f:
            f.write(HEADER.format(split=split, time=time))
            for ms, ident, data, ext in part:
                f.write(line(ms, ident, data, ext) + "\n")
    assert all(f[0] < midnight + 10 * 60000 for f in frames)


if __name__ == "__main__":
    build()
