#!/usr/bin/env python3
"""Writes benchmark inputs: a DBC of 40 messages and text logs of a given total size.

Usage: generate.py OUTDIR [MEGABYTES]

The logs hold frames of the 40 messages in turn (every fifth one extended), timestamps advancing by
one millisecond, split over files of about 50 MB each (one session, consecutive splits).
"""
import os
import random
import sys

MESSAGES = 40


def write_dbc(path):
    lines = ['VERSION ""', "", "NS_ :", "", "BS_:", "", "BU_: ECU", ""]
    for m in range(MESSAGES):
        ident = 0x100 + m if m % 5 else (0x80000000 | (0x18FF0000 + m))
        lines.append(f"BO_ {ident} Bench{m:02d}: 8 ECU")
        for s in range(8):
            if s % 3 == 2:
                # big-endian 8-bit signal in byte s
                lines.append(f' SG_ Sig{m:02d}_{s} : {s * 8 + 7}|8@0+ (0.5,0) [0|127.5] "" ECU')
            else:
                lines.append(f' SG_ Sig{m:02d}_{s} : {s * 8}|8@1- (1,-3) [-131|124] "" ECU')
        lines.append("")
    lines += ['BA_DEF_  "BusType" STRING ;', 'BA_DEF_DEF_ "BusType" "CAN";', 'BA_ "BusType" "CAN";', ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


HEADER = """# Logger type: VantorixB
# HW rev: 01.0
# FW rev: 01.07
# Logger ID: BENCH01
# Session No.: 1
# Split No.: {split}
# Time: 20240131T000000
# Value separator: ";"
# Time format: 4
# Time separator: ":"
# Time separator ms: "."
# Date separator: "/"
# Time and date separator: "T"
# Bit-rate: 500000
Timestamp;Type;ID;Length;Data
"""


def write_logs(folder, megabytes):
    rng = random.Random(7)
    os.makedirs(folder, exist_ok=True)
    target = megabytes * 1024 * 1024
    per_file = 50 * 1024 * 1024
    written = 0
    split = 1
    ms = 0
    frames = 0
    while written < target:
        path = os.path.join(folder, f"{split:08d}.txt")
        size = 0
        with open(path, "w") as f:
            f.write(HEADER.format(split=split))
            rows = []
            while size < per_file and written + size < target:
                m = frames % MESSAGES
                extended = m % 5 == 0
                ident = (0x18FF0000 + m) if extended else 0x100 + m
                data = "".join(f"{rng.randrange(256):02X}" for _ in range(8))
                t = ms
                day, t = divmod(t, 86400000)
                hour, t = divmod(t, 3600000)
                minute, t = divmod(t, 60000)
                second, milli = divmod(t, 1000)
                row = f"{day + 1:02d}T{hour:02d}:{minute:02d}:{second:02d}.{milli:03d};{1 if extended else 0};{ident:X};8;{data}\n"
                rows.append(row)
                size += len(row)
                frames += 1
                ms += 1
                if len(rows) == 10000:
                    f.write("".join(rows))
                    rows.clear()
            f.write("".join(rows))
        written += size
        split += 1
    return frames


def main():
    out = sys.argv[1]
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 120
    os.makedirs(out, exist_ok=True)
    write_dbc(os.path.join(out, "can1-bench.dbc"))
    frames = write_logs(os.path.join(out, "logs"), megabytes)
    with open(os.path.join(out, "frames"), "w") as f:
        f.write(str(frames))


if __name__ == "__main__":
    main()
