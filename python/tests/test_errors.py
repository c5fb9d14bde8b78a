"""Refusals, limits, damaged streams and what info() reports; errors pickle."""

import pickle
import warnings

import numpy as np
import pytest

import zentrafold
from zentrafold import Status
from conftest import REFUSED, read

EXPECTED_REFUSALS = {
    "refuse_precision12.jpg": Status.PRECISION,
}


def scan_start(data: bytes) -> int:
    """Offset of the first entropy-coded byte (after the SOS segment)."""
    sos = data.index(b"\xff\xda")
    return sos + 2 + int.from_bytes(data[sos + 2:sos + 4], "big")


# Refused by the bitmap entry only: the library decodes them.
BITMAP_ENTRY_REFUSALS = {"refuse_progressive.jpg", "refuse_arithmetic.jpg"}


def test_each_refused_stream_gives_its_reason():
    assert set(EXPECTED_REFUSALS) | BITMAP_ENTRY_REFUSALS == set(REFUSED)
    for name, status in EXPECTED_REFUSALS.items():
        with pytest.raises(zentrafold.RefusedError) as refused:
            zentrafold.decode(read(name))
        assert refused.value.status == status, name
        assert refused.value.reason == zentrafold.info(read(name)).reason
        assert refused.value.path is None and refused.value.mcu is None
    for name in BITMAP_ENTRY_REFUSALS:
        assert zentrafold.decode(read(name)).shape[2] == 3, name


def test_a_path_is_named_in_the_error(tmp_path):
    path = tmp_path / "prog.jpg"
    path.write_bytes(read("refuse_precision12.jpg"))
    with pytest.raises(zentrafold.RefusedError) as refused:
        zentrafold.decode(path)
    assert refused.value.path == str(path) and str(refused.value).startswith(str(path) + ": ")


def test_what_is_not_a_jpeg_or_ends_before_its_scan():
    for junk in (b"", b"GIF89a" + bytes(100), bytes(4)):
        with pytest.raises(zentrafold.RefusedError) as refused:
            zentrafold.decode(junk)
        assert refused.value.status == Status.NOT_JPEG
    data = read("sample_2x2.jpg")
    sof = data.index(b"\xff\xc0")
    frame_end = sof + 2 + int.from_bytes(data[sof + 2:sof + 4], "big")
    with pytest.raises(zentrafold.RefusedError) as refused:
        zentrafold.decode(data[:frame_end])
    assert refused.value.status == Status.TRUNCATED


def test_a_stream_cut_in_its_data_warns_and_gives_the_whole_picture(c_reference):
    data = read("sample_2x2.jpg")
    start = scan_start(data)
    cut = data[:start + (len(data) - start) // 3]
    intact = zentrafold.decode(data)
    with pytest.warns(zentrafold.DamagedWarning) as caught:
        damaged = zentrafold.decode(cut)
    assert caught[0].filename == __file__  # the warning points at the caller
    assert caught[0].message.status == Status.DAMAGED
    assert damaged.shape == intact.shape
    assert np.array_equal(damaged[:16], intact[:16]) and not np.array_equal(damaged, intact)
    status, _, _, expected = c_reference(cut, "RGB")
    assert status == Status.DAMAGED and damaged.tobytes() == expected
    with pytest.raises(zentrafold.RefusedError) as refused:
        zentrafold.decode(cut, strict=True)
    assert refused.value.status == Status.DAMAGED
    with pytest.warns(zentrafold.DamagedWarning):
        zentrafold.Decoder().decode(bytearray(cut))
    with pytest.raises(zentrafold.RefusedError):
        zentrafold.Decoder().decode(cut, strict=True)


def test_max_pixels_refuses_before_decoding():
    data = read("sample_2x2.jpg")  # 320 x 200
    assert zentrafold.decode(data, max_pixels=320 * 200).shape == (200, 320, 3)
    with pytest.raises(zentrafold.TooLargeError) as too_large:
        zentrafold.decode(data, max_pixels=320 * 200 - 1)
    error = too_large.value
    assert (error.width, error.height, error.max_pixels, error.status) == (320, 200, 64000 - 1, Status.TOO_LARGE)
    out = np.zeros((200, 320, 3), np.uint8)
    with pytest.raises(zentrafold.TooLargeError):
        zentrafold.Decoder(max_pixels=1000).decode(data, out=out)
    assert not out.any()
    assert zentrafold.Decoder(max_pixels=2**70).max_pixels == 2**64 - 1
    assert zentrafold.Decoder().max_pixels == zentrafold.DEFAULT_MAX_PIXELS


def test_a_huge_frame_header_is_refused_without_taking_its_memory():
    # 65535 x 65535 declared, 4 GPixels: refused at the default limit.
    data = bytearray(read("size_17x17.jpg"))
    sof = data.index(b"\xff\xc0")
    data[sof + 5:sof + 9] = b"\xff\xff\xff\xff"
    with pytest.raises(zentrafold.TooLargeError):
        zentrafold.decode(bytes(data))


def test_undecodable_data_names_the_mcu():
    data = bytearray(read("noise_optimized.jpg"))
    start = scan_start(bytes(data))
    # Codes of all ones are not in an optimised table: the first MCU is undecodable.
    data[start:start + 8] = b"\xfe" * 8
    with pytest.raises(zentrafold.RefusedError) as refused:
        zentrafold.decode(bytes(data))
    assert refused.value.status == Status.BAD_DATA
    assert refused.value.mcu == 0 and "MCU 0" in str(refused.value)


def test_info_reports_what_the_headers_say():
    info = zentrafold.info(read("sample_2x2.jpg"))
    assert (info.width, info.height, info.components, info.subsampling) == (320, 200, 3, "4:2:0")
    assert info.sampling == ((2, 2), (1, 1), (1, 1)) and info.component_ids == (1, 2, 3)
    assert info.supported and info.status == Status.OK and info.frame_marker == 0xC0
    assert info.frame_kind == "baseline" and info.precision == 8 and info.restart_interval == 0
    assert zentrafold.info(read("sample_2x1.jpg")).subsampling == "4:2:2"
    assert zentrafold.info(read("sample_1x2.jpg")).subsampling == "4:4:0"
    assert zentrafold.info(read("grey.jpg")).subsampling == "grey"
    assert zentrafold.info(read("restart_1mcu.jpg")).restart_interval == 1
    progressive = zentrafold.info(read("refuse_progressive.jpg"))
    assert progressive.supported and progressive.status == Status.OK and progressive.work_bytes > 0
    assert progressive.frame_marker == 0xC2 and "progressive" in progressive.frame_kind
    twelve = zentrafold.info(read("refuse_precision12.jpg"))
    assert not twelve.supported and twelve.status == Status.PRECISION
    assert twelve.subsampling is None and twelve.width > 0
    assert not zentrafold.info(b"not a jpeg").supported


def test_errors_and_warnings_pickle_with_their_fields():
    for error in (zentrafold.RefusedError(Status.BAD_DATA, "bad data", "/x/a.jpg", 12),
                  zentrafold.TooLargeError(70000, 70000, 2**28, "b.jpg"),
                  zentrafold.DamagedWarning("cut short", "c.jpg")):
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is type(error) and str(copy) == str(error)
        assert vars(copy) == vars(error)
    assert pickle.loads(pickle.dumps(Status.PROGRESSIVE)) is Status.PROGRESSIVE
    decoder = pickle.loads(pickle.dumps(zentrafold.Decoder(threads=2, max_pixels=5000)))
    assert (decoder.threads, decoder.max_pixels) == (2, 5000)
    with pytest.raises(zentrafold.TooLargeError):
        decoder.decode(read("sample_2x2.jpg"))
    assert issubclass(zentrafold.RefusedError, zentrafold.Error)
    assert issubclass(zentrafold.TooLargeError, zentrafold.Error)
    with warnings.catch_warnings():
        warnings.simplefilter("error", zentrafold.DamagedWarning)
        data = read("sample_1x1.jpg")
        with pytest.raises(zentrafold.DamagedWarning):
            zentrafold.decode(data[:len(data) // 2])
