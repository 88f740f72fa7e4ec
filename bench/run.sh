#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times dorvel and quimbrel side by side with cat, dd, head, grib_copy and CDO, and
# beside the floors of a run (/bin/true, a C program that only loads ecCodes, a
# minimal C program making dorvel's decodes and encode: bench/floor/), and
# measures wall, user and system time and peak resident memory. The commands
# of a case are timed together, in rounds whose order turns, so that a machine
# that slows down or speeds up during a case moves all of its rows alike; the
# machine's load is printed before and after. Prints one Markdown table; the
# full run also writes it to bench/RESULTS.md.
#
#   bash bench/run.sh           full run (4800 messages of 61 KB, 20 000 tiny ones, 20 padded
#                               ones, 24 000 GRIB 2 ones of 12 KB, 100 global fields of 1-2 MB,
#                               12 high-resolution fields of 5.7-13 MB)
#   bash bench/run.sh --quick   tiny inputs and two runs each: only checks that it works
#   --previous REV              also times quimbrel as built from git revision REV, in the
#                               same run (the build is made in the work folder)
#
# BENCH_BUILD_DIR names an existing build to use instead of building build/. The
# inputs and outputs lie in /dev/shm when there is one (memory, as tmpfs), so
# that the disk does not time the copies.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0
previous=""
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --previous)
      previous=${2:?--previous needs a git revision}
      shift
      ;;
    *)
      echo "usage: bash bench/run.sh [--quick] [--previous REV]" >&2
      exit 2
      ;;
  esac
  shift
done

if [ -z "${BENCH_BUILD_DIR:-}" ]; then
  bash scripts/install_deps.sh --tests
  bash scripts/build.sh >/dev/null
  build="$root/build"
else
  build=$(cd "$BENCH_BUILD_DIR" && pwd)
fi
dorvel="$build/dorvel/dorvel"
quimbrel="$build/quimbrel/quimbrel"
generate="$build/tests/make_test_gribs"

# Each command of a case runs `runs` times in each of `rounds` rounds, after
# `warmup` runs of its own.
if [ $quick -eq 1 ]; then
  big=48 mid=10 growth=24 tiny=200 padded=2 grib2=300 global=2 hires=1 rounds=1 runs=2 warmup=0
  junk=2000000 junk_label="2 MB"
else
  big=4800 mid=100 growth=1000 tiny=20000 padded=20 grib2=24000 global=100 hires=12 rounds=5
  runs=3 warmup=1 junk=200000000 junk_label="200 MB"
fi

if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d -p /dev/shm)
else
  work=$(mktemp -d)
fi
trap 'rm -rf "$work"; git -C "$root" worktree prune' EXIT
previous_quimbrel=""
if [ -n "$previous" ]; then
  previous_label="quimbrel of $(git -C "$root" rev-parse --short "$previous")"
  git -C "$root" worktree add --detach "$work/previous" "$previous" >/dev/null 2>&1
  cmake -S "$work/previous" -B "$work/previous/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$work/previous/build" -j "$(nproc)" --target quimbrel >/dev/null
  previous_quimbrel="$work/previous/build/quimbrel/quimbrel"
fi
cd "$work"
cc -O2 -o empty_eccodes "$root/bench/floor/empty_eccodes.c" $(pkg-config --cflags --libs eccodes)
cc -O2 -o minimal_dorvel "$root/bench/floor/minimal_dorvel.c" $(pkg-config --cflags --libs eccodes)
"$generate" sample s12.grb
"$generate" repeat m_mid.grb "$mid"
"$generate" repeat m_growth.grb "$growth"
"$generate" repeat m_big.grb "$big"
"$generate" tiny tiny.grb "$tiny"
# Layouts of real archives: each message followed by 4 MiB of zeros; many small GRIB 2 messages.
"$generate" repeat padded.grb "$padded" 4194304
"$generate" grib2 grib2.grb "$grib2"
"$generate" global global.grb "$global"
"$generate" hires hires.grb "$hires"
head -c "$(($(stat -c %s s12.grb) / 6))" s12.grb >two.grb
# The bytes of the first 101 messages: what NSKIP=-100 reads.
message_bytes=$(($(stat -c %s s12.grb) / 12))
keep=$((message_bytes * (big < 101 ? big : 101)))

rows="$work/rows.tsv"
: >"$rows"

# measure GROUP LABEL COMMAND [STATUS]: adds a command to case GROUP, whose
# first command is its baseline. Each command runs once first; a status other
# than STATUS (0 when not given) is recorded as a failure, which fails the
# benchmark at the end, and leaves the command out of the timing. No figure
# ever fails it.
failures=()
groups=()
declare -A group_commands group_labels
measure() {
  local group=$1 label=$2 command=$3 expected=${4:-0} status=0
  bash -c "$command" >/dev/null 2>"$work/err" || status=$?
  [ -n "${group_commands[$group]+set}" ] || groups+=("$group")
  if [ "$status" -ne "$expected" ]; then
    failures+=("$group, $label: exit status $status, expected $expected: $(head -c 300 "$work/err")")
    command=""
  fi
  group_commands[$group]+="$command"$'\x1f'
  group_labels[$group]+="$label"$'\x1f'
}

# time_group GROUP: the case's commands timed together in each round, the
# order turned by one each round; then one row per command: the median of all
# its runs, the mean user and system time, and the peak memory of one run.
time_group() {
  local group=$1 round command at count
  local -a commands labels order
  IFS=$'\x1f' read -r -a commands <<<"${group_commands[$group]}"
  IFS=$'\x1f' read -r -a labels <<<"${group_labels[$group]}"
  count=${#labels[@]}
  rm -f "$work"/round-*.json
  for ((round = 0; round < rounds; round++)); do
    order=()
    for ((at = 0; at < count; at++)); do
      command=${commands[$(((at + round) % count))]}
      [ -z "$command" ] || order+=("$command")
    done
    [ ${#order[@]} -gt 0 ] || break
    if ! hyperfine --style none --ignore-failure -w "$warmup" -r "$runs" \
        --export-json "$work/round-$round.json" "${order[@]}" >/dev/null 2>"$work/err"; then
      failures+=("$group: hyperfine failed: $(head -c 300 "$work/err")")
      return
    fi
  done
  for ((at = 0; at < count; at++)); do
    command=${commands[$at]}
    if [ -z "$command" ]; then
      printf '%s\t%s\tfailed\t\t\t\n' "$group" "${labels[$at]}" >>"$rows"
      continue
    fi
    figures=$(python3 - "$command" "$work"/round-*.json <<'PY'
import json, statistics, sys
times, users, systems = [], [], []
for name in sys.argv[2:]:
    for result in json.load(open(name))["results"]:
        if result["command"] == sys.argv[1]:
            times += result["times"]
            users.append(result["user"])
            systems.append(result["system"])
print("%s\t%s\t%s" % (statistics.median(times) * 1000, statistics.mean(users) * 1000,
                        statistics.mean(systems) * 1000))
PY
)
    peak=$(/usr/bin/time -f '%M' -o "$work/peak" bash -c "$command" >/dev/null 2>&1 || true; tail -n 1 "$work/peak")
    printf '%s\t%s\t%s\t%s\n' "$group" "${labels[$at]}" "$figures" "$peak" >>"$rows"
  done
}

# measure_quimbrel GROUP COMMAND: COMMAND with @Q@ for quimbrel, timed for
# this build and, with --previous, for the previous one.
measure_quimbrel() {
  measure "$1" "quimbrel" "${2//@Q@/$quimbrel}"
  if [ -n "$previous_quimbrel" ]; then
    measure "$1" "$previous_label" "${2//@Q@/$previous_quimbrel}"
  fi
}

# Each copy against cat (which copies inside the kernel where it can, as
# copy_file_range) and dd (a read and a write of 128 KiB each: what a copy
# costs when every byte passes through the program, as it must for ecCodes).
copy_rows() {
  local group=$1 input=$2
  measure "$group" "cat in > out" "cat $input > out.grb"
  measure "$group" "dd bs=128K (read, write)" "dd if=$input of=out.grb bs=128K status=none"
  measure_quimbrel "$group" "@Q@ $input out.grb 2"
  measure "$group" "grib_copy" "grib_copy -w count!=1,count!=2 $input out.grb"
}
# What every run costs before it reads a byte, and a day's file (12 messages)
# cut or checked, the run an operator makes most, beside its floors.
day="fixed cost: a day's file of 12 messages ($(($(stat -c %s s12.grb) / 1024)) KiB)"
measure "$day" "/bin/true" "/bin/true"
measure "$day" "C program loading ecCodes" "./empty_eccodes"
measure "$day" "cat day > out" "cat s12.grb > out.grb"
measure "$day" "quimbrel usage" "$quimbrel" 2
measure_quimbrel "$day" "@Q@ s12.grb out.grb 2"
measure "$day" "minimal C dorvel (same decodes, encode)" "./minimal_dorvel s12.grb out.grb"
measure "$day" "dorvel" "$dorvel s12.grb out.grb"
measure "$day" "dorvel usage" "$dorvel" 2
measure "$day" "quimbrel open failure" "$quimbrel missing.grb out.grb 1" 1
measure "copy $mid x 61 KB, NSKIP=2" "cat in > out" "cat m_mid.grb > out.grb"
measure_quimbrel "copy $mid x 61 KB, NSKIP=2" "@Q@ m_mid.grb out.grb 2"
measure "copy $mid x 61 KB, NSKIP=2" "grib_copy" "grib_copy -w count!=1,count!=2 m_mid.grb out.grb"
copy_rows "copy $big x 61 KB, NSKIP=2" m_big.grb
measure "first 100 of $big, NSKIP=-100" "head -c (101 messages)" "head -c $keep m_big.grb > out.grb"
measure_quimbrel "first 100 of $big, NSKIP=-100" "@Q@ m_big.grb out.grb -100"
measure "first 100 of $big, NSKIP=-100" "quimbrel on $mid messages" "$quimbrel m_mid.grb out.grb -100"
measure "copy $tiny x 300 B, NSKIP=2" "cat in > out" "cat tiny.grb > out.grb"
measure_quimbrel "copy $tiny x 300 B, NSKIP=2" "@Q@ tiny.grb out.grb 2"
copy_rows "$padded x 61 KB + 4 MiB zeros, NSKIP=2" padded.grb
copy_rows "copy $grib2 x 12 KB GRIB 2, NSKIP=2" grib2.grb
copy_rows "copy $global global GRIB 2 fields of 1-2 MB, NSKIP=2" global.grb
copy_rows "copy $hires high-resolution GRIB 2 fields of 5.7-13 MB, NSKIP=2" hires.grb
measure "copy $big x 61 KB through a pipe, NSKIP=2" "cat > out" "cat m_big.grb | cat > out.grb"
measure_quimbrel "copy $big x 61 KB through a pipe, NSKIP=2" "cat m_big.grb | @Q@ /dev/stdin out.grb 2"
# Memory must not grow with what a pipe brings before the messages.
measure "$junk_label of zeros, then 2 messages, through a pipe" "cat > out" \
  "{ head -c $junk /dev/zero; cat two.grb; } | cat > out.grb"
measure_quimbrel "$junk_label of zeros, then 2 messages, through a pipe" \
  "{ head -c $junk /dev/zero; cat two.grb; } | @Q@ /dev/stdin out.grb 1"
measure "residual of 12 fields" "CDO (sub, timsum; infon)" \
  "cdo -s sub -seltimestep,12 s12.grb -timsum -seltimestep,1/11 s12.grb cdo.grb && cdo -s infon cdo.grb"
measure "residual of 12 fields" "dorvel" "$dorvel s12.grb out.grb"
# What confining a run costs at start-up: the same small runs with it switched off and on.
measure "confinement, quimbrel on 2 messages" "switched off" \
  "GRIB_TOOLS_NO_SANDBOX=1 $quimbrel two.grb out.grb 1"
measure "confinement, quimbrel on 2 messages" "confined" "$quimbrel two.grb out.grb 1"
measure "confinement, dorvel on 12 fields" "switched off" "GRIB_TOOLS_NO_SANDBOX=1 $dorvel s12.grb out.grb"
measure "confinement, dorvel on 12 fields" "confined" "$dorvel s12.grb out.grb"
measure "growth of quimbrel, NSKIP=2" "$mid messages" "$quimbrel m_mid.grb out.grb 2"
measure "growth of quimbrel, NSKIP=2" "$growth messages" "$quimbrel m_growth.grb out.grb 2"
measure "growth of quimbrel, NSKIP=2" "$big messages" "$quimbrel m_big.grb out.grb 2"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for group in "${groups[@]}"; do time_group "$group"; done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

table=$(python3 - "$rows" <<'PY'
import sys
print("| Case | Command | Median ms | Ratio to baseline | User ms | System ms | Peak MiB |")
print("|---|---|---:|---:|---:|---:|---:|")
baseline = {}
for line in open(sys.argv[1]):
    group, label, median, user, system, peak = line.rstrip("\n").split("\t")
    if group not in baseline:
        baseline[group] = (label, median)
    if median == "failed":
        print(f"| {group} | {label} | failed | - | - | - | - |")
        continue
    peak_mib = f"{int(peak) / 1024:.1f}" if peak.strip().isdigit() else "?"
    base_label, base_median = baseline[group]
    if base_median == "failed":
        ratio = f"n/a (baseline {base_label} failed)"
    elif float(base_median) <= 0:
        ratio = f"n/a (baseline {base_label} measured 0)"
    else:
        ratio = f"{float(median) / float(base_median):.2f}"
    print(f"| {group} | {label} | {float(median):.1f} | {ratio} | {float(user):.1f} | "
          f"{float(system):.1f} | {peak_mib} |")
PY
)

machine="$(nproc) cores, $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
versions="ecCodes $(dpkg-query -W -f='${Version}' libeccodes0 2>/dev/null), $(cdo --version 2>&1 | head -n 1 | cut -d' ' -f1-5), $(hyperfine --version)"
where="inputs and outputs in $(df --output=fstype "$work" | tail -n 1 | tr -d ' ')"
report="Measured $(date -u +%Y-%m-%d) on $machine; $versions; $where.
Load average (1, 5, 15 minutes) before the timing: $load_before; after: $load_after.
The commands of each case are timed together in $rounds rounds of $runs runs each (after $warmup
warm-up runs of each command in each round), the order turned by one each round (hyperfine);
each median of wall time is over all $((rounds * runs)) runs, user and system time are their means;
peak memory is the maximum resident set of one run (/usr/bin/time). Ratios are to the first
command of each case.${previous:+ \"quimbrel\" is this build, \"$previous_label\" the build of
that revision, timed in the same run.}

$table"
echo "$report"
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
if [ $quick -eq 0 ]; then
  printf '# Benchmark results\n\n%s\n' "$report" >"$root/bench/RESULTS.md"
fi
