#!/usr/bin/env bash
# zentrafold-decode over every photograph of plasma-workspace-wallpapers,
# baseline and progressive: each decodes with exit 0 and no message to a PPM
# of the size ImageMagick reports.
set -u
tool=$1
root=/usr/share/wallpapers
[ -d "$root" ] || { echo "plasma-workspace-wallpapers is not installed"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0 decoded=0 progressive=0
while IFS= read -r file; do
  read -r width height interlace < <(identify -format '%w %h %[interlace]\n' "$file" | head -n 1)
  "$tool" "$file" "$out/p.ppm" 2>"$out/err"
  status=$?
  size=$(head -c 20 "$out/p.ppm" 2>/dev/null | sed -n 2p)
  expected="$width $height"
  if [ $status -ne 0 ] || [ "$size" != "$expected" ] || [ -s "$out/err" ]; then
    echo "FAIL: $file: status $status, size '$size', $(head -n 1 "$out/err")"; failures=$((failures + 1))
  else
    decoded=$((decoded + 1))
    [ "$interlace" = JPEG ] && progressive=$((progressive + 1))
  fi
done < <(find "$root" -name '*.jpg' -exec readlink -f {} \; | sort -u)
echo "$decoded decoded ($progressive progressive), $failures failures"
[ $failures -eq 0 ] && [ $decoded -gt 0 ] && [ $progressive -gt 0 ]
