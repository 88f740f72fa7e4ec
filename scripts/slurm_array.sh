#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs dorvel on many GRIB files as a Slurm array job, one task per file, then
# a summary job once every task has ended.
#
#   scripts/slurm_array.sh [--throttle N] [--sbatch "OPTIONS"] INPUT OUTPUT_DIR
#
# INPUT is a folder (its *.grb files) or a file listing one input path per line.
# Task k runs dorvel on input k into OUTPUT_DIR/NAME.res.grb and keeps its
# console lines and exit status in OUTPUT_DIR/tasks/NAME.log; at most N tasks
# run at once (default 50). The summary job (--dependency=afterany) gathers
# them into OUTPUT_DIR/runs.log, in the layout of run_many.sh, writes
# summary.tsv and summary.png, and fails when any file failed or has no
# status, so that a later step submitted with --dependency=afterok on it never
# starts then. Prints "array JOBID" and "summary JOBID".
# DORVEL names the program (default: dorvel on the PATH). OPTIONS (partition,
# time limit, account, ...) go to sbatch for both jobs.
set -uo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

# One array task: the input on line SLURM_ARRAY_TASK_ID of the list.
if [ "${1:-}" = "--task" ]; then
  list=$2 output=$3 dorvel=$4
  input=$(sed -n "${SLURM_ARRAY_TASK_ID}p" "$list")
  name=$(basename "$input" .grb)
  "$dorvel" "$input" "$output/$name.res.grb" >"$output/tasks/$name.log" 2>&1
  status=$?
  echo "exit status $status" >>"$output/tasks/$name.log"
  exit $status
fi

# The summary job (Slurm runs a copy of this script: $4 is where the original lies).
if [ "${1:-}" = "--summary" ]; then
  list=$2 output=$3 scripts=$4
  failed=0
  : >"$output/runs.log"
  while IFS= read -r input; do
    log="$output/tasks/$(basename "$input" .grb).log"
    if [ -f "$log" ]; then
      sed "s|^|$input\t|" "$log" >>"$output/runs.log"
    fi
    # A task stopped by the scheduler (time limit, cancel) leaves no status.
    grep -q "^exit status 0$" "$log" 2>/dev/null || failed=$((failed + 1))
    grep -q "^exit status" "$log" 2>/dev/null || printf '%s\texit status none\n' "$input" >>"$output/runs.log"
  done <"$list"
  "$scripts/summarize_runs.py" "$output"
  echo "$failed of $(wc -l <"$list") files failed"
  [ "$failed" -eq 0 ]
  exit
fi

throttle=50
sbatch_options=()
while [ $# -gt 0 ]; do
  case $1 in
    --throttle) throttle=$2; shift 2 ;;
    --sbatch) read -r -a sbatch_options <<<"$2"; shift 2 ;;
    *) break ;;
  esac
done
if [ $# -ne 2 ]; then
  echo "usage: $0 [--throttle N] [--sbatch \"OPTIONS\"] INPUT OUTPUT_DIR" >&2
  exit 2
fi
input=$1
mkdir -p "$2/tasks" || exit 1
output=$(cd "$2" && pwd)
dorvel=$(command -v "${DORVEL:-dorvel}") || { echo "$0: no program ${DORVEL:-dorvel}" >&2; exit 2; }
dorvel=$(realpath "$dorvel")
list="$output/inputs.txt"
if [ -d "$input" ]; then
  find "$(realpath "$input")" -maxdepth 1 -name '*.grb' | sort >"$list"
else
  while IFS= read -r line; do [ -n "$line" ] && realpath "$line"; done <"$input" >"$list"
fi
count=$(wc -l <"$list")
[ "$count" -gt 0 ] || { echo "$0: no input files in $input" >&2; exit 2; }

array=$(sbatch --parsable "${sbatch_options[@]}" --job-name=dorvel --array="1-$count%$throttle" \
  --output=/dev/null "$self" --task "$list" "$output" "$dorvel") || exit 1
summary=$(sbatch --parsable "${sbatch_options[@]}" --job-name=dorvel-summary \
  --dependency="afterany:${array%%;*}" --output="$output/summary.out" \
  "$self" --summary "$list" "$output" "$(dirname "$self")") || exit 1
echo "array ${array%%;*}"
echo "summary ${summary%%;*}"
