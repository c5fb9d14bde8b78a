"""Shared fixtures: the repository's committed test streams, and the C API's
own output (a small C program built against the decoder library) to compare
the arrays with."""

import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"
STREAMS = sorted(path.name for path in DATA.glob("*.jpg"))
DECODABLE = [name for name in STREAMS if not name.startswith("refuse_")]
REFUSED = [name for name in STREAMS if name.startswith("refuse_")]
FORMATS = ["RGB", "BGR", "RGBA", "BGRA", "RGBX", "BGRX", "L"]


def read(name):
    return (DATA / name).read_bytes()


def _library_dirs():
    """Folders holding a built libzentrafold.a: ZENTRAFOLD_LIBRARY_DIR, the
    package's own in-tree build, then the project's CMake builds."""
    if os.environ.get("ZENTRAFOLD_LIBRARY_DIR"):
        yield Path(os.environ["ZENTRAFOLD_LIBRARY_DIR"])
    yield from sorted(ROOT.glob("python/build/temp*/decoder-cmake"))
    yield ROOT / "build" / "release"
    yield ROOT / "build"


@pytest.fixture(scope="session")
def c_reference(tmp_path_factory):
    """run(data, format) -> (status, width, height, bytes) from the C API."""
    compiler = shutil.which("cc")
    linker = shutil.which("c++")
    found = None
    for folder in _library_dirs():
        decoder = folder / "decoder" / "libzentrafold.a"
        platform = folder / "platform" / "libzentrafold_platform.a"
        if decoder.is_file() and platform.is_file():
            found = (decoder, platform)
            break
    if not (compiler and linker and found):
        pytest.skip("no C compiler or no built libzentrafold.a to compare with")
    out = tmp_path_factory.mktemp("c_reference")
    obj, exe = out / "c_reference.o", out / "c_reference"
    include = ROOT / "decoder" / "include"
    subprocess.run([compiler, "-std=c99", "-O1", "-I", str(include), "-c",
                    str(Path(__file__).with_name("c_reference.c")), "-o", str(obj)], check=True)
    subprocess.run([linker, str(obj), str(found[0]), str(found[1]), "-pthread", "-o", str(exe)], check=True)
    codes = {"BGRX": 0, "RGBX": 1, "BGRA": 2, "RGBA": 3, "BGR": 4, "RGB": 5, "L": 6}

    def run(data, format):
        result = subprocess.run([str(exe), str(codes[format])], input=bytes(data), capture_output=True,
                                check=True)
        status, width, height = (int(x) for x in result.stderr.split())
        return status, width, height, result.stdout
    return run


@pytest.fixture(scope="session")
def big_jpeg():
    """A 12-megapixel 4:2:0 photograph-like stream, made with Pillow."""
    image_module = pytest.importorskip("PIL.Image")
    rng = np.random.default_rng(12)
    y, x = np.mgrid[0:3000, 0:4000]
    base = np.stack([(x * 255 // 4000), (y * 255 // 3000), ((x + y) * 255 // 7000)], axis=-1)
    noisy = np.clip(base + rng.integers(-24, 25, base.shape), 0, 255).astype(np.uint8)
    import io
    buffer = io.BytesIO()
    image_module.fromarray(noisy).save(buffer, "JPEG", quality=90)
    return buffer.getvalue()


@pytest.fixture(scope="session")
def big_restart_jpeg(big_jpeg):
    """big_jpeg with a restart marker every 4 MCUs (jpegtran -restart 4B)."""
    jpegtran = shutil.which("jpegtran")
    if jpegtran is None:
        pytest.skip("jpegtran (libjpeg-turbo-progs) is not installed")
    result = subprocess.run([jpegtran, "-restart", "4B"], input=big_jpeg, capture_output=True, check=True)
    return result.stdout
