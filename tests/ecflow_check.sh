#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the ecFlow suite (operations/ecflow) end to end on a real ecflow_server
# that it starts itself on a free local port, with an ECF_HOME of its own, and
# stops at the end whatever happens. The live shape repeats over seven days:
# a good one; one whose input arrives late, delivered while the server is
# halted (the job waits for it, and completes once it is restarted); a damaged
# one, aborted with the read-failure line after its two tries (both kept),
# counted by the summary and the suite's label, then mended and requeued; one
# whose cut is killed, which leaves its record and a whole output and is not
# retried. The chain is then moved from the stopped day to day 6, and from
# day 7, still waiting, back to day 5: the days moved away from are left
# without a record. Then the suite, its wait running, is replaced by the
# archive shape under a limit. On the way: ECF_HOST and ECF_PORT steer
# suite.py, a second load is refused in one line, the alarm (the event
# "negative" and the day's note) holds at exactly its limit and is raised one
# point past it, and a late input is noted in the day's record.
# Exit status 77 (skipped, with the reason) when ecFlow cannot be had.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; tail -n 20 "$work"/server.log "$work"/ecf_home/*/*/*.[0-9] 2>/dev/null; exit 1; }
bash scripts/install_deps.sh ecflow build >/dev/null || skip "ecflow-server and python3-ecflow cannot be installed"
start=$(date +%s)

work=$(mktemp -d /tmp/ecflow_check.XXXXXX)
server=""
stop_server() {
  if [ -n "$server" ]; then
    ecflow_client --halt=yes >/dev/null 2>&1
    ecflow_client --terminate=yes >/dev/null 2>&1
    for _ in $(seq 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$server" 2>/dev/null
  fi
  jobs -p | xargs -r kill 2>/dev/null
  rm -rf "$work"
}
trap stop_server EXIT
cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
  cmake --build "$work/build" -j "$(nproc)" --target dorvel quimbrel make_test_gribs >/dev/null ||
  fail "the build failed"
mkdir -p "$work/bin" "$work/in" "$work/ecf_home"
ln -s "$work/build/dorvel/dorvel" "$work/build/quimbrel/quimbrel" "$work/bin/"
generate="$work/build/tests/make_test_gribs"
"$generate" sample "$work/in/20190101.grb" 20190101 600
"$generate" sample "$work/late.grb" 20190102 600
for day in 05 06; do "$generate" sample "$work/in/201901$day.grb" "201901$day" 600; done
# The third day: its fourth message damaged (the edition byte).
"$generate" sample "$work/mended.grb" 20190103 600
/usr/bin/python3 - "$work/mended.grb" "$work/in/20190103.grb" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
offset = 0
for _ in range(3):
    offset += int.from_bytes(data[offset + 4:offset + 7], "big")
data[offset + 7] = 9
open(sys.argv[2], "wb").write(bytes(data))
EOF
# The fourth: an input that stalls, so that its cut is still reading when killed.
mkfifo "$work/in/20190104.grb"

# A free port within the range ecflow_server accepts (1024 to 49151).
port=$(/usr/bin/python3 -c 'import random, socket
while True:
    port = random.randint(20000, 49151)
    try:
        socket.socket().bind(("127.0.0.1", port))
        print(port)
        break
    except OSError:
        pass')
export ECF_PORT=$port ECF_HOME=$work/ecf_home
(cd "$ECF_HOME" && exec ecflow_server --port "$port" >"$work/server.log" 2>&1) &
server=$!
export ECF_HOST=localhost
for _ in $(seq 100); do ecflow_client --ping >/dev/null 2>&1 && break; sleep 0.1; done
ecflow_client --ping >/dev/null 2>&1 || skip "ecflow_server did not start: $(tail -n 3 "$work/server.log")"

# Reads the server's view: "wait PATH..." until each node is complete or
# aborted (120 s at most), "state PATH", "label PATH NAME", "event PATH NAME",
# "repeat PATH", "tries PATH"; "reason PATH" (an aborted task's).
ask() {
  if [ "$1" = reason ]; then
    ecflow_client --get_state="$2" | sed -n 's/.*abort<:\(.*\)>abort.*/\1/p' | head -n 1
    return
  fi
  /usr/bin/python3 - "$@" <<'EOF'
import os, sys, time, ecflow
client = ecflow.Client("localhost", int(os.environ["ECF_PORT"]))
def node(path):
    client.sync_local()
    return client.get_defs().find_abs_node(path)
what, args = sys.argv[1], sys.argv[2:]
if what == "wait":
    deadline = time.time() + 120
    while time.time() < deadline:
        if all(str(node(p).get_state()) in ("complete", "aborted") for p in args):
            sys.exit(0)
        time.sleep(0.3)
    sys.exit("still running: " + " ".join(p for p in args if str(node(p).get_state()) not in ("complete", "aborted")))
found = node(args[0])
if what == "state":
    print(found.get_state())
elif what == "label":
    print([l.new_value() or l.value() for l in found.labels if l.name() == args[1]][0])
elif what == "event":
    print(int([e.value() for e in found.events if e.name() == args[1]][0]))
elif what == "repeat":
    print(found.get_repeat().value())
elif what == "tries":
    print(found.get_try_no())
EOF
}
# Waits until the live family's day is DAY (120 s at most).
wait_day() {
  for _ in $(seq 600); do [ "$(ask repeat $suite/days)" = "$1" ] && return 0; sleep 0.2; done
  return 1
}
record() { cat "$work/results/logs/$1.log"; }

suite=/grib_checks
load=(/usr/bin/python3 operations/ecflow/suite.py --inputs "$work/in" --results "$work/results"
      --bin "$work/bin" --ecf-home "$ECF_HOME" --input-poll 1 --input-wait 60 --tries 2 --input-late 00:00)
# ECF_HOST steers suite.py: a host that does not resolve fails in one line.
out=$(ECF_HOST=nowhere.invalid "${load[@]}" --first 20190101 --last 20190107 2>&1)
[ $? -eq 1 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && [[ $out == *nowhere.invalid* ]] ||
  fail "ECF_HOST must be honoured: $out"
# A new server starts halted: suite.py says so.
out=$("${load[@]}" --first 20190101 --last 20190107 --neg-limit 985) || fail "the suite could not be loaded: $out"
grep -q 'halted.*ecflow_client --restart' <<<"$out" || fail "a halted server must be named: $out"
out=$("${load[@]}" --first 20190101 --last 20190107 2>&1)
[ $? -eq 1 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && [[ $out == *--replace* ]] ||
  fail "a second load must be refused in one line: $out"
ecflow_client --get $suite | grep -q 'late -c +00:00' || fail "the wait must carry its late time"
ecflow_client --restart || fail "the server did not take the restart"

# Day 1: complete, with the tools' own lines; 985 points below -0.001 at a
# limit of 985 raise no event.
wait_day 20190102 || fail "day 1 did not complete"
expected=$("$work/bin/quimbrel" "$work/in/20190101.grb" "$work/expected.grb" -12 | tail -n 1)
# The cut's line is in the day's history (its record, replaced by the check's).
grep -qxF "$work/in/20190101.grb	$expected" "$work/results/logs/history/20190101.log" ||
  fail "day 1: the cut's line in the day's history"
expected=$("$work/bin/dorvel" "$work/expected.grb" "$work/expected_residual.grb")
cmp -s "$work/expected_residual.grb" "$work/results/20190101/residual.grb" || fail "day 1: residual"
[ "$(record 20190101)" = "$(printf '%s\t%s\n%s\texit status 0' "$work/in/20190101.grb" "$expected" "$work/in/20190101.grb")" ] ||
  fail "day 1: its record: $(record 20190101)"
# 985 points at a limit of 985: no alarm in the day's record.
! grep -q 'note: alarm' "$work/results/logs/20190101.log" || fail "day 1: an alarm at exactly its limit"
# Day 2 waits for its input, which arrives late, while the server is halted.
for _ in $(seq 30); do [ "$(ask state $suite/days/wait)" = active ] && break; sleep 0.2; done
sleep 3
[ "$(ask state $suite/days/wait)" = active ] || fail "day 2 must wait for its input"
[ -z "$(ask label $suite/days/cut accounting)" ] && [ -z "$(ask label $suite/days/check summary)" ] ||
  fail "day 2: the last day's labels must be cleared when it starts"
ecflow_client --halt=yes >/dev/null || fail "halt"
cp "$work/late.grb" "$work/in/20190102.grb"
sleep 5
ecflow_client --restart >/dev/null || fail "restart"
# Read before day 3's wait, whose input is there already, writes the same job output.
for _ in $(seq 100); do grep -q 'there after [1-9]' "$ECF_HOME$suite/days/wait.1" && break; sleep 0.1; done
grep -q 'there after [1-9]' "$ECF_HOME$suite/days/wait.1" || fail "day 2: the wait's output"
wait_day 20190103 || fail "day 2 did not complete once its input came and the server was restarted"
grep -q "	note: input late: there after [1-9]" "$work/results/logs/20190102.log" ||
  fail "day 2: the record must say the input was late: $(record 20190102)"
! grep -q 'NOT complete' "$ECF_HOME$suite/days/wait.1" || fail "day 2: the wait's completion was lost"

# Day 3: damaged; aborted after two tries with the tool's line as the reason.
damaged=" Errore leggendo $work/in/20190103.grb grib n.ro            4"
ask wait $suite/days/cut || fail "day 3's cut did not end"
for _ in $(seq 50); do [ "$(ask tries $suite/days/cut)" = 2 ] && [ "$(ask state $suite/days/cut)" = aborted ] && break; sleep 0.2; done
[ "$(ask state $suite/days/cut)" = aborted ] && [ "$(ask tries $suite/days/cut)" = 2 ] ||
  fail "day 3: the cut must abort after two tries"
[ "$(ask reason $suite/days/cut)" = "$damaged (exit status 1)" ] || fail "day 3: the reason"
[ "$(ask state $suite/days/check)" = queued ] || fail "day 3: the check must not run"
[ "$(grep -c "exit status 1" "$work/results/logs/history/20190103.log")" = 1 ] ||
  fail "day 3: the first try's record must be kept"
for _ in $(seq 50); do [ "$(ask label $suite failed)" = "1 of 3 days" ] && break; sleep 0.2; done
[ "$(ask label $suite failed)" = "1 of 3 days" ] || fail "day 3: the suite's label: $(ask label $suite failed)"
grep -qxF "$work/in/20190103.grb					1	$damaged	" "$work/results/summary.tsv" ||
  fail "day 3: the summary must count it"
grep -q 'running: .*quimbrel' "$ECF_HOME$suite/days/cut.2" && grep -q 'exit status 1' "$ECF_HOME$suite/days/cut.2" ||
  fail "day 3: the job output must show the steps"
# Mended and requeued: the day completes, its record replaces the failed one.
cp "$work/mended.grb" "$work/in/20190103.grb"
ecflow_client --requeue force $suite/days/cut || fail "requeue"
wait_day 20190104 || fail "the mended day did not complete"
for _ in $(seq 50); do [ "$(ask label $suite failed)" = "0 of 3 days" ] && break; sleep 0.2; done
[ "$(ask label $suite failed)" = "0 of 3 days" ] || fail "mended: the suite's label: $(ask label $suite failed)"

# Day 4: its cut killed while quimbrel reads a stalled input.
{ head -c 200000 "$work/mended.grb"; sleep 60; } >"$work/in/20190104.grb" &
for _ in $(seq 100); do [ "$(ask state $suite/days/cut)" = active ] && break; sleep 0.2; done
sleep 1
ecflow_client --kill $suite/days/cut || fail "kill"
ask wait $suite/days/cut || fail "the killed cut did not end"
[ "$(ask state $suite/days/cut)" = aborted ] && [ "$(ask tries $suite/days/cut)" = 1 ] ||
  fail "the killed cut must abort, untried again"
[ "$(ask reason $suite/days/cut)" = "killed by SIGTERM" ] || fail "killed: the reason"
[ ! -s "$work/results/20190104/fields.grb" ] || fail "a killed cut must leave whole messages only"
grep -qxF "$work/in/20190104.grb					143	killed by SIGTERM	" "$work/results/summary.tsv" ||
  fail "the killed day must be in the summary"
[ "$(ask label $suite failed)" = "1 of 4 days" ] || fail "killed: the suite's label: $(ask label $suite failed)"

# The chain moved from the stopped day to day 6, then, while day 7 waits for
# its input, back to day 5: every task acts on the day its wait found, and the
# days moved away from get no record.
move=(/usr/bin/python3 operations/ecflow/suite.py --move-to)
out=$("${move[@]}" 20190106) || fail "the move to day 6: $out"
wait_day 20190107 || fail "day 6 did not complete after the move"
for _ in $(seq 30); do [ "$(ask state $suite/days/wait)" = active ] && break; sleep 0.2; done
out=$("${move[@]}" 20190105) || fail "the move back to day 5: $out"
[[ $out == *"moved to 20190105"* ]] || fail "the move must say what it did: $out"
wait_day 20190106 || fail "day 5 did not complete after the move"
for day in 20190105 20190106; do
  [ "$(tail -n 1 "$work/results/logs/$day.log" | cut -f 2)" = "exit status 0" ] || fail "moved: day $day: $(record $day)"
  grep -q "^$work/in/$day.grb	$day 0600 neg" "$work/results/logs/$day.log" || fail "moved: day $day checked another day"
done
[ ! -e "$work/results/logs/20190107.log" ] || fail "the day moved away from must have no record: $(record 20190107)"
grep -q "stopped: the chain moves to 20190105" "$work/results/20190107/jobs/wait.1" || fail "the stopped wait must say why, in its job output kept with its day"
for _ in $(seq 50); do [ "$(ask label $suite failed)" = "1 of 6 days" ] && break; sleep 0.2; done
[ "$(ask label $suite failed)" = "1 of 6 days" ] || fail "moved: the suite's label: $(ask label $suite failed)"

# Replaced by the archive shape while a day waits (the live wait is nearly
# always running): no failure recorded, the new suite running. Two days at
# most one at a time; 985 points above a limit of 984 raise the alarm.
wait_day 20190107 && for _ in $(seq 30); do [ "$(ask state $suite/days/wait)" = active ] && break; sleep 0.2; done
out=$("${load[@]}" --first 20190101 --last 20190102 --shape archive --days-at-once 1 --neg-limit 984 \
  --replace 2>&1) || fail "the suite could not be replaced: $out"
[ ! -e "$work/results/logs/20190107.log" ] || fail "the replace must record no failure: $(record 20190107)"
[ "$(ask state $suite)" != suspended ] || fail "the replaced suite must run"
ecflow_client --get $suite | grep -q 'limit days 1' || fail "the archive must carry its limit"
ask wait $suite/d20190101/summary $suite/d20190102/summary || fail "the archive did not settle"
for day in 20190101 20190102; do
  [ "$(ask state $suite/d$day)" = complete ] || fail "archive: $day"
  [ "$(ask event $suite/d$day/check negative)" = 1 ] || fail "archive: the event one past its limit"
  grep -q "	note: alarm: 985 points below -0.001, more than 984" "$work/results/logs/$day.log" ||
    fail "archive: the alarm must be in the day's record: $(record $day)"
done
# A summary that cannot be written (a folder where the picture goes, as a full
# disk would fail it): the summary task aborts saying so, the suite's label is
# still counted from the records, and nothing is left half written.
ecflow_client --alter change label failed "stale" $suite || fail "alter the label"
mkdir "$work/results/summary.png.new"
ecflow_client --requeue force $suite/d20190102/summary || fail "requeue the summary"
ask wait $suite/d20190102/summary || fail "the summary did not end"
for _ in $(seq 100); do
  [ "$(ask tries $suite/d20190102/summary)" = 2 ] && [ "$(ask state $suite/d20190102/summary)" = aborted ] && break
  sleep 0.2
done
[ "$(ask reason $suite/d20190102/summary)" = "the summary could not be written" ] ||
  fail "an unwritable summary: the reason: $(ask reason $suite/d20190102/summary)"
[ "$(ask label $suite failed)" = "1 of 6 days" ] || fail "an unwritable summary: the label: $(ask label $suite failed)"
[ ! -e "$work/results/summary.tsv.new" ] && [ ! -e "$work/results/runs.log.new" ] ||
  fail "an unwritable summary must leave nothing half written"
echo "ecflow check passed in $(($(date +%s) - start)) s"
