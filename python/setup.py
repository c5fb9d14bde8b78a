"""Builds the zentrafold package: the decoder's static library through the
project's own CMake build (one list of sources and per-file flags), then the
pybind11 extension that binds its C API and links that library."""

import os
import re
import shutil
import subprocess
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
# The repository holding decoder/ and platform/: the folder above this one, or
# ZENTRAFOLD_SOURCE_DIR when the package folder was copied elsewhere.
SOURCE = Path(os.environ.get("ZENTRAFOLD_SOURCE_DIR", HERE.parent)).resolve()
HEADER = SOURCE / "decoder" / "include" / "zentrafold" / "zentrafold.h"


def project_version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*zentrafold\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError(f"no project version in {SOURCE / 'CMakeLists.txt'}")
    return match.group(1)


class BuildWithCMake(build_ext):
    """Builds the static decoder library before compiling the extension."""

    def run(self):
        if not HEADER.is_file():
            raise RuntimeError(
                f"the decoder sources are not at {SOURCE} (expected {HEADER}); "
                "install from a clone of the repository or set ZENTRAFOLD_SOURCE_DIR")
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("cmake is needed to build the decoder (Debian: apt-get install cmake)")
        build_dir = Path(self.build_temp).resolve() / "decoder-cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            cmake, "-S", str(SOURCE), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCMAKE_POSITION_INDEPENDENT_CODE=ON",
            "-DZENTRAFOLD_BUILD_TESTS=OFF",
            "-DZENTRAFOLD_BUILD_TOOLS=OFF",
            "-DZENTRAFOLD_INSTALL=OFF",
        ]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(min(os.cpu_count() or 1, 2))
        subprocess.run([cmake, "--build", str(build_dir), "--target", "zentrafold_decoder", "-j", jobs],
                       check=True)
        libraries = [self._find_library(build_dir, name) for name in ("libzentrafold.a", "libzentrafold_platform.a")]
        for ext in self.extensions:
            # The decoder first: it needs the platform library after it.
            ext.extra_objects = [str(path) for path in libraries] + list(ext.extra_objects or [])
            # Relink when the library changed, not only when the binding did.
            ext.depends = [str(path) for path in libraries] + [str(HEADER)] + list(ext.depends or [])
        super().run()

    @staticmethod
    def _find_library(build_dir, name):
        found = sorted(build_dir.rglob(name))
        if not found:
            raise RuntimeError(f"the CMake build made no {name} under {build_dir}")
        return found[0]


extension = Pybind11Extension(
    "zentrafold._native",
    ["src/zentrafold/_native.cpp"],
    include_dirs=[str(HEADER.parent.parent)],
    cxx_std=17,
    extra_compile_args=["-O2"],
    extra_link_args=["-pthread"],
)

setup(
    name="zentrafold",
    version=project_version(),
    description="A small, bit-exact baseline JPEG decoder: JPEG to NumPy arrays",
    package_dir={"": "src"},
    packages=["zentrafold"],
    package_data={"zentrafold": ["py.typed", "*.pyi"]},
    ext_modules=[extension],
    cmdclass={"build_ext": BuildWithCMake},
    install_requires=["numpy"],
    python_requires=">=3.9",
    zip_safe=False,
)
