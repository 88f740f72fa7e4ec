#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Included at the head of every task: tells the server the task has started,
# and aborts it with a reason when the script fails or is killed.
set -u
export ECF_PORT=%ECF_PORT% ECF_HOST=%ECF_HOST% ECF_NAME=%ECF_NAME% ECF_PASS=%ECF_PASS%
export ECF_TRYNO=%ECF_TRYNO% ECF_RID=$$ ECF_TIMEOUT=60 ECF_DENIED=1
# The reason a task aborts with; a task sets it before each step that can fail.
reason="the task script failed"
abort_task() {
  trap - EXIT
  ecflow_client --abort="$reason"
  exit 0
}
trap abort_task EXIT
# ecflow_client --kill sends TERM to the job's process group: the tool cuts
# its output back to whole messages and dies, and the task aborts.
for signal in TERM INT HUP; do
  trap "reason='killed by SIG$signal'; exit 1" $signal
done
# Runs a tool (the rest of the arguments) on the day's input INPUT: its
# console lines and "exit status N" become the day's record LOG, under the
# input's name as run_many.sh logs them; its last line ($last) becomes the
# label LABEL; a failure aborts the task with that line and the status.
run_tool() {
  local label=$1 input=$2 log=$3
  shift 3
  local lines status
  lines=$("$@" 2>&1)
  status=$?
  { printf '%%s\n' "$lines"; echo "exit status $status"; } | sed "s|^|$input\t|" >"$log"
  last=$(printf '%%s\n' "$lines" | tail -n 1)
  ecflow_client --label="$label" "$last"
  if [ $status -ne 0 ]; then
    reason="$last (exit status $status)"
    exit 1
  fi
}
ecflow_client --init=$$
