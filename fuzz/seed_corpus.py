#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Seeds come from the examples, from the DBC and log texts of the tests, and from small hand-made
inputs in each target's input layout (see the comment at the top of each target). Files named
"crash-*" or "finding-*" (inputs that once found a fault) are kept; the other seeds are rewritten.

    python3 fuzz/seed_corpus.py
"""

import glob
import os
import re
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")


def reset(target):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if name.startswith("seed-"):
            os.remove(os.path.join(folder, name))
    return folder


def write(folder, name, data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# --- log reader: two bytes of buffering, then the log text -----------------------------------------

WHOLE = b"\x80\x00"
UNBUFFERED = b"\x00\x00"


def buffer_of(size):
    return bytes([size >> 8, size & 0xFF])


def log_header(time="20240229T235950", time_format="1", eol="\n", separator=";",
               columns="Timestamp;Type;ID;Length;Data", extra=""):
    lines = [
        ("Logger type", "VantorixB"), ("HW rev", "0001"), ("FW rev", "0104"), ("Logger ID", "1A2B3C4D"),
        ("Session No.", "12"), ("Split No.", "3"), ("Time", time), ("Value separator", '"%s"' % separator),
        ("Time format", time_format), ("Time separator", '":"'), ("Time separator ms", '"."'),
        ("Date separator", '"/"'), ("Time and date separator", '"T"'), ("Bit-rate", "500000"),
        ("Silent mode", "false"), ("Cyclic mode", "true"),
    ]
    text = "".join("# %s: %s%s" % (k, v, eol) for k, v in lines) + extra
    return text + columns + eol


def log_text(data_lines, eol="\n", **header):
    return log_header(eol=eol, **header) + "".join(line + eol for line in data_lines)


def log_reader_seeds():
    folder = reset("log_reader")
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "logs", "*", "*.txt"))):
        text = read(path)
        base = os.path.basename(path)[:-4]
        write(folder, "example-%s-whole" % base, WHOLE + text)
        write(folder, "example-%s-buffer64" % base, buffer_of(64) + text[:3000])
    frames = ["0;100;8;800C821909C40000", "1;CF00400;8;F1918F8098FFFFFF", "8;7E8;12;0102030405060708090A0B0C",
              "9;18DA00F1;3;ABC", "0;zz;0;"]
    per_format = {
        "0": ["55.250", "02.100", "56.000"],
        "1": ["55.250", "59.999", "02.100"],
        "2": ["59:58.000", "00:03.000", "00:03.500"],
        "3": ["23:59:59.000", "00:00:01.000", "00:00:01.010"],
        "4": ["29T23:59:59.000", "01T00:00:01.000", "02T06:00:00.000"],
        "5": ["02/29T23:59:59.000", "03/01T00:00:01.000", "03/01T00:00:01.250"],
    }
    for fmt, stamps in per_format.items():
        lines = ["%s;%s" % (stamp, frames[i % len(frames)]) for i, stamp in enumerate(stamps)]
        text = log_text(lines, time_format=fmt)
        write(folder, "format%s-whole" % fmt, WHOLE + text.encode())
        write(folder, "format%s-buffer7" % fmt, buffer_of(7) + text.encode())
        write(folder, "format%s-unbuffered" % fmt, UNBUFFERED + text.encode())
    crlf = log_text(["55.250;0;1;2;0102", "", "56.000;1;2;8;0A0B0"], eol="\r\n")
    write(folder, "crlf-buffer13", buffer_of(13) + crlf.encode())
    long_line = log_text(["55.250;0;123;8;" + "0102" * 60, "56.000;0;456;1;0A"])
    write(folder, "long-line-buffer200", buffer_of(200) + long_line.encode())
    lost = log_text(["55.250;0;1;0;4;0102", "56.000;3;7FF;1;2;0A0B"],
                    columns="Timestamp;Lost;Type;ID;Length;Data;Extra")
    write(folder, "lost-column-whole", WHOLE + lost.encode())
    reordered = log_text(["A1B2;zz;7FF;55.250;8", "0102;0;123;56.000;2"], separator=",",
                         columns="Data,Type,ID,Timestamp,Length")
    write(folder, "reordered-comma", buffer_of(31) + reordered.replace(";", ",").encode())
    full = log_text(["2024/02/29T23:59:55.250123456789;0;1;0;", ";0;1;0;"], time_format="5")
    write(folder, "full-timestamps", WHOLE + full.encode())


# --- DBC: whole files ------------------------------------------------------------------------------

RAW_STRING = re.compile(r'R"\((.*?)\)"', re.S)
STRING = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def unescape(literal):
    out, i = bytearray(), 0
    simple = {"n": 10, "t": 9, "r": 13, '"': 34, "\\": 92, "'": 39, "0": 0}
    while i < len(literal):
        c = literal[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
        elif literal[i + 1] == "x":
            j = i + 2
            while j < len(literal) and literal[j] in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(literal[i + 2:j], 16) & 0xFF)
            i = j
        else:
            out.append(simple.get(literal[i + 1], ord(literal[i + 1])))
            i += 2
    return bytes(out)


def joined_literals(source):
    """Texts of adjacent ordinary string literals (joined as the compiler joins them)."""
    texts, current, last_end = [], None, None
    for m in STRING.finditer(source):
        if current is not None and source[last_end:m.start()].strip() == "":
            current += unescape(m.group(1))
        else:
            if current is not None:
                texts.append(current)
            current = unescape(m.group(1))
        last_end = m.end()
    if current is not None:
        texts.append(current)
    return texts


def dbc_seeds():
    folder = reset("dbc")
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "dbc", "*.dbc"))):
        write(folder, "example-" + os.path.basename(path)[:-4], read(path))
    seen = set()
    sources = sorted(glob.glob(os.path.join(ROOT, "tests", "**", "*.cpp"), recursive=True) +
                     glob.glob(os.path.join(ROOT, "tests", "**", "*.h"), recursive=True))
    for path in sources:
        source = open(path, encoding="utf-8").read()
        texts = [t.encode("utf-8") for t in RAW_STRING.findall(source)] + joined_literals(source)
        for i, text in enumerate(texts):
            if not re.search(rb"\b(BO_|BA_DEF_|SG_MUL_VAL_|SIG_VALTYPE_|BA_)\b", text) or text in seen:
                continue
            seen.add(text)
            name = "test-%s-%d" % (os.path.basename(path).rsplit(".", 1)[0], i)
            write(folder, name, text)


# --- transport-protocol chain: frame items ---------------------------------------------------------

# Indexes into the identifier table of tp_chain_fuzz.cpp.
ISO_TP, CONTAINER, ENGINE, ISO_TP_EXT = 0, 1, 2, 3
BAM_CM, BAM_DT, RTS_CM, RTS_DT, CTS = 4, 5, 6, 7, 8
FAST_PACKET, J1939_CONTAINER = 9, 10


def frame(index, data, channel=1, bus=0, fd=0):
    meta = (channel - 1) | (bus << 2) | (fd << 5)
    data = bytes(data)
    if len(data) == 8:
        return bytes([index, meta, 0x00]) + data
    return bytes([index, meta, 0x80 | len(data)]) + data


def raw_frame(identifier, extended, data, channel=1):
    value = identifier | (0x80000000 if extended else 0)
    return bytes([31]) + struct.pack("<I", value) + frame(0, data, channel)[1:]


def pad(data):
    return bytes(data) + bytes([0xAA] * (8 - len(data)))


def iso_tp(index, payload, channel):
    out = b""
    if len(payload) <= 7:
        return frame(index, pad([len(payload)] + list(payload)), channel)
    out += frame(index, pad([0x10 | (len(payload) >> 8), len(payload) & 0xFF] + list(payload[:6])), channel)
    sequence, at = 1, 6
    while at < len(payload):
        out += frame(index, pad([0x20 | (sequence & 0xF)] + list(payload[at:at + 7])), channel)
        at += 7
        sequence += 1
    return out


def j1939(cm, dt, control, payload, channel):
    size = len(payload)
    packets = (size + 6) // 7
    out = frame(cm, [control, size & 0xFF, size >> 8, packets, 0xFF, 0xEB, 0xFE, 0x00], channel)
    for n in range(packets):
        out += frame(dt, pad([n + 1] + list(payload[n * 7:n * 7 + 7])), channel)
    return out


def fast_packet(payload, channel):
    out = frame(FAST_PACKET, pad([0x40, len(payload)] + list(payload[:6])), channel)
    counter, at = 1, 6
    while at < len(payload):
        out += frame(FAST_PACKET, pad([0x40 | counter] + list(payload[at:at + 7])), channel)
        at += 7
        counter += 1
    return out


def container(items):
    out = b""
    codes = {0: 0, 1: 1, 2: 2, 3: 3, 4: 4, 5: 5, 6: 6, 7: 7, 8: 8, 12: 9, 16: 10, 20: 11, 24: 12, 32: 13,
             48: 14, 64: 15}
    for index, identifier, data in items:
        # A standard data item: index (bits 7-5), DLC (bits 2-0 of byte 0 and bit 7 of byte 1), the
        # 11-bit identifier (bits 2-0 of byte 1 and byte 2), then the data.
        dlc = codes[len(data)]
        out += bytes([(index << 5) | (dlc >> 1), ((dlc & 1) << 7) | ((identifier >> 8) & 7),
                      identifier & 0xFF]) + bytes(data)
    return out


def tp_chain_seeds():
    folder = reset("tp_chain")
    counting = bytes(range(1, 200))
    write(folder, "iso-tp-single", iso_tp(ISO_TP, counting[:5], 1))
    write(folder, "iso-tp-multi", iso_tp(ISO_TP, counting[:20], 2))
    write(folder, "iso-tp-extended", iso_tp(ISO_TP_EXT, counting[:40], 2))
    write(folder, "iso-tp-long", iso_tp(ISO_TP, bytes(range(256)) * 2, 1))
    write(folder, "j1939-bam", j1939(BAM_CM, BAM_DT, 32, counting[:20], 1))
    write(folder, "j1939-rts", j1939(RTS_CM, RTS_DT, 16, counting[:20], 3) +
          frame(CTS, [17, 3, 1, 0xFF, 0xFF, 0xEB, 0xFE, 0x00], 3))
    write(folder, "fast-packet", fast_packet(counting[:18], 1))
    write(folder, "mux-container", iso_tp(CONTAINER, container(
        [(0, 0x100, counting[:8]), (1, 0x100, counting[:4]), (2, 0x7E8, [3, 1, 2, 3]), (3, 0x600, [0, 1])]), 1))
    write(folder, "mux-j1939", iso_tp(J1939_CONTAINER, container([(0, 0x100, counting[:8])]), 3))
    # A status item, then a container inside a container (an FD single frame of 12 bytes).
    inner = container([(2, 0x100, counting[:8])])
    write(folder, "mux-nested", iso_tp(CONTAINER, bytes([0x07, 0x00]) + container(
        [(0, 0x600, [0x00, len(inner)] + list(inner) + [0] * (16 - 2 - len(inner)))]), 1))
    write(folder, "split-files", iso_tp(ISO_TP, counting[:30], 1)[:30] + b"\xE1" +
          iso_tp(ISO_TP, counting[:30], 1)[30:] + b"\xE0" + j1939(BAM_CM, BAM_DT, 32, counting[:12], 1))
    write(folder, "raw-and-other-buses", raw_frame(0x7E8, False, pad([2, 9, 9]), 1) +
          frame(ENGINE, counting[:8], 2, bus=5) + frame(ENGINE, counting[:3], 2, bus=6) +
          frame(ISO_TP, counting[:64], 1, fd=1))


# --- CSV numbers: mode byte, then the bytes of the value ------------------------------------------

def fixed_format_seeds():
    folder = reset("fixed_format")
    values = [0.0, 1.0, 0.1, 0.5, 2.5e-7, 5e-7, 1706745590.1, 4294967295.9999995, 4294967296.0,
              123456.0000005, -0.0, float("inf"), float("nan"), 1e300, 5e-324, 2.0 ** -24, 2.0 ** 31]
    write(folder, "raw-bits", b"".join(b"\x00" + struct.pack("<d", v) for v in values))
    ties = b""
    for shift in range(0, 56, 5):
        ties += bytes([1, shift]) + struct.pack("<Q", 0x00FEDCBA98765432)[:7] + bytes([0])
        ties += bytes([1, shift]) + struct.pack("<Q", 0x0012345678ABCDEF)[:7] + bytes([0x18])
    write(folder, "ties", ties)
    binades = b"".join(bytes([2, e]) + struct.pack("<Q", 0x000F0F0F0F0F0F0F)[:7] for e in range(0, 80, 3))
    write(folder, "binades", binades + bytes([2, 0x80, 0x10, 0x04]) + b"\x55" * 7)
    dyadic = b"".join(bytes([3]) + struct.pack("<Q", 0x12345 + 2 * k)[:5] + bytes([k + 8, 0x08])
                      for k in range(0, 20))
    write(folder, "dyadic", dyadic)
    micros = b"".join(bytes([4]) + struct.pack("<Q", u)[:7] + bytes([0]) for u in
                      [100000, 1706745590100000, 4294967295999999, 500000, 1, 999999])
    write(folder, "micro-units", micros + bytes([0x84]) + struct.pack("<Q", 250000)[:7] + b"\x10")


# --- command line: NUL-separated arguments ---------------------------------------------------------

def command_line_seeds():
    folder = reset("command_line")
    lines = [
        ["d/x.txt"],
        ["--dbc-can1=can1-vehicle.dbc", "-O", "out/", "d/x.txt", "d/logs"],
        ["--dbc-can2=can1-vehicle.dbc", "--dbc-lin1=x.dbc", "--no-concat", "--pgn-src-merge", "d/"],
        ["-dX", "-b", "4096", "--verbosity=4", "--non-interactive", "d/logs/y.txt", "d/x.txt"],
        ["--help"], ["-v"], ["--verbosity"], ["--verbosity=9", "d"], ["-b", "x", "d"],
        ["--non-interactive=1", "--dbc-can", "--dbc", "--no", "--dbcx=1", "d\\x.txt"],
        ["--", "-d", "d//logs///", "./d/../d/x.txt"],
        ["-O", "missing/", "d/x.txt"], ["-O", "out/", "-O", "d/", "d/x.txt"],
        ["/tmp", "/", "//", "relative", "d/x.txt"],
        ["--dbdump", "--no-dbdump", "--pgn-dst-merge", "--no-pgn-dst-merge", "--concat", "d/x.txt"],
        ["-i", "--input-files=d", "--output-directory=out", "d/x.txt"],
    ]
    for i, words in enumerate(lines):
        write(folder, "args-%02d" % i, "\0".join(words))


if __name__ == "__main__":
    log_reader_seeds()
    dbc_seeds()
    tp_chain_seeds()
    fixed_format_seeds()
    command_line_seeds()
