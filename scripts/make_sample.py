#!/usr/bin/env python3
"""Makes viewer/sample.jpg, the picture the demo viewer stores and shows.

The word "Zentrafold" in DejaVu Sans Bold over a colour gradient, 250 x 40,
drawn with ImageMagick and encoded with cjpeg (luma 2x2, chroma 1x1, standard
Huffman tables). The stream is then rewritten into the viewer's exact shape:

    SOI, APP0 (JFIF 1.01, 96 x 96 dots per inch), DQT table 0, DQT table 1,
    SOF0, DHT DC 0, DHT AC 0, DHT DC 1, DHT AC 1, SOS, entropy-coded data, EOI

with one table per DQT and DHT segment and no other segments. Every step is
checked; the script fails loudly when the encoder's output has another shape.

Usage: scripts/make_sample.py [--quality Q] [--output viewer/sample.jpg]
Needs: imagemagick, libjpeg-turbo-progs, fonts-dejavu-core.
"""

import argparse
import pathlib
import struct
import subprocess
import sys
import tempfile

from jpeg_segments import segment, tables

WIDTH, HEIGHT = 250, 40
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


def render_ppm(path):
    subprocess.run(
        ["convert", "-size", f"{HEIGHT}x{WIDTH}", "gradient:#1e5799-#f0b030", "-rotate", "-90",
         "(", "-size", f"{WIDTH}x{HEIGHT}", "gradient:#ffffff00-#7d2ae880", ")",
         "-compose", "over", "-composite",
         "-font", FONT, "-pointsize", "28", "-gravity", "center",
         "-fill", "#10203080", "-annotate", "+2+2", "Zentrafold",
         "-fill", "white", "-annotate", "+0+0", "Zentrafold",
         "-depth", "8", f"ppm:{path}"],
        check=True)


def encode(ppm, quality):
    return subprocess.run(
        ["cjpeg", "-quality", str(quality), "-sample", "2x2,1x1,1x1", "-baseline", ppm],
        check=True, stdout=subprocess.PIPE).stdout


def segments(stream):
    """Splits a stream into (marker, payload) up to SOS; the rest is returned whole."""
    if stream[:2] != b"\xff\xd8":
        sys.exit("not a JPEG stream")
    pos, out = 2, []
    while True:
        if stream[pos] != 0xFF:
            sys.exit(f"marker expected at {pos}")
        marker = stream[pos + 1]
        length = struct.unpack(">H", stream[pos + 2:pos + 4])[0]
        payload = stream[pos + 4:pos + 2 + length]
        pos += 2 + length
        if marker == 0xDA:
            return out, payload, stream[pos:]
        out.append((marker, payload))


def split_tables(marker, payload):
    """One DQT or DHT payload may hold several tables: returns them one by one."""
    found = tables(marker, payload)
    if marker == 0xDB and any(t[0] >> 4 != 0 for t in found):
        sys.exit("16-bit quantisation table")
    return found


def rebuild(stream):
    heads, scan_header, rest = segments(stream)
    quant, huffman, frame = {}, {}, None
    for marker, payload in heads:
        if marker == 0xDB:
            for table in split_tables(marker, payload):
                quant[table[0] & 0x0F] = table
        elif marker == 0xC4:
            for table in split_tables(marker, payload):
                huffman[table[0]] = table
        elif marker == 0xC0:
            frame = payload
        elif marker == 0xE0 or 0xE1 <= marker <= 0xEF or marker == 0xFE:
            pass  # replaced by our own APP0; comments and other APPn dropped
        else:
            sys.exit(f"unexpected marker FF{marker:02X}")

    if frame is None:
        sys.exit("no baseline frame header")
    precision, height, width, count = struct.unpack(">BHHB", frame[:6])
    components = [tuple(frame[6 + 3 * i:9 + 3 * i]) for i in range(count)]
    if (precision, width, height) != (8, WIDTH, HEIGHT):
        sys.exit(f"frame {width}x{height}/{precision}")
    if components != [(1, 0x22, 0), (2, 0x11, 1), (3, 0x11, 1)]:
        sys.exit(f"components {components}")
    if sorted(quant) != [0, 1] or sorted(huffman) != [0x00, 0x01, 0x10, 0x11]:
        sys.exit("expected two quantisation and four Huffman tables")
    if scan_header != bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]):
        sys.exit("expected one scan of all three components")
    if rest[-2:] != b"\xff\xd9":
        sys.exit("stream does not end with EOI")
    data = rest[:-2]
    for i in range(len(data) - 1):
        if data[i] == 0xFF and data[i + 1] not in (0x00,):
            sys.exit("marker inside the entropy-coded data")

    # JFIF 1.01, units 1 (dots per inch), 96 x 96, no thumbnail.
    app0 = b"JFIF\x00" + bytes([1, 1, 1]) + struct.pack(">HH", 96, 96) + bytes([0, 0])
    out = b"\xff\xd8" + segment(0xE0, app0)
    out += segment(0xDB, quant[0]) + segment(0xDB, quant[1])
    out += segment(0xC0, frame)
    for key in (0x00, 0x10, 0x01, 0x11):
        out += segment(0xC4, huffman[key])
    out += segment(0xDA, scan_header) + rest
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quality", type=int, default=85)
    parser.add_argument("--output", default="viewer/sample.jpg")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        ppm = pathlib.Path(tmp) / "sample.ppm"
        render_ppm(ppm)
        stream = rebuild(encode(ppm, args.quality))
    pathlib.Path(args.output).write_bytes(stream)
    print(f"{args.output}: {len(stream)} bytes, quality {args.quality}")


if __name__ == "__main__":
    main()
