#!/usr/bin/env bash
# zentrafold-decode over every photograph of plasma-workspace-wallpapers:
# baseline frames decode with exit 0 to a PPM of the size ImageMagick
# reports, progressive frames are refused with exit 1 and a one-line message.
set -u
tool=$1
root=/usr/share/wallpapers
[ -d "$root" ] || { echo "plasma-workspace-wallpapers is not installed"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0 decoded=0 refused=0
while IFS= read -r file; do
  read -r width height interlace < <(identify -format '%w %h %[interlace]\n' "$file" | head -n 1)
  "$tool" "$file" "$out/p.ppm" 2>"$out/err"
  status=$?
  if [ "$interlace" != JPEG ]; then
    size=$(head -c 20 "$out/p.ppm" 2>/dev/null | sed -n 2p)
    expected="$width $height"
    if [ $status -ne 0 ] || [ "$size" != "$expected" ]; then
      echo "FAIL: $file: status $status, size '$size'"; failures=$((failures + 1))
    else
      decoded=$((decoded + 1))
    fi
  else
    if [ $status -ne 1 ] || [ "$(wc -l < "$out/err")" -ne 1 ]; then
      echo "FAIL: $file: progressive, status $status"; failures=$((failures + 1))
    else
      refused=$((refused + 1))
    fi
  fi
done < <(find "$root" -name '*.jpg' -exec readlink -f {} \; | sort -u)
echo "$decoded decoded, $refused refused, $failures failures"
[ $failures -eq 0 ] && [ $decoded -gt 0 ]
