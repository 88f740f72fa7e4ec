#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs dorvel once per GRIB file of a folder, several at a time, with GNU parallel.
#
#   scripts/run_many.sh [-j JOBS] [--halt] INPUT_DIR OUTPUT_DIR
#
# Each INPUT_DIR/NAME.grb gives OUTPUT_DIR/NAME.res.grb. OUTPUT_DIR/runs.log
# collects every run's console lines, each prefixed with its input file, and
# its exit status; OUTPUT_DIR/jobs.tsv is parallel's job log (times, statuses);
# OUTPUT_DIR/summary.tsv and summary.png summarize the runs (summarize_runs.py).
# With --halt no new run starts after the first failed status (runs already
# going are allowed to finish, so no output is cut). The exit status is the
# number of failed runs (0 when all succeeded).
# DORVEL names the program (default: dorvel on the PATH).
set -uo pipefail
jobs=$(nproc)
halt=()
while [ $# -gt 0 ]; do
  case $1 in
    -j) jobs=$2; shift 2 ;;
    --halt) halt=(--halt soon,fail=1); shift ;;
    *) break ;;
  esac
done
if [ $# -ne 2 ]; then
  echo "usage: $0 [-j JOBS] [--halt] INPUT_DIR OUTPUT_DIR" >&2
  exit 2
fi
input=$1
export RUN_MANY_OUTPUT=$2 RUN_MANY_DORVEL=${DORVEL:-dorvel}
mkdir -p "$RUN_MANY_OUTPUT"

run_one() {
  "$RUN_MANY_DORVEL" "$1" "$RUN_MANY_OUTPUT/$(basename "$1" .grb).res.grb" 2>&1
  local status=$?
  echo "exit status $status"
  return $status
}
export -f run_one

find "$input" -maxdepth 1 -name '*.grb' -print0 | sort -z |
  parallel -0 --jobs "$jobs" "${halt[@]}" --tag --joblog "$RUN_MANY_OUTPUT/jobs.tsv" \
    run_one {} >"$RUN_MANY_OUTPUT/runs.log"
failed=$?
"$(dirname "$0")/summarize_runs.py" "$RUN_MANY_OUTPUT"
exit $failed
