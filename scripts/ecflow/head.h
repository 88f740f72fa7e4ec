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
ecflow_client --init=$$
