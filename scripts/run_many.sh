#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs dorvel once per GRIB file of a folder, several at a time, with GNU parallel.
#
#   scripts/run_many.sh [-j JOBS] [--halt] INPUT_DIR OUTPUT_DIR
#
# Each INPUT_DIR/NAME.grb gives OUTPUT_DIR/NAME.res.grb. OUTPUT_DIR/runs.log
# collects every run's console lines, each prefixed with its input file, and
# its exit status, in input order; OUTPUT_DIR/jobs.tsv is parallel's job log
# (times, statuses); OUTPUT_DIR/summary.tsv and summary.png summarize the runs
# (summarize_runs.py). With --halt no new run starts after the first failed
# status (runs already going are allowed to finish, so no output is cut).
# The exit status is the number of failed runs, counted from the job log
# (0 when all succeeded; shells keep only its last 8 bits, so 256 failed runs
# show as 0: read runs.log or summary.tsv for more than 255 files); 2 for a
# usage error, an empty folder, or an output folder that is the input folder.
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
scripts=$(cd "$(dirname "$0")" && pwd)
dorvel=$(command -v "${DORVEL:-dorvel}") || { echo "$0: no program ${DORVEL:-dorvel}" >&2; exit 2; }
dorvel=$(realpath "$dorvel")
[ -d "$input" ] || { echo "$0: no folder $input" >&2; exit 2; }
mkdir -p "$2" || exit 2
output=$(cd "$2" && pwd)
# The outputs would be taken as inputs by the next run (NAME.res.res.grb).
if [ "$(realpath "$input")" = "$output" ]; then
  echo "$0: the output folder is the input folder: $2" >&2
  exit 2
fi
find "$input" -maxdepth 1 -name '*.grb' -print0 | sort -z >"$output/inputs.list"
if [ ! -s "$output/inputs.list" ]; then
  echo "$0: no *.grb file in $input: nothing done" >&2
  exit 2
fi

export RUN_MANY_SCRIPTS=$scripts RUN_MANY_DORVEL=$dorvel RUN_MANY_OUTPUT=$output
run_one() { bash "$RUN_MANY_SCRIPTS/dorvel_one.sh" "$RUN_MANY_DORVEL" "$1" "$RUN_MANY_OUTPUT"; }
export -f run_one
parallel -0 --keep-order --jobs "$jobs" "${halt[@]}" --tag --joblog "$output/jobs.tsv" \
  run_one {} <"$output/inputs.list" >"$output/runs.log"
rm -f "$output/inputs.list"
# parallel's own status stops at 101; the job log has every run's (column 7).
failed=$(awk -F '\t' 'NR > 1 && $7 != 0 { n++ } END { print n + 0 }' "$output/jobs.tsv")
"$scripts/summarize_runs.py" "$output"
exit "$failed"
