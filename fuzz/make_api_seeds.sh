#!/usr/bin/env bash
# Makes the seeds of the API fuzz target in OUT from the stream seeds in
# STREAMS: each stream behind a few of the target's four parameter bytes
# (see api_fuzzer.cpp), so that every format, both strides and band modes, a
# stop, and each refusal of the arguments start out covered.
#   fuzz/make_api_seeds.sh STREAMS OUT
set -euo pipefail
in=${1:?usage: make_api_seeds.sh STREAMS OUT}
out=${2:?}
mkdir -p "$out"
# name  format stride band maxPixels
parameters=(
  "bgrx         00 00 00 00"
  "rgbx-padded  01 05 00 00"
  "bgra-bands   02 00 01 00"
  "rgba-stop1   03 01 05 01"
  "bgr          04 00 00 00"
  "rgb-stop0    05 0d 03 00"
  "grey         06 00 00 00"
  "grey-bands   06 01 01 00"
  "short-stride 00 02 00 00"
  "bad-format   e0 00 00 00"
  "too-large    00 00 00 02"
)
shopt -s nullglob
for f in "$in"/*; do
  [ -f "$f" ] || continue
  base=$(basename "$f")
  base=${base%.*}
  for p in "${parameters[@]}"; do
    read -r name a b c d <<<"$p"
    { printf "\\x$a\\x$b\\x$c\\x$d"; cat "$f"; } >"$out/$base.$name"
  done
done
