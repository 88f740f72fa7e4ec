#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs dorvel once per GRIB file of a folder, several at a time, with GNU parallel.
#
#   run_many.sh [-j JOBS] [--halt] [--resume] INPUT_DIR OUTPUT_DIR
#   run_many.sh --help
#
# Each INPUT_DIR/NAME.grb gives OUTPUT_DIR/NAME.res.grb. OUTPUT_DIR/runs.log
# collects every run's console lines, each prefixed with its input file, and
# its exit status, in input order; OUTPUT_DIR/jobs.tsv is parallel's job log
# (times, statuses); OUTPUT_DIR/summary.tsv and summary.png summarize the runs
# (summarize_runs.py). A run that fails leaves no output. The output folder
# belongs to the batch: a new batch first removes the results of the last one
# (*.res.grb, runs.log, summary.tsv, summary.png), so that every file there is
# a result of this batch.
#   -j JOBS    runs at once (default: the number of processors)
#   --halt     no new run starts after the first failure (runs going finish)
#   --resume   runs only the inputs that the last batch into OUTPUT_DIR did not
#              finish: an input whose record says it succeeded, whose output is
#              there, and whose size and checksum are those its record gives,
#              keeps its record and output (a file redelivered with an old time
#              is run again). Safe after an interrupted or failed batch, or
#              after inputs were added or changed; not after dorvel itself
#              changed (run the batch anew).
# On a terminal, standard error shows progress (done, failed, left).
# An interrupt (SIGINT, Ctrl-C; SIGTERM; SIGHUP) starts no new run and lets the
# runs going finish, each recorded; a second one stops them (recorded as
# killed, their outputs removed). The summary is then not written: --resume
# finishes the batch.
#
# Exit status:
#   0    every run succeeded, and every record was written
#   1    some runs failed (a non-zero status, or killed by a signal); standard
#        error says how many, the first reasons, and where the full list is
#   2    refused, nothing run: a usage error, an empty or unreadable folder, an
#        output folder that is the input folder or that another run_many.sh is
#        writing into (the refusal names the processes that hold its lock: a
#        batch whose script was killed with SIGKILL may still be running
#        there), or input names holding a newline
#   130  interrupted by SIGINT (143 by SIGTERM, 129 by SIGHUP)
#   251  results not all recorded (runs.log, jobs.tsv, summary.tsv or
#        summary.png could not be written, a full disk say, or a run has no
#        record)
# Standard error says which. Where the inputs' names carry dates (YYYYMMDD), the
# summary names the dates of their range that have no input. Started in the
# background (&) by a script, the batch ignores SIGINT (the shell's rule for
# such jobs): stop it with SIGTERM. DORVEL names the program (default: dorvel on
# the PATH).
set -uo pipefail
self=$0
usage() {
  echo "usage: $self [-j JOBS] [--halt] [--resume] INPUT_DIR OUTPUT_DIR (--help: more)" >&2
  exit 2
}
jobs=$(nproc)
halt=() resume=""
while [ $# -gt 0 ]; do
  case $1 in
    --help) sed -n '3,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -j) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    --halt) halt=(--halt soon,fail=1); shift ;;
    --resume) resume=1; shift ;;
    *) break ;;
  esac
done
[ $# -eq 2 ] || usage
input=$1
# A folder named like an option ("-in") is still a folder to find.
case $input in -*) input=./$input ;; esac
# Installed as a command, this is a link: its siblings lie where it leads.
scripts=$(dirname "$(realpath "$0")")
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
  # The processes that hold the lock open: the batch's parallel and its runs.
  holders=$(find /proc/[0-9]*/fd -maxdepth 1 -type l -printf '%h\t%l\n' 2>/dev/null |
    awk -F '\t' -v lock="$output/.run_many.lock" -v self=$$ \
      '$2 == lock { split($1, at, "/"); if (at[3] != self && !seen[at[3]]++) { printf "%s%s", sep, at[3]; sep = " " } }')
  echo "$0: another run_many.sh is writing into $2 (processes holding" \
    "$output/.run_many.lock: ${holders:-none found}): refused" >&2
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

# The last batch's records: read by --resume, then gone with its results.
previous="$output/.runs.previous"
rm -f "$previous"
if [ -n "$resume" ] && [ -f "$output/runs.log" ]; then
  cp "$output/runs.log" "$previous" || exit 251
else
  find "$output" -maxdepth 1 -name '*.res.grb' -delete
fi
rm -f "$output/summary.tsv" "$output/summary.png"

export RUN_MANY_SCRIPTS=$scripts RUN_MANY_DORVEL=$dorvel RUN_MANY_OUTPUT=$output
export RUN_MANY_PREVIOUS=${resume:+$previous}
run_one() {
  local result="$RUN_MANY_OUTPUT/$(basename "$1" .grb).res.grb" record
  # Resumed: an input that succeeded, whose output is there and that holds
  # what its record says it held keeps its record.
  if [ -n "$RUN_MANY_PREVIOUS" ] && [ -f "$result" ]; then
    record=$(awk -v name="$1	" 'index($0, name) == 1 { print substr($0, length(name) + 1) }' "$RUN_MANY_PREVIOUS")
    if [ "$(tail -n 1 <<<"$record")" = "exit status 0" ] &&
       [ "$(head -n 1 <<<"$record")" = "$(bash "$RUN_MANY_SCRIPTS/dorvel_one.sh" --describe "$1")" ]; then
      printf '%s\n' "$record"
      return 0
    fi
  fi
  bash "$RUN_MANY_SCRIPTS/dorvel_one.sh" "$RUN_MANY_DORVEL" "$1" "$RUN_MANY_OUTPUT"
}
export -f run_one

# A job log of its own is read back, not a device it was pointed at.
job_log() { [ -f "$output/jobs.tsv" ] && tail -n +2 "$output/jobs.tsv"; }

# parallel runs in a process group of its own: an interrupt reaches this script,
# which asks parallel to start no new run (SIGHUP) and, the second time, stops
# the runs going; every run started is then recorded.
interrupted="" status_of_signal=0
interrupt() {
  if [ -z "$interrupted" ]; then
    interrupted=$1 status_of_signal=$2
    echo "$self: interrupted (SIG$1): no new run starts; the runs going finish (again to stop them)" >&2
    kill -HUP "$batch" 2>/dev/null
  else
    echo "$self: stopping the runs going" >&2
    # parallel starts each run in a process group of its own.
    for job in $(pgrep -P "$batch"); do kill -TERM -- "-$job" 2>/dev/null; done
  fi
}
trap 'interrupt INT 130' INT
trap 'interrupt TERM 143' TERM
trap 'interrupt HUP 129' HUP
set -m
parallel -0 --keep-order --jobs "$jobs" "${halt[@]}" --tag --joblog "$output/jobs.tsv" \
  run_one {} <"$output/inputs.list" >"$output/runs.log" 2> >(grep -v '^parallel: \(SIGHUP\|Waiting\|bash\|run_one\)' >&2) &
batch=$!
set +m
# Progress on a terminal: done, failed, left.
progress=""
if [ -t 2 ]; then
  while sleep 1; do
    job_log 2>/dev/null | awk -F '\t' -v all="$inputs" \
      '{ done++ } $7 != 0 || $8 != 0 { failed++ }
       END { printf "\r%d done, %d failed, %d left ", done, failed, all - done > "/dev/stderr" }'
  done &
  progress=$!
fi
while :; do
  wait "$batch"
  kill -0 "$batch" 2>/dev/null || break
done
[ -z "$progress" ] || { kill "$progress" 2>/dev/null; wait "$progress" 2>/dev/null; echo >&2; }
rm -f "$output/inputs.list" "$previous"
trap - INT TERM HUP

# parallel's own status stops at 101; the job log has every run's (column 7)
# and the signal that killed it (column 8), which leaves no status line.
failed=$(job_log | awk -F '\t' '$7 != 0 || $8 != 0 { n++ } END { print n + 0 }')
killed=$(job_log | awk -F '\t' '$8 != 0 { n++ } END { print n + 0 }')
records=$(job_log | wc -l)
logged=0 summary_status=1
if [ -f "$output/runs.log" ]; then
  logged=$(grep -c $'\texit status [0-9]*$' "$output/runs.log")
  # An interrupted batch writes no summary: it would look whole.
  if [ -z "$interrupted" ]; then
    "$scripts/summarize_runs.py" "$output"
    summary_status=$?
  fi
fi
# With --halt or an interrupt, the runs that never started have no record, and need none.
if { [ ${#halt[@]} -gt 0 ] && [ "$failed" -gt 0 ]; } || [ -n "$interrupted" ]; then
  started=$records
else
  started=$inputs
fi
if [ "$records" -ne "$started" ] || [ $((logged + killed)) -lt "$started" ] ||
   { [ -z "$interrupted" ] && [ $summary_status -ne 0 ]; }; then
  echo "$0: results not all recorded: $inputs inputs, $records in jobs.tsv, $logged statuses in" \
    "runs.log, $killed runs killed, summary status $summary_status" >&2
  exit 251
fi
if [ "$failed" -gt 0 ]; then
  echo "$0: $failed of $records runs failed; the first:" >&2
  job_log | awk -F '\t' '$7 != 0 || $8 != 0 { sub(/^run_one /, "", $9); print $9 "\t" $8 }' | head -n 5 |
    while IFS=$'\t' read -r name signal; do
      reason=$(awk -v name="$name	" 'index($0, name) == 1 && !/\texit status [0-9]*$/ { last = substr($0, length(name) + 1) }
                                     END { print last }' "$output/runs.log")
      [ "$signal" = 0 ] || reason="killed by signal $signal"
      echo "  $name: $reason" >&2
    done
  if [ -n "$interrupted" ]; then
    echo "  every run: $output/runs.log (no summary: interrupted)" >&2
  else
    echo "  every run: $output/runs.log and summary.tsv" >&2
  fi
fi
if [ -n "$interrupted" ]; then
  echo "$0: interrupted: $records of $inputs inputs run and recorded in $output/runs.log;" \
    "--resume finishes the batch" >&2
  exit "$status_of_signal"
fi
[ "$failed" -eq 0 ] || exit 1
exit 0
