#!/usr/bin/env bash
# Makes a folder from which ipptool runs Debian's IPP Everywhere tests against the printer
# application: copies of ipp-everywhere.test and the IPP/2.0 and IPP/1.1 tests it includes,
# and every document they name, rendered with Ghostscript from tests/app/documents:
#
#   pwg-raster-samples-RESdpi/sgray-8/NAME-sgray-8-RESdpi.pwg   8-bit grey PWG rasters at 180
#                                                               and 360 dpi
#   document-a4.pdf, document-letter.pdf, document-a4.ps,       two-page documents
#   document-letter.ps
#   color.jpg, gray.jpg                                         a 4x6 inch picture at 150 dpi
#
# ipptool reads every FILE a test names, even of a test it skips, and stops reading a test
# file at the first it cannot read: the samples in raster types and at resolutions the printer
# does not offer are left as empty files, and the script fails when any named document is
# missing. It installs Ghostscript and cups-ipp-utils when they are missing (as root, or
# through sudo).
set -euo pipefail

out="${1:?usage: make-ipp-samples.sh OUT-FOLDER}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
documents="$root/tests/app/documents"
ipptool_dir=/usr/share/cups/ipptool
tests=(ipp-everywhere.test ipp-2.0.test ipp-1.1.test)

bash "$root/scripts/install-packages.sh" ghostscript cups-ipp-utils
mkdir -p "$out"
for test in "${tests[@]}"; do
  cp "$ipptool_dir/$test" "$out/$test"
done

# render DEVICE OUTPUT SOURCE WIDTH HEIGHT [GS-OPTION...]: one document, the page size in
# points.
render() {
  local device="$1" output="$2" source="$3" width="$4" height="$5"
  shift 5
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE="$device" -dDEVICEWIDTHPOINTS="$width" \
    -dDEVICEHEIGHTPOINTS="$height" -dFIXEDMEDIA "$@" -sOutputFile="$output" \
    -sstdout=%stderr "$documents/$source" 2>/dev/null
}

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
    render pwgraster "$folder/$name-sgray-8-${res}dpi.pwg" "$source" "$width" "$height" \
      -r"$res" -dcupsColorSpace=18 -dcupsBitsPerColor=8
  done
done

render pdfwrite "$out/document-a4.pdf" document.ps 595 842
render pdfwrite "$out/document-letter.pdf" document.ps 612 792
render ps2write "$out/document-a4.ps" document.ps 595 842
render ps2write "$out/document-letter.ps" document.ps 612 792
render jpeg "$out/color.jpg" photo.ps 288 432 -r150
render jpeggray "$out/gray.jpg" photo.ps 288 432 -r150

# The raster samples the printer cannot take, as empty files; then every FILE of the tests
# must be there ($filename is the document given to ipptool with -f).
(cd "$out" && grep -ho 'pwg-raster-samples-[^ ]*\.pwg' "${tests[@]}") | sort -u |
  while read -r sample; do
    mkdir -p "$out/$(dirname "$sample")"
    [ -e "$out/$sample" ] || : >"$out/$sample"
  done
missing=0
for test in "${tests[@]}"; do
  while read -r file; do
    if [ ! -e "$out/$file" ]; then
      echo "make-ipp-samples.sh: $test names $file, which was not made" >&2
      missing=1
    fi
  done < <(awk '$1 == "FILE" && $2 !~ /^\$/ { print $2 }' "$out/$test" | sort -u)
done
[ "$missing" -eq 0 ] || exit 1
echo "IPP Everywhere tests and their documents: $out"
