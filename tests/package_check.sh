#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package from a clean clone of the committed HEAD the way
# Debian builds packages (dpkg-buildpackage, with the test suite at build
# time), checks it with lintian and hardening-check, checks that every place
# that states the version agrees, then installs it with apt into a pristine
# minimal Debian (mmdebstrap, thrown away afterwards) and runs both programs
# and `man dorvel` there.
#
#   bash tests/package_check.sh [SUITE]      (default: this machine's suite)
set -euo pipefail
cd "$(dirname "$0")/.."
suite=${1:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

git clone -q . "$work/src"
bash "$work/src/scripts/install_deps.sh" package root
start=$(date +%s)
(cd "$work/src" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
  { tail -n 40 "$work/build.log"; fail "dpkg-buildpackage failed"; }
deb=$(ls "$work"/grib-dorvel-quimbrel_*_amd64.deb)
echo "built $(basename "$deb") in $(($(date +%s) - start)) s;" \
  "$(grep -E '% tests passed' "$work/build.log")"

# lintian: no error and no warning; pedantic and info tags are listed.
tags=$(lintian --pedantic --info "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -z "$tags" ] || echo "lintian: $tags"
! grep -qE '^[EW]: ' <<<"$tags" || fail "lintian reports errors or warnings"
echo "lintian: no errors, no warnings"

dpkg-deb -x "$deb" "$work/root"
# Every link of the installed README leads to a file the package carries.
doc=$work/root/usr/share/doc/grib-dorvel-quimbrel
links=$(grep -o '](docs/[^)]*)' "$doc/README.md" | sed 's/^](//; s/)$//' | sort -u)
[ -n "$links" ] || fail "no links found in the installed README"
for link in $links; do [ -f "$doc/$link" ] || fail "README links to $link, which the package does not carry"; done
echo "README's links: $(wc -w <<<"$links") guides in the package"
# Control-flow protection is left out: Debian 12's C runtime objects are built
# without it, so no program linked with them is marked.
hardening-check --quiet --nocfprotection "$work/root/usr/bin/dorvel" "$work/root/usr/bin/quimbrel" ||
  fail "hardening-check"
echo "hardening-check: PIE, stack protector, fortify, relro, bindnow on both programs"

# One version everywhere: CMake's project, the changelog, the manual pages, --version.
version=$(sed -nE 's/^project\([a-z_]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "changelog and CMake versions differ"
for tool in dorvel quimbrel; do
  grep -q "^.TH .* \"$tool $version\"" "$tool/$tool.1" || fail "$tool.1 does not say $version"
  "$work/root/usr/bin/$tool" --version | grep -q "^$tool $version (ecCodes " ||
    fail "$tool --version does not say $version"
done
echo "version $version in CMake, changelog, manual pages and --version"

# Into a pristine root, with a sample made by the package build's generator.
"$work"/src/obj-*/tests/make_test_gribs sample "$work/sample.grb"
bash scripts/pristine_root.sh "$suite" "$work/mmdebstrap.log" man-db \
  "cp '$deb' '$work/sample.grb' '$PWD/tests/package_smoke.sh' '$PWD/scripts/install_deps.sh' \"\$1/tmp/\"" \
  "chroot \"\$1\" bash /tmp/package_smoke.sh /tmp/$(basename "$deb") >'$work/smoke.log' 2>&1" ||
  { tail -n 30 "$work/mmdebstrap.log" "$work/smoke.log" 2>/dev/null; fail "pristine install on $suite"; }
sed 's/^/  /' "$work/smoke.log"
echo "package check passed"
