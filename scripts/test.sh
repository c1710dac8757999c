#!/usr/bin/env bash
# Installs what the build and the tests need, builds the driver and runs the whole test suite.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

# Debian packages: compiler and test tools, the CUPS libraries the filter links, and the CUPS
# chain (scheduler, renderers, PPD compiler) that the end-to-end tests drive.
packages=(
  g++ cmake ninja-build pkg-config libgtest-dev libbenchmark-dev valgrind
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

# Further configure options, such as the sanitizer build's (scripts/test-sanitized.sh).
read -r -a cmake_options <<<"${QUILLMARSH_CMAKE_OPTIONS:-}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_options[@]}"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
