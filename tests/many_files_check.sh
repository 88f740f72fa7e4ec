#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks operations/run_many.sh: one log with every run's lines and status, the
# failure report and status (past parallel's 101), input order, --halt
# stopping after the first failure, long folder names, an empty folder, an
# output folder that is the input folder, folders named oddly, two batches at
# once, runs killed by a signal, a full disk, a job log that is a device, no
# output left that is not a current result, an interrupt (once: the runs going
# finish; twice: they are stopped) and a resume, and summaries of odd runs.
# Usage: many_files_check.sh RUN_MANY DORVEL MAKE_TEST_GRIBS
set -uo pipefail
run_many=$1 generate=$3
export DORVEL=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
for day in 01 02 03; do "$generate" sample "$work/in/a_201901$day.grb" "201901$day" 600; done
echo "not a GRIB file" >"$work/in/b_bad.grb"
"$generate" sample "$work/in/c_20190104.grb" 20190104 1200
fail() { echo "$1"; cat "$2"; exit 1; }

bash "$run_many" -j 2 "$work/in" "$work/all" 2>"$work/all.err"
[ $? -eq 1 ] || fail "one failed run must give status 1" "$work/all/runs.log"
grep -q "1 of 5 runs failed" "$work/all.err" && grep -qF "  $work/in/b_bad.grb:  Errore leggendo" "$work/all.err" &&
  grep -qF "every run: $work/all/runs.log" "$work/all.err" || fail "the failure must be reported" "$work/all.err"
log="$work/all/runs.log"
grep -qxF "$work/in/b_bad.grb	 Errore leggendo $work/in/b_bad.grb grib n.ro            1" "$log" ||
  fail "no read-failure line" "$log"
[ "$(grep -c 'exit status 0$' "$log")" -eq 4 ] || fail "four runs must succeed" "$log"
[ "$(grep -c 'exit status 1$' "$log")" -eq 1 ] || fail "one run must fail" "$log"
[ "$(ls "$work/all"/*.res.grb | wc -l)" -eq 4 ] && [ ! -e "$work/all/b_bad.res.grb" ] ||
  fail "four outputs expected, none for the failed run" "$log"
summary="$work/all/summary.tsv"
# Every good input: its line and row as dorvel gives them alone, its output as dorvel writes it.
for input in "$work"/in/[ac]_*.grb; do
  line=$("$DORVEL" "$input" "$work/alone.grb")
  grep -qxF "$input	$line" "$log" || fail "no summary line for $input" "$log"
  read -r date time _ negative _ mean <<<"$line"
  grep -qxF "$input	$date	$time	$negative	$mean	0		" "$summary" || fail "no row for $input" "$summary"
  cmp -s "$work/alone.grb" "$work/all/$(basename "$input" .grb).res.grb" ||
    fail "the output of $input differs" "$log"
done
grep -qxF "$work/in/b_bad.grb					1	 Errore leggendo $work/in/b_bad.grb grib n.ro            1	" \
  "$summary" || fail "no failed row with its reason" "$summary"
[ "$(wc -l <"$summary")" -eq 6 ] || fail "a header and five rows expected" "$summary"
file "$work/all/summary.png" | grep -q "PNG image data, 1000 x 600" || fail "no 1000 x 600 PNG" "$log"
# The mean drawn is the residual file's, as the picture says.
grep -aq "mean residual: mean of the residual file" "$work/all/summary.png" ||
  fail "the plot must draw the residual files' mean" "$log"

bash "$run_many" -j 1 --halt "$work/in" "$work/halted" 2>/dev/null
[ $? -eq 1 ] || fail "a halted chain must fail" "$work/halted/runs.log"
[ ! -e "$work/halted/c_20190104.res.grb" ] || fail "no run may start after the failure" "$work/halted/runs.log"
grep -q "exit status 1$" "$work/halted/runs.log" || fail "the failure must be logged" "$work/halted/runs.log"
# The same inputs give the same summary, in input order.
bash "$run_many" -j 2 "$work/in" "$work/again"
cmp -s "$summary" "$work/again/summary.tsv" || fail "two runs gave two summaries" "$work/again/summary.tsv"
cut -f1 "$summary" | tail -n +2 | sort -c || fail "summary.tsv is not in input order" "$summary"

# A folder whose path is longer than the tools' 200 bytes.
deep="$work/$(printf 'a%.0s' $(seq 120))/$(printf 'b%.0s' $(seq 120))"
mkdir -p "$deep"
cp "$work/in/a_20190101.grb" "$deep/"
bash "$run_many" "$deep" "$deep/out" || fail "a long folder name must work" "$deep/out/runs.log"
cmp -s "$deep/out/a_20190101.res.grb" "$work/all/a_20190101.res.grb" ||
  fail "the output of a long folder name differs" "$deep/out/runs.log"

# Nothing to do, or outputs that would become inputs: refused.
mkdir "$work/none"
bash "$run_many" "$work/none" "$work/none_out" 2>"$work/none.err"
[ $? -eq 2 ] && grep -q "no \*.grb file" "$work/none.err" || fail "an empty folder must be refused" "$work/none.err"
bash "$run_many" "$work/in" "$work/in/" 2>"$work/same.err"
[ $? -eq 2 ] && [ ! -e "$work/in/a_20190101.res.grb" ] || fail "output = input must be refused" "$work/same.err"

# Folders named in ways that once gave wrong reasons: through a link, like an
# option, too long for the system; names holding a newline are refused.
ln -s "$work/in" "$work/inlink"
(cd "$work" && bash "$run_many" inlink linked)
[ "$(ls "$work/linked"/*.res.grb | wc -l)" -eq 4 ] || fail "a linked folder must be read" "$work/linked/runs.log"
mkdir "$work/-in" && cp "$work/in/a_20190101.grb" "$work/-in/" &&
  (cd "$work" && bash "$run_many" -in dashed) && [ -e "$work/dashed/a_20190101.res.grb" ] ||
  fail "a folder named -in must be read" "$work/dashed/runs.log"
long="$work$(printf '/%0200d' $(seq 21))"
bash "$run_many" "$long" "$work/long_out" 2>"$work/long.err"
[ $? -eq 2 ] && grep -q "File name too long" "$work/long.err" || fail "a path too long must say so" "$work/long.err"
touch "$work/in/x.grb" "$work/in/x"$'\n'".grb"
bash "$run_many" "$work/in" "$work/newline" 2>"$work/newline.err"
[ $? -eq 2 ] && grep -qF "x\n.grb" "$work/newline.err" || fail "a name with a newline must be refused" "$work/newline.err"
rm "$work/in/x.grb" "$work/in/x"$'\n'".grb"
# Two batches into one folder at once: the second is refused.
mkdir "$work/busy" && exec 8>>"$work/busy/.run_many.lock" && flock 8
bash "$run_many" "$work/in" "$work/busy" 2>"$work/busy.err"
[ $? -eq 2 ] && grep -q "another run_many.sh.*: [0-9]" "$work/busy.err" && [ ! -e "$work/busy/runs.log" ] ||
  fail "a second batch into one folder must be refused, naming who holds it" "$work/busy.err"
exec 8>&-
# A run killed by a signal (the job itself, not only dorvel) is a failure;
# records that cannot be written (a full disk) fail the batch.
printf '#!/bin/sh\nkill -KILL $(ps -o ppid= $PPID)\n' >"$work/killer" && chmod +x "$work/killer"
DORVEL="$work/killer" bash "$run_many" "$work/in" "$work/killed" 2>"$work/killed.err"
[ $? -eq 1 ] && grep -q "5 of 5 runs failed" "$work/killed.err" && grep -q "killed by signal 9" "$work/killed.err" ||
  fail "five runs killed by a signal must count as five failures" "$work/killed.err"
# A record that cannot be written (a full disk; a folder where the picture
# goes), or a job log that is a device (never read back).
for record in runs.log:full summary.png:folder jobs.tsv:null jobs.tsv:full; do
  name=${record%%:*} device=${record#*:}
  mkdir "$work/full_$name$device"
  if [ "$device" = folder ]; then mkdir "$work/full_$name$device/$name"; else ln -s "/dev/$device" "$work/full_$name$device/$name"; fi
  timeout 60 bash "$run_many" "$work/in" "$work/full_$name$device" 2>"$work/full.err"
  [ $? -eq 251 ] || fail "a $name that is /dev/$device must give status 251" "$work/full.err"
done

# More failed runs than parallel's status can count.
mkdir "$work/bad"
for k in $(seq 102); do echo "not GRIB" >"$work/bad/f$k.grb"; done
bash "$run_many" -j 4 "$work/bad" "$work/bad_out" 2>"$work/bad.err"
[ $? -eq 1 ] && grep -q "102 of 102 runs failed" "$work/bad.err" && [ "$(grep -c '^  .*f[0-9]*.grb: ' "$work/bad.err")" -eq 5 ] ||
  fail "102 failed runs must give status 1, the count and five reasons" "$work/bad.err"

# A rerun: the output of an input that now fails is gone, and so is that of an
# input that is gone.
mkdir "$work/rerun_in" && cp "$work"/in/[ac]_*.grb "$work/rerun_in/"
bash "$run_many" "$work/rerun_in" "$work/rerun" || fail "the first batch must succeed" "$work/rerun/runs.log"
echo "not GRIB now" >"$work/rerun_in/a_20190102.grb" && rm "$work/rerun_in/a_20190103.grb"
bash "$run_many" "$work/rerun_in" "$work/rerun" 2>/dev/null
[ $? -eq 1 ] && [ ! -e "$work/rerun/a_20190102.res.grb" ] && [ ! -e "$work/rerun/a_20190103.res.grb" ] &&
  [ -e "$work/rerun/a_20190101.res.grb" ] || fail "a rerun must leave current results only" "$work/rerun/runs.log"

# An interrupt in the middle: once (SIGINT to the batch's process group, as
# Ctrl-C sends it; SIGTERM to the script, as a scheduler does), the runs going
# finish, recorded; twice, they are stopped, recorded as killed, without
# output. No summary; --resume finishes the batch without running again what
# finished.
printf '#!/bin/sh\ntouch "$STARTED"\nsleep 3\nexec "%s" "$@"\n' "$DORVEL" >"$work/slow" && chmod +x "$work/slow"
for signal in INT:130:1 TERM:143:1 HUP:129:1 INT:130:2; do
  IFS=: read -r name expected times <<<"$signal"
  out="$work/stopped_$name$times"
  set -m
  STARTED="$out.started" DORVEL="$work/slow" bash "$run_many" -j 1 "$work/rerun_in" "$out" 2>"$out.err" &
  batch=$!
  set +m
  # Once the first run has started, however slowly a loaded machine starts parallel.
  for _ in $(seq 300); do [ -e "$out.started" ] && break; sleep 0.1; done
  for _ in $(seq "$times"); do
    if [ "$name" = INT ]; then kill -INT -- "-$batch"; else kill "-$name" "$batch"; fi
    sleep 0.3
  done
  wait "$batch"
  [ $? -eq "$expected" ] && grep -q "interrupted" "$out.err" || fail "$signal: status and report" "$out.err"
  [ "$(tail -n +2 "$out/jobs.tsv" | wc -l)" -eq 1 ] && [ ! -e "$out/summary.tsv" ] ||
    fail "$signal: one run started and recorded, no summary" "$out/runs.log"
  if [ "$times" = 1 ]; then
    grep -q "a_20190101.grb	exit status 0" "$out/runs.log" && [ "$(ls "$out"/*.res.grb | wc -l)" -eq 1 ] ||
      fail "$signal: the run going must finish, recorded" "$out/runs.log"
  else
    [ "$(tail -n +2 "$out/jobs.tsv" | cut -f 8)" = 15 ] && grep -q "killed by signal 15" "$out.err" &&
      ! ls "$out"/*.res.grb 2>/dev/null || fail "$signal: the run stopped must be recorded, without output" "$out.err"
  fi
done
kept=$(stat -c %Y "$work/stopped_INT1/a_20190101.res.grb")
sleep 1
bash "$run_many" --resume "$work/rerun_in" "$work/stopped_INT1" 2>/dev/null
[ $? -eq 1 ] && [ "$(stat -c %Y "$work/stopped_INT1/a_20190101.res.grb")" = "$kept" ] &&
  [ "$(grep -c 'exit status' "$work/stopped_INT1/runs.log")" -eq 3 ] && [ -e "$work/stopped_INT1/summary.tsv" ] ||
  fail "--resume must finish the batch, keeping what finished" "$work/stopped_INT1/runs.log"
# --resume knows an input by what it holds: an output that is gone is made
# again, and an input redelivered with an old time is run again.
rm "$work/stopped_INT1/a_20190101.res.grb"
cp -p "$work/in/c_20190104.grb" "$work/rerun_in/a_20190101.grb" && touch -d 2001-01-01 "$work/rerun_in/a_20190101.grb"
bash "$run_many" --resume "$work/rerun_in" "$work/stopped_INT1" 2>/dev/null
cmp -s "$work/stopped_INT1/a_20190101.res.grb" "$work/all/c_20190104.res.grb" &&
  grep -q "a_20190101.grb	20190104	1200" "$work/stopped_INT1/summary.tsv" ||
  fail "--resume must run again what is gone or redelivered" "$work/stopped_INT1/summary.tsv"

# Two runs of one date, one whose figures overflowed their fields: summarized, not a crash.
mkdir "$work/odd"
printf '%s\t%s\n' x_20190105.grb "20190105 0600 neg   985 ave *******" x_20190105.grb "exit status 0" \
  y_20190105.grb "20190105 0600 neg   985 ave  -0.000" y_20190105.grb "exit status 0" \
  'z"_20190107.grb' "20190107 0600 neg   900 ave  -0.001" 'z"_20190107.grb' "exit status 0" \
  >"$work/odd/runs.log"
out=$("$(dirname "$run_many")/summarize_runs.py" "$work/odd") || fail "summarize_runs.py failed" "$work/odd/runs.log"
grep -qF "x_20190105.grb	20190105	0600	985	*******	0" "$work/odd/summary.tsv" &&
  grep -q '^z"_20190107.grb	' "$work/odd/summary.tsv" ||
  fail "no overflowing row, or a name not as it is" "$work/odd/summary.tsv"
[ "$out" = "summarize_runs.py: 1 missing date: 20190106" ] || fail "the missing date must be named: $out" /dev/null
# A summary that cannot be written names its file and fails, also in the Slurm
# summary job.
# The previous summary stays whole, and nothing is left beside it.
mkdir "$work/nospace" && cp "$work/odd/runs.log" "$work/odd/summary.tsv" "$work/nospace/" &&
  ln -s /dev/full "$work/nospace/summary.tsv.new"
"$(dirname "$run_many")/summarize_runs.py" "$work/nospace" 2>"$work/nospace.err"
[ $? -eq 1 ] && grep -q "nospace/summary.tsv: No space left" "$work/nospace.err" &&
  cmp -s "$work/odd/summary.tsv" "$work/nospace/summary.tsv" && [ ! -e "$work/nospace/summary.tsv.new" ] ||
  fail "a full disk must fail the summary, name its file and keep the previous one" "$work/nospace.err"
mkdir -p "$work/slurm/tasks" "$work/slurm/summary.png" && echo "$work/in/a_20190101.grb" >"$work/slurm/list" &&
  bash "$(dirname "$run_many")/dorvel_one.sh" "$DORVEL" "$work/in/a_20190101.grb" "$work/slurm" >"$work/slurm/tasks/a_20190101.log"
out=$(bash "$(dirname "$run_many")/slurm_array.sh" --summary "$work/slurm/list" "$work/slurm" "$(dirname "$run_many")" 2>&1)
[ $? -eq 1 ] && [[ $out == *"could not be written"* ]] || fail "the Slurm summary job must fail: $out" /dev/null
echo "run_many: logs, statuses, order, halting, long names, refusals, interrupts, resumes and summaries work"
