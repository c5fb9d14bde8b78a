"""Zentrafold: a small, bit-exact JPEG decoder, to NumPy arrays.

    >>> import zentrafold
    >>> pixels = zentrafold.decode("photo.jpg")            # H x W x 3 uint8, RGB
    >>> grey = zentrafold.decode(data, "L")                 # H x W uint8
    >>> zentrafold.info("photo.jpg").supported
    True

The same stream gives the same bytes on every machine: the arrays are exactly
what the C library writes. The GIL is released while a picture decodes, so a
thread pool keeps every core busy.

Baseline, extended and progressive streams, Huffman- or arithmetic-coded,
decode alike. Streams the decoder does not take (lossless, hierarchical,
12-bit, ...) raise RefusedError with the library's reason; a frame above the
pixel limit raises TooLargeError; an unreadable path raises OSError. A stream
whose data breaks off early still gives its whole picture (the rest decoded
from zero bits; for a progressive one, the picture of the scans that arrived)
and warns with DamagedWarning, or raises with strict=True.
"""

from __future__ import annotations

import enum
import os
import threading
import warnings
from dataclasses import dataclass
from typing import Literal, Optional, Tuple, Union

import numpy as np

from . import _native

__all__ = [
    "decode",
    "info",
    "icc_profile",
    "Decoder",
    "Info",
    "Status",
    "Error",
    "RefusedError",
    "TooLargeError",
    "DamagedWarning",
    "FORMATS",
    "DEFAULT_MAX_PIXELS",
    "set_memory_cache",
    "__version__",
]

__version__: str = _native.LIBRARY_VERSION

#: Pixel formats by name: channels per pixel in the array's last dimension.
FORMATS = {"RGB": 3, "BGR": 3, "RGBA": 4, "BGRA": 4, "RGBX": 4, "BGRX": 4, "L": 1, "CMYK": 4}

#: Frames with more pixels than this are refused unless max_pixels says otherwise.
DEFAULT_MAX_PIXELS = 1 << 28

# Largest limit the library takes; larger values mean "no limit".
_UINT64_MAX = (1 << 64) - 1

Status = enum.IntEnum("Status", _native.STATUSES, module=__name__)
Status.__doc__ = "Why a decode ended as it did: the library's status codes (Status.OK is 0)."

def _status(code: int):
    """The Status of a code; the plain int for a code this package does not name."""
    try:
        return Status(code)
    except ValueError:
        return code


Source = Union[bytes, bytearray, memoryview, str, os.PathLike]
Format = Literal["RGB", "BGR", "RGBA", "BGRA", "RGBX", "BGRX", "L", "CMYK"]


class Error(Exception):
    """Base of the errors zentrafold raises for streams and limits."""


class RefusedError(Error):
    """The stream is outside what the decoder takes, or damaged beyond decoding.

    status: the Status code; reason: the library's text for it; path: the
    file's path when the source was a path, else None; mcu: for
    Status.BAD_DATA, the index (raster order, from 0) of the MCU that could
    not be decoded, else None.
    """

    def __init__(self, status: int, reason: str, path: Optional[str] = None, mcu: Optional[int] = None):
        super().__init__(status, reason, path, mcu)
        self.status = _status(status)
        self.reason = reason
        self.path = path
        self.mcu = mcu

    def __str__(self) -> str:
        text = self.reason if self.mcu is None else f"{self.reason} (at MCU {self.mcu})"
        return f"{self.path}: {text}" if self.path else text


class TooLargeError(Error):
    """The frame has more pixels than the decoder's max_pixels allows."""

    def __init__(self, width: int, height: int, max_pixels: int, path: Optional[str] = None):
        super().__init__(width, height, max_pixels, path)
        self.width = width
        self.height = height
        self.max_pixels = max_pixels
        self.path = path
        self.status = Status.TOO_LARGE
        self.reason = _native.status_text(Status.TOO_LARGE)

    def __str__(self) -> str:
        text = (f"{self.width} x {self.height} is {self.width * self.height} pixels, "
                f"more than max_pixels={self.max_pixels}")
        return f"{self.path}: {text}" if self.path else text


class DamagedWarning(UserWarning):
    """The stream's data broke off early: the picture is whole, but its last
    part was decoded from zero bits. Raised instead with strict=True (as
    RefusedError with Status.DAMAGED)."""

    def __init__(self, reason: str, path: Optional[str] = None):
        super().__init__(reason, path)
        self.reason = reason
        self.path = path
        self.status = Status.DAMAGED

    def __str__(self) -> str:
        return f"{self.path}: {self.reason}" if self.path else self.reason


@dataclass(frozen=True)
class Info:
    """What a stream's headers say, as the decoder reads them.

    sampling is (horizontal, vertical) per component, from the frame header;
    subsampling names the common layouts of YCbCr ("4:2:0", "4:2:2",
    "4:4:0", "4:4:4", "4:1:1", "4:1:0") and "grey", else None.
    color_space is "grey", "YCbCr", "RGB", "CMYK" or "YCCK" (as the decoder
    reads the components; "" when the headers are refused before the scan).
    scan_components: the components of the first scan. work_bytes: the
    whole-picture memory the decode takes, 0 for a picture in one scan.
    supported is True when the decoder takes the stream's headers (the data
    may still turn out damaged); otherwise status and reason say why not.
    """

    width: int
    height: int
    components: int
    sampling: Tuple[Tuple[int, int], ...]
    subsampling: Optional[str]
    restart_interval: int
    frame_marker: int
    frame_kind: str
    precision: int
    component_ids: Tuple[int, ...]
    supported: bool
    status: Status
    reason: str
    color_space: str = ""
    scan_components: int = 0
    work_bytes: int = 0
    orientation: int = 0


_SUBSAMPLING = {0x22: "4:2:0", 0x21: "4:2:2", 0x12: "4:4:0", 0x11: "4:4:4", 0x41: "4:1:1", 0x42: "4:1:0"}
_COLOR_SPACES = ("grey", "YCbCr", "RGB", "CMYK", "YCCK")


def _read(source) -> Tuple[object, Optional[str]]:
    """The stream's bytes (or buffer) and its path when it came from one."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        with open(path, "rb") as file:
            return file.read(), path
    try:
        memoryview(source)
    except TypeError:
        raise TypeError(
            f"source must be bytes, a buffer or a path, not {type(source).__name__}") from None
    return source, None


def _format_code(format: str) -> int:
    try:
        return _native.FORMATS[format]
    except (KeyError, TypeError):
        raise ValueError(f"unknown format {format!r}; use one of {', '.join(FORMATS)}") from None


def _threads(threads: int) -> int:
    if isinstance(threads, bool) or not isinstance(threads, int) or not 0 <= threads <= 1024:
        raise ValueError(f"threads must be an int from 0 to 1024, not {threads!r}")
    return threads


def _max_pixels(max_pixels: Optional[int]) -> int:
    if max_pixels is None:
        return DEFAULT_MAX_PIXELS
    if isinstance(max_pixels, bool) or not isinstance(max_pixels, int) or max_pixels < 1:
        raise ValueError(f"max_pixels must be a positive int or None, not {max_pixels!r}")
    return min(max_pixels, _UINT64_MAX)


def info(source: Source) -> Info:
    """Reads a stream's headers (up to the scan) without decoding it.

    source: bytes, bytearray, memoryview or another contiguous buffer, or a
    path (str or os.PathLike). Never raises for the stream's content: a
    stream the decoder does not take gives supported=False with the status
    and reason (width and the rest are what was read before that, 0 if
    nothing). Raises OSError for an unreadable path.
    """
    stream, _ = _read(source)
    fields = _native.read_info(stream)
    status = _status(fields["status"])
    components = fields["component_info"]
    code = fields["sampling_code"]
    supported = status == Status.OK
    subsampling = None
    color_space = ""
    if supported:
        color_space = _COLOR_SPACES[fields["color_space"]]
        chroma_11 = all(h == 1 and v == 1 for _, h, v, _ in components[1:])
        if fields["components"] == 1:
            subsampling = "grey"
        elif color_space == "YCbCr" and chroma_11:
            subsampling = _SUBSAMPLING.get(code)
    return Info(
        width=fields["width"],
        height=fields["height"],
        components=fields["components"],
        sampling=tuple((h, v) for _, h, v, _ in components),
        subsampling=subsampling,
        restart_interval=fields["restart_interval"],
        frame_marker=fields["frame_marker"],
        frame_kind=_native.frame_kind_text(fields["frame_marker"]),
        precision=fields["precision"],
        component_ids=tuple(ident for ident, _, _, _ in components),
        supported=supported,
        status=status,
        reason=_native.status_text(status),
        color_space=color_space,
        scan_components=fields["scan_components"],
        work_bytes=fields["work_bytes"],
        orientation=fields["orientation"],
    )


def icc_profile(source: Source) -> Optional[bytes]:
    """The stream's ICC profile (its APP2 ICC_PROFILE chunks joined in
    order), or None when it has none. Raises RefusedError (Status.ICC_CHUNKS)
    when chunks are missing, repeated or disagree, and for a stream that is
    no JPEG; OSError for an unreadable path."""
    stream, path = _read(source)
    status, profile = _native.icc_profile(stream)
    if status != Status.OK:
        raise RefusedError(_status(status), _native.status_text(status), path)
    return profile


_SCALES = (1, 2, 4, 8)


def _view(stream, scale, min_size, region, orient):
    """The scale for `min_size` (the largest reduction keeping at least that
    size, turned as the output is), checked arguments."""
    if min_size is not None:
        if scale != 1:
            raise ValueError("give scale or min_size, not both")
        try:
            want_w, want_h = (int(v) for v in min_size)
        except (TypeError, ValueError):
            raise TypeError(f"min_size must be (width, height), not {min_size!r}") from None
        fields = _native.read_info(stream)
        width, height = fields["width"], fields["height"]
        if orient and fields["orientation"] >= 5:
            width, height = height, width
        scale = 1
        for s in _SCALES:
            if -(-width // s) >= want_w and -(-height // s) >= want_h:
                scale = s
    if isinstance(scale, bool) or scale not in _SCALES:
        raise ValueError(f"scale must be 1, 2, 4 or 8, not {scale!r}")
    if region is not None:
        try:
            region = tuple(int(v) for v in region)
        except (TypeError, ValueError):
            raise TypeError(f"region must be (x, y, width, height), not {region!r}") from None
        if len(region) != 4 or min(region) < 0 or region[2] == 0 or region[3] == 0 or max(region) >= 1 << 32:
            raise ValueError(f"region must be (x, y, width, height) with width and height above 0, not {region!r}")
    return scale, region


class Decoder:
    """A reusable decoder: its state (and worker threads, with threads > 1)
    is made once and serves every decode.

    threads: cores one picture may use (0 or 1: the calling thread only).
    max_pixels: the largest width x height taken; None means
    DEFAULT_MAX_PIXELS (2**28). Frames above it raise TooLargeError before
    any memory is taken for them.

    A Decoder decodes one picture at a time; calls from several threads wait
    for each other. For parallel decodes give each thread its own Decoder or
    call zentrafold.decode, which keeps one per thread.
    """

    def __init__(self, threads: int = 1, max_pixels: Optional[int] = None):
        self._native = _native.Decoder(_threads(threads), _max_pixels(max_pixels))

    @property
    def threads(self) -> int:
        return self._native.threads

    @property
    def max_pixels(self) -> int:
        return self._native.max_pixels

    def __repr__(self) -> str:
        return f"zentrafold.Decoder(threads={self.threads}, max_pixels={self.max_pixels})"

    def __reduce__(self):
        # A decoder travels (to worker processes) as its settings.
        return (Decoder, (self.threads, self.max_pixels))

    def decode(self, source: Source, format: str = "RGB", out: Optional[np.ndarray] = None, *,
               strict: bool = False, scale: int = 1, min_size: Optional[Tuple[int, int]] = None,
               region: Optional[Tuple[int, int, int, int]] = None, orient: bool = True) -> np.ndarray:
        """Decodes a stream to a uint8 array: H x W x 3 for "RGB"/"BGR",
        H x W x 4 for "RGBA"/"BGRA"/"RGBX"/"BGRX" (A is 255, X is 0), H x W
        for "L" (the first component: the grey of a grey stream, the luma of
        a YCbCr one), H x W x 4 for "CMYK" (CMYK and YCCK streams only: the
        four stored components; other streams raise RefusedError with
        Status.BAD_FORMAT). RGB of a CMYK stream is R = K - ((255 - C) * K >> 8),
        likewise G from M and B from Y.

        out: an array to write into instead of a new one: uint8, writable,
        of exactly that shape (H x W x 1 is also taken for "L"), its pixels
        packed within a row; rows may be any stride apart (a view into a
        wider array works). Returned when given. Bytes between rows are left
        untouched. When the data turns out undecodable partway, the rows
        before that point have been written.

        Raises RefusedError, TooLargeError, OSError (paths), ValueError and
        TypeError (arguments). A damaged stream warns with DamagedWarning
        and returns its picture; with strict=True it raises RefusedError
        (status Status.DAMAGED) instead.

        scale: 1, 2, 4 or 8: each dimension divided by it (rounded up),
        reduced in the DCT domain, far faster than decoding whole and
        resizing. min_size=(width, height) instead picks the largest of
        those reductions that keeps at least that size, as Pillow's draft
        does. orient (default True, as OpenCV's imread): turn the picture
        upright by its EXIF orientation; False gives it as stored.
        region=(x, y, width, height): only that rectangle of the scaled,
        turned picture (ValueError when it is not inside it); decoding
        stops after its last rows.
        """
        return self._decode(source, format, out, strict, scale, min_size, region, orient)

    def _decode(self, source, format, out, strict, scale=1, min_size=None, region=None, orient=True):
        # Called by Decoder.decode and zentrafold.decode alike, so that a
        # warning's stacklevel points at the caller of either.
        if out is not None and not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
        code = _format_code(format)
        stream, path = _read(source)
        scale, region = _view(stream, scale, min_size, region, orient)
        array, status, failed_mcu, width, height = self._native.decode(stream, code, out, scale, bool(orient), region)
        if status == Status.BAD_ARGUMENT and region is not None:
            raise ValueError(f"region {region} is not inside the picture")
        if status == Status.OK:
            return array
        if status == Status.DAMAGED:
            reason = _native.status_text(status)
            if strict:
                raise RefusedError(status, reason, path)
            warnings.warn(DamagedWarning(reason, path), stacklevel=3)
            return array
        if status == Status.TOO_LARGE:
            raise TooLargeError(width, height, self.max_pixels, path)
        if status == Status.NO_MEMORY:
            raise MemoryError(_native.status_text(status))
        raise RefusedError(status, _native.status_text(status), path,
                           failed_mcu if status == Status.BAD_DATA else None)


# zentrafold.decode keeps one Decoder per thread and setting, so repeated
# calls do not remake the decoder's state (or its worker threads).
_local = threading.local()
_CACHED_SETTINGS = 4


def _thread_decoder(threads: int, max_pixels: int) -> Decoder:
    cache = getattr(_local, "decoders", None)
    if cache is None:
        cache = _local.decoders = {}
    key = (threads, max_pixels)
    decoder = cache.get(key)
    if decoder is None:
        if len(cache) >= _CACHED_SETTINGS:
            cache.pop(next(iter(cache)))
        decoder = cache[key] = Decoder(threads, max_pixels)
    return decoder


def decode(source: Source, format: str = "RGB", *, threads: int = 1, max_pixels: Optional[int] = None,
           strict: bool = False, scale: int = 1, min_size: Optional[Tuple[int, int]] = None,
           region: Optional[Tuple[int, int, int, int]] = None, orient: bool = True) -> np.ndarray:
    """Decodes a sequential JPEG to a new uint8 NumPy array.

    source: bytes, bytearray, memoryview or another contiguous buffer, or a
    path (str or os.PathLike). format: "RGB" (default), "BGR", "RGBA",
    "BGRA", "RGBX", "BGRX", "L" or "CMYK"; see Decoder.decode for the shapes.
    threads: cores this one picture may use. max_pixels: the largest width x
    height taken (None: DEFAULT_MAX_PIXELS).

    Raises RefusedError for streams the decoder does not take, TooLargeError
    above max_pixels, OSError for unreadable paths. A damaged stream warns
    with DamagedWarning and returns its picture, or raises with strict=True.
    scale, min_size, region and orient: see Decoder.decode (a photograph is
    turned upright by its EXIF orientation unless orient=False).
    """
    decoder = _thread_decoder(_threads(threads), _max_pixels(max_pixels))
    return decoder._decode(source, format, None, strict, scale, min_size, region, orient)


def fast_paths() -> str:
    """The library's fast paths on this processor: "avx2", "sse2", "portable" or "scalar"."""
    return _native.fast_paths()


def set_memory_cache(max_bytes: int) -> int:
    """Sets how much memory zentrafold keeps for new arrays; returns the old limit.

    Arrays of 1 MiB and more get memory that zentrafold maps for them (aligned
    for huge pages); when such an array and all its views are gone, its block
    is kept for the next array that fits, so that a loop over many pictures
    does not have the kernel map, fault in and clear fresh pages for each one
    (a quarter of a large decode on one thread, and the part that keeps two
    threads from running side by side). At most max_bytes are kept, the
    oldest blocks going first; the default is 256 MiB. 0 releases all that is
    kept and keeps nothing. Arrays given out are never shared.
    """
    if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or max_bytes < 0:
        raise ValueError(f"max_bytes must be an int of 0 or more, not {max_bytes!r}")
    return _native.set_kept_memory(min(max_bytes, _UINT64_MAX))
