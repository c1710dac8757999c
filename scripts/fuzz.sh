#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (default 60 s each).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${1:-60}"

# Debian packages: clang with its sanitizer and libFuzzer runtimes, and what configuring the
# project needs (the CUPS libraries and PPD compiler, libpng, Google Benchmark).
packages=(
  clang libclang-rt-14-dev g++ cmake ninja-build pkg-config libbenchmark-dev
  libcups2-dev libcupsimage2-dev libpng-dev cups-ppdc
)
bash "$root/scripts/install-packages.sh" "${packages[@]}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUILLMARSH_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build "$build" -j "$(nproc)" \
  --target raster_stream_fuzzer job_options_fuzzer preview_stream_fuzzer make_fuzz_seeds

# Each target grows its own corpus in the build folder, starting from the seeds in the repo.
# A finding is written to the build folder as crash-* (or oom-*, timeout-*) and fails the run;
# run the target on that file alone to see it again. libcups's own allocations for hostile
# headers fail on purpose in the raster target, and ASan warns of each: those lines are dropped.
# The preview target's memory must not grow with its input: its limit is a quarter of the
# others'.
run_target() {
  local target="$1" seeds="$2" max_len="$3" rss_mb="$4"
  mkdir -p "$build/corpus/$target"
  echo "== $target for $seconds s"
  "$build/fuzz/$target" "$build/corpus/$target" "$root/fuzz/corpus/$seeds" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb="$rss_mb" \
    -artifact_prefix="$build/" -print_final_stats=1 2>&1 |
    { grep -v "WARNING: AddressSanitizer failed to allocate" || true; }
}
run_target raster_stream_fuzzer raster 8192 2560
run_target job_options_fuzzer job_options 512 2560
run_target preview_stream_fuzzer preview 16384 640
