#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Included at the head of every task: tells the server the task has started,
# keeps the day's record, and aborts the task with a reason when the script
# fails or is killed. Each step and its status goes to the job's output (the
# .1, .2 ... files beside the job, copied into RESULTS/DAY/jobs/ when the task
# ends), so that it can be read without the server.
set -u
# No ECF_DENIED: while the server is halted (or has just recovered from its
# checkpoint) a child command waits for it, for at most ECF_TIMEOUT seconds,
# instead of failing at once; one that fails all the same is never taken for
# done (the job then says so, and ends failed).
export ECF_PORT=%ECF_PORT% ECF_HOST=%ECF_HOST% ECF_NAME=%ECF_NAME% ECF_PASS=%ECF_PASS%
export ECF_TRYNO=%ECF_TRYNO% ECF_RID=$$ ECF_TIMEOUT=%CHILD_TIMEOUT%
results=%RESULTS%
say() { echo "$(date -u +%%T) $*"; }
# The day this task acts on: the one its family's wait task found, whatever
# the repeat says by now (an operator may move it while a day runs).
day=%DAY%
day_file=$results/logs/.day_of_%FAMILY%
if [ "%TASK%" != wait ] && [ -s "$day_file" ]; then day=$(cat "$day_file"); fi
input=%INPUTS%/$day.grb
record=$results/logs/$day.log notes=$results/$day/notes
say "task %ECF_NAME%, day $day, try $ECF_TRYNO of %ECF_TRIES%"

# Replaces FILE with TEXT, written beside and renamed: FILE is the previous
# one or the new one, whole.
replace_file() {
  if printf '%%s' "$2" >"$1.new" && mv "$1.new" "$1"; then return 0; fi
  rm -f "$1.new"
  return 1
}

# The day's record: LINE... and the day's notes ("note: ..."), under the
# input's name, as run_many.sh logs runs. It replaces the day's last record,
# which goes to the day's history.
write_record() {
  recorded=1
  if [ -f "$record" ] && ! cat "$record" >>"$results/logs/history/$day.log"; then
    say "the day's history could not be written"
  fi
  local text
  text=$({ printf '%%s\n' "$@"; sed 's/^/note: /' "$notes" 2>/dev/null; } | sed "s|^|$input\t|")
  replace_file "$record" "$text"$'\n' ||
    { say "the day's record could not be written"; record_failed=1; return 1; }
}

# A note on the day (late, over the limit): kept in the day's notes, and so in
# every record of the day from now on, this one included.
add_note() {
  say "note: $1"
  # A task run again notes it once: its record holds the day's notes already.
  ! grep -qxF "$1" "$notes" 2>/dev/null || return 0
  echo "$1" >>"$notes" || say "the note could not be written"
  [ ! -f "$record" ] ||
    replace_file "$record" "$(cat "$record")"$'\n'"$input"$'\t'"note: $1"$'\n' ||
    say "the note could not be added to the day's record"
}

# The last "exit status N" of a record (notes may follow it).
last_status() { grep $'\texit status ' "$1" | tail -n 1 | cut -f 2-; }

# runs.log, summary.tsv and summary.png from every day's record, and the
# suite's label "failed", one summary at a time. The label is counted from
# the records themselves (a day whose last status is not 0, or whose record
# could not be written, failed), so that a summary that cannot be written
# still leaves it true.
update_summary() {
  (
    flock 9
    failed=0 days=0
    for log in "$results"/logs/*.log; do
      [ -f "$log" ] || continue
      days=$((days + 1))
      [ "$(last_status "$log")" = "exit status 0" ] || failed=$((failed + 1))
    done
    # This day's failure, where its record could not say it.
    if [ -n "$record_failed" ]; then
      [ -f "$record" ] || days=$((days + 1))
      [ -f "$record" ] && [ "$(last_status "$record")" != "exit status 0" ] || failed=$((failed + 1))
    fi
    say "summary: $failed of $days days failed"
    ecflow_client --alter change label failed "$failed of $days days" /%SUITE% ||
      say "the server did not take the label failed"
    replace_file "$results/runs.log" "$(cat "$results"/logs/*.log)"$'\n' &&
      /usr/bin/python3 %SUMMARIZE% --neg-limit %NEG_LIMIT% "$results"
  ) 9>>"$results/.summary.lock"
}

# Keeps this try's job output beside the day's results: the next day's job
# writes the same file beside the job.
keep_job_output() {
  mkdir -p "$results/$day/jobs" && cp -f "%ECF_JOBOUT%" "$results/$day/jobs/%TASK%.%ECF_TRYNO%" ||
    say "the job output could not be kept in $results/$day/jobs"
}

# The reason a task aborts with, and the status its record gives; a task sets
# the reason before each step that can fail.
reason="the task script failed" status=1 recorded="" killed="" record_failed=""
abort_task() {
  trap - EXIT
  # Stopped by dorvel-ecflow-suite (the suite is replaced, or the chain moved):
  # nothing happened to the day, and its record stays as it was.
  if [ -n "$killed" ] && [ -s "$results/logs/.stopping" ]; then
    reason="stopped: $(cat "$results/logs/.stopping")"
    say "$reason; the day's record stays as it was"
  else
    say "aborting: $reason"
    [ -n "$recorded" ] || write_record "$reason" "exit status $status"
    # The last try updates the summary; the server retries no killed task.
    if [ "$ECF_TRYNO" -ge %ECF_TRIES% ] || [ -n "$killed" ] || [ -n "$record_failed" ]; then
      update_summary || say "the summary could not be written"
    fi
  fi
  keep_job_output
  if ecflow_client --abort="$reason"; then
    say "aborted"
  else
    say "the server did not record the abort: the task may still show active"
  fi
  exit 1
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
  write_record "$lines" "exit status $status" || { reason="the day's record could not be written"; exit 1; }
  last=$(printf '%%s\n' "$lines" | tail -n 1)
  ecflow_client --label="$label" "$last" || say "the server did not take the label $label"
  if [ $status -ne 0 ]; then
    reason="$last (exit status $status)"
    exit 1
  fi
}
reason="the results folder $results could not be made"
mkdir -p "$results/logs/history" "$results/$day" || exit 1
reason="the task script failed"
if ! ecflow_client --init=$$; then
  trap - EXIT
  say "the server did not record the start (ECF_TIMEOUT %CHILD_TIMEOUT% s): the job ends failed"
  exit 1
fi
