#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs a build tree into a temporary prefix, builds the Debian package from
# it, checks the package's contents and dependencies, and runs the packaged
# programs unpacked into a temporary folder.
# Usage: package_check.sh BUILD_DIRECTORY GRIB_DIRECTORY
set -euo pipefail
build=$1 gribs=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for path in bin/dorvel bin/quimbrel share/man/man1/dorvel.1 share/man/man1/quimbrel.1; do
  [ -e "$work/prefix/$path" ] || { echo "not installed: $path"; exit 1; }
done
usage=$("$work/prefix/bin/quimbrel" --help)
grep -q "Uso: quimbrel.exe filein fileout NSKIP" <<<"$usage"

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/*.deb)
echo "package: $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/dorvel ./usr/bin/quimbrel ./usr/share/man/man1/dorvel.1 \
            ./usr/share/man/man1/quimbrel.1; do
  grep -qx "$path" <<<"$contents" || { echo "missing from the package: $path"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
grep -q "libeccodes0" <<<"$depends" || { echo "no dependency on libeccodes0"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package)" = "grib-dorvel-quimbrel" ]

dpkg-deb -x "$deb" "$work/root"
cd "$work"
line=$("$work/root/usr/bin/dorvel" "$gribs/sample.grb" residual.grb)
expected=$("$build/dorvel/dorvel" "$gribs/sample.grb" expected.grb)
[ "$line" = "$expected" ] || { echo "packaged dorvel printed: $line"; exit 1; }
cmp residual.grb expected.grb
"$work/root/usr/bin/quimbrel" "$gribs/five.grb" rest.grb 2 >/dev/null
[ "$(stat -c %s rest.grb)" -eq $(( $(stat -c %s "$gribs/five.grb") * 3 / 5 )) ]
page=$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/quimbrel.1")
grep -q "Codizione inattesa" <<<"$page"
echo "packaged programs and pages work"
