#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# On an architecture that runs under qemu-user (which offers no seccomp, so the
# tools' program is never loaded there): runs both tools on every input file,
# through a pipe, onto a full device and into a stop signal, each under qemu's
# call log, then proves the seccomp program built for this architecture
# against every call logged after confinement (tests/seccomp_proof.cc).
#
#   bash tests/seccomp_proof.sh BUILD INPUTS
set -uo pipefail
build=$(realpath "$1") inputs=$(realpath "$2")
dorvel=$build/dorvel/dorvel quimbrel=$build/quimbrel/quimbrel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
# qemu writes its log to standard error: the run keeps it open, where it
# closes the other descriptors it was handed.
export QEMU_STRACE=1
runs=0
logged() {
  runs=$((runs + 1))
  "$@" >/dev/null 2>"log_$runs.txt"
}
for file in "$inputs"/*; do
  logged "$dorvel" "$file" out.grb
  logged "$quimbrel" "$file" out.grb 2
  logged "$quimbrel" "$file" out.grb -3
done
sample=$inputs/sample.grb
logged sh -c "cat '$sample' | '$quimbrel' /dev/stdin out.grb 1"
logged "$quimbrel" "$sample" /dev/full 1
logged "$dorvel" "$sample" /dev/full
# A stop signal while the input stalls: the cut-back and the re-raise.
mkfifo stalled
{ cat "$sample"; sleep 120; } >stalled &
feeder=$!
"$quimbrel" stalled out.grb 1 >/dev/null 2>log_signal.txt &
tool=$!
for _ in $(seq 600); do
  grep -q '^[0-9]* read(3,.*= [1-9]' log_signal.txt 2>/dev/null && break
  sleep 0.1
done
kill -TERM "$tool"
wait "$tool"
kill "$feeder" 2>/dev/null
grep -q '^[0-9]* ftruncate(4,' log_signal.txt || { echo "seccomp_proof.sh: the stop signal was not logged"; exit 1; }
unset QEMU_STRACE
"$build/tests/seccomp_proof" log_*.txt
