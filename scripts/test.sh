#!/usr/bin/env bash
# Installs what the build and the tests need, builds the driver and runs the whole test suite.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

# Debian packages: compiler and test tools, the CUPS libraries the filter links, and the CUPS
# chain (scheduler, renderers, PPD compiler) that the end-to-end tests drive; PAPPL for the
# printer application, socat for its serial port tests, chromium for its web page test and
# systemd (systemd-analyze, -sysusers, -tmpfiles) for the tests of its installed service; the
# Debian tools that build and lint the package.
packages=(
  g++ cmake ninja-build pkg-config libgtest-dev libbenchmark-dev valgrind
  libcups2-dev libcupsimage2-dev libpng-dev libjpeg-dev
  cups cups-client cups-bsd cups-filters cups-ppdc cups-ipp-utils ghostscript poppler-utils
  libpappl-dev socat chromium systemd
  dpkg-dev debhelper fakeroot lintian
)
bash "$root/scripts/install-packages.sh" "${packages[@]}"

# Further configure options, such as the sanitizer build's (scripts/test-sanitized.sh).
read -r -a cmake_options <<<"${QUILLMARSH_CMAKE_OPTIONS:-}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_options[@]}"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# Then the Debian package, built, linted, installed, checked and purged again (as root; it
# leaves the machine as it was). Once: not in the sanitized build's run of this script.
if [ "${QUILLMARSH_PACKAGE_TEST:-yes}" = yes ]; then
  status=0
  bash "$root/tests/package/package_test.sh" "$build" || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"
fi
