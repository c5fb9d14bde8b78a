#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds programs against
# it: with find_package, with pkg-config, and with add_subdirectory of the
# sources. Each must decode a picture to the same pixels as the installed
# zentrafold-decode. The installed headers must compile on their own, here
# and with MinGW.
#
# install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR CXX [EXTRA_FLAGS]
set -euo pipefail
build=$1 source=$2 work=$3 cxx=$4 flags=${5:-}
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

# What the tree must hold. The library directory is lib/ or, with some
# prefixes, a multiarch one: it is where zentrafold.pc went.
pc=$(find "$prefix" -name zentrafold.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc" ] || fail "no zentrafold.pc installed"
lib=$(dirname "$(dirname "$pc")")
lib=${lib#"$prefix"/}
for f in include/zentrafold/decoder.h include/zentrafold/zentrafold.h include/zentrafold/win32.h "$lib/libzentrafold.a" \
         "$lib/libzentrafold_platform.a" "$lib/cmake/zentrafold/zentrafoldConfig.cmake" \
         "$lib/cmake/zentrafold/zentrafoldConfigVersion.cmake" bin/zentrafold-decode; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done
for f in "$prefix"/include/zentrafold/*; do
  case $(basename "$f") in decoder.h|zentrafold.h|win32.h) ;; *) fail "unexpected header $(basename "$f")" ;; esac
done

# Each public header alone, in the oldest language level it promises.
for h in decoder.h zentrafold.h win32.h; do
  printf '#include <zentrafold/%s>\n' "$h" | "$cxx" -std=c++11 -Wall -Wextra -Werror -fsyntax-only \
    -I "$prefix/include" -x c++ - || fail "<zentrafold/$h> does not compile alone"
done
# The C API is C99 as well.
# The C compiler of the same family as CXX (sanitizer runtimes must match).
case $cxx in
  *clang++*) cc=${cxx/clang++/clang} ;;
  *g++*) cc=${cxx/g++/gcc} ;;
  *) cc=cc ;;
esac
printf '#include <zentrafold/zentrafold.h>\n' | "$cc" -std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only \
  -I "$prefix/include" -x c - || fail "<zentrafold/zentrafold.h> does not compile as C99"
mingw=x86_64-w64-mingw32-g++-posix
if command -v "$mingw" >/dev/null; then
  printf '#include <zentrafold/decoder.h>\nint main() { return DecodeImage(0, 0, 0) == 0 ? 0 : 1; }\n' |
    "$mingw" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I "$prefix/include" -x c++ - ||
    fail "<zentrafold/decoder.h> does not compile with MinGW"
else
  echo "note: $mingw not installed; the Windows header check was not run"
fi

# A picture to decode, and what the installed tool makes of it.
convert -size 83x61 gradient:navy-orange "$work/source.ppm" 2>/dev/null ||
  printf 'P6\n2 2\n255\n\377\0\0\0\377\0\0\0\377\377\377\377' > "$work/source.ppm"
cjpeg -sample 2x2 "$work/source.ppm" > "$work/picture.jpg"
"$prefix/bin/zentrafold-decode" --format bgrx "$work/picture.jpg" "$work/expected.bgrx"

check() {  # check NAME BINARY
  "$2" "$work/picture.jpg" "$work/$1.bgrx" > /dev/null || fail "$1 consumer failed"
  cmp -s "$work/expected.bgrx" "$work/$1.bgrx" || fail "$1 consumer's pixels differ from the tool's"
  echo "$1 consumer: ok"
}

cmake -S "$source/tests/install/consumer" -B "$work/find_package" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/find_package" >/dev/null
check find_package "$work/find_package/consumer"

export PKG_CONFIG_PATH=$prefix/$lib/pkgconfig
[ "$(pkg-config --modversion zentrafold)" = "$(sed -n 's/^Version: //p' "$pc")" ] ||
  fail "pkg-config does not find zentrafold.pc"
# shellcheck disable=SC2046,SC2086
"$cxx" $flags -std=c++11 -o "$work/pkg_config_consumer" "$source/tests/install/consumer/main.cpp" \
  $(pkg-config --cflags --libs zentrafold)
check pkg-config "$work/pkg_config_consumer"

# C programs through the C API: with find_package (a C-only project) and with
# pkg-config, each in band mode and whole-picture mode.
check_c() {  # check_c NAME BINARY
  for mode in bands whole; do
    "$2" "$work/picture.jpg" "$work/$1-$mode.bgrx" $mode > /dev/null || fail "$1 C consumer failed ($mode)"
    cmp -s "$work/expected.bgrx" "$work/$1-$mode.bgrx" || fail "$1 C consumer's pixels differ ($mode)"
  done
  echo "$1 C consumer: ok"
}
# A sanitized library's C++ code needs the sanitizers' C++ runtime and the
# C++ ABI's type information even in a C program.
clink=
[ -n "$flags" ] && clink="-fsanitize-link-c++-runtime -lstdc++"
cmake -S "$source/tests/install/c_consumer" -B "$work/c_find_package" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$clink" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/c_find_package" >/dev/null || fail "the C consumer does not build with find_package"
check_c find_package "$work/c_find_package/c_consumer"
# shellcheck disable=SC2046,SC2086
"$cc" $flags -std=c99 -Wall -Wextra -Werror -pedantic -o "$work/c_pkg_config_consumer" \
  "$source/tests/install/c_consumer/main.c" $(pkg-config --cflags --libs zentrafold) $clink ||
  fail "the C consumer does not build with pkg-config"
check_c pkg-config "$work/c_pkg_config_consumer"

cmake -S "$source/tests/install/subdir_consumer" -B "$work/subdir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" -DZENTRAFOLD_SOURCE_DIR="$source" >/dev/null
cmake --build "$work/subdir" >/dev/null
check add_subdirectory "$work/subdir/consumer"
