#!/usr/bin/env python3
"""Rewrites the marker segments of a JPEG stream before its scan.

  jpeg_segments.py merge IN OUT        one DQT with every table, one DHT with every table
  jpeg_segments.py split IN OUT        one DQT and one DHT segment per table
  jpeg_segments.py strip-app0 IN OUT   drop the APP0 segment
  jpeg_segments.py strip-adobe IN OUT  drop the Adobe APP14 segment
  jpeg_segments.py set-ids IN OUT ID,ID,...
      set the component identifiers (decimal, frame order) in SOF and every SOS
  jpeg_segments.py set-marker IN OUT FROM TO
      change the code of every segment FROM (hex, e.g. c0) to TO (e.g. c1)
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
    elif mode == "strip-adobe":
        out += b"".join(segment(c, b) for c, b in segs if not (c == 0xEE and b[:5] == b"Adobe"))
    return out + scan


def all_segments(data):
    """(code, body) for every segment, with the entropy-coded data after each
    SOS as code None; SOI and EOI are left out."""
    pos, out = 2, []
    while pos < len(data) - 1:
        code = data[pos + 1]
        if code == 0xD9:
            break
        length = data[pos + 2] << 8 | data[pos + 3]
        out.append((code, data[pos + 4:pos + 2 + length]))
        pos += 2 + length
        if code == 0xDA:
            end = pos
            while not (data[end] == 0xFF and data[end + 1] != 0 and not 0xD0 <= data[end + 1] <= 0xD7):
                end += 1
            out.append((None, data[pos:end]))
            pos = end
    return out


def rewrite_all(data, edit):
    """Applies edit(code, body) -> (code, body) to every segment, scans included."""
    out = b"\xff\xd8"
    for code, body in all_segments(data):
        if code is None:
            out += body
        else:
            code, body = edit(code, body)
            out += segment(code, bytes(body))
    return out + b"\xff\xd9"


def set_ids(data, ids):
    renamed = {}

    def edit(code, body):
        body = bytearray(body)
        if 0xC0 <= code <= 0xCF and code not in (0xC4, 0xC8, 0xCC):
            assert body[5] == len(ids), "component count differs"
            for i, new in enumerate(ids):
                renamed[body[6 + 3 * i]] = new
                body[6 + 3 * i] = new
        elif code == 0xDA:
            for i in range(body[0]):
                body[1 + 2 * i] = renamed[body[1 + 2 * i]]
        return code, body
    return rewrite_all(data, edit)


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
    elif mode == "set-ids":
        out = set_ids(data, [int(x) for x in sys.argv[4].split(",")])
    elif mode == "set-marker":
        old, new = int(sys.argv[4], 16), int(sys.argv[5], 16)
        out = rewrite_all(data, lambda code, body: (new if code == old else code, body))
    else:
        out = rewrite(data, mode)
    open(dst, "wb").write(out)


if __name__ == "__main__":
    main()
