import enum
import os
from dataclasses import dataclass
from typing import Any, Dict, Literal, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
FORMATS: Dict[str, int]
DEFAULT_MAX_PIXELS: int

# Anything with the buffer protocol is taken as the stream's bytes.
Source = Union[bytes, bytearray, memoryview, str, os.PathLike[str], Any]
Format = Literal["RGB", "BGR", "RGBA", "BGRA", "RGBX", "BGRX", "L", "CMYK"]

class Status(enum.IntEnum):
    OK: int
    DAMAGED: int
    STOPPED: int
    TOO_LARGE: int
    BAD_ARGUMENT: int
    NO_MEMORY: int
    NOT_JPEG: int
    TRUNCATED: int
    PROGRESSIVE: int
    ARITHMETIC: int
    LOSSLESS: int
    HIERARCHICAL: int
    EXTENDED: int
    PRECISION: int
    COMPONENT_COUNT: int
    SAMPLING: int
    COMPONENTS: int
    TABLES: int
    SECOND_APP0: int
    SECOND_FRAME: int
    TABLE_REDEFINED: int
    BAD_HUFFMAN_TABLE: int
    ZERO_SIZE: int
    NO_FRAME: int
    MISSING_TABLES: int
    SEVERAL_SCANS: int
    MALFORMED: int
    BAD_DATA: int
    WORK_TOO_LARGE: int
    BAD_FORMAT: int

class Error(Exception): ...

class RefusedError(Error):
    status: Status
    reason: str
    path: Optional[str]
    mcu: Optional[int]
    def __init__(self, status: int, reason: str, path: Optional[str] = ..., mcu: Optional[int] = ...) -> None: ...

class TooLargeError(Error):
    status: Status
    reason: str
    width: int
    height: int
    max_pixels: int
    path: Optional[str]
    def __init__(self, width: int, height: int, max_pixels: int, path: Optional[str] = ...) -> None: ...

class DamagedWarning(UserWarning):
    status: Status
    reason: str
    path: Optional[str]
    def __init__(self, reason: str, path: Optional[str] = ...) -> None: ...

@dataclass(frozen=True)
class Info:
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
    color_space: str
    scan_components: int
    work_bytes: int
    orientation: int

class Decoder:
    def __init__(self, threads: int = ..., max_pixels: Optional[int] = ...) -> None: ...
    @property
    def threads(self) -> int: ...
    @property
    def max_pixels(self) -> int: ...
    def decode(
        self,
        source: Source,
        format: Format = ...,
        out: Optional[npt.NDArray[np.uint8]] = ...,
        *,
        strict: bool = ...,
        scale: int = ...,
        min_size: Optional[Tuple[int, int]] = ...,
        region: Optional[Tuple[int, int, int, int]] = ...,
        orient: bool = ...,
    ) -> npt.NDArray[np.uint8]: ...

def decode(
    source: Source,
    format: Format = ...,
    *,
    threads: int = ...,
    max_pixels: Optional[int] = ...,
    strict: bool = ...,
    scale: int = ...,
    min_size: Optional[Tuple[int, int]] = ...,
    region: Optional[Tuple[int, int, int, int]] = ...,
    orient: bool = ...,
) -> npt.NDArray[np.uint8]: ...
def info(source: Source) -> Info: ...
def icc_profile(source: Source) -> Optional[bytes]: ...
def fast_paths() -> str: ...
def set_memory_cache(max_bytes: int) -> int: ...
