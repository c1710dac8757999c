#!/usr/bin/env bash
# Builds and runs the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SANITIZE_BUILD_DIR:-$root/build-sanitize}"

# The same Debian packages as the normal build; the sanitizer runtimes come with g++.
packages=(
  g++ cmake ninja-build pkg-config libgtest-dev
  libcups2-dev libcupsimage2-dev libpng-dev
  cups cups-client cups-bsd cups-filters cups-ppdc cups-ipp-utils ghostscript poppler-utils
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends \
    "${missing[@]}"
fi

# Any finding ends the process that made it: the test that ran it fails.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARSH_SANITIZE=ON
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
