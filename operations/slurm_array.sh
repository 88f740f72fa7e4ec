#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs dorvel on many GRIB files as Slurm array jobs, one task per file, then
# a summary job once every task has ended.
#
#   operations/slurm_array.sh [--throttle N] INPUT OUTPUT_DIR [-- SBATCH_OPTION...]
#   operations/slurm_array.sh [--throttle N] [--sbatch "OPTIONS"] INPUT OUTPUT_DIR   (older form)
#   operations/slurm_array.sh --help
#
# INPUT is a folder (its *.grb files) or a file listing one input path per line;
# two inputs of the same base name are refused (their outputs would collide).
# Task k runs dorvel on input k into OUTPUT_DIR/NAME.res.grb and keeps its
# console lines and exit status in OUTPUT_DIR/tasks/NAME.log; at most N tasks
# of an array run at once (default 50). A list longer than the cluster's
# MaxArraySize is submitted as several arrays. The summary job
# (--dependency=afterany on every array) gathers the logs into
# OUTPUT_DIR/runs.log, in the layout of run_many.sh, writes summary.tsv and
# summary.png, and fails when any file failed or has no status or the summary
# could not be written, so that a later step submitted with
# --dependency=afterok on it never starts then; its output (summary.out) names
# each failed file with its reason, and a task that the scheduler cancelled or
# stopped as such. A line of a list naming a
# missing file or folder is kept: its task fails and is counted. A "%" in
# OUTPUT_DIR is taken literally (sbatch would expand it in --output).
# Prints "array JOBID" for each array and "summary JOBID".
# DORVEL names the program (default: dorvel on the PATH). The options after
# "--" (partition, time limit, account, ...) go to sbatch for every job, one
# argument each; --sbatch splits its one argument at blanks.
#
# Exit status:
#   0    every job was submitted
#   1    sbatch refused a job, or the output folder could not be made
#   2    refused, nothing submitted: a usage error, no program, no input,
#        two inputs of one base name
# The summary job exits 0 when every file succeeded, 1 otherwise.
set -uo pipefail
if [ "${1:-}" = "--help" ]; then
  sed -n '3,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 0
fi
# Installed as a command, this is a link: its siblings lie where it leads.
self=$(realpath "$0")

# One array task: the input on line FIRST + SLURM_ARRAY_TASK_ID - 1 of the list.
if [ "${1:-}" = "--task" ]; then
  list=$2 output=$3 dorvel=$4 scripts=$5 first=$6
  input=$(sed -n "$((first + SLURM_ARRAY_TASK_ID - 1))p" "$list")
  bash "$scripts/dorvel_one.sh" "$dorvel" "$input" "$output" \
    >"$output/tasks/$(basename "$input" .grb).log"
  exit
fi

# The summary job (Slurm runs a copy of this script: $4 is where the original lies).
if [ "${1:-}" = "--summary" ]; then
  list=$2 output=$3 scripts=$4
  failed=0 reasons=()
  # Written beside, then renamed: a runs.log there is always a whole one.
  : >"$output/runs.log.new" || { echo "the summary could not be written: $output/runs.log.new"; exit 1; }
  while IFS= read -r input; do
    log="$output/tasks/$(basename "$input" .grb).log"
    if [ -f "$log" ]; then
      while IFS= read -r line; do printf '%s\t%s\n' "$input" "$line"; done <"$log" >>"$output/runs.log.new"
    fi
    grep -q "^exit status 0$" "$log" 2>/dev/null && continue
    failed=$((failed + 1))
    if grep -q "^exit status" "$log" 2>/dev/null; then
      reasons+=("$input: $(grep -v -e '^exit status' -e '^input: ' "$log" | tail -n 1) ($(grep '^exit status' "$log" | tail -n 1))")
    else
      # A task stopped by the scheduler (cancelled, time limit, node failure) leaves no status.
      printf '%s\texit status none\n' "$input" >>"$output/runs.log.new"
      reasons+=("$input: no exit status: the task was cancelled or stopped by the scheduler (time limit, node failure)")
    fi
  done <"$list"
  mv "$output/runs.log.new" "$output/runs.log" &&
    "$scripts/summarize_runs.py" "$output" || { echo "the summary could not be written"; exit 1; }
  echo "$failed of $(wc -l <"$list") files failed"
  [ ${#reasons[@]} -eq 0 ] || printf '  %s\n' "${reasons[@]}"
  [ "$failed" -eq 0 ]
  exit
fi

usage() {
  echo "usage: $0 [--throttle N] INPUT OUTPUT_DIR [-- SBATCH_OPTION...]" >&2
  exit 2
}
throttle=50
sbatch_options=()
positional=()
while [ $# -gt 0 ]; do
  case $1 in
    --throttle) throttle=$2; shift 2 ;;
    --sbatch) read -r -a split <<<"$2"; sbatch_options+=("${split[@]}"); shift 2 ;;
    --) shift; sbatch_options+=("$@"); break ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ ${#positional[@]} -eq 2 ] || usage
input=${positional[0]}
mkdir -p "${positional[1]}/tasks" || exit 1
output=$(cd "${positional[1]}" && pwd)
dorvel=$(command -v "${DORVEL:-dorvel}") || { echo "$0: no program ${DORVEL:-dorvel}" >&2; exit 2; }
dorvel=$(realpath "$dorvel")
list="$output/inputs.txt"
if [ -d "$input" ]; then
  find "$(realpath "$input")" -maxdepth 1 -name '*.grb' | sort >"$list"
else
  # Every line is kept, a missing file or folder too: its task fails and is counted.
  while IFS= read -r line; do [ -n "$line" ] && realpath -m -- "$line"; done <"$input" >"$list"
fi
count=$(wc -l <"$list")
[ "$count" -gt 0 ] || { echo "$0: no input files in $input" >&2; exit 2; }
duplicates=$(while IFS= read -r line; do basename "$line" .grb; done <"$list" | sort | uniq -d)
if [ -n "$duplicates" ]; then
  echo "$0: inputs of the same base name would share an output and a log; refused:" >&2
  while IFS= read -r line; do
    grep -qxF "$(basename "$line" .grb)" <<<"$duplicates" && echo "  $line" >&2
  done <"$list"
  exit 2
fi

# Array indices must stay below MaxArraySize (1001 unless the cluster says otherwise).
max_array=$(scontrol show config 2>/dev/null | awk '$1 == "MaxArraySize" { print $3 }')
per_array=$((${max_array:-1001} - 1))
arrays=()
for ((first = 1; first <= count; first += per_array)); do
  size=$((count - first + 1 < per_array ? count - first + 1 : per_array))
  array=$(sbatch --parsable "${sbatch_options[@]}" --job-name=dorvel --array="1-$size%$throttle" \
    --output=/dev/null "$self" --task "$list" "$output" "$dorvel" "$(dirname "$self")" "$first") ||
    exit 1
  arrays+=("${array%%;*}")
done
summary=$(sbatch --parsable "${sbatch_options[@]}" --job-name=dorvel-summary \
  --dependency="afterany:$(IFS=:; echo "${arrays[*]}")" --output="${output//%/%%}/summary.out" \
  "$self" --summary "$list" "$output" "$(dirname "$self")") || exit 1
for array in "${arrays[@]}"; do echo "array $array"; done
echo "summary ${summary%%;*}"
