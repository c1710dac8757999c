#!/usr/bin/env bash
# Measures the printer application: submit to completed for a one-page PWG raster, and the
# resident memory of an idle server with one printer (a Release build in build-bench/).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
runs="${BENCH_RUNS:-21}"

bash "$root/scripts/install-packages.sh" g++ cmake ninja-build pkg-config libgtest-dev \
  libbenchmark-dev libcups2-dev libcupsimage2-dev libpng-dev cups-ppdc libpappl-dev ghostscript
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target app_bench quillmarsh >/dev/null
"$build/bench/app_bench" "$runs"
