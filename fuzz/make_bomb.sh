#!/usr/bin/env bash
# Writes OUTPUT: INPUT (a baseline JPEG) with its frame header claiming
# WIDTH x HEIGHT (default 65535 x 65535) and its entropy-coded data cut to
# 16 bytes: the decompression bomb, a few hundred bytes asking for up to
# 17 GB of pixels.
#   fuzz/make_bomb.sh INPUT OUTPUT [WIDTH HEIGHT]
set -euo pipefail
in=${1:?usage: make_bomb.sh INPUT OUTPUT [WIDTH HEIGHT]}
out=${2:?}
width=${3:-65535}
height=${4:-65535}
perl -e '
  local $/; open my $f, "<:raw", $ARGV[0] or die "$ARGV[0]: $!"; my $s = <$f>;
  my $sof = index($s, "\xFF\xC0"); die "no SOF0\n" if $sof < 0;
  substr($s, $sof + 5, 4) = pack("nn", $ARGV[3], $ARGV[2]);
  my $sos = index($s, "\xFF\xDA", $sof); die "no SOS\n" if $sos < 0;
  my $data = $sos + 2 + unpack("n", substr($s, $sos + 2, 2));
  open my $o, ">:raw", $ARGV[1] or die "$ARGV[1]: $!";
  print $o substr($s, 0, $data + 16), "\xFF\xD9";
' "$in" "$out" "$width" "$height"
