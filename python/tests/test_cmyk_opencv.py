"""CMYK and YCCK streams in the RGB formats, against OpenCV's cv2.imread.

What OpenCV does (4.6, through libjpeg-turbo, measured on the streams of
tests/data/sequential and wide_ycck.jpg): it asks libjpeg for JCS_CMYK (the
four bytes as stored; for YCCK after the YCC -> RGB step and the inversion),
decoded with libjpeg's defaults (accurate integer DCT, smooth upsampling), and
converts each pixel with integer arithmetic:

    R = K - ((255 - C) * K >> 8)
    G = K - ((255 - M) * K >> 8)
    B = K - ((255 - Y) * K >> 8)

(icvCvt_CMYK2BGR_8u_C4C3R). C, M, Y, K are the stored bytes, which in the
Adobe convention every writer here uses are inverted (0 is full ink), so this
is about C * K / 255. libjpeg-turbo's own conversion (djpeg -pnm, tjSaveImage)
rounds instead: R = (C * K + 127) // 255; the two differ by at most 1 (mean
0.5 to 0.9 on these files). opencv_cmyk_to_rgb below is the reference; the
test that proves it against cv2.imread passes with libjpeg-turbo's CMYK
output alone.

Zentrafold's RGB output of a four-component stream must stay within a small
mean distance of cv2.imread. The bounds come from the peer: libjpeg-turbo's
CMYK decoded with nearest upsampling and the fast DCT, converted by either
formula, is at most 1.4 from cv2.imread on the unsubsampled files and at most
3.8 on the subsampled ones (whose chroma OpenCV upsamples smoothly).
"""

import ctypes
import ctypes.util

import numpy as np
import pytest

import zentrafold
from conftest import DATA

SEQUENTIAL = DATA / "sequential"
# ImageMagick writes CMYK as YCCK (Adobe transform 2); Pillow as CMYK (transform 0).
FOUR_COMPONENTS = sorted([p.name for p in SEQUENTIAL.glob("*.jpg")
                          if p.name.startswith(("ycck_", "cmyk_", "scans_each_ycck"))]) + ["wide_ycck.jpg"]
MEAN_BOUND_FULL = 1.5     # every component sampled 1x1
MEAN_BOUND_SAMPLED = 4.5  # some component subsampled


def opencv_cmyk_to_rgb(cmyk):
    """OpenCV's CMYK -> RGB on an (H, W, 4) uint8 array of stored bytes."""
    c, m, y, k = (cmyk[..., i].astype(np.int32) for i in range(4))
    return np.stack([k - ((255 - v) * k >> 8) for v in (c, m, y)], axis=-1).astype(np.uint8)


def rounded_cmyk_to_rgb(cmyk):
    """libjpeg-turbo's CMYK -> RGB (djpeg -pnm): round(C * K / 255)."""
    c, m, y, k = (cmyk[..., i].astype(np.int32) for i in range(4))
    return np.stack([(v * k + 127) // 255 for v in (c, m, y)], axis=-1).astype(np.uint8)


def opencv_rgb(path):
    cv2 = pytest.importorskip("cv2")
    bgr = cv2.imread(str(path), cv2.IMREAD_COLOR)
    assert bgr is not None, path
    return bgr[:, :, ::-1].astype(np.int32)


def peer_cmyk(data, flags=0):
    """libjpeg-turbo's TJPF_CMYK output through TurboJPEG (ctypes)."""
    name = ctypes.util.find_library("turbojpeg")
    if name is None:
        pytest.skip("libturbojpeg is not installed")
    tj = ctypes.CDLL(name)
    tj.tjInitDecompress.restype = ctypes.c_void_p
    handle = ctypes.c_void_p(tj.tjInitDecompress())
    width, height, sub, space = (ctypes.c_int() for _ in range(4))
    tj.tjDecompressHeader3(handle, data, len(data), ctypes.byref(width), ctypes.byref(height),
                           ctypes.byref(sub), ctypes.byref(space))
    pixels = ctypes.create_string_buffer(width.value * height.value * 4)
    status = tj.tjDecompress2(handle, data, len(data), pixels, width.value, 0, height.value, 11, flags)  # TJPF_CMYK
    tj.tjDestroy(handle)
    assert status == 0
    return np.frombuffer(pixels.raw, np.uint8).reshape(height.value, width.value, 4)


def subsampled(data):
    """Whether any component of the frame is sampled below the largest factors."""
    pos = 2
    while True:
        code, length = data[pos + 1], data[pos + 2] << 8 | data[pos + 3]
        if 0xC0 <= code <= 0xCF and code not in (0xC4, 0xC8, 0xCC):
            factors = [data[pos + 11 + 3 * i] for i in range(data[pos + 9])]
            return len(set(factors)) > 1
        pos += 2 + length


@pytest.mark.parametrize("name", FOUR_COMPONENTS)
def test_the_reference_formula_is_what_opencv_does(name):
    path = SEQUENTIAL / name
    expected = opencv_rgb(path)
    cmyk = peer_cmyk(path.read_bytes())
    assert np.array_equal(opencv_cmyk_to_rgb(cmyk).astype(np.int32), expected), name
    rounded = np.abs(rounded_cmyk_to_rgb(cmyk).astype(np.int32) - expected)
    assert rounded.max() <= 2, name


@pytest.mark.parametrize("name", FOUR_COMPONENTS)
def test_rgb_of_cmyk_is_close_to_opencv(name):
    path = SEQUENTIAL / name
    data = path.read_bytes()
    expected = opencv_rgb(path)
    ours = zentrafold.decode(data, "RGB").astype(np.int32)
    assert ours.shape == expected.shape, name
    distance = np.abs(ours - expected)
    bound = MEAN_BOUND_SAMPLED if subsampled(data) else MEAN_BOUND_FULL
    print(f"{name}: max {distance.max()} mean {distance.mean():.3f} (bound {bound})")
    assert distance.mean() < bound, name
    # The same picture in the other byte orders.
    assert np.array_equal(zentrafold.decode(data, "BGR")[:, :, ::-1], ours.astype(np.uint8)), name
