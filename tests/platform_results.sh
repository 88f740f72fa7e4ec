#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs both tools on every GRIB file in INPUTS and prints one row per run: the
# command, its exit status, the SHA-256 of the output file and the tool's own
# console lines (not ecCodes' diagnostics, which name its source lines and
# change with its version). Fed the same input files, every platform must
# print the same table.
#
#   bash tests/platform_results.sh DORVEL QUIMBREL INPUTS
#
# The runs see the inputs as in/NAME and write out.grb, so that no path of
# the machine shows in a console line. A run that hangs is stopped after five
# minutes (exit 124 in its row).
set -euo pipefail
dorvel=$(realpath "$1") quimbrel=$(realpath "$2") inputs=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$inputs" in

row() {
  local label=$1 status=0 console hash=-
  shift
  rm -f out.grb
  console=$(timeout 300 "$@" 2>&1 >stdout.txt) || status=$?
  console=$(grep -E '^(dorvel|quimbrel):' <<<"$console" | cat stdout.txt - || true)
  [ ! -f out.grb ] || hash=$(sha256sum <out.grb | cut -c1-16)
  printf '%s | exit %s | %s | %s\n' "$label" "$status" "$hash" "${console//$'\n'/ / }"
}

for file in in/*; do
  name=${file#in/}
  row "dorvel $name" "$dorvel" "$file" out.grb
  row "quimbrel $name 2" "$quimbrel" "$file" out.grb 2
  row "quimbrel $name -3" "$quimbrel" "$file" out.grb -3
done
