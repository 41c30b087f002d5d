#!/usr/bin/env bash
# Builds the Debian packages from a build tree and checks that the tool's package holds what a
# desktop expects (executable, .desktop entry, icon), declares its libraries, and leaves the box
# simulator to the lab package.
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; echo "0 passed, 1 failed"; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "cpack"; }
deb=$(ls "$out"/talix-toolkits_*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/talix-toolkits ./usr/share/applications/talix-toolkits.desktop \
         ./usr/share/icons/hicolor/48x48/apps/talix-toolkits.png; do
    grep -qxF "$f" <<<"$files" || fail "$f is not in the package"
done
! grep -q talix-boxsim <<<"$files" || fail "the box simulator is in the tool's package"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt5widgets5 libqt5network5 libmosquitto1; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
ls "$out"/talix-toolkits-lab_*.deb >/dev/null || fail "no lab package"

dpkg-deb -x "$deb" "$out/root"
desktop-file-validate "$out/root/usr/share/applications/talix-toolkits.desktop" ||
    fail "desktop-file-validate rejects the entry"
echo "1 passed, 0 failed"
