#!/usr/bin/env bash
# The installed service, without systemd running:
#   service_test.sh unit UNIT SYSUSERS TMPFILES PROGRAM
#     systemd-analyze scores the unit's exposure at 3.0 or less and verifies it (its ExecStart
#     pointed at the built PROGRAM); the sysusers.d and tmpfiles.d entries, applied to an empty
#     root, make the user in dialout and lp, the admin group lpadmin and the link to the control
#     socket.
#   service_test.sh control-socket TMPFILES PROGRAM
#     the server run as nobody with the folders and environment the unit gives it keeps its
#     files in STATE_DIRECTORY, and root's commands reach it through the tmpfiles.d link, in a
#     mount namespace of the test's own where /run is a fresh tmpfs.
# Exits 77 (skipped) when a tool it needs is missing.
set -euo pipefail

readonly kMaxExposure=3.0
readonly kWaitSeconds=30

scratch="$(mktemp -d "${TMPDIR:-/tmp}/service-test-XXXXXX")"
server_pid=""
cleanup() {
  if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
  done
}

#
# 'test_unit()' - The unit's score and syntax, and what its two companions make.
#

test_unit() {
  local unit="$1" sysusers="$2" tmpfiles="$3" program
  program="$(realpath "$4")"
  need systemd-analyze systemd-sysusers systemd-tmpfiles

  local report score
  report="$(systemd-analyze security --offline=true "$unit" 2>&1)" || true
  score="$(sed -n 's/^→ Overall exposure level for .*: \([0-9.]*\) .*/\1/p' <<<"$report")"
  [[ -n "$score" ]] || fail "systemd-analyze gave no overall exposure: $report"
  awk -v s="$score" -v max="$kMaxExposure" 'BEGIN { exit !(s <= max) }' ||
    fail "exposure $score is over $kMaxExposure:"$'\n'"$(grep '✗' <<<"$report")"
  echo "exposure $score (at most $kMaxExposure)"

  # verify wants ExecStart's program to exist: a copy of the unit that runs the built one.
  sed "s|^ExecStart=[^ ]*|ExecStart=$program|" "$unit" >"$scratch/quillmarsh.service"
  systemd-analyze verify "$scratch/quillmarsh.service" ||
    fail "systemd-analyze verify found faults in the unit"

  # The user, on a root with nothing in it: home in the state folder, in dialout and lp.
  mkdir -p "$scratch/root/etc"
  systemd-sysusers --root="$scratch/root" "$(realpath "$sysusers")" 2>/dev/null ||
    fail "systemd-sysusers refused $sysusers"
  grep -q '^quillmarsh:x:[0-9]*:[0-9]*:[^:]*:/var/lib/quillmarsh:' "$scratch/root/etc/passwd" ||
    fail "no user quillmarsh at home in /var/lib/quillmarsh: $(cat "$scratch/root/etc/passwd")"
  for group in dialout lp; do
    grep -q "^$group:x:[0-9]*:quillmarsh\$" "$scratch/root/etc/group" ||
      fail "quillmarsh is not in $group: $(cat "$scratch/root/etc/group")"
  done
  # The admin group the server needs to start, administered by nobody yet.
  grep -q "^lpadmin:x:[0-9]*:\$" "$scratch/root/etc/group" ||
    fail "no group lpadmin: $(cat "$scratch/root/etc/group")"

  systemd-tmpfiles --create --root="$scratch/root" "$(realpath "$tmpfiles")" ||
    fail "systemd-tmpfiles refused $tmpfiles"
  [[ "$(readlink "$scratch/root/run/quillmarsh.sock")" == /run/quillmarsh/quillmarsh.sock ]] ||
    fail "/run/quillmarsh.sock does not lead to /run/quillmarsh/quillmarsh.sock"
}

#
# 'free_port()' - A loopback TCP port nothing listens on.
#

free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
}

#
# 'as_root_in_the_service_run()' - Run a command as root with /run as the installed service
# makes it: a tmpfs with the service's runtime folder and the tmpfiles.d link. A command that
# finds no server starts one of its own as root: /var/lib and /var/spool are tmpfs there too,
# and the namespace of processes ends, with any such server, when the command ends.
#

as_root_in_the_service_run() {
  local tmpfiles="$1"
  shift
  unshare --mount --propagation private --pid --fork -- bash -c '
    set -e
    for folder in /run /var/lib /var/spool; do
      mount -t tmpfs tmpfs "$folder"
    done
    mkdir /run/quillmarsh
    mount --bind "$1" /run/quillmarsh
    systemd-tmpfiles --create "$2"
    shift 2
    "$@"' bash "$scratch/run" "$tmpfiles" "$@"
}

#
# 'test_control_socket()' - The server as the unit runs it, and root's commands on it.
#

test_control_socket() {
  local tmpfiles program="$2"
  tmpfiles="$(realpath "$1")"
  need unshare setpriv systemd-tmpfiles
  if ! unshare --mount --pid --fork true 2>/dev/null; then
    echo "SKIP: no mount and PID namespaces here" >&2
    exit 77
  fi

  # The folders systemd makes for the service's user, and a copy of the program it may run.
  local user=nobody group
  group="$(id -gn "$user")"
  chmod 755 "$scratch"
  mkdir "$scratch/state" "$scratch/run"
  chown "$user:$group" "$scratch/state" "$scratch/run"
  install -m 755 "$program" "$scratch/quillmarsh"
  # The sanitized build: the server and root's commands leave PAPPL's and libcups's own
  # leftovers unreported, as the other application tests do.
  install -m 644 "$(dirname "${BASH_SOURCE[0]}")/pappl-leaks.supp" "$scratch/pappl-leaks.supp"
  export LSAN_OPTIONS="suppressions=$scratch/pappl-leaks.supp"
  local sanitizers=(LSAN_OPTIONS="$LSAN_OPTIONS")
  for name in ASAN_OPTIONS UBSAN_OPTIONS; do
    if [[ -n "${!name:-}" ]]; then
      sanitizers+=("$name=${!name}")
    fi
  done
  local port
  port="$(free_port)"
  setpriv --reuid="$user" --regid="$group" --clear-groups -- env -i \
    PATH=/usr/bin:/bin HOME="$scratch/state" STATE_DIRECTORY="$scratch/state" \
    RUNTIME_DIRECTORY="$scratch/run" TMPDIR="$scratch/run" "${sanitizers[@]}" \
    "$scratch/quillmarsh" server -o server-port="$port" -o listen=loopback \
    -o log-file="$scratch/server.log" -o log-level=debug 2>"$scratch/server.err" &
  server_pid=$!

  local uid link="$scratch/run/quillmarsh.sock"
  uid="$(id -u "$user")"
  for ((i = 0; i < kWaitSeconds * 10; i++)); do
    [[ -S "$scratch/run/quillmarsh$uid.sock" ]] && break
    kill -0 "$server_pid" 2>/dev/null || fail "the server ended: $(cat "$scratch/server.err")"
    sleep 0.1
  done
  [[ "$(readlink "$link")" == "$scratch/run/quillmarsh$uid.sock" && -S "$link" ]] ||
    fail "$link does not lead to the control socket: $(ls -l "$scratch/run")"

  # root's commands: status first, which says so when it finds no server.
  as_root_in_the_service_run "$tmpfiles" "$program" status >"$scratch/status.out" 2>&1 || true
  grep -q '^Running' "$scratch/status.out" ||
    fail "root's \"quillmarsh status\" did not reach the server: $(cat "$scratch/status.out")"
  as_root_in_the_service_run "$tmpfiles" "$program" add -d service-test \
    -v socket://127.0.0.1:9 -m vorne24 || fail "root's \"quillmarsh add\" failed"
  as_root_in_the_service_run "$tmpfiles" "$program" printers >"$scratch/printers.out" ||
    fail "root's \"quillmarsh printers\" failed"
  grep -qx service-test "$scratch/printers.out" ||
    fail "the printer root added is not listed: $(cat "$scratch/printers.out")"
  as_root_in_the_service_run "$tmpfiles" "$program" shutdown ||
    fail "root's \"quillmarsh shutdown\" failed"
  for ((i = 0; i < kWaitSeconds * 10; i++)); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$server_pid" 2>/dev/null; then
    fail "the server still runs $kWaitSeconds s after root's shutdown"
  fi

  # Its files: the state (with the printer) and the spool in STATE_DIRECTORY, nothing else.
  grep -q service-test "$scratch/state/quillmarsh.state" ||
    fail "no printer in $scratch/state/quillmarsh.state: $(ls -lR "$scratch/state")"
  [[ -d "$scratch/state/spool" ]] || fail "no spool folder in $scratch/state"
  [[ "$(stat -c %U "$scratch/state/spool")" == "$user" ]] || fail "the spool is not $user's"
}

case "${1:-}" in
  unit) test_unit "${@:2}" ;;
  control-socket) test_control_socket "${@:2}" ;;
  *) fail "usage: service_test.sh unit UNIT SYSUSERS TMPFILES PROGRAM" \
    "| control-socket TMPFILES PROGRAM" ;;
esac
