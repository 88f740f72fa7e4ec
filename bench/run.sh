#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times dorvel and quimbrel side by side with cat, head, grib_copy and CDO, and
# measures peak resident memory. Prints one Markdown table; the full run also
# writes it to bench/RESULTS.md.
#
#   bash bench/run.sh           full run (4800 messages of 61 KB, 20 000 tiny ones, 20 padded
#                               ones, 30 800 GRIB 2 ones of 12 KB)
#   bash bench/run.sh --quick   tiny inputs and two runs each: only checks that it works
#
# BENCH_BUILD_DIR names an existing build to use instead of building build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0
[ "${1:-}" = "--quick" ] && quick=1

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

if [ $quick -eq 1 ]; then
  big=48 mid=10 growth=24 tiny=200 padded=2 grib2=300 runs=2 warmup=0 junk=2000000
  junk_label="2 MB"
else
  big=4800 mid=100 growth=1000 tiny=20000 padded=20 grib2=30800 runs=15 warmup=3 junk=200000000
  junk_label="200 MB"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$generate" sample s12.grb
"$generate" repeat m_mid.grb "$mid"
"$generate" repeat m_growth.grb "$growth"
"$generate" repeat m_big.grb "$big"
"$generate" tiny tiny.grb "$tiny"
# Layouts of real archives: each message followed by 4 MiB of zeros; many small GRIB 2 messages.
"$generate" repeat padded.grb "$padded" 4194304
"$generate" grib2 grib2.grb "$grib2"
head -c "$(($(stat -c %s s12.grb) / 6))" s12.grb >two.grb
# The bytes of the first 101 messages: what NSKIP=-100 reads.
message_bytes=$(($(stat -c %s s12.grb) / 12))
keep=$((message_bytes * (big < 101 ? big : 101)))

rows="$work/rows.tsv"
: >"$rows"

# measure GROUP LABEL COMMAND [STATUS]: the first command of a group is its
# baseline. The command runs once first; a status other than STATUS (0 when
# not given) is recorded as a failure, which fails the benchmark at the end.
# No figure ever fails it.
failures=()
measure() {
  local group=$1 label=$2 command=$3 expected=${4:-0} status=0
  bash -c "$command" >/dev/null 2>"$work/err" || status=$?
  if [ "$status" -ne "$expected" ]; then
    failures+=("$group, $label: exit status $status, expected $expected: $(head -c 300 "$work/err")")
    printf '%s\t%s\tfailed\t\n' "$group" "$label" >>"$rows"
    return
  fi
  local median peak
  if ! hyperfine --style none --ignore-failure -w "$warmup" -r "$runs" \
      --export-json "$work/one.json" "$command" >/dev/null 2>"$work/err"; then
    failures+=("$group, $label: hyperfine failed: $(head -c 300 "$work/err")")
    printf '%s\t%s\tfailed\t\n' "$group" "$label" >>"$rows"
    return
  fi
  median=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"]*1000)' "$work/one.json")
  peak=$(/usr/bin/time -f '%M' -o "$work/peak" bash -c "$command" >/dev/null 2>&1 || true; tail -n 1 "$work/peak")
  printf '%s\t%s\t%s\t%s\n' "$group" "$label" "$median" "$peak" >>"$rows"
}

measure "copy $mid x 61 KB, NSKIP=2" "cat in > out" "cat m_mid.grb > out.grb"
measure "copy $mid x 61 KB, NSKIP=2" "quimbrel" "$quimbrel m_mid.grb out.grb 2"
measure "copy $mid x 61 KB, NSKIP=2" "grib_copy" "grib_copy -w count!=1,count!=2 m_mid.grb out.grb"
measure "copy $big x 61 KB, NSKIP=2" "cat in > out" "cat m_big.grb > out.grb"
measure "copy $big x 61 KB, NSKIP=2" "quimbrel" "$quimbrel m_big.grb out.grb 2"
measure "copy $big x 61 KB, NSKIP=2" "grib_copy" "grib_copy -w count!=1,count!=2 m_big.grb out.grb"
measure "first 100 of $big, NSKIP=-100" "head -c (101 messages)" "head -c $keep m_big.grb > out.grb"
measure "first 100 of $big, NSKIP=-100" "quimbrel" "$quimbrel m_big.grb out.grb -100"
measure "first 100 of $big, NSKIP=-100" "quimbrel on $mid messages" "$quimbrel m_mid.grb out.grb -100"
measure "copy $tiny x 300 B, NSKIP=2" "cat in > out" "cat tiny.grb > out.grb"
measure "copy $tiny x 300 B, NSKIP=2" "quimbrel" "$quimbrel tiny.grb out.grb 2"
measure "$padded x 61 KB + 4 MiB zeros, NSKIP=2" "cat in > out" "cat padded.grb > out.grb"
measure "$padded x 61 KB + 4 MiB zeros, NSKIP=2" "quimbrel" "$quimbrel padded.grb out.grb 2"
measure "$padded x 61 KB + 4 MiB zeros, NSKIP=2" "grib_copy" "grib_copy -w count!=1,count!=2 padded.grb out.grb"
measure "copy $grib2 x 12 KB GRIB 2, NSKIP=2" "cat in > out" "cat grib2.grb > out.grb"
measure "copy $grib2 x 12 KB GRIB 2, NSKIP=2" "quimbrel" "$quimbrel grib2.grb out.grb 2"
measure "copy $grib2 x 12 KB GRIB 2, NSKIP=2" "grib_copy" "grib_copy -w count!=1,count!=2 grib2.grb out.grb"
measure "copy $big x 61 KB through a pipe, NSKIP=2" "cat > out" "cat m_big.grb | cat > out.grb"
measure "copy $big x 61 KB through a pipe, NSKIP=2" "quimbrel" "cat m_big.grb | $quimbrel /dev/stdin out.grb 2"
# Memory must not grow with what a pipe brings before the messages.
measure "$junk_label of zeros, then 2 messages, through a pipe" "cat > out" \
  "{ head -c $junk /dev/zero; cat two.grb; } | cat > out.grb"
measure "$junk_label of zeros, then 2 messages, through a pipe" "quimbrel" \
  "{ head -c $junk /dev/zero; cat two.grb; } | $quimbrel /dev/stdin out.grb 1"
measure "residual of 12 fields" "CDO (sub, timsum; infon)" \
  "cdo -s sub -seltimestep,12 s12.grb -timsum -seltimestep,1/11 s12.grb cdo.grb && cdo -s infon cdo.grb"
measure "residual of 12 fields" "dorvel" "$dorvel s12.grb out.grb"
measure "usage and open failure" "dorvel usage" "$dorvel" 2
measure "usage and open failure" "dorvel open failure" "$dorvel missing.grb out.grb" 1
measure "usage and open failure" "quimbrel usage" "$quimbrel" 2
measure "usage and open failure" "quimbrel open failure" "$quimbrel missing.grb out.grb 1" 1
# What confining a run costs at start-up: the same small runs with it switched off and on.
measure "confinement, quimbrel on 2 messages" "switched off" \
  "GRIB_TOOLS_NO_SANDBOX=1 $quimbrel two.grb out.grb 1"
measure "confinement, quimbrel on 2 messages" "confined" "$quimbrel two.grb out.grb 1"
measure "confinement, dorvel on 12 fields" "switched off" "GRIB_TOOLS_NO_SANDBOX=1 $dorvel s12.grb out.grb"
measure "confinement, dorvel on 12 fields" "confined" "$dorvel s12.grb out.grb"
measure "growth of quimbrel, NSKIP=2" "$mid messages" "$quimbrel m_mid.grb out.grb 2"
measure "growth of quimbrel, NSKIP=2" "$growth messages" "$quimbrel m_growth.grb out.grb 2"
measure "growth of quimbrel, NSKIP=2" "$big messages" "$quimbrel m_big.grb out.grb 2"

table=$(python3 - "$rows" <<'PY'
import sys
print("| Case | Command | Median ms | Ratio to baseline | Peak MiB |")
print("|---|---|---:|---:|---:|")
baseline = {}
for line in open(sys.argv[1]):
    group, label, median, peak = line.rstrip("\n").split("\t")
    first = group not in baseline
    if first:
        baseline[group] = (label, median)
    peak_mib = f"{int(peak) / 1024:.1f}" if peak.strip().isdigit() else "?"
    if median == "failed":
        print(f"| {group} | {label} | failed | - | - |")
        continue
    base_label, base_median = baseline[group]
    if base_median == "failed" or float(base_median) <= 0:
        ratio = f"n/a (baseline {base_label} failed)" if base_median == "failed" else f"n/a (baseline {base_label} measured 0)"
    else:
        ratio = f"{float(median) / float(base_median):.2f}"
    print(f"| {group} | {label} | {float(median):.1f} | {ratio} | {peak_mib} |")
PY
)

machine="$(nproc) cores, $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
versions="ecCodes $(dpkg-query -W -f='${Version}' libeccodes0 2>/dev/null), $(cdo --version 2>&1 | head -n 1 | cut -d' ' -f1-5), $(hyperfine --version)"
report="Measured $(date -u +%Y-%m-%d) on $machine; $versions.
Each median is over $runs runs after $warmup warm-up runs (hyperfine); peak memory is the
maximum resident set of one run (/usr/bin/time). Ratios are to the first command of each case.

$table"
echo "$report"
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
if [ $quick -eq 0 ]; then
  printf '# Benchmark results\n\n%s\n' "$report" >"$root/bench/RESULTS.md"
fi
