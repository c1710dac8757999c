#!/usr/bin/env bash
# Renders the sample documents of ipptool's IPP Everywhere tests as 8-bit grey PWG rasters at
# 180 and 360 dpi with Ghostscript: OUT/pwg-raster-samples-RESdpi/sgray-8/NAME-sgray-8-RESdpi.pwg.
# Given the test file, it also leaves an empty file for every other sample it names: ipptool
# insists on reading each FILE, even of the tests it skips for a raster type or resolution
# the printer does not offer.
set -euo pipefail

out="${1:?usage: make-ipp-samples.sh OUT-FOLDER [TEST-FILE]}"
test_file="${2:-}"
documents="$(cd "$(dirname "${BASH_SOURCE[0]}")/documents" && pwd)"

# name, PostScript source, page width and height in points
samples=(
  "color.jpg-4x6 photo.ps 288 432"
  "gray.jpg-4x6 photo.ps 288 432"
  "document-a4 document.ps 595 842"
  "document-letter document.ps 612 792"
  "onepage-a4 onepage.ps 595 842"
  "onepage-letter onepage.ps 612 792"
)

for res in 180 360; do
  folder="$out/pwg-raster-samples-${res}dpi/sgray-8"
  mkdir -p "$folder"
  for sample in "${samples[@]}"; do
    read -r name source width height <<<"$sample"
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r"$res" -dcupsColorSpace=18 \
      -dcupsBitsPerColor=8 -dDEVICEWIDTHPOINTS="$width" -dDEVICEHEIGHTPOINTS="$height" \
      -dFIXEDMEDIA -sOutputFile="$folder/$name-sgray-8-${res}dpi.pwg" -sstdout=%stderr \
      "$documents/$source" 2>/dev/null
  done
done

if [ -n "$test_file" ]; then
  grep -o 'pwg-raster-samples-[^ ]*\.pwg' "$test_file" | sort -u | while read -r sample; do
    mkdir -p "$out/$(dirname "$sample")"
    [ -e "$out/$sample" ] || : >"$out/$sample"
  done
fi
