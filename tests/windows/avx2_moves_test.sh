#!/usr/bin/env bash
# The AVX2 objects of a 64-bit Windows build hold no aligned 32-byte move:
# GCC spills ymm registers to a stack it keeps 16-byte aligned only there,
# so an aligned move could fault. The objects must hold AVX2 code at all,
# else the check says nothing.
#
# avx2_moves_test.sh LIBZENTRAFOLD.A WORK_DIR
set -euo pipefail
library=$1 work=$2
objdump=x86_64-w64-mingw32-objdump
rm -rf "$work"
mkdir -p "$work"
cd "$work"
x86_64-w64-mingw32-ar x "$library"
for object in inverse_dct_avx2.cpp.obj color_convert_avx2.cpp.obj inverse_dct_reduced_avx2.cpp.obj; do
  [ -e "$object" ] || { echo "no $object in $library" >&2; exit 1; }
  "$objdump" -d "$object" > code.txt
  grep -q 'ymm' code.txt || { echo "$object holds no AVX2 code" >&2; exit 1; }
  if grep -E 'vmov(dqa|aps|apd|ntdq|ntps|ntpd)[^,]*%ymm|vmov(dqa|aps|apd)[^,]*,[^%]*%ymm' code.txt |
      grep -E '%ymm' > aligned.txt && [ -s aligned.txt ]; then
    echo "$object: aligned 32-byte moves:" >&2
    head -n 5 aligned.txt >&2
    exit 1
  fi
  echo "$object: $(grep -cE 'vmovdqu[^,]*%ymm[0-9]+,-?(0x[0-9a-f]+)?\(%r[sb]p\)' code.txt) ymm spills, all unaligned moves"
done
