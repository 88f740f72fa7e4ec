#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs operations/slurm_array.sh end to end on a real one-node Slurm cluster that
# it starts itself on localhost (munged, slurmctld and slurmd as background
# daemons, stopped by their process ids at the end whatever happens): ten good
# inputs and two damaged ones in a folder whose path is longer than the tools'
# 200 bytes and holds a "|", submitted as three arrays (MaxArraySize 5) with a
# quoted sbatch option; ten right outputs, the two failures with their status
# and console line in the summary, an afterok step that never runs, and a
# list with two inputs of one base name refused.
# Exit status 77 (skipped, with the reason) when Slurm cannot be started.
#
#   bash tests/slurm_check.sh [--throughput]    (--throughput also times 40 files on 1 and 2 CPUs)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; [ -n "${work:-}" ] && tail -n 20 "$work"/*.log 2>/dev/null; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "needs root to start the Slurm daemons"
bash scripts/install_deps.sh cluster build >/dev/null || skip "slurm-wlm and munge cannot be installed"

work=$(mktemp -d /tmp/slurm_check.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A build of its own, of what is checked out now.
cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
  cmake --build "$work/build" -j "$(nproc)" --target dorvel make_test_gribs >/dev/null ||
  fail "the build failed"
dorvel="$work/build/dorvel/dorvel" generate="$work/build/tests/make_test_gribs"
pids=()
stop_daemons() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  pids=()
  rm -rf "$work/state" "$work/spool" "$work/munge"
}
trap 'stop_daemons; rm -rf "$work"' EXIT

host=$(hostname -s)
# Ports the system has just handed out as free, so that another service (or a
# cluster left over from an earlier run) cannot collide with this one.
free_ports() {
  python3 -c 'import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in sockets))'
}
start_cluster() {  # CPUS
  mkdir -p "$work/state" "$work/spool" "$work/munge"
  local ports
  read -r -a ports <<<"$(free_ports)"
  cat >"$work/slurm.conf" <<EOF
ClusterName=check
SlurmctldHost=$host(127.0.0.1)
AuthInfo=socket=$work/munge/munge.socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldPort=${ports[0]}
SlurmdPort=${ports[1]}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc=$work/jobcomp.txt
ReturnToService=2
# Dispatch each task as soon as a CPU frees up, not at the next scheduling pass.
SchedulerParameters=sched_min_interval=0,batch_sched_delay=0
CompleteWait=0
KillWait=1
# Small, so that twelve files need three arrays.
MaxArraySize=${2:-1001}
NodeName=$host NodeAddr=127.0.0.1 CPUs=$1 State=UNKNOWN
PartitionName=check Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF="$work/slurm.conf"
  munged --foreground --socket="$work/munge/munge.socket" --pid-file="$work/munge/munged.pid" \
    --seed-file="$work/munge/seed" --log-file="$work/munged.log" --force 2>/dev/null &
  pids+=($!)
  slurmctld -D -i -L "$work/slurmctld.log" 2>/dev/null &
  pids+=($!)
  slurmd -D -L "$work/slurmd.log" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do
    sinfo -h -o %T 2>/dev/null | grep -qx idle && return 0
    sleep 0.2
  done
  return 1
}
since() { awk -v from="$1" -v now="$(date +%s.%N)" 'BEGIN { printf "%.1f", now - from }'; }
wait_job() {  # JOBID: until it has left the queue
  for _ in $(seq 600); do
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 0.5
  done
  return 1
}

start=$(date +%s.%N)
start_cluster 2 5 || skip "the one-node Slurm cluster did not come up: $(tail -n 3 "$work"/slurm*.log)"
echo "one-node cluster up in $(since "$start") s"

# Ten good inputs over ten days and two damaged ones, in a folder with a long path.
deep="$work/$(printf 'a%.0s' $(seq 110))/$(printf 'b%.0s' $(seq 110))|c"
mkdir -p "$deep"
ln -s "$deep" "$work/in"
for day in $(seq -w 1 10); do
  "$generate" sample "$work/in/run_202601$day.grb" "202601$day" 600
done
echo "not a GRIB file" >"$work/in/run_20260111.grb"
head -c 30000 "$work/in/run_20260101.grb" >"$work/in/run_20260112.grb"

# A "%" in the output folder stays a "%" (sbatch expands it in --output).
out="$work/out%j"
ids=$(DORVEL="$dorvel" bash operations/slurm_array.sh --throttle 2 "$deep" "$out" \
  -- --time=5 "--comment=two words") || fail "submission"
arrays=$(awk '/^array/{print $2}' <<<"$ids")
[ "$(wc -l <<<"$arrays")" -eq 3 ] || fail "three arrays of at most four tasks expected: $ids"
summary=$(awk '/^summary/{print $2}' <<<"$ids")
later=$(sbatch --parsable --dependency="afterok:$summary" --kill-on-invalid-dep=yes \
  --output=/dev/null --wrap "touch $work/later_ran")
wait_job "$summary" || fail "the summary job did not end"
wait_job "$later" || fail "the afterok step stayed queued"

[ -s "$out/summary.out" ] || fail "no summary.out in the output folder named with a %"
[ "$(ls "$out"/*.res.grb | wc -l)" -eq 10 ] || fail "ten outputs expected (a failed run leaves none)"
for day in $(seq -w 1 10); do
  "$dorvel" "$work/in/run_202601$day.grb" "$work/expected.grb" >/dev/null
  cmp -s "$work/expected.grb" "$out/run_202601$day.res.grb" || fail "output of day $day differs"
done
for damaged in 11 12; do
  [ ! -e "$out/run_202601$damaged.res.grb" ] || fail "damaged input $damaged has an output"
  grep -qxF "$deep/run_202601$damaged.grb	exit status 1" "$out/runs.log" ||
    fail "no status 1 for input $damaged"
done
grep -qxF "$deep/run_20260111.grb	 Errore leggendo run_20260111.grb grib n.ro            1" \
  "$out/runs.log" || fail "no read-failure line"
[ "$(grep -c '	1	' "$out/summary.tsv")" -eq 2 ] || fail "summary.tsv: two failed rows expected"
[ "$(grep -c '	0		$' "$out/summary.tsv")" -eq 10 ] || fail "summary.tsv: ten good rows expected"
grep -qF "  $deep/run_20260111.grb:  Errore leggendo run_20260111.grb grib n.ro            1 (exit status 1)" \
  "$out/summary.out" || fail "summary.out must name each failed file with its reason"
[ ! -e "$work/later_ran" ] || fail "the afterok step ran although two files failed"
# The scheduler's own record of every task: twelve, two of them with exit code 1.
records=$(grep -E "ArrayJobId=($(paste -sd'|' <<<"$arrays")) " "$work/jobcomp.txt")
[ "$(grep -c . <<<"$records")" -eq 12 ] || fail "twelve task records expected"
[ "$(grep -c "ExitCode=1:0" <<<"$records")" -eq 2 ] || fail "two task records with exit code 1 expected"
# Two inputs of one base name would share an output: refused before anything is submitted.
mkdir "$work/other"
cp "$work/in/run_20260101.grb" "$work/other/"
printf '%s\n' "$work/in/run_20260101.grb" "$work/other/run_20260101.grb" >"$work/twins.txt"
DORVEL="$dorvel" bash operations/slurm_array.sh "$work/twins.txt" "$work/twins" 2>"$work/twins.err"
[ $? -eq 2 ] && grep -qF "$work/other/run_20260101.grb" "$work/twins.err" ||
  fail "two inputs of one base name must be refused"
# A list line whose folder is missing is a task that fails, not a line dropped.
printf '%s\n' "$work/in/run_20260101.grb" "$work/missing/run_20260102.grb" \
  "$work/in/run_20260103.grb" >"$work/list.txt"
ids=$(DORVEL="$dorvel" bash operations/slurm_array.sh "$work/list.txt" "$work/listed") ||
  fail "list submission"
wait_job "$(awk '/^summary/{print $2}' <<<"$ids")" || fail "the list's summary job did not end"
grep -qxF "$work/missing/run_20260102.grb	exit status 1" "$work/listed/runs.log" ||
  fail "the missing folder's task must fail, not vanish"
[ "$(grep -c 'exit status 0$' "$work/listed/runs.log")" -eq 2 ] || fail "two listed runs must succeed"
echo "slurm_array: 10 right outputs, 2 failures with status 1 and their lines, afterok step never ran"
sed 's/^/  /' "$out/summary.out"

if [ "${1:-}" = "--throughput" ]; then
  mkdir "$work/many"
  for k in $(seq 1 40); do cp "$work/in/run_20260101.grb" "$work/many/f$k.grb"; done
  for cpus in 1 2; do
    stop_daemons
    start_cluster "$cpus" || fail "restart with $cpus CPUs"
    begin=$(date +%s.%N)
    ids=$(DORVEL="$dorvel" bash operations/slurm_array.sh "$work/many" "$work/t$cpus")
    wait_job "$(awk '/^summary/{print $2}' <<<"$ids")"
    seconds=$(since "$begin")
    echo "40 files on $cpus CPU(s): $seconds s, $(awk -v s="$seconds" 'BEGIN { printf "%.1f", 40 / s }') files/s"
  done
  mkdir -p "$root/build" && cp "$out/summary.png" "$root/build/slurm_summary.png"
fi
echo "slurm check passed"
