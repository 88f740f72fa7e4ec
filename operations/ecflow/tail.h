# SPDX-License-Identifier: Apache-2.0
# Included at the end of every task: it completed, once the server says it
# has recorded it (a halted server is waited for, within ECF_TIMEOUT).
trap - EXIT
keep_job_output
if ecflow_client --complete; then
  say "complete"
  exit 0
fi
say "NOT complete: the server did not record the completion (ECF_TIMEOUT %CHILD_TIMEOUT% s): the job ends failed"
exit 1
