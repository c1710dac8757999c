#!/usr/bin/env bash
# Builds the Debian package quillmarsh from this tree: installs the build dependencies with
# apt-get, runs dpkg-buildpackage -us -uc -b on a copy of the tree in build/deb/ and says where
# the .deb files are.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${DEB_DIR:-$root/build/deb}"

# The one place the version is written is CMake's project(); debian/changelog, which
# dpkg-buildpackage reads the version from, is made from it in the copy (the package is
# native: its version is the project's, with no Debian revision).
version="$(sed -n 's/^project(quillmarsh VERSION \([0-9][0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "No project version in $root/CMakeLists.txt" >&2; exit 1; }

# The tools of a Debian build, then the package's own Build-Depends.
bash "$root/scripts/install-packages.sh" dpkg-dev debhelper fakeroot
build_deps="$(cd "$root" && dpkg-checkbuilddeps 2>&1 |
  sed -n 's/^dpkg-checkbuilddeps: error: Unmet build dependencies: //p' |
  sed 's/ *([^)]*)//g; s/ *| *[^ ]*//g')" || true
read -r -a build_deps <<<"$build_deps"
[ "${#build_deps[@]}" -eq 0 ] || bash "$root/scripts/install-packages.sh" "${build_deps[@]}"

# A copy of the tree without build folders: dpkg-buildpackage writes its results beside the
# source folder, so they land in $out, not beside the checkout.
source="$out/quillmarsh-$version"
rm -rf "$source"
mkdir -p "$source"
rm -f "$out"/quillmarsh*_"$version"_*.deb "$out"/quillmarsh_"$version"_*.{changes,buildinfo}
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -xf - -C "$source"
  date="$(git -C "$root" log -1 --format=%aD 2>/dev/null || date -R)"
else
  tar -C "$root" --exclude='./build*' -cf - . | tar -xf - -C "$source"
  date="$(date -R)"
fi
maintainer="$(sed -n 's/^Maintainer: //p' "$root/debian/control")"
cat >"$source/debian/changelog" <<CHANGELOG
quillmarsh ($version) unstable; urgency=medium

  * quillmarsh $version, packaged from the source tree.

 -- $maintainer  $date
CHANGELOG

# Without the tests, on every core.
(cd "$source" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b)
rm -rf "$source"

echo
echo "The packages are in $out:"
ls -1 "$out"/quillmarsh*_"$version"_*.deb | sed 's/^/  /'
echo "Install with: apt install $out/quillmarsh_${version}_$(dpkg --print-architecture).deb"
