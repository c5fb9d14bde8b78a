#!/usr/bin/env bash
# Makes the seed corpus of the stream fuzz targets in FOLDER: the committed
# test streams (tests/data/*.jpg and the sequential streams beyond the
# baseline profile in tests/data/sequential; with MAX_BYTES, only those up to
# that size)
# and a few small baseline streams made here with cjpeg and jpegtran, one of
# each sampling, grey, restart intervals (one MCU, and several), optimised
# tables, and progressive and arithmetic-coded ones. Needs ImageMagick (convert) and cjpeg/jpegtran (libjpeg-turbo-progs).
#   fuzz/make_seed_corpus.sh FOLDER [MAX_BYTES]
set -euo pipefail
out=${1:?usage: make_seed_corpus.sh FOLDER [MAX_BYTES]}
max=${2:-0}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
shopt -s nullglob
for f in "$here"/../tests/data/*.jpg "$here"/../tests/data/sequential/*.jpg; do
  if [ "$max" -eq 0 ] || [ "$(stat -c %s "$f")" -le "$max" ]; then cp "$f" "$out/$(basename "$(dirname "$f")")-$(basename "$f")"; fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Small pictures with edges, gradients and noise; a fixed seed keeps the
# corpus the same from run to run.
convert -seed 7 -size 37x29 plasma:red-blue -depth 8 "$tmp/plasma.ppm"
convert -size 19x21 gradient:white-black -depth 8 "$tmp/gradient.ppm"
convert -size 24x16 xc:gray50 -depth 8 "$tmp/flat.ppm"
for s in 1x1 1x2 2x1 2x2; do
  cjpeg -sample "$s" -quality 85 "$tmp/plasma.ppm" > "$out/plasma-$s.jpg"
done
cjpeg -grayscale "$tmp/gradient.ppm" > "$out/gradient-grey.jpg"
cjpeg -sample 2x2 -restart 1B "$tmp/plasma.ppm" > "$out/plasma-restart1.jpg"
cjpeg -sample 1x1 -restart 3B -optimize "$tmp/plasma.ppm" > "$out/plasma-restart3-optimised.jpg"
cjpeg -sample 2x1 -quality 100 "$tmp/flat.ppm" > "$out/flat-q100.jpg"
jpegtran -restart 1B -optimize "$out/gradient-grey.jpg" > "$out/gradient-grey-restart1.jpg"
# Progressive: the encoder's script, restarts, and successive approximation
# of DC and AC bands (refinement scans, end-of-band runs); the bitmap entry
# refuses them, so its refusal paths are seeded too.
cjpeg -progressive "$tmp/plasma.ppm" > "$out/plasma-progressive.jpg"
jpegtran -progressive -restart 2B "$out/plasma-2x2.jpg" > "$out/plasma-progressive-restart2.jpg"
jpegtran -progressive "$out/gradient-grey.jpg" > "$out/gradient-grey-progressive.jpg"
printf '%s\n' "0,1,2: 0 0 0 2;" "0: 1 5 0 2;" "0: 6 63 0 1;" "1: 1 63 0 1;" "2: 1 63 0 1;" \
  "0,1,2: 0 0 2 1;" "0,1,2: 0 0 1 0;" "0: 1 5 2 1;" "0: 1 63 1 0;" "1: 1 63 1 0;" "2: 1 63 1 0;" > "$tmp/scans.txt"
jpegtran -scans "$tmp/scans.txt" "$out/plasma-2x1.jpg" > "$out/plasma-approximation.jpg"
jpegtran -scans "$tmp/scans.txt" -restart 1B "$out/flat-q100.jpg" > "$out/flat-approximation-restart1.jpg"
# Arithmetic-coded: sequential (with restarts and a DAC segment of its own
# conditioning) and progressive.
jpegtran -arithmetic "$out/plasma-2x2.jpg" > "$out/plasma-arithmetic.jpg"
jpegtran -arithmetic -restart 1B "$out/gradient-grey.jpg" > "$out/gradient-grey-arithmetic-restart1.jpg"
jpegtran -arithmetic -progressive "$out/plasma-1x1.jpg" > "$out/plasma-arithmetic-progressive.jpg"
jpegtran -arithmetic -scans "$tmp/scans.txt" -restart 2B "$out/plasma-2x1.jpg" > "$out/plasma-arithmetic-approximation.jpg"
cjpeg -sample 4x1 "$tmp/plasma.ppm" > "$out/plasma-4x1.jpg"
