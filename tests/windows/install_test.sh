#!/usr/bin/env bash
# Installs a Windows (MinGW-w64 x86-64) build into a scratch prefix and
# builds Windows programs against it: the C99 consumer of the C API with
# find_package and with pkg-config, and the C++ consumer of DecodeImage
# (over the real GDI). Run under Wine, each must write the pixels this
# build's zentrafold-decode writes, with the fast paths and forced scalar.
#
# install_test.sh WINDOWS_BUILD_DIR SOURCE_DIR WORK_DIR LINUX_TOOL WINE WINEPREFIX
set -euo pipefail
build=$1 source=$2 work=$3 tool=$4 wine=$5 prefix_wine=$6
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
fail() { echo "windows install test: $*" >&2; exit 1; }
triple=x86_64-w64-mingw32
cc=$triple-gcc-posix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/zentrafold/decoder.h include/zentrafold/zentrafold.h include/zentrafold/win32.h \
         lib/libzentrafold.a lib/cmake/zentrafold/zentrafoldConfig.cmake \
         lib/cmake/zentrafold/zentrafoldConfigVersion.cmake lib/pkgconfig/zentrafold.pc \
         bin/zentrafold-decode.exe; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done

convert -size 83x61 gradient:navy-orange "$work/source.ppm" 2>/dev/null ||
  printf 'P6\n2 2\n255\n\377\0\0\0\377\0\0\0\377\377\377\377' > "$work/source.ppm"
cjpeg -sample 2x2 "$work/source.ppm" > "$work/picture.jpg"
"$tool" --format bgrx "$work/picture.jpg" "$work/expected.bgrx"

# The consumers are linked statically, as the tool is: Wine has no MinGW
# runtime DLLs to load.
toolchain=$source/cmake/mingw-w64.cmake
configure() {  # configure SOURCE BUILD LANGUAGE-FLAGS...
  local from=$1 to=$2; shift 2
  cmake -S "$from" -B "$to" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DZENTRAFOLD_MINGW_ARCH=x86_64 \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static -Dzentrafold_DIR="$prefix/lib/cmake/zentrafold" \
    "$@" >/dev/null || fail "cannot configure $(basename "$from") for Windows"
  cmake --build "$to" >/dev/null || fail "$(basename "$from") does not build for Windows"
}
configure "$source/tests/install/c_consumer" "$work/c_find_package"
configure "$source/tests/install/consumer" "$work/find_package"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic -static -o "$work/c_pkg_config_consumer.exe" \
  "$source/tests/install/c_consumer/main.c" $(pkg-config --cflags --libs zentrafold) ||
  fail "the C consumer does not build for Windows with pkg-config"

run() {  # run ENVIRONMENT PROGRAM ARGS...: under Wine, no display, the shared prefix
  local environment=$1; shift
  # shellcheck disable=SC2086
  env -u DISPLAY WINEPREFIX="$prefix_wine" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' $environment \
    "$wine" "$@"
}
for environment in "" ZENTRAFOLD_FORCE_SCALAR=1; do
  label=${environment:-fast paths}
  for mode in bands whole; do
    for program in c_find_package/c_consumer.exe c_pkg_config_consumer.exe; do
      out=$work/$(basename "$program" .exe)-$mode.bgrx
      rm -f "$out"
      run "$environment" "$work/$program" "$work/picture.jpg" "$out" $mode > "$work/consumer.log" 2>&1 ||
        fail "$program ($mode, $label) failed: $(cat "$work/consumer.log")"
      cmp -s "$work/expected.bgrx" "$out" || fail "$program's pixels differ ($mode, $label)"
      if [ -z "$environment" ]; then
        grep -q "fast paths $("$tool" --version | sed -n 's/^fast paths: //p')," "$work/consumer.log" ||
          fail "$program does not name the fast paths of this processor: $(cat "$work/consumer.log")"
      else
        grep -q "fast paths scalar," "$work/consumer.log" || fail "$program ignores ZENTRAFOLD_FORCE_SCALAR"
      fi
    done
  done
  rm -f "$work/decode_image.bgrx"
  run "$environment" "$work/find_package/consumer.exe" "$work/picture.jpg" "$work/decode_image.bgrx" \
    > "$work/consumer.log" 2>&1 || fail "the DecodeImage consumer failed ($label): $(cat "$work/consumer.log")"
  cmp -s "$work/expected.bgrx" "$work/decode_image.bgrx" || fail "DecodeImage's pixels differ ($label)"
  echo "Windows consumers ($label): ok"
done
