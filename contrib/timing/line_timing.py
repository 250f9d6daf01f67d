#!/usr/bin/env python3
"""Draws a timing diagram of the panel's line from a zultrk capture (pcap,
DLT_USER0, one direction byte per record) as SVG: one lane for what the host
sent, one for what the panel sent, each record a box as long as its bytes
take on the line, named (request, reply, ACK, NAK, ENQ), with the gaps
between them in milliseconds.

    python3 contrib/timing/line_timing.py CAPTURE.pcap -o timing.svg [--baud 9600]
                                          [--from SECONDS] [--to SECONDS]

Times are seconds from the capture's first record. Standard library only.
"""
import argparse
import struct
import sys
from xml.sax.saxutils import escape

ENQ, ACK, NAK, DLE, STX = 0x05, 0x06, 0x15, 0x10, 0x02


def read_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        sys.exit(f"{path}: too short for a pcap file")
    magic = struct.unpack("<I", data[:4])[0]
    if magic in (0xA1B2C3D4, 0xA1B23C4D):
        order = "<"
    elif struct.unpack(">I", data[:4])[0] in (0xA1B2C3D4, 0xA1B23C4D):
        order = ">"
        magic = struct.unpack(">I", data[:4])[0]
    else:
        sys.exit(f"{path}: not a pcap file")
    scale = 1e9 if magic == 0xA1B23C4D else 1e6
    link = struct.unpack(order + "I", data[20:24])[0]
    if link != 147:
        sys.exit(f"{path}: link type {link}, not 147 (DLT_USER0)")
    records, at = [], 24
    while at + 16 <= len(data):
        sec, frac, caplen, _ = struct.unpack(order + "IIII", data[at:at + 16])
        at += 16
        body = data[at:at + caplen]
        at += caplen
        if len(body) >= 2 and body[0] in (0, 1):
            records.append((sec + frac / scale, body[0], body[1:]))
    return records


def unstuff(frame):
    """The payload of DLE STX ... DLE ETX, or None."""
    if len(frame) < 4 or frame[0] != DLE or frame[1] != STX:
        return None
    out, i = [], 2
    while i < len(frame) - 1:
        if frame[i] == DLE:
            if frame[i + 1] == DLE:
                out.append(DLE)
                i += 2
                continue
            return bytes(out) if frame[i + 1] == 0x03 else None
        out.append(frame[i])
        i += 1
    return None


def name(direction, body):
    """A short name for what a record carries."""
    names, i = [], 0
    while i < len(body):
        b = body[i]
        if b in (ENQ, ACK, NAK):
            names.append({ENQ: "ENQ", ACK: "ACK", NAK: "NAK"}[b])
            i += 1
            continue
        if b == DLE and i + 1 < len(body) and body[i + 1] == STX:
            payload = unstuff(body[i:]) or b""
            if direction == 0 and payload == b"\x31":
                names.append("wake frame")
            elif direction == 0 and payload == b"\xf0":
                names.append("version request")
            elif direction == 0 and len(payload) == 5 and payload[0] == 0x50:
                names.append("read %02X%02X%02X, %d B" % (payload[1], payload[2], payload[3], payload[4]))
            elif direction == 0 and len(payload) >= 5 and payload[0] == 0x60:
                names.append("write %02X%02X%02X, %d B" % (payload[1], payload[2], payload[3], payload[4]))
            elif len(payload) == 2 and payload[0] == 0x11:
                names.append("status %d" % payload[1])
            elif len(payload) == 1:
                names.append("identifier %02X" % payload[0])
            elif payload:
                names.append("reply, %d B" % (len(payload) - 1))
            else:
                names.append("frame")
            break  # one name a record is enough for a picture
        i += 1
    return " + ".join(names) if names else "bytes"


def draw(records, baud, start, end, out):
    if not records:
        sys.exit("no records in that time")
    t0 = records[0][0]
    events = []
    byte_time = 10.0 / baud if baud else 0.0
    for t, direction, body in records:
        rel = t - t0
        if rel < start or (end is not None and rel > end):
            continue
        # A paced line is captured a byte or a few at a time: records of one
        # side that follow each other at the line's pace are one event.
        if events and events[-1][1] == direction and byte_time and \
                rel - (events[-1][0] + events[-1][3]) <= 1.5 * byte_time:
            t_prev, d_prev, b_prev, _ = events[-1]
            merged = b_prev + body
            events[-1] = (t_prev, d_prev, merged, max(len(merged) * byte_time, rel + len(body) * byte_time - t_prev))
            continue
        events.append((rel, direction, body, len(body) * byte_time))
    if not events:
        sys.exit("no records in that time")
    first = events[0][0]
    last = max(e[0] + e[3] for e in events)
    span = max(last - first, 1e-3)
    width, left, right = 1400, 150, 40
    lane = {0: 90, 1: 190}
    scale = (width - left - right) / span

    def x(t):
        return left + (t - first) * scale

    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="300" font-family="sans-serif" font-size="11">',
        '<rect width="100%" height="100%" fill="white"/>',
        f'<text x="{left}" y="24" font-size="14">The panel\'s line: {len(events)} records over {span * 1000:.1f} ms'
        + (f", boxes as long as the bytes take at {baud} baud" if baud else "") + "</text>",
        f'<text x="10" y="{lane[0] + 16}">host to panel</text>',
        f'<text x="10" y="{lane[1] + 16}">panel to host</text>',
        f'<line x1="{left}" y1="250" x2="{width - right}" y2="250" stroke="black"/>',
    ]
    step = 0.001  # ticks of 1, 2 or 5 times a power of ten of ms, about ten of them
    while span / step > 12:
        step *= 2.5 if str(int(round(step * 1e6)))[0] == "2" else 2
    tick = 0.0
    while tick <= span + 1e-9:
        parts.append(f'<line x1="{x(first + tick):.1f}" y1="246" x2="{x(first + tick):.1f}" y2="254" stroke="black"/>')
        parts.append(f'<text x="{x(first + tick):.1f}" y="270" text-anchor="middle">{tick * 1000:.0f} ms</text>')
        tick += step
    colours = {0: "#4a7fc1", 1: "#d9822b"}
    previous_end = None
    shown = {0: 0, 1: 0}  # labels alternate above and below their lane
    for t, direction, body, length in events:
        y = lane[direction]
        w = max(length * scale, 3)
        label = name(direction, body)
        parts.append(f'<rect x="{x(t):.1f}" y="{y}" width="{w:.1f}" height="24" fill="{colours[direction]}" '
                     f'fill-opacity="0.75"><title>{escape(label)}: {len(body)} bytes at {(t - first) * 1000:.3f} ms'
                     f'</title></rect>')
        ly = y - 6 if shown[direction] % 2 == 0 else y + 38
        shown[direction] += 1
        parts.append(f'<text x="{x(t):.1f}" y="{ly}">{escape(label)}</text>')
        if previous_end is not None and t - previous_end > span / 60:
            gap = (t - previous_end) * 1000
            mid = (x(previous_end) + x(t)) / 2
            parts.append(f'<line x1="{x(previous_end):.1f}" y1="150" x2="{x(t):.1f}" y2="150" stroke="#888" '
                         f'stroke-dasharray="3,3"/>')
            parts.append(f'<text x="{mid:.1f}" y="146" text-anchor="middle" fill="#555">{gap:.1f} ms</text>')
        previous_end = t + length if previous_end is None else max(previous_end, t + length)
    parts.append("</svg>")
    out.write("\n".join(parts) + "\n")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("capture")
    p.add_argument("-o", "--output", help="the SVG file (default: stdout)")
    p.add_argument("--baud", type=int, default=9600, help="line speed for the boxes' length, 10 bits a byte "
                   "(0: points only); default 9600")
    p.add_argument("--from", dest="start", type=float, default=0.0, help="first second to draw")
    p.add_argument("--to", dest="end", type=float, default=None, help="last second to draw")
    a = p.parse_args()
    records = read_pcap(a.capture)
    if a.output:
        with open(a.output, "w") as out:
            draw(records, a.baud, a.start, a.end, out)
    else:
        draw(records, a.baud, a.start, a.end, sys.stdout)


if __name__ == "__main__":
    main()
