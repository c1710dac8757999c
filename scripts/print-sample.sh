#!/usr/bin/env bash
# Prints a document, or the project's own sample, through the real CUPS chain into Vorne printer bytes (and page pictures).
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/print-sample.sh [DOCUMENT.pdf] [-o option=value ...]

Runs the document through the CUPS chain that a print queue with the Vorne PPD runs
(pdftopdf, the ghostscript renderer, rastertoquillmarsh) and writes the bytes that would go
to the printer into a file. Without a document it prints the project's sample: a Letter page
of text, lines and a grey ramp, and an A5 form that the printer prints sideways.

Options are PPD options and CUPS job options, for example:
  -o Resolution=180dpi | 360dpi | 360x360dpi     halftoned / sharp text / graphics
  -o PrintQuality=DraftQuality                    the printer's draft mode
  -o TopMargin=10 -o LeftMargin=5                 margins in millimetres
  -o media=A4                                     paper size: Letter, A4, A5, 9.5x11,
                                                  FanFoldGerman (8.5 x 12 in), Custom.WxHin
  -o TurnPages=True                               turn A5 portrait pages across the carriage
                                                  (the job option nopdfAutoRotate does too)

Results go to build/print-sample/ (set OUT_DIR to choose another folder, BUILD_DIR another
build folder). A PNG picture of every page, drawn by quillmarsh-preview, and a summary of
the stream go beside the bytes.
EOF
}

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="${OUT_DIR:-$build/print-sample}"

# Adds one job option. A queue hands the filter "nopdfAutoRotate" as written, and the filter
# turns A5 pages only when it sees those words; cupsfilter would hand on
# "pdfAutoRotate=false" instead, so the option goes in both forms.
options=()
add_option() {
  case "$1" in
    nopdfAutoRotate | nopdfAutorotate) options+=(-o pdfAutoRotate=false -o "$1=true") ;;
    *) options+=(-o "$1") ;;
  esac
}

# Command line: one optional document, any number of -o options.
document=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    -o) [ $# -ge 2 ] || { usage >&2; exit 2; }; add_option "$2"; shift 2 ;;
    -o*) add_option "${1#-o}"; shift ;;
    -*) echo "Unknown option $1" >&2; usage >&2; exit 2 ;;
    *)
      [ -z "$document" ] || { echo "Only one document, please." >&2; exit 2; }
      [ -r "$1" ] || { echo "Cannot read $1" >&2; exit 2; }
      document="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
      shift ;;
  esac
done

# Debian packages: the compiler and libraries of the build (GoogleTest too, since the build
# configures the tests), and the CUPS chain: cupsfilter, pdftopdf and gstoraster, the PPD
# compiler, ghostscript to render and to make the sample PDF.
packages=(
  g++ cmake ninja-build pkg-config libgtest-dev libbenchmark-dev
  libcups2-dev libcupsimage2-dev libpng-dev
  cups cups-filters cups-ppdc ghostscript poppler-utils
)
bash "$root/scripts/install-packages.sh" "${packages[@]}"

# Build the filter, the PPD and the preview tool.
targets=(rastertoquillmarsh vorne24_ppd quillmarsh-preview)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target "${targets[@]}"
filter="$build/filter/rastertoquillmarsh"
ppd="$build/ppd/vorne24.ppd"
preview="$build/preview/quillmarsh-preview"

# cupsfilter finds every filter in one ServerBin folder: a private one holding the system's
# filters and ours, named by a private cups-files.conf, so the system's CUPS is not touched.
mkdir -p "$out"
server_bin="$out/serverbin"
rm -rf "$server_bin"
mkdir -p "$server_bin/filter"
system_filters="$(cups-config --serverbin)/filter"
for system_filter in "$system_filters"/*; do
  # An installed copy of ours stays out: the chain runs the one just built.
  [ "$(basename "$system_filter")" = rastertoquillmarsh ] || ln -s "$system_filter" "$server_bin/filter/"
done
install -m 0755 "$filter" "$server_bin/filter/rastertoquillmarsh"
printf 'ServerBin %s\n' "$server_bin" > "$out/cups-files.conf"

# The sample: PostScript written here, made into PDF by ghostscript.
write_sample_letter() {
  cat <<'EOF'
%!PS-Adobe-3.0
%%Title: quillmarsh sample page
<< /PageSize [612 792] >> setpagedevice
/font { findfont exch scalefont setfont } def
/text { moveto show } def

20 /Helvetica-Bold font
(Vorne 24-Pin Dot Matrix: sample page) 54 730 text
10 /Helvetica font
(Printed by quillmarsh through pdftopdf, ghostscript and rastertoquillmarsh.) 54 712 text

11 /Times-Roman font
(The print head has 24 pins in a column. Each pass across the paper prints one band of) 54 680 text
(24 dot rows; then the paper moves up for the next band. White rows are fed, not printed.) 54 666 text
10 /Courier font
(Courier 10: 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz) 54 646 text
(Sizes:) 54 626 text
6 1 14 { dup /Helvetica font (Aa) 1 index 6 sub 30 mul 110 add 626 text pop } for

% Lines of growing width, and a fan of thin diagonals.
9 /Helvetica font
/y 590 def
[0.25 0.5 1 2 4] {
  /w exch def
  w setlinewidth
  54 y moveto 354 0 rlineto stroke
  w 6 string cvs 414 y 3 sub text ( pt) show
  /y y 18 sub def
} forall
0.5 setlinewidth
0 10 90 { dup cos 110 mul exch sin 110 mul 470 480 moveto rlineto stroke } for

% A grey ramp: eleven steps from white to black.
10 /Helvetica-Bold font
(Grey ramp) 54 436 text
9 /Helvetica font
0 1 10 {
  /i exch def
  1 i 10 div sub setgray 54 i 46 mul add 370 44 56 rectfill
  0 setgray i 10 mul 3 string cvs 68 i 46 mul add 358 text
} for
0 setgray 0.5 setlinewidth 54 370 506 56 rectstroke

% Boxes and a circle.
1 setlinewidth
54 200 150 120 rectstroke
0.8 setgray 74 220 110 80 rectfill 0 setgray
newpath 340 260 60 0 360 arc stroke
0.3 setgray newpath 480 260 40 0 360 arc fill 0 setgray
10 /Helvetica font
(Boxes, a ring and a disc) 54 180 text
(End of the sample page.) 54 60 text
showpage
EOF
}

write_sample_a5_form() {
  cat <<'EOF'
%!PS-Adobe-3.0
%%Title: quillmarsh sample A5 form
<< /PageSize [420 595] >> setpagedevice
/font { findfont exch scalefont setfont } def
/text { moveto show } def
/field { % label x y width
  /w exch def /y exch def /x exch def
  8 /Helvetica font x y 12 add text
  0.5 setlinewidth x y moveto w 0 rlineto stroke
} def

16 /Helvetica-Bold font
(DELIVERY NOTE) 48 548 text
9 /Courier font
(Vorne 24-pin A5 form, printed across the carriage) 48 534 text
1 setlinewidth 40 40 356 530 rectstroke

(No.) 48 490 120 field
(Date) 200 490 180 field
(Customer) 48 456 332 field
(Address) 48 422 332 field
() 48 398 332 field

% The table: item, quantity, price.
10 /Helvetica-Bold font
(Item) 54 366 text (Qty) 266 366 text (Price) 322 366 text
0.5 setlinewidth
48 180 332 200 rectstroke
0 1 7 { 25 mul 355 exch sub 48 exch moveto 332 0 rlineto stroke } for
260 180 moveto 0 200 rlineto stroke
316 180 moveto 0 200 rlineto stroke
10 /Courier font
(Ribbon, black nylon) 54 336 text (2) 270 336 text (14.00) 322 336 text
(Fanfold paper 9.5x11) 54 311 text (1) 270 311 text (38.50) 322 311 text
(Tractor feed knob) 54 286 text (1) 270 286 text (6.20) 322 286 text
0.85 setgray 48 130 332 30 rectfill 0 setgray
10 /Helvetica-Bold font (Total) 54 140 text (58.70) 322 140 text

(Received by) 48 70 180 field
(Signature) 240 70 140 field
showpage
EOF
}

# Prints one document: bytes to NAME.prn, the chain's messages to NAME.log, pictures to
# NAME-page-N.png.
print_document() {
  local name="$1" source="$2"
  shift 2
  local bytes="$out/$name.prn" log="$out/$name.log"
  rm -f "$out/$name"-page-*.png "$out/$name-summary.txt"
  local started ended
  started=$(date +%s%N)
  if ! cupsfilter -c "$out/cups-files.conf" -p "$ppd" -m printer/foo -e "$@" "$source" \
    > "$bytes" 2> "$log"; then
    echo "cupsfilter failed on $source; its last messages ($log):" >&2
    grep -v '^DEBUG' "$log" | tail -n 20 >&2
    return 1
  fi
  ended=$(date +%s%N)

  local pages turned
  turned=$(grep -c '^Print rotate page' "$log" || true)
  pages=$(($(grep -c '^PAGE: ' "$log" || true) - turned))
  echo
  echo "$name: $(basename "$source")"
  printf '  printer bytes: %s\n' "$bytes"
  printf '                 %s bytes, %s page(s) upright, %s turned, made in %d ms\n' \
    "$(stat -c %s "$bytes")" "$pages" "$turned" $(((ended - started) / 1000000))
  echo "  messages:      $log"
  if [ -x "$preview" ]; then
    "$preview" --summary --output "$out/$name-page-%d.png" "$bytes" \
      > "$out/$name-summary.txt" 2>> "$log"
    sed 's/^/  /' "$out/$name-summary.txt"
    echo "  pictures:"
    ls "$out/$name"-page-*.png | sed 's/^/    /'
  fi
}

echo "Printing with $ppd into $out"
if [ -n "$document" ]; then
  name="$(basename "${document%.*}")"
  print_document "$name" "$document" "${options[@]}"
else
  write_sample_letter > "$out/sample-letter.ps"
  write_sample_a5_form > "$out/sample-a5-form.ps"
  ps2pdf "$out/sample-letter.ps" "$out/sample-letter.pdf"
  ps2pdf "$out/sample-a5-form.ps" "$out/sample-a5-form.pdf"
  print_document sample-letter "$out/sample-letter.pdf" -o media=Letter "${options[@]}"
  # A5 pages are printed sideways when the job asks for turned pages.
  add_option media=A5
  add_option TurnPages=True
  print_document sample-a5-form "$out/sample-a5-form.pdf" "${options[@]}"
fi
