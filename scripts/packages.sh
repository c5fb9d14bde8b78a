# Debian packages the build, the tests and the demo use. Sourced by the
# scripts; `ensure_packages LIST...` installs what is missing when run as root
# and otherwise names the missing packages and exits 2.
ZENTRAFOLD_BUILD_PACKAGES="cmake ninja-build g++ clang pkg-config libgtest-dev libgmock-dev libbenchmark-dev"
ZENTRAFOLD_TEST_PACKAGES="libjpeg-turbo-progs libturbojpeg0-dev libstb-dev libpng-dev imagemagick \
plasma-workspace-wallpapers valgrind libclang-rt-14-dev libx11-dev xvfb xdotool x11-apps wine wine64 \
g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix fonts-dejavu-core"
# The Python package (python/): its build in a venv of Debian's Python, its
# tests (pytest, Dask) and the peers of its benchmark (Pillow, OpenCV).
ZENTRAFOLD_PYTHON_PACKAGES="python3-venv python3-dev python3-setuptools python3-wheel python3-numpy \
python3-pybind11 pybind11-dev python3-pytest python3-pil python3-opencv python3-dask python3-distributed"
ZENTRAFOLD_TEST_PACKAGES="$ZENTRAFOLD_TEST_PACKAGES $ZENTRAFOLD_PYTHON_PACKAGES"
# What scripts/demo needs to build and show the viewer, with or without a display.
ZENTRAFOLD_DEMO_PACKAGES="cmake ninja-build g++ libx11-dev libpng-dev xvfb"

ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null || return 1
    apt-get install -y -q "${missing[@]}" >/dev/null || return 1
  else
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install ${missing[*]}" >&2
    exit 2
  fi
}
