"""Arrays against the C API and the golden hashes; sources; out= arrays."""

import pathlib

import numpy as np
import pytest

import zentrafold
from conftest import DATA, DECODABLE, FORMATS, STREAMS, read


def fnv1a(data: bytes) -> int:
    value = 14695981039346656037
    for byte in data:
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return value


def golden():
    hashes = {}
    for line in (DATA / "hashes.txt").read_text().split("\n"):
        if line.strip():
            name, sized = line.split()
            size, digest = sized.split(":")
            width, height = (int(x) for x in size.split("x"))
            hashes[name] = (width, height, int(digest, 16))
    return hashes


def test_bgrx_matches_the_golden_hashes():
    hashes = golden()
    assert set(hashes) == set(DECODABLE)
    for name in DECODABLE:
        pixels = zentrafold.decode(read(name), "BGRX")
        width, height, digest = hashes[name]
        assert pixels.shape == (height, width, 4), name
        assert fnv1a(pixels.tobytes()) == digest, name


@pytest.mark.parametrize("format", FORMATS)
def test_every_stream_equals_the_c_api(c_reference, format):
    for name in STREAMS:
        data = read(name)
        status, width, height, expected = c_reference(data, format)
        if status not in (zentrafold.Status.OK, zentrafold.Status.DAMAGED):
            with pytest.raises(zentrafold.RefusedError) as refused:
                zentrafold.decode(data, format)
            assert refused.value.status == status, name
            continue
        pixels = zentrafold.decode(data, format)
        channels = zentrafold.FORMATS[format]
        assert pixels.dtype == np.uint8 and pixels.flags.c_contiguous
        assert pixels.shape == ((height, width) if channels == 1 else (height, width, channels)), name
        assert pixels.tobytes() == expected, f"{name} {format}"


def test_formats_are_one_picture_in_several_byte_orders():
    for name in DECODABLE:
        data = read(name)
        bgrx = zentrafold.decode(data, "BGRX")
        rgb = zentrafold.decode(data, "RGB")
        assert np.array_equal(rgb, bgrx[..., 2::-1]), name
        assert np.array_equal(zentrafold.decode(data, "BGR"), bgrx[..., :3]), name
        assert np.array_equal(zentrafold.decode(data, "RGBX"), bgrx[..., [2, 1, 0, 3]]), name
        assert (bgrx[..., 3] == 0).all(), name
        for alpha in ("RGBA", "BGRA"):
            with_alpha = zentrafold.decode(data, alpha)
            assert (with_alpha[..., 3] == 255).all(), name
            order = [2, 1, 0] if alpha == "RGBA" else [0, 1, 2]
            assert np.array_equal(with_alpha[..., :3], bgrx[..., order]), name
        grey = zentrafold.decode(data, "L")
        if zentrafold.info(data).components == 1:
            assert np.array_equal(grey, bgrx[..., 0]), name
        else:
            # The luma of a colour stream: the usual weighting of its RGB
            # wherever no channel was clamped.
            luma = rgb.astype(np.float64) @ [0.299, 0.587, 0.114]
            unclamped = ((rgb > 0) & (rgb < 255)).all(axis=-1)
            assert unclamped.mean() > 0.5, name
            assert np.abs(grey - luma)[unclamped].max() <= 2, name


def test_every_kind_of_source_gives_the_same_array(tmp_path):
    data = read("sample_2x2.jpg")
    expected = zentrafold.decode(data)
    path = tmp_path / "pic.jpg"
    path.write_bytes(data)
    sources = [bytearray(data), memoryview(data), np.frombuffer(data, np.uint8), str(path), path,
               memoryview(b"xx" + data)[2:]]
    for source in sources:
        assert np.array_equal(zentrafold.decode(source), expected), type(source)
    assert np.array_equal(zentrafold.Decoder().decode(path), expected)


def test_sources_that_are_not_streams_are_rejected(tmp_path):
    with pytest.raises(TypeError):
        zentrafold.decode(12)
    with pytest.raises(BufferError):
        zentrafold.decode(memoryview(read("size_17x17.jpg"))[::2])
    with pytest.raises(FileNotFoundError):
        zentrafold.decode(tmp_path / "missing.jpg")
    with pytest.raises(IsADirectoryError):
        zentrafold.info(tmp_path)
    with pytest.raises(ValueError, match="unknown format"):
        zentrafold.decode(read("size_17x17.jpg"), "YCbCr")
    for bad in (-1, 1.5, "2", True):
        with pytest.raises(ValueError):
            zentrafold.decode(read("size_17x17.jpg"), threads=bad)
    for bad in (0, -5, 2.0):
        with pytest.raises(ValueError):
            zentrafold.Decoder(max_pixels=bad)


@pytest.mark.parametrize("format", ["RGB", "BGRA", "L"])
def test_out_with_padded_rows_leaves_the_padding_alone(format):
    data = read("size_96x64_2x1.jpg")
    expected = zentrafold.decode(data, format)
    height, width = expected.shape[:2]
    channels = zentrafold.FORMATS[format]
    wide = np.full((height, width + 7, channels), 0xAB, np.uint8)
    out = wide[:, 3:3 + width] if channels > 1 else wide[:, 3:3 + width, 0]
    decoder = zentrafold.Decoder()
    result = decoder.decode(data, format, out=out)
    assert result is out
    if channels > 1:
        assert np.array_equal(wide[:, 3:3 + width], expected)
    else:
        # Grey into one channel of a 1-channel-wide row: pixel stride 1 holds.
        assert np.array_equal(wide[:, 3:3 + width, 0], expected)
    assert (wide[:, :3] == 0xAB).all() and (wide[:, 3 + width:] == 0xAB).all()


def test_out_of_grey_may_carry_a_channel_axis():
    data = read("grey.jpg")
    out = np.zeros((200, 320, 1), np.uint8)
    zentrafold.Decoder().decode(data, "L", out=out)
    assert np.array_equal(out[..., 0], zentrafold.decode(data, "L"))


def test_out_that_cannot_take_the_picture_is_refused_untouched():
    data = read("size_17x17.jpg")  # 17 x 17
    decoder = zentrafold.Decoder()
    cases = [
        (np.zeros((17, 17, 4), np.uint8), "RGB", ValueError, "shape"),
        (np.zeros((17, 17), np.uint8), "RGB", ValueError, "shape"),
        (np.zeros((17, 17, 3), np.uint16), "RGB", TypeError, "uint8"),
        (np.zeros((17, 34, 3), np.uint8)[:, ::2], "RGB", ValueError, "pixel stride"),
        (np.zeros((17, 17, 6), np.uint8)[..., ::2], "RGB", ValueError, "channel stride"),
        (np.zeros((17, 17, 3), np.uint8)[::-1], "RGB", ValueError, "row stride"),
        (np.zeros((17, 17, 3), np.uint8, order="F"), "RGB", ValueError, "stride"),
    ]
    for out, format, error, text in cases:
        with pytest.raises(error, match=text):
            decoder.decode(data, format, out=out)
        assert not out.any()
    frozen = np.zeros((17, 17, 3), np.uint8)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        decoder.decode(data, out=frozen)
    with pytest.raises(TypeError):
        decoder.decode(data, out=bytearray(17 * 17 * 3))


def test_a_decoder_serves_streams_of_every_size_and_format_in_turn():
    decoder = zentrafold.Decoder()
    for name in DECODABLE + DECODABLE[::-1]:
        for format in ("RGB", "L"):
            assert np.array_equal(decoder.decode(read(name), format), zentrafold.decode(read(name), format))


def test_threads_give_the_single_threaded_bytes(big_jpeg, big_restart_jpeg):
    assert zentrafold.info(big_restart_jpeg).restart_interval == 4
    for data in (big_jpeg, big_restart_jpeg):
        one = zentrafold.decode(data)
        for threads in (0, 2, 3):
            assert np.array_equal(zentrafold.decode(data, threads=threads), one)
            assert np.array_equal(zentrafold.Decoder(threads=threads).decode(data, "L"),
                                  zentrafold.decode(data, "L"))


def test_version_is_the_installed_distribution():
    from importlib.metadata import version
    assert zentrafold.__version__ == version("zentrafold")
    assert zentrafold.fast_paths() in ("avx2", "sse2", "portable", "scalar")
