#!/usr/bin/env python3
"""Rewrites the marker segments of a JPEG stream before its scan.

  jpeg_segments.py merge IN OUT        one DQT with every table, one DHT with every table
  jpeg_segments.py split IN OUT        one DQT and one DHT segment per table
  jpeg_segments.py strip-app0 IN OUT   drop the APP0 segment
  jpeg_segments.py set-byte IN OUT MARKER OFFSET VALUE
      set the byte at OFFSET (counted from the segment's length field) of the
      first segment with code MARKER (hex, e.g. c0) to VALUE (hex)
"""
import sys


def segments(data):
    """(code, body) for each segment up to SOS, and the rest from SOS on."""
    assert data[:2] == b"\xff\xd8", "no SOI"
    pos, out = 2, []
    while True:
        assert data[pos] == 0xFF, "marker expected at %d" % pos
        code = data[pos + 1]
        if code == 0xDA:
            return out, data[pos:]
        length = data[pos + 2] << 8 | data[pos + 3]
        out.append((code, data[pos + 4:pos + 2 + length]))
        pos += 2 + length


def tables(code, body):
    """The tables inside one DQT or DHT segment body."""
    pos, out = 0, []
    while pos < len(body):
        if code == 0xDB:
            size = 1 + (64 if body[pos] >> 4 == 0 else 128)
        else:
            size = 17 + sum(body[pos + 1:pos + 17])
        out.append(body[pos:pos + size])
        pos += size
    return out


def segment(code, body):
    return bytes([0xFF, code, (len(body) + 2) >> 8, (len(body) + 2) & 0xFF]) + body


def rewrite(data, mode):
    segs, scan = segments(data)
    out = b"\xff\xd8"
    if mode in ("merge", "split"):
        merged = {0xDB: [], 0xC4: []}
        for code, body in segs:
            if code in merged:
                merged[code] += tables(code, body)
        placed = set()
        for code, body in segs:
            if code not in merged:
                out += segment(code, body)
            elif code not in placed:
                placed.add(code)
                if mode == "merge":
                    out += segment(code, b"".join(merged[code]))
                else:
                    out += b"".join(segment(code, t) for t in merged[code])
    elif mode == "strip-app0":
        out += b"".join(segment(c, b) for c, b in segs if c != 0xE0)
    return out + scan


def main():
    mode, src, dst = sys.argv[1:4]
    data = open(src, "rb").read()
    if mode == "set-byte":
        marker, offset, value = int(sys.argv[4], 16), int(sys.argv[5]), int(sys.argv[6], 16)
        pos = 2
        while not (data[pos] == 0xFF and data[pos + 1] == marker):
            pos += 2 + (data[pos + 2] << 8 | data[pos + 3])
        patched = bytearray(data)
        patched[pos + 2 + offset] = value
        out = bytes(patched)
    else:
        out = rewrite(data, mode)
    open(dst, "wb").write(out)


if __name__ == "__main__":
    main()
