#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the ecFlow suite (scripts/ecflow) end to end on a real ecflow_server
# that it starts itself on a free local port, with an ECF_HOME of its own, and
# stops at the end whatever happens: three generated days, the third damaged;
# good days complete with the tools' own lines as labels, the damaged one
# aborted with the read-failure line and its status as the reason and counted
# by the summary, then mended, requeued and complete; a tool killed through
# ecflow_client --kill leaves a whole output and its task aborts.
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
  rm -rf "$work"
}
trap stop_server EXIT
cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
  cmake --build "$work/build" -j "$(nproc)" --target dorvel quimbrel make_test_gribs >/dev/null ||
  fail "the build failed"
mkdir -p "$work/bin" "$work/in" "$work/ecf_home"
ln -s "$work/build/dorvel/dorvel" "$work/build/quimbrel/quimbrel" "$work/bin/"
generate="$work/build/tests/make_test_gribs"
for day in 20190101 20190102; do "$generate" sample "$work/in/$day.grb" "$day" 600; done
# The third day: its fourth message damaged (the edition byte), with a
# thirteenth message that the cut leaves out.
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
export ECF_HOST=localhost ECF_PORT=$port ECF_HOME=$work/ecf_home
(cd "$ECF_HOME" && exec ecflow_server --port "$port" >"$work/server.log" 2>&1) &
server=$!
for _ in $(seq 100); do ecflow_client --ping >/dev/null 2>&1 && break; sleep 0.1; done
ecflow_client --ping >/dev/null 2>&1 || skip "ecflow_server did not start: $(tail -n 3 "$work/server.log")"
# A new server starts halted.
ecflow_client --restart || fail "the server did not take the restart"

# Reads the server's view: "wait PATH..." until each task has ended
# (complete or aborted, 120 s at most), "state PATH", "label PATH NAME",
# "event PATH NAME"; "reason PATH" (an aborted task's) through the client.
ask() {
  if [ "$1" = reason ]; then
    ecflow_client --get_state="$2" | sed -n 's/.*abort<:\(.*\)>abort.*/\1/p' | head -n 1
    return
  fi
  /usr/bin/python3 - "$@" <<'EOF'
import sys, time, ecflow
client = ecflow.Client("localhost", int(__import__("os").environ["ECF_PORT"]))
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
    print([l.new_value() for l in found.labels if l.name() == args[1]][0])
elif what == "event":
    print(int([e.value() for e in found.events if e.name() == args[1]][0]))
EOF
}

/usr/bin/python3 scripts/ecflow/suite.py --inputs "$work/in" --results "$work/results" --first 20190101 \
  --last 20190103 --bin "$work/bin" --neg-limit 500 --port "$port" --ecf-home "$ECF_HOME" ||
  fail "the suite could not be loaded"
suite=/grib_checks
ask wait $suite/d20190101/summary $suite/d20190102/summary $suite/d20190103/summary ||
  fail "the suite did not settle"
for day in 20190101 20190102; do
  for task in cut check summary; do
    [ "$(ask state $suite/d$day/$task)" = complete ] || fail "$day $task is not complete"
  done
  expected=$("$work/bin/quimbrel" "$work/in/$day.grb" "$work/expected.grb" -12 | tail -n 1)
  [ "$(ask label $suite/d$day/cut accounting)" = "$expected" ] || fail "$day: the cut's label"
  expected=$("$work/bin/dorvel" "$work/expected.grb" "$work/expected_residual.grb")
  [ "$(ask label $suite/d$day/check summary)" = "$expected" ] || fail "$day: the check's label"
  cmp -s "$work/expected_residual.grb" "$work/results/$day/residual.grb" || fail "$day: residual"
  [ "$(ask event $suite/d$day/check negative)" = 1 ] || fail "$day: 985 points below -0.001 > 500"
done
damaged=" Errore leggendo $work/in/20190103.grb grib n.ro            4"
[ "$(ask state $suite/d20190103/cut)" = aborted ] || fail "the damaged day's cut must abort"
[ "$(ask reason $suite/d20190103/cut)" = "$damaged (exit status 1)" ] ||
  fail "the abort reason: $(ask reason $suite/d20190103/cut)"
[ "$(ask state $suite/d20190103/check)" = queued ] || fail "the damaged day's check must not run"
[ "$(ask state $suite/d20190103/summary)" = complete ] || fail "the damaged day's summary must run"
grep -qxF "$work/in/20190103.grb					1	$damaged" "$work/results/summary.tsv" ||
  fail "the summary must count the damaged day"

# Mended and requeued, the day completes and the summary counts no failure.
cp "$work/mended.grb" "$work/in/20190103.grb"
ecflow_client --requeue force $suite/d20190103 || fail "requeue"
ask wait $suite/d20190103/summary || fail "the mended day did not settle"
for task in cut check summary; do
  [ "$(ask state $suite/d20190103/$task)" = complete ] || fail "mended: $task is not complete"
done
[ "$(ask label $suite/d20190103/summary failed)" = "0 of 3 days" ] || fail "mended: the summary's count"

# A cut killed by the scheduler while quimbrel reads: the output holds whole
# messages only (none here), the task aborts.
mkfifo "$work/in/20190104.grb"
{ head -c 200000 "$work/mended.grb"; sleep 30; } >"$work/in/20190104.grb" &
writer=$!
/usr/bin/python3 - <<'EOF'
import os, ecflow
client = ecflow.Client("localhost", int(os.environ["ECF_PORT"]))
client.sync_local()
defs = client.get_defs()
family = defs.find_suite("grib_checks").add_family("d20190104")
family.add_variable("DAY", "20190104")
family.add_task("cut").add_label("accounting", "")
client.replace("/grib_checks/d20190104", defs)
EOF
for _ in $(seq 100); do [ "$(ask state $suite/d20190104/cut)" = active ] && break; sleep 0.2; done
sleep 1
ecflow_client --kill $suite/d20190104/cut || fail "kill"
ask wait $suite/d20190104/cut || fail "the killed cut did not end"
kill "$writer" 2>/dev/null
[ "$(ask state $suite/d20190104/cut)" = aborted ] || fail "the killed cut must abort"
[ "$(ask reason $suite/d20190104/cut)" = "killed by SIGTERM" ] ||
  fail "killed: the reason $(ask reason $suite/d20190104/cut)"
[ ! -s "$work/results/20190104/fields.grb" ] || fail "a killed cut must leave whole messages only"
echo "ecflow check passed in $(($(date +%s) - start)) s"
