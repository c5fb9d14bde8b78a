"""Reduced, cropped and turned decodes; min_size as Pillow's draft picks; the
EXIF orientation and ICC profile of a stream."""

import struct

import numpy as np
import pytest

import zentrafold
from conftest import read


def with_segments(stream: bytes, *segments) -> bytes:
    """The stream with (marker, body) segments after its SOI."""
    out = stream[:2]
    for marker, body in segments:
        out += bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body
    return out + stream[2:]


def exif(orientation: int) -> bytes:
    tiff = b"MM\x00\x2a" + struct.pack(">I", 8) + struct.pack(">H", 1)
    tiff += struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0) + struct.pack(">I", 0)
    return b"Exif\x00\x00" + tiff


# The picture stored with EXIF orientation o, turned upright with NumPy.
UPRIGHT = {
    1: lambda a: a,
    2: lambda a: a[:, ::-1],
    3: lambda a: a[::-1, ::-1],
    4: lambda a: a[::-1],
    5: lambda a: a.swapaxes(0, 1),
    6: lambda a: np.rot90(a, -1),
    7: lambda a: a.swapaxes(0, 1)[::-1, ::-1],
    8: lambda a: np.rot90(a, 1),
}


@pytest.mark.parametrize("scale", [1, 2, 4, 8])
def test_orientations_turn_the_stored_picture(scale):
    base = read("size_250x40.jpg")
    stored = zentrafold.decode(base, scale=scale)
    for o in range(1, 9):
        stream = with_segments(base, (0xE1, exif(o)))
        assert zentrafold.info(stream).orientation == o
        turned = zentrafold.decode(stream, scale=scale)
        assert np.array_equal(turned, UPRIGHT[o](stored)), o
        assert np.array_equal(zentrafold.decode(stream, scale=scale, orient=False), stored)


def test_scale_min_size_and_region():
    stream = read("size_250x40.jpg")
    assert zentrafold.decode(stream, scale=8).shape == (5, 32, 3)
    # The largest reduction that keeps at least the size asked for.
    assert zentrafold.decode(stream, min_size=(100, 10)).shape == (20, 125, 3)
    assert zentrafold.decode(stream, min_size=(32, 5)).shape == (5, 32, 3)
    assert zentrafold.decode(stream, min_size=(251, 1)).shape == (40, 250, 3)
    whole = zentrafold.decode(stream, scale=2)
    part = zentrafold.decode(stream, scale=2, region=(17, 3, 50, 9))
    assert np.array_equal(part, whole[3:12, 17:67])
    with pytest.raises(ValueError):
        zentrafold.decode(stream, region=(200, 0, 51, 1))
    with pytest.raises(ValueError):
        zentrafold.decode(stream, scale=3)
    with pytest.raises(ValueError):
        zentrafold.decode(stream, scale=2, min_size=(1, 1))


def test_icc_profile():
    base = read("size_17x17.jpg")
    assert zentrafold.icc_profile(base) is None
    chunk = lambda n, count, data: b"ICC_PROFILE\x00" + bytes([n, count]) + data
    stream = with_segments(base, (0xE2, chunk(2, 2, b"world")), (0xE2, chunk(1, 2, b"hello ")))
    assert zentrafold.icc_profile(stream) == b"hello world"
    with pytest.raises(zentrafold.RefusedError) as refused:
        zentrafold.icc_profile(with_segments(base, (0xE2, chunk(1, 2, b"x"))))
    assert refused.value.status == zentrafold.Status.ICC_CHUNKS
