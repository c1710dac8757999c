#!/usr/bin/env bash
# Measures the printer application beside LPrint: submit to completed for a one-page PWG raster
# and a one-page PDF (LPrint: a label page), and the resident memory of both servers idle and
# after the jobs (a Release build in build-bench/). Needs root, as the tests do: the servers
# run as nobody, in a network namespace of their own that has nothing but loopback (LPrint
# listens on every address).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
runs="${BENCH_RUNS:-21}"

bash "$root/scripts/install-packages.sh" g++ cmake ninja-build pkg-config libgtest-dev \
  libbenchmark-dev libcups2-dev libcupsimage2-dev libpng-dev cups-ppdc libpappl-dev ghostscript \
  lprint iproute2 util-linux
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target app_bench quillmarsh >/dev/null
unshare --net -- bash -c 'ip link set lo up && exec "$@"' bench "$build/bench/app_bench" "$runs"
