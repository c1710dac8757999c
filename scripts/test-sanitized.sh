#!/usr/bin/env bash
# Builds and runs the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Any finding ends the process that made it, so the test that ran it fails. Tests that preload
# the failing allocator or run valgrind skip themselves in this build (QUILLMARSH_SANITIZED).
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# The normal script installs what is missing, configures, builds and runs; here in a folder of
# its own and with the sanitizers on.
# The package test ran with the normal build.
BUILD_DIR="${SANITIZE_BUILD_DIR:-$root/build-sanitize}" QUILLMARSH_PACKAGE_TEST=no \
  QUILLMARSH_CMAKE_OPTIONS="-DQUILLMARSH_SANITIZE=ON" \
  exec bash "$root/scripts/test.sh"
