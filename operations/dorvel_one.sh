#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One dorvel run of many (run_many.sh, slurm_array.sh): INPUT into
# OUTPUT_DIR/NAME.res.grb; on standard output "input: SIZE bytes, sha256 SUM"
# (what a regular input held), dorvel's console lines and standard error, then
# "exit status N"; exits with N. A run that fails, or is stopped by a signal,
# leaves no output: a file there is a result.
#
#   operations/dorvel_one.sh DORVEL INPUT OUTPUT_DIR
#   operations/dorvel_one.sh --describe INPUT   the "input: ..." line alone
#
# dorvel takes names of at most 200 bytes. Longer ones are handed to it
# relative to the input's folder, which the run changes into; an input whose
# names are too long even so is refused with a line that names it (status 2).
set -uo pipefail
export LC_ALL=C  # ${#name} counts bytes
# What a regular input holds, by its size and checksum (never its clock): a
# redelivered file is known for what it is.
describe() {
  local sum
  [ -f "$1" ] && sum=$(sha256sum <"$1") && echo "input: $(stat -L -c %s -- "$1") bytes, sha256 ${sum%% *}"
}
if [ "${1:-}" = "--describe" ]; then
  describe "$2"
  exit
fi
dorvel=$1 input=$2 output="$3/$(basename "$2" .grb).res.grb"
limit=200
if [ ${#input} -gt $limit ] || [ ${#output} -gt $limit ]; then
  output=$(realpath -m --relative-to="$(dirname "$input")" "$output")
  input=$(basename "$input")
  cd "$(dirname "$2")" || { echo "exit status 1"; exit 1; }
  if [ ${#input} -gt $limit ] || [ ${#output} -gt $limit ]; then
    echo "name too long for dorvel (over $limit bytes) even from its folder: $2"
    echo "exit status 2"
    exit 2
  fi
fi
# A signal that stops the batch reaches dorvel (which dies of it, its output
# cut back) and is recorded here: a trapped signal is the default in dorvel.
trap ':' INT TERM HUP
describe "$input"
"$dorvel" "$input" "$output" 2>&1
status=$?
[ $status -eq 0 ] || rm -f -- "$output"
echo "exit status $status"
exit $status
