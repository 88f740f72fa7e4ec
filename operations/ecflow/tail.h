# SPDX-License-Identifier: Apache-2.0
# Included at the end of every task: it completed.
trap - EXIT
say "complete"
ecflow_client --complete
exit 0
