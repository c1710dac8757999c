#!/usr/bin/env bash
# Times the filter against the raster-read floor and CUPS's rastertoepson on rendered documents.
set -euo pipefail

# Usage: scripts/bench.sh
#   BUILD_DIR   Release build of the project (default build-bench)
#   BENCH_DIR   documents, rasters and results (default out/bench); rendered once, kept
#   BENCH_RUNS  timed runs of every program on every document (default 21)
#
# For every document and program: median wall time over alternating runs, instructions
# counted by callgrind beyond those of a run without pages, peak resident memory, output
# bytes per page and their time on a serial line. Then the tall-page and rotated-page memory
# checks, the micro-benchmarks, and whether each target holds. Results also go to
# $BENCH_DIR/results.md.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
work="${BENCH_DIR:-$root/out/bench}"
runs="${BENCH_RUNS:-21}"

# Debian packages: what the build needs, the CUPS chain that renders the documents and runs
# the peer driver, ghostscript for the synthetic documents, valgrind for instruction counts.
packages=(
  g++ cmake ninja-build pkg-config libgtest-dev libbenchmark-dev
  libcups2-dev libcupsimage2-dev libpng-dev
  cups cups-filters cups-ppdc ghostscript valgrind util-linux
)
bash "$root/scripts/install-packages.sh" "${packages[@]}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target rastertoquillmarsh vorne24_ppd raster_floor make_raster \
  measure_run filter_bench >/dev/null

filter="$build/filter/rastertoquillmarsh"
floor="$build/bench/raster_floor"
make_raster="$build/bench/make_raster"
measure="$build/bench/measure_run"
our_ppd="$build/ppd/vorne24.ppd"
peer=/usr/lib/cups/filter/rastertoepson
testpage=/usr/share/cups/data/default-testpage.pdf

mkdir -p "$work/ppd" "$work/docs" "$work/raster" "$work/run"
peer_ppd="$work/ppd/epson24.ppd"
[ -s "$peer_ppd" ] || ppdc -d "$work/ppd" /usr/share/cups/drv/sample.drv

# ---------------------------------------------------------------------------------------------
# The synthetic documents, written as PostScript and turned into PDF.

if [ ! -s "$work/docs/photo.pdf" ]; then
  cat >"$work/docs/photo.ps" <<'EOF'
%!PS-Adobe-3.0
%%BoundingBox: 0 0 595 842
%%Pages: 1
%%EndComments
% A photo-like grey picture filling an A4 page: soft waves and blobs with fine grain.
<< /PageSize [595 842] >> setpagedevice
/w 640 def /h 900 def
/row w string def
/seed 1 def
% The ZX81 generator: small enough for PostScript's 32-bit integers, the same on every run.
/grain { /seed seed 75 mul 74 add 65537 mod def seed 41 mod 20 sub } def
/y 0 def
/nextrow {
  0 1 w 1 sub {
    /x exch def
    128
    x 0.9 mul sin y 0.7 mul cos mul 70 mul add
    x y add 0.35 mul cos 45 mul add
    x 320 sub dup mul y 450 sub dup mul add sqrt 1.5 mul sin 25 mul add
    grain add
    round cvi dup 0 lt { pop 0 } if dup 255 gt { pop 255 } if
    row exch x exch put
  } for
  /y y 1 add def
  row
} def
%%Page: 1 1
gsave
595 842 scale
w h 8 [w 0 0 h neg 0 h] { nextrow } image
grestore
showpage
%%EOF
EOF
  ps2pdf "$work/docs/photo.ps" "$work/docs/photo.pdf"
fi

if [ ! -s "$work/docs/text.pdf" ]; then
  cat >"$work/docs/text.ps" <<'EOF'
%!PS-Adobe-3.0
%%BoundingBox: 0 0 595 842
%%Pages: 10
%%EndComments
% Ten A4 pages of running text in 10 point Courier, words drawn from a fixed list.
<< /PageSize [595 842] >> setpagedevice
/words [(the) (printer) (prints) (one) (band) (of) (twenty-four) (dot) (rows) (per) (pass,)
        (and) (every) (page) (is) (cut) (into) (bands) (that) (run) (left) (to) (right.)
        (Paper) (feeds) (between) (them;) (white) (lines) (become) (feed) (instead.)] def
/seed 7 def
/nextword { /seed seed 75 mul 74 add 65537 mod def words seed words length mod get } def
/Courier findfont 10 scalefont setfont
1 1 10 {
  pop
  1 1 64 {
    48 800 3 -1 roll 12 mul sub moveto
    { nextword show ( ) show currentpoint pop 500 gt { exit } if } loop
  } for
  showpage
} for
%%EOF
EOF
  ps2pdf "$work/docs/text.ps" "$work/docs/text.pdf"
fi

# ---------------------------------------------------------------------------------------------
# Documents: name, PDF, our Resolution choice, the peer's Resolution choice.

documents=(
  "testpage-180 $testpage 180dpi 180dpi"
  "testpage-360 $testpage 360dpi 360dpi"
  "photo-360 $work/docs/photo.pdf 360x360dpi 360dpi"
  "text-180 $work/docs/text.pdf 180dpi 180dpi"
)

# Renders a PDF to a raster through cupsfilter, stopped before the printer's own filter.
render() {
  local ppd="$1" pdf="$2" resolution="$3" raster="$4"
  if [ ! -s "$raster" ]; then
    cupsfilter -p "$ppd" -m application/vnd.cups-raster -o PageSize=A4 \
      -o "Resolution=$resolution" "$pdf" >"$raster.part" 2>"$raster.log"
    mv "$raster.part" "$raster"
  fi
}

for document in "${documents[@]}"; do
  read -r name pdf ours theirs <<<"$document"
  render "$our_ppd" "$pdf" "$ours" "$work/raster/$name.ras"
  render "$peer_ppd" "$pdf" "$theirs" "$work/raster/$name.peer.ras"
done

# ---------------------------------------------------------------------------------------------
# Measurements. Each program is run as CUPS runs a filter: PPD in the environment, the job's
# options as argument 5 and the raster file as argument 6. Address-space randomisation is
# switched off (setarch -R) so that peak memory repeats from run to run.

# run_program PROGRAM PPD OPTIONS RASTER OUT ERR: one timed run; prints "seconds kilobytes".
run_program() {
  local program="$1" ppd="$2" options="$3" raster="$4" out="$5" err="$6"
  PPD="$ppd" setarch "$(uname -m)" -R "$measure" "$out" "$program" 1 bench bench 1 "$options" \
    "$raster" 2>"$err"
}

# instructions PROGRAM PPD OPTIONS RASTER: instructions counted by callgrind for one run. The
# peer ends with status 1 on an input without pages, which is no failure here.
instructions() {
  local program="$1" ppd="$2" options="$3" raster="$4"
  {
    PPD="$ppd" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$program" 1 bench bench \
      1 "$options" "$raster" 2>&1 >/dev/null || true
  } | awk '/Collected :/ { print $NF }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

results="$work/results.md"
: >"$results"
say() {
  echo "$@" | tee -a "$results"
}

# Start-up: a run on an input without pages (instructions and memory of the bare process).
startup_floor=$(instructions "$floor" "$our_ppd" "" /dev/null)
startup_filter=$(instructions "$filter" "$our_ppd" "" /dev/null)
startup_peer=$(instructions "$peer" "$peer_ppd" "" /dev/null)
startup_rss=$(for i in 1 2 3; do
  run_program "$filter" "$our_ppd" "" /dev/null /dev/null /dev/null | awk '{ print $2 }'
done | median)

say "Benchmark of $(git -C "$root" rev-parse --short HEAD) on $(date -u +%Y-%m-%d), $runs runs each;"
say "instructions are counted beyond a run without pages ($startup_floor floor,"
say "$startup_filter filter, $startup_peer peer)."
say ""
say "| Document | Program | Wall ms | x floor | x peer | Instructions | x peer | Peak RSS KiB | Bytes/page | 9600 Bd s/page | 115200 Bd s/page |"
say "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"

wall_ok=yes
instructions_ok=yes
for document in "${documents[@]}"; do
  read -r name pdf ours theirs <<<"$document"
  raster="$work/raster/$name.ras"
  peer_raster="$work/raster/$name.peer.ras"
  run="$work/run/$name"

  # Alternating runs, so that a busy moment of the machine hits all three alike.
  : >"$run.floor.times"
  : >"$run.filter.times"
  : >"$run.peer.times"
  for ((i = 0; i < runs; i++)); do
    run_program "$floor" "$our_ppd" "Resolution=$ours" "$raster" /dev/null "$run.floor.err" \
      >>"$run.floor.times"
    run_program "$filter" "$our_ppd" "Resolution=$ours" "$raster" "$run.filter.out" \
      "$run.filter.err" >>"$run.filter.times"
    run_program "$peer" "$peer_ppd" "Resolution=$theirs" "$peer_raster" "$run.peer.out" \
      "$run.peer.err" >>"$run.peer.times"
  done

  pages=$(grep -c '^PAGE:' "$run.filter.err" || true)
  peer_pages=$(grep -c '^PAGE:' "$run.peer.err" || true)
  declare -A wall rss count bytes
  for program in floor filter peer; do
    wall[$program]=$(awk '{ print $1 * 1000 }' "$run.$program.times" | median)
    rss[$program]=$(awk '{ print $2 }' "$run.$program.times" | median)
  done
  count[floor]=$(($(instructions "$floor" "$our_ppd" "Resolution=$ours" "$raster") - startup_floor))
  count[filter]=$(($(instructions "$filter" "$our_ppd" "Resolution=$ours" "$raster") - startup_filter))
  count[peer]=$(($(instructions "$peer" "$peer_ppd" "Resolution=$theirs" "$peer_raster") - startup_peer))
  bytes[floor]=0
  bytes[filter]=$(($(stat -c %s "$run.filter.out") / (pages > 0 ? pages : 1)))
  bytes[peer]=$(($(stat -c %s "$run.peer.out") / (peer_pages > 0 ? peer_pages : 1)))

  for program in floor filter peer; do
    read -r to_floor to_peer count_to_peer line_slow line_fast < <(awk \
      -v w="${wall[$program]}" -v wf="${wall[floor]}" -v wp="${wall[peer]}" \
      -v c="${count[$program]}" -v cp="${count[peer]}" -v b="${bytes[$program]}" \
      'BEGIN { printf "%.2f %.2f %.2f %.1f %.2f\n", w / wf, w / wp, c / cp, b * 10 / 9600, b * 10 / 115200 }')
    say "| $name | $program | ${wall[$program]} | $to_floor | $to_peer | ${count[$program]} |" \
      "$count_to_peer | ${rss[$program]} | ${bytes[$program]} | $line_slow | $line_fast |"
  done

  awk -v w="${wall[filter]}" -v f="${wall[floor]}" 'BEGIN { exit !(w <= 1.3 * f) }' || wall_ok=no
  [ $((2 * count[filter])) -le "${count[peer]}" ] || instructions_ok=no
done

# ---------------------------------------------------------------------------------------------
# Memory checks on synthetic rasters: a page 24 rows high against one 50,000 rows high, both
# streamed through standard input; and an A5 page at 360 dpi that the job asks to turn.

tall_rss() {
  local height="$1"
  for i in 1 2 3; do
    "$make_raster" 1440 "$height" 180 photo |
      PPD="$our_ppd" setarch "$(uname -m)" -R "$measure" /dev/null "$filter" 1 bench bench 1 "" \
        2>/dev/null | awk '{ print $2 }'
  done | median
}
short_page=$(tall_rss 24)
tall_page=$(tall_rss 50000)

a5="$work/raster/a5-rotated-360.ras"
[ -s "$a5" ] || "$make_raster" 1980 2880 360 photo >"$a5"
rotated_rss=$(for i in 1 2 3; do
  run_program "$filter" "$our_ppd" "nopdfAutoRotate Resolution=360dpi" "$a5" /dev/null \
    "$work/run/a5.err" | awk '{ print $2 }'
done | median)
grep -q "^Print rotate page" "$work/run/a5.err" || rotated_rss="not-turned"
# The turned path holds the page twice, halved both ways: 990 x 1440 bytes each.
rotated_budget=$(((2 * 990 * 1440 + 2 * 1024 * 1024) / 1024))

say ""
say "| Memory check | Peak RSS KiB | Above start-up KiB |"
say "|---|---:|---:|"
say "| start-up, no page | $startup_rss | 0 |"
say "| band loop, page 24 rows high | $short_page | $((short_page - startup_rss)) |"
say "| band loop, page 50,000 rows high | $tall_page | $((tall_page - startup_rss)) |"
say "| rotated A5 page at 360 dpi | $rotated_rss | $((rotated_rss - startup_rss)) |"

# ---------------------------------------------------------------------------------------------
# Micro-benchmarks, in megabytes (10^6 bytes) of grey input per second.

"$build/bench/filter_bench" --benchmark_out="$work/run/micro.json" --benchmark_out_format=json \
  2>/dev/null
say ""
say "| Micro-benchmark | Input | MB/s of grey input |"
say "|---|---|---:|"
awk -F'"' '
  function flush() {
    if (name != "") printf "| %s | %s | %.0f |\n", name, label, rate / 1e6
    name = ""
  }
  /"name":/ { flush(); name = $4 }
  /"label":/ { label = $4 }
  /"bytes_per_second":/ { split($3, v, /[:,]/); rate = v[2] }
  END { flush() }
' "$work/run/micro.json" | tee -a "$results"

# ---------------------------------------------------------------------------------------------
# Targets.

verdict() {
  if "$@"; then echo holds; else echo fails; fi
}
tall_ok() { [ $((tall_page - short_page)) -le 300 ] && [ $((tall_page - short_page)) -ge -300 ]; }
band_ok() { [ $((tall_page - startup_rss)) -lt 8192 ] && [ $((short_page - startup_rss)) -lt 8192 ]; }
rotated_ok() { [ "$rotated_rss" != not-turned ] && [ $((rotated_rss - startup_rss)) -le "$rotated_budget" ]; }

say ""
say "| Target | Result |"
say "|---|---|"
say "| wall time within 1.3x of the floor on every document | $(verdict [ $wall_ok = yes ]) |"
say "| instructions beyond start-up at most half of the peer's on every document | $(verdict [ $instructions_ok = yes ]) |"
say "| tall page: 24 and 50,000 rows within 300 KiB of each other | $(verdict tall_ok) |"
say "| band loop under 8 MiB above start-up, any height | $(verdict band_ok) |"
say "| rotated A5 at 360 dpi within two page images + 2 MiB ($rotated_budget KiB) above start-up | $(verdict rotated_ok) |"
