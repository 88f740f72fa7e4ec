#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks scripts/run_many.sh: one log with every run's lines and status, the
# failure count as exit status, and --halt stopping after the first failure.
# Usage: many_files_check.sh RUN_MANY DORVEL MAKE_TEST_GRIBS
set -uo pipefail
run_many=$1 generate=$3
export DORVEL=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
for day in 01 02 03; do "$generate" sample "$work/in/a_201901$day.grb" "201901$day" 600; done
echo "not a GRIB file" >"$work/in/b_bad.grb"
"$generate" sample "$work/in/c_20190104.grb" 20190104 1200
fail() { echo "$1"; cat "$2"; exit 1; }

bash "$run_many" -j 2 "$work/in" "$work/all"
[ $? -eq 1 ] || fail "one failed run must give status 1" "$work/all/runs.log"
log="$work/all/runs.log"
grep -qxF "$work/in/c_20190104.grb	20190104 1200 neg   985 ave  -0.000" "$log" || fail "no summary line" "$log"
grep -qxF "$work/in/b_bad.grb	 Errore leggendo $work/in/b_bad.grb grib n.ro            1" "$log" ||
  fail "no read-failure line" "$log"
[ "$(grep -c 'exit status 0$' "$log")" -eq 4 ] || fail "four runs must succeed" "$log"
[ "$(grep -c 'exit status 1$' "$log")" -eq 1 ] || fail "one run must fail" "$log"
[ "$(ls "$work/all"/*.res.grb | wc -l)" -eq 5 ] || fail "five outputs expected" "$log"
summary="$work/all/summary.tsv"
grep -qxF "$work/in/c_20190104.grb	20190104	1200	985	-0.000	0" "$summary" || fail "no good row" "$summary"
grep -qxF "$work/in/b_bad.grb					1" "$summary" || fail "no failed row" "$summary"
[ "$(wc -l <"$summary")" -eq 6 ] || fail "a header and five rows expected" "$summary"
file "$work/all/summary.png" | grep -q "PNG image data, 1000 x 600" || fail "no 1000 x 600 PNG" "$log"

bash "$run_many" -j 1 --halt "$work/in" "$work/halted" 2>/dev/null
[ $? -eq 1 ] || fail "a halted chain must fail" "$work/halted/runs.log"
[ ! -e "$work/halted/c_20190104.res.grb" ] || fail "no run may start after the failure" "$work/halted/runs.log"
grep -q "exit status 1$" "$work/halted/runs.log" || fail "the failure must be logged" "$work/halted/runs.log"
echo "run_many: logs, statuses and halting work"
