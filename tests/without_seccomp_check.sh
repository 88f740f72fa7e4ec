#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A build without libseccomp is one asked for by name, and its runs say what
# they go without: configured where pkg-config finds no libseccomp, the build
# stops and names -DWITHOUT_SECCOMP=ON; with it, quimbrel's runs say on
# standard error that they go without the system-call layer, and --version
# that it was built so.
# Usage: without_seccomp_check.sh SOURCE_DIR FIVE_MESSAGES.grb
set -uo pipefail
source=$1 input=$2
# What a run of such a build says when its confinement is on.
unset GRIB_TOOLS_NO_SANDBOX
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $1"; cat "$work/err" 2>/dev/null | tail -n 20; exit 1; }
mkdir "$work/no_pkgconfig"
export PKG_CONFIG_LIBDIR=$work/no_pkgconfig PKG_CONFIG_PATH=
cmake -S "$source" -B "$work/refused" -DBUILD_TESTING=OFF >/dev/null 2>"$work/err" &&
  fail "a build without libseccomp must stop unless asked for"
grep -q -- "-DWITHOUT_SECCOMP=ON" "$work/err" || fail "the refusal must name -DWITHOUT_SECCOMP=ON"
cmake -S "$source" -B "$work/asked" -DBUILD_TESTING=OFF -DWITHOUT_SECCOMP=ON >/dev/null 2>"$work/err" &&
  cmake --build "$work/asked" -j "$(nproc)" --target quimbrel >/dev/null 2>"$work/err" ||
  fail "a build asked for without libseccomp must build"
quimbrel=$work/asked/quimbrel/quimbrel
"$quimbrel" --version | grep -q "built without libseccomp" || fail "--version must say it"
"$quimbrel" "$input" "$work/out.grb" 1 >/dev/null 2>"$work/err" || fail "a run must go on"
grep -q "quimbrel: confinement: built without libseccomp: the run goes without its system-call layer" \
  "$work/err" || fail "a run must say on standard error what it goes without"
echo "without libseccomp: refused unless asked for; asked for, its runs say so"
