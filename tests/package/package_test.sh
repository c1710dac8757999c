#!/usr/bin/env bash
# The Debian package, built, linted, installed on this machine, checked and purged again:
#   package_test.sh BUILD_DIR
# builds it with scripts/build-deb.sh into BUILD_DIR/deb; lintian finds no error or warning on
# the .deb and the .changes; "apt-get install ./quillmarsh_*.deb" installs it (the service is
# not started: a policy-rc.d of the test's own forbids it while the package is installed);
# then the files, their owners and modes, the service's user, lpinfo -m on a private cupsd,
# cupsfilter with the installed PPD and filter, quillmarsh --version and systemd-analyze verify
# on the installed unit; dpkg -r keeps /var/lib/quillmarsh, dpkg -P removes it, and after the
# purge no file of the package is left. Whatever happens, the package is purged at the end and
# the user it made removed, so the machine is left as it was found. Run as root (CI does).
# Exits 77 (skipped) when it cannot run: not root, or the package installed before the test.
set -euo pipefail

readonly kWaitSeconds=20
readonly kPolicy=/usr/sbin/policy-rc.d

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(realpath "${1:?usage: package_test.sh BUILD_DIR}")"
version="$(sed -n 's/^project(quillmarsh VERSION \([0-9][0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")"
deb="$build/deb/quillmarsh_${version}_$(dpkg --print-architecture).deb"
changes="$build/deb/quillmarsh_${version}_$(dpkg --print-architecture).changes"

[[ "$(id -u)" -eq 0 ]] || { echo "SKIP: installing the package needs root" >&2; exit 77; }
if [[ -e /var/lib/quillmarsh ]]; then
  echo "SKIP: /var/lib/quillmarsh exists; the test would purge it" >&2
  exit 77
fi
if dpkg-query -W -f='${Status}' quillmarsh 2>/dev/null | grep -q ' installed$'; then
  echo "SKIP: the package quillmarsh is installed already; the test would remove it" >&2
  exit 77
fi

scratch="$(mktemp -d "${TMPDIR:-/tmp}/package-test-XXXXXX")"
cupsd_pid=""
own_policy=""
user_before="$(getent passwd quillmarsh || true)"
group_before="$(getent group quillmarsh || true)"

cleanup() {
  local status=$?
  if [[ -n "$cupsd_pid" ]] && kill -0 "$cupsd_pid" 2>/dev/null; then
    kill "$cupsd_pid"
    wait "$cupsd_pid" 2>/dev/null || true
  fi
  if dpkg-query -W -f='${Status}' quillmarsh 2>/dev/null | grep -qv 'not-installed'; then
    echo "Purging the package quillmarsh left installed"
    dpkg -P quillmarsh >/dev/null || status=1
  fi
  if [[ -z "$user_before" ]] && getent passwd quillmarsh >/dev/null; then
    userdel quillmarsh || status=1
  fi
  if [[ -z "$group_before" ]] && getent group quillmarsh >/dev/null; then
    groupdel quillmarsh || status=1
  fi
  # The test makes the state folder (there was none before it): gone even after a faulty purge.
  rm -rf /var/lib/quillmarsh
  [[ -z "$own_policy" ]] || rm -f "$kPolicy"
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Every path under the system's folders whose name holds the package's name.
named_paths() {
  find /etc /usr /var /run /opt /srv -xdev -name '*quillmarsh*' -not -path "$build/*" \
    2>/dev/null | sort
}

#
# Build and lint.
#

DEB_DIR="$build/deb" bash "$root/scripts/build-deb.sh"
[[ -f "$deb" && -f "$changes" ]] || fail "scripts/build-deb.sh made no $deb and $changes"
lintian --fail-on error,warning "$changes" "$deb" || fail "lintian found errors or warnings"

#
# Install, with the service kept from starting on a machine that runs systemd: it would share
# the printer on every address.
#

if [[ ! -e "$kPolicy" ]]; then
  printf '#!/bin/sh\n[ "$1" = quillmarsh.service ] && exit 101\nexit 0\n' >"$kPolicy"
  chmod 0755 "$kPolicy"
  own_policy=yes
fi
# Only the package itself: a dependency installed with it would stay after the purge.
others="$(apt-get install -s --no-install-recommends "$deb" | sed -n 's/^Inst \([^ ]*\) .*/\1/p' |
  grep -vx quillmarsh || true)"
[[ -z "$others" ]] ||
  fail "installing the package would install too (add them to scripts/test.sh): ${others//$'\n'/ }"
named_paths >"$scratch/before"
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" ||
  fail "apt-get install $deb failed"
dpkg -L quillmarsh | sort >"$scratch/files"

# The files, where CUPS and systemd look for them, owned by root; the filter 0755.
expect_file() {
  local path="$1" mode="$2"
  [[ -f "$path" ]] || fail "$path is not installed"
  [[ "$(stat -L -c '%U:%G %a' "$path")" == "root:root $mode" ]] ||
    fail "$path is $(stat -L -c '%U:%G %a' "$path"), not root:root $mode"
}
expect_file /usr/lib/cups/filter/rastertoquillmarsh 755
expect_file /usr/share/ppd/quillmarsh/vorne24.ppd 644
expect_file /usr/bin/quillmarsh 755
expect_file /usr/bin/quillmarsh-preview 755
expect_file /usr/lib/systemd/system/quillmarsh.service 644
expect_file /usr/lib/sysusers.d/quillmarsh.conf 644
expect_file /usr/lib/tmpfiles.d/quillmarsh.conf 644
for page in man1/quillmarsh.1 man1/quillmarsh-preview.1 man8/rastertoquillmarsh.8; do
  expect_file "/usr/share/man/$page.gz" 644
done
expect_file /usr/share/doc/quillmarsh/copyright 644
expect_file /usr/share/doc/quillmarsh/README.md.gz 644
grep -qx 'ExecStart=/usr/bin/quillmarsh server .*' /usr/lib/systemd/system/quillmarsh.service ||
  fail "the unit does not run /usr/bin/quillmarsh: $(grep ExecStart= /usr/lib/systemd/system/quillmarsh.service)"

# What the maintainer scripts did: the user in dialout and lp, the control socket's link, the
# service enabled (as Debian's printer applications are).
getent passwd quillmarsh | grep -q ':/var/lib/quillmarsh:' ||
  fail "no user quillmarsh at home in /var/lib/quillmarsh: $(getent passwd quillmarsh)"
for group in dialout lp; do
  id -nG quillmarsh | tr ' ' '\n' | grep -qx "$group" || fail "quillmarsh is not in $group"
done
[[ "$(readlink /run/quillmarsh.sock)" == /run/quillmarsh/quillmarsh.sock ]] ||
  fail "/run/quillmarsh.sock does not lead to /run/quillmarsh/quillmarsh.sock"
[[ -L /etc/systemd/system/multi-user.target.wants/quillmarsh.service ]] ||
  fail "the service is not enabled"

[[ "$(quillmarsh --version)" == "quillmarsh $version" ]] ||
  fail "quillmarsh --version says '$(quillmarsh --version)', not 'quillmarsh $version'"
systemd-analyze verify /usr/lib/systemd/system/quillmarsh.service ||
  fail "systemd-analyze verify found faults in the installed unit"

#
# lpinfo -m on a private cupsd that has the system's model folders and filters.
#

mkdir -p "$scratch"/{conf,spool,state,cache,log,tmp}
chmod 01777 "$scratch/tmp"
socket="$scratch/cupsd.sock"
printf 'Listen %s\nBrowsing No\nWebInterface No\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n' \
  "$socket" >"$scratch/conf/cupsd.conf"
for directive in "ServerRoot conf" "RequestRoot spool" "StateDir state" "CacheDir cache" \
  "TempDir tmp" "AccessLog log/access_log" "ErrorLog log/error_log" "PageLog log/page_log" \
  "Printcap state/printcap"; do
  echo "${directive% *} $scratch/${directive#* }"
done >"$scratch/conf/cups-files.conf"
cupsd -f -c "$scratch/conf/cupsd.conf" -s "$scratch/conf/cups-files.conf" \
  >"$scratch/cupsd.out" 2>&1 &
cupsd_pid=$!
for ((i = 0; i < kWaitSeconds * 10; i++)); do
  [[ -S "$socket" ]] && break
  kill -0 "$cupsd_pid" 2>/dev/null || fail "cupsd exited: $(cat "$scratch/cupsd.out")"
  sleep 0.1
done
models="$(lpinfo -h "$socket" -m)" || fail "lpinfo -m failed: $(tail "$scratch/log/error_log")"
grep -qx 'lsb/usr/quillmarsh/vorne24.ppd Vorne 24-Pin Dot Matrix' <<<"$models" ||
  fail "lpinfo -m does not list the installed PPD"
kill "$cupsd_pid"
wait "$cupsd_pid" 2>/dev/null || true
cupsd_pid=""

#
# The sample, through the system's CUPS chain with the installed PPD and filter, read back by
# the installed preview tool.
#

ps2pdf "$root/tests/app/documents/onepage.ps" "$scratch/onepage.pdf"
cupsfilter -p /usr/share/ppd/quillmarsh/vorne24.ppd -m printer/foo -e -o media=Letter "$scratch/onepage.pdf" \
  >"$scratch/onepage.prn" 2>"$scratch/cupsfilter.log" ||
  fail "cupsfilter failed: $(tail "$scratch/cupsfilter.log")"
grep -q 'rastertoquillmarsh' "$scratch/cupsfilter.log" ||
  fail "the chain did not run rastertoquillmarsh: $(cat "$scratch/cupsfilter.log")"
summary="$(quillmarsh-preview --summary "$scratch/onepage.prn")" ||
  fail "the printer stream does not read back: $summary"
grep -q 'stream: [0-9]* bytes, 1 pages, ' <<<"$summary" ||
  fail "the sample is not one page of printer bytes: $summary"

#
# Remove keeps the service's state, purge takes it, and nothing else is left.
#

mkdir -p /var/lib/quillmarsh
echo "# a state file" >/var/lib/quillmarsh/quillmarsh.state
dpkg -r quillmarsh >/dev/null || fail "dpkg -r failed"
[[ -f /var/lib/quillmarsh/quillmarsh.state ]] || fail "dpkg -r removed the service's state"
dpkg -P quillmarsh >/dev/null || fail "dpkg -P failed"
[[ ! -e /var/lib/quillmarsh ]] || fail "dpkg -P left /var/lib/quillmarsh"
left=()
while read -r path; do
  [[ -d "$path" || ! -e "$path" && ! -L "$path" ]] || left+=("$path")
done <"$scratch/files"
[[ "${#left[@]}" -eq 0 ]] || fail "files of the package left after the purge: ${left[*]}"
named_paths >"$scratch/after"
new="$(comm -13 "$scratch/before" "$scratch/after")"
[[ -z "$new" ]] || fail "left after the purge: $new"
echo "package test: built, lint clean, installed, checked, removed and purged"
