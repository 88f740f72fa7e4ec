#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Included at the head of every task: tells the server the task has started,
# keeps the day's record, and aborts the task with a reason when the script
# fails or is killed. Each step and its status goes to the job's output (the
# .1, .2 ... files beside the job), so that it can be read without the server.
set -u
export ECF_PORT=%ECF_PORT% ECF_HOST=%ECF_HOST% ECF_NAME=%ECF_NAME% ECF_PASS=%ECF_PASS%
export ECF_TRYNO=%ECF_TRYNO% ECF_RID=$$ ECF_TIMEOUT=60 ECF_DENIED=1
results=%RESULTS% day=%DAY% input=%INPUTS%/%DAY%.grb
record=$results/logs/$day.log
say() { echo "$(date -u +%%T) $*"; }
say "task %ECF_NAME%, day $day, try $ECF_TRYNO of %ECF_TRIES%"

# The day's record: LINE... under the input's name, as run_many.sh logs runs.
# It replaces the day's last record, which goes to the day's history.
write_record() {
  [ ! -f "$record" ] || cat "$record" >>"$results/logs/history/$day.log"
  printf '%%s\n' "$@" | sed "s|^|$input\t|" >"$record.new" && mv "$record.new" "$record"
  recorded=1
}

# runs.log, summary.tsv and summary.png from every day's record, and the
# suite's label "failed", one summary at a time.
update_summary() {
  (
    flock 9 &&
      cat "$results"/logs/*.log >"$results/runs.log" &&
      /usr/bin/python3 %SUMMARIZE% --neg-limit %NEG_LIMIT% "$results" || exit 1
    failed=$(awk -F '\t' 'NR > 1 && $6 != "0"' "$results/summary.tsv" | wc -l)
    days=$(($(wc -l <"$results/summary.tsv") - 1))
    say "summary: $failed of $days days failed"
    ecflow_client --alter change label failed "$failed of $days days" /%SUITE%
  ) 9>>"$results/.summary.lock"
}

# The reason a task aborts with, and the status its record gives; a task sets
# the reason before each step that can fail.
reason="the task script failed" status=1 recorded="" killed=""
abort_task() {
  trap - EXIT
  say "aborting: $reason"
  [ -n "$recorded" ] || write_record "$reason" "exit status $status"
  # The last try updates the summary; the server retries no killed task.
  if [ "$ECF_TRYNO" -ge %ECF_TRIES% ] || [ -n "$killed" ]; then
    update_summary || say "the summary could not be updated"
  fi
  ecflow_client --abort="$reason"
  exit 0
}
trap abort_task EXIT
# ecflow_client --kill sends TERM to the job's process group: the tool cuts
# its output back to whole messages and dies, and the task aborts.
for signal in TERM INT HUP; do
  trap "reason='killed by SIG$signal' status=$((128 + $(kill -l $signal))) killed=1; exit 1" $signal
done

# Runs a tool (the rest of the arguments): its console lines and "exit status
# N" become the day's record; its last line ($last) the label LABEL; a
# failure aborts the task with that line and the status.
run_tool() {
  local label=$1 lines
  shift
  say "running: $*"
  lines=$("$@" 2>&1)
  status=$?
  printf '%%s\n' "$lines"
  say "exit status $status"
  write_record "$lines" "exit status $status"
  last=$(printf '%%s\n' "$lines" | tail -n 1)
  ecflow_client --label="$label" "$last"
  if [ $status -ne 0 ]; then
    reason="$last (exit status $status)"
    exit 1
  fi
}
reason="the results folder $results could not be made"
mkdir -p "$results/logs/history" "$results/$day" || exit 1
reason="the task script failed"
ecflow_client --init=$$
