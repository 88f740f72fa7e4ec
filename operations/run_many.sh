#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs dorvel once per GRIB file of a folder, several at a time, with GNU parallel.
#
#   operations/run_many.sh [-j JOBS] [--halt] INPUT_DIR OUTPUT_DIR
#
# Each INPUT_DIR/NAME.grb gives OUTPUT_DIR/NAME.res.grb. OUTPUT_DIR/runs.log
# collects every run's console lines, each prefixed with its input file, and
# its exit status, in input order; OUTPUT_DIR/jobs.tsv is parallel's job log
# (times, statuses); OUTPUT_DIR/summary.tsv and summary.png summarize the runs
# (summarize_runs.py). With --halt no new run starts after the first failed
# status (runs already going are allowed to finish, so no output is cut).
# Exit status: 0 when every run succeeded and every record was written; the
# number of failed runs (a non-zero status, or a run killed by a signal),
# counted from the job log, up to 250 (250 means 250 or more, so that no count
# wraps to 0); 251 when a result record could not be written (runs.log,
# jobs.tsv, summary.tsv or summary.png: a full disk, say) or a run has no
# record: the results are then not all there; 2 when nothing was run: a usage
# error, an empty or unreadable folder, an output folder that is the input
# folder or that another run_many.sh is writing into, or input names holding a
# newline (one result each could not be told apart). Standard error says which.
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
# A folder named like an option ("-in") is still a folder to find.
case $input in -*) input=./$input ;; esac
scripts=$(cd "$(dirname "$0")" && pwd)
dorvel=$(command -v "${DORVEL:-dorvel}") || { echo "$0: no program ${DORVEL:-dorvel}" >&2; exit 2; }
dorvel=$(realpath "$dorvel")
if [ ! -d "$input" ]; then
  echo "$0: no folder $input ($(stat -c %F -- "$input" 2>&1 | sed 's/.*: //'))" >&2
  exit 2
fi
mkdir -p "$2" || exit 2
output=$(cd "$2" && pwd) || exit 2
# The outputs would be taken as inputs by the next run (NAME.res.res.grb).
if [ "$(realpath "$input")" = "$output" ]; then
  echo "$0: the output folder is the input folder: $2" >&2
  exit 2
fi
# Two batches into one folder would share their lists and logs.
exec 9>>"$output/.run_many.lock" && flock -n 9 || {
  echo "$0: another run_many.sh is writing into $2: refused" >&2
  exit 2
}
# -H: a link to the folder is the folder.
if ! find -H "$input" -maxdepth 1 -name '*.grb' -print0 2>"$output/find.err" | sort -z >"$output/inputs.list"; then
  echo "$0: cannot list the folder $input: $(head -n 1 "$output/find.err")" >&2
  rm -f "$output/find.err" "$output/inputs.list"
  exit 2
fi
rm -f "$output/find.err"
if [ ! -s "$output/inputs.list" ]; then
  echo "$0: no *.grb file in $input: nothing done" >&2
  exit 2
fi
# parallel, its job log and the summary take one line per input.
inputs=0 newline_names=()
while IFS= read -r -d '' name; do
  inputs=$((inputs + 1))
  [[ $name == *$'\n'* ]] && newline_names+=("$name")
done <"$output/inputs.list"
if [ ${#newline_names[@]} -gt 0 ]; then
  echo "$0: file names holding a newline are refused (their runs could not be told apart):" >&2
  printf '  %q\n' "${newline_names[@]}" >&2
  rm -f "$output/inputs.list"
  exit 2
fi

export RUN_MANY_SCRIPTS=$scripts RUN_MANY_DORVEL=$dorvel RUN_MANY_OUTPUT=$output
run_one() { bash "$RUN_MANY_SCRIPTS/dorvel_one.sh" "$RUN_MANY_DORVEL" "$1" "$RUN_MANY_OUTPUT"; }
export -f run_one
parallel -0 --keep-order --jobs "$jobs" "${halt[@]}" --tag --joblog "$output/jobs.tsv" \
  run_one {} <"$output/inputs.list" >"$output/runs.log"
rm -f "$output/inputs.list"
# parallel's own status stops at 101; the job log has every run's (column 7)
# and the signal that killed it (column 8), which leaves no status line.
failed=$(awk -F '\t' 'NR > 1 && ($7 != 0 || $8 != 0) { n++ } END { print n + 0 }' "$output/jobs.tsv")
killed=$(awk -F '\t' 'NR > 1 && $8 != 0 { n++ } END { print n + 0 }' "$output/jobs.tsv")
records=$(($(wc -l <"$output/jobs.tsv") - 1))
logged=0 summary_status=1
# Only a log of its own is read back (not a device it was pointed at).
if [ -f "$output/runs.log" ]; then
  logged=$(grep -c $'\texit status [0-9]*$' "$output/runs.log")
  "$scripts/summarize_runs.py" "$output"
  summary_status=$?
fi
# With --halt, the runs that never started have no record, and need none.
[ ${#halt[@]} -gt 0 ] && [ "$failed" -gt 0 ] && inputs=$records
if [ "$records" -ne "$inputs" ] || [ $((logged + killed)) -lt "$inputs" ] ||
   [ $summary_status -ne 0 ]; then
  echo "$0: results not all recorded: $inputs inputs, $records in jobs.tsv, $logged statuses in" \
    "runs.log, $killed runs killed, summary status $summary_status" >&2
  exit 251
fi
exit $((failed > 250 ? 250 : failed))
