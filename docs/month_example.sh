#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes docs/summary.png, README's picture: a month of daily runs with a slow
# drift of the residual, one day without a run, one damaged file and one day
# whose residual overflows the summary line's fields. Needs a build (build/).
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
for day in $(seq 1 30); do
  date=$(printf '202601%02d' "$day")
  case $day in
    12) continue ;;  # no run that day
    17) build/tests/make_test_gribs sample "$work/full.grb" "$date" 600
        head -c 300000 "$work/full.grb" >"$work/in/run_$date.grb" ;;  # damaged in transfer
    23) build/tests/make_test_gribs sample "$work/in/run_$date.grb" "$date" 600 -5000 ;;
    *) build/tests/make_test_gribs sample "$work/in/run_$date.grb" "$date" 600 \
         "$(awk -v d="$day" 'BEGIN { printf "%.5f", -0.00004 * d }')" ;;
  esac
done
DORVEL=build/dorvel/dorvel bash operations/run_many.sh "$work/in" "$work/out" || true
cp "$work/out/summary.png" docs/summary.png
cut -f1,4-7 "$work/out/summary.tsv" | sed "s|$work/in/||"
