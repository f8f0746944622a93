#!/usr/bin/env python3
"""Writes benchmark inputs: a DBC of 40 messages and text logs of a given total size.

Usage: generate.py OUTDIR [MEGABYTES] [--loggers N] [--sessions N] [--split-mb MB]

The logs hold frames of the 40 messages in turn (every fifth one extended), timestamps advancing by
one millisecond. The total size is shared evenly by N loggers (BENCH01, BENCH02, ...) of N sessions
each; every session is cut into split files of about --split-mb megabytes (default 50). Files go to
OUTDIR/logs/<logger>/<session>/<split>.txt, the DBC to OUTDIR/can1-bench.dbc and the number of frames
to OUTDIR/frames. Small sizes (0.1 MB) make inputs for tests.
"""
import argparse
import os
import random

MESSAGES = 40
MB = 1024 * 1024


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
# Logger ID: {logger}
# Session No.: {session}
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


class Clock:
    """The frame counter and millisecond clock of one logger, running on across its sessions."""

    def __init__(self):
        self.frames = 0
        self.ms = 0

    def row(self, rng):
        m = self.frames % MESSAGES
        extended = m % 5 == 0
        ident = (0x18FF0000 + m) if extended else 0x100 + m
        data = "".join(f"{rng.randrange(256):02X}" for _ in range(8))
        day, t = divmod(self.ms, 86400000)
        hour, t = divmod(t, 3600000)
        minute, t = divmod(t, 60000)
        second, milli = divmod(t, 1000)
        self.frames += 1
        self.ms += 1
        return f"{day + 1:02d}T{hour:02d}:{minute:02d}:{second:02d}.{milli:03d};{1 if extended else 0};{ident:X};8;{data}\n"


def write_session(folder, logger, session, target, per_file, clock, rng):
    """Writes split files of one session until `target` bytes of rows are written; returns the frames."""
    os.makedirs(folder, exist_ok=True)
    first = clock.frames
    written = 0
    split = 1
    while written < target:
        size = 0
        with open(os.path.join(folder, f"{split:08d}.txt"), "w") as f:
            f.write(HEADER.format(logger=logger, session=session, split=split))
            rows = []
            while size < per_file and written + size < target:
                row = clock.row(rng)
                rows.append(row)
                size += len(row)
                if len(rows) == 10000:
                    f.write("".join(rows))
                    rows.clear()
            f.write("".join(rows))
        written += size
        split += 1
    return clock.frames - first


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir")
    parser.add_argument("megabytes", nargs="?", type=float, default=120)
    parser.add_argument("--loggers", type=int, default=1)
    parser.add_argument("--sessions", type=int, default=1, help="sessions per logger")
    parser.add_argument("--split-mb", type=float, default=50)
    args = parser.parse_args()
    if args.loggers < 1 or args.sessions < 1 or args.megabytes <= 0 or args.split_mb <= 0:
        parser.error("loggers, sessions, megabytes and split size must be positive")

    os.makedirs(args.outdir, exist_ok=True)
    write_dbc(os.path.join(args.outdir, "can1-bench.dbc"))
    rng = random.Random(7)
    per_session = args.megabytes * MB / (args.loggers * args.sessions)
    frames = 0
    for logger_index in range(1, args.loggers + 1):
        logger = f"BENCH{logger_index:02d}"
        clock = Clock()
        for session in range(1, args.sessions + 1):
            folder = os.path.join(args.outdir, "logs", logger, f"{session:08d}")
            frames += write_session(folder, logger, session, per_session, args.split_mb * MB, clock, rng)
            clock.ms += 60000  # a minute between sessions
    with open(os.path.join(args.outdir, "frames"), "w") as f:
        f.write(str(frames))


if __name__ == "__main__":
    main()
