#!/usr/bin/env python3
"""insert_fill_bytes.py IN OUT COUNT WITHIN [FROM]: a copy of the JPEG IN with a 0xFF fill
byte before each of the first COUNT stuffed 0xFF 0x00 pairs of its entropy-coded data that
lie from byte FROM (default 0) to byte WITHIN of the data. 0xFF 0xFF 0x00 decodes as
0xFF 0x00 (T.81 B.1.1.2), so the picture is the same; the stream has fill bytes early in
its data, which the threaded decode must take in its stride (docs/performance.md)."""
import sys


def main(argv):
    if len(argv) not in (5, 6):
        print(__doc__)
        return 2
    source, target, count, within = argv[1], argv[2], int(argv[3]), int(argv[4])
    first = int(argv[5]) if len(argv) == 6 else 0
    stream = bytearray(open(source, "rb").read())
    i = 2
    while True:  # the segments up to and including SOS
        if stream[i] != 0xFF:
            print("no SOS segment found")
            return 1
        code = stream[i + 1]
        i += 2 + (stream[i + 2] << 8 | stream[i + 3])
        if code == 0xDA:
            break
    pairs = [j for j in range(i + first, min(i + within, len(stream) - 1)) if stream[j] == 0xFF and stream[j + 1] == 0x00]
    for j in reversed(pairs[:count]):
        stream[j:j] = b"\xff"
    open(target, "wb").write(stream)
    print(f"fill bytes before the stuffed 0xFF at data bytes {[j - i for j in pairs[:count]]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
