#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Builds the ecFlow suite that checks a chain of days with quimbrel and dorvel,
and loads it into an ecFlow server (or writes it as a definition file).

Two shapes:
  live     (default) one family, DAYS, that repeats over the dates FIRST..LAST
           (repeat date DAY): one day at a time, each waiting for its input
  archive  a family per date, dYYYYMMDD, of which at most --days-at-once run
           at a time (a suite limit): for re-checking days whose files exist

Each day runs, in order:
  wait     polls INPUTS/DAY.grb until it is there and no longer grows (every
           INPUT_POLL s, for at most INPUT_WAIT s, then aborts); flagged late by
           the server when it is not complete --input-late after it started
  cut      quimbrel INPUTS/DAY.grb RESULTS/DAY/fields.grb -12; label: its last line
  check    dorvel RESULTS/DAY/fields.grb RESULTS/DAY/residual.grb; label: its summary
           line; event "negative" when more than NEG_LIMIT points are below -0.001
  summary  RESULTS/runs.log, summary.tsv and summary.png from every day's record
Every task of a day acts on the day its wait task found, whatever the repeat
says by then. A day's record is RESULTS/logs/DAY.log: the tools' console lines
and exit status, or the reason a task aborted (a killed task included), and the
day's notes ("note: input late ...", "note: alarm: N points below -0.001 ..."),
which outlive the server's late flag and event; a new try or a requeued day
replaces it, and the records it replaces are kept in RESULTS/logs/history/DAY.log.
Each task's job output is kept in RESULTS/DAY/jobs/TASK.TRY when it ends. Labels
of the last day are cleared when a day starts. A child command waits for a
halted server (at most --child-timeout s); a job whose completion the server
did not record ends failed and says so, never "complete".
A task that fails aborts with the tool's console line and exit status as its reason
(retried ECF_TRIES - 1 times); its last try updates the summary. The suite's label
"failed" says how many days have failed, as every summary counts them.

The server is the one ecflow_client talks to: ECF_HOST (default localhost) and
ECF_PORT (default 3141), or --host and --port. A newly started server is halted:
`ecflow_client --restart` lets the suite run. Jobs and their output (.1, .2 ... per
try, which show each step and its status) go under ECF_HOME, which must be given
(--ecf-home or the ECF_HOME variable): the server's own folder is the usual choice.
Every place and limit is a variable of the suite, changed with
`ecflow_client --alter change variable NAME VALUE /SUITE`.

Operating a loaded suite (give the same --name, --host, --port):
  --replace      replaces the suite as it is held: tasks running (the live wait
                 nearly always is) are stopped first without a record (their
                 jobs say "stopped: the suite is replaced"), and the new suite
                 is begun and left running
  --move-to DAY  moves the live chain to DAY: a day still waiting for its input
                 is stopped without a record and the wait starts again for DAY;
                 a day past its wait finishes on its own day, and DAY comes
                 next. (Altering the repeat by hand while a day runs would skip
                 DAY or leave a day half checked.)
Uses Debian's
python3-ecflow. Exit status: 0 loaded (or written), 1 refused or failed (one line
on standard error says why), 2 a usage error.
"""
import argparse
import datetime
import os
import re
import sys
import tempfile
import time

import ecflow

# Installed as a command, this is a link: the task scripts lie where it leads.
HERE = os.path.dirname(os.path.realpath(__file__))


def date_arg(text):
    try:
        datetime.datetime.strptime(text, "%Y%m%d")
    except ValueError:
        raise argparse.ArgumentTypeError("not a date YYYYMMDD: " + text)
    return text


def late_arg(text):
    try:
        hours, minutes = text.split(":")
        if not (0 <= int(hours) <= 99 and 0 <= int(minutes) <= 59):
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError("not HH:MM: " + text)
    return "%02d:%02d" % (int(hours), int(minutes))


def reason_of(error):
    """The gist of an ecFlow client error, on one line."""
    lines = [line.strip() for line in error.splitlines() if line.strip()]
    for line in lines:
        if "Failed to connect" in line or "Error" in line or "error" in line:
            return re.sub(r"^(\[[^]]*\]\s*)?(Request\(.*?\),\s*)?", "", line)
    return lines[0] if lines else "failed"


def days(first, last):
    day = datetime.datetime.strptime(first, "%Y%m%d")
    end = datetime.datetime.strptime(last, "%Y%m%d")
    while day <= end:
        yield day.strftime("%Y%m%d")
        day += datetime.timedelta(days=1)


def late_seconds(text):
    hours, minutes = text.split(":")
    return str(int(hours) * 3600 + int(minutes) * 60)


def add_day_tasks(family, input_late):
    wait = family.add_task("wait")
    wait.add_label("input", "")
    hours, minutes = input_late.split(":")
    late = ecflow.Late()
    late.complete(int(hours), int(minutes), True)
    wait.add_late(late)
    cut = family.add_task("cut")
    cut.add_trigger("wait == complete")
    cut.add_label("accounting", "")
    check = family.add_task("check")
    check.add_trigger("cut == complete")
    check.add_label("summary", "")
    check.add_event("negative")
    summary = family.add_task("summary")
    summary.add_trigger("check == complete")


def build(args):
    defs = ecflow.Defs()
    suite = defs.add_suite(args.name)
    files = os.path.abspath(args.files)
    for name, value in (("ECF_HOME", os.path.abspath(args.ecf_home)), ("ECF_FILES", files),
                        ("ECF_INCLUDE", files), ("INPUTS", os.path.abspath(args.inputs)),
                        ("RESULTS", os.path.abspath(args.results)),
                        ("DORVEL", os.path.join(args.bin, "dorvel")),
                        ("QUIMBREL", os.path.join(args.bin, "quimbrel")),
                        ("SUMMARIZE", os.path.join(os.path.dirname(files), "summarize_runs.py")),
                        ("NEG_LIMIT", str(args.neg_limit)),
                        ("INPUT_LATE", args.input_late),
                        ("INPUT_LATE_SECONDS", late_seconds(args.input_late)),
                        ("CHILD_TIMEOUT", str(args.child_timeout)),
                        ("INPUT_WAIT", str(args.input_wait)), ("INPUT_POLL", str(args.input_poll)),
                        ("ECF_TRIES", str(args.tries)),
                        # Each job in a process group of its own: a kill reaches the tool too.
                        ("ECF_JOB_CMD", "setsid %ECF_JOB% > %ECF_JOBOUT% 2>&1 &"),
                        ("ECF_KILL_CMD", "kill -15 -%ECF_RID%")):
        suite.add_variable(name, value)
    suite.add_label("failed", "")
    if args.shape == "live":
        family = suite.add_family("days")
        family.add_repeat(ecflow.RepeatDate("DAY", int(args.first), int(args.last)))
        add_day_tasks(family, args.input_late)
    else:
        suite.add_limit("days", args.days_at_once)
        for day in days(args.first, args.last):
            family = suite.add_family("d" + day)
            family.add_variable("DAY", day)
            family.add_inlimit("days")
            add_day_tasks(family, args.input_late)
    return defs


def tasks_in(client, name, states):
    client.sync_local()
    prefix = "/%s/" % name
    return [task.get_abs_node_path() for task in client.get_defs().get_all_tasks()
            if task.get_abs_node_path().startswith(prefix) and str(task.get_state()) in states]


def stop_quietly(client, name, why):
    """Stops the suite's running tasks so that none records a failure: their
    jobs find WHY in RESULTS/logs/.stopping, and abort without a record."""
    running = tasks_in(client, name, ("active", "submitted"))
    if not running:
        return
    client.sync_local()
    results = client.get_defs().find_suite(name).find_variable("RESULTS").value()
    marker = os.path.join(results, "logs", ".stopping")
    os.makedirs(os.path.dirname(marker), exist_ok=True)
    with open(marker, "w") as text:
        text.write(why + "\n")
    try:
        killed = set()
        deadline = time.time() + 60
        while running:
            if time.time() > deadline:
                raise RuntimeError("Error: still running after 60 s: " + " ".join(running))
            # A submitted job has no process to stop until it starts.
            active = [path for path in tasks_in(client, name, ("active",)) if path not in killed]
            if active:
                client.kill(active)
                killed.update(active)
            time.sleep(0.5)
            running = tasks_in(client, name, ("active", "submitted"))
    finally:
        os.remove(marker)


def move_to(client, name, day):
    """Moves the live chain to DAY (see the description)."""
    client.sync_local()
    family = client.get_defs().find_abs_node("/%s/days" % name)
    if family is None or family.get_repeat().empty():
        raise RuntimeError("Error: /%s has no live chain (days with a repeat)" % name)
    tasks = ["/%s/days/%s" % (name, task) for task in ("wait", "cut", "check", "summary")]
    states = [str(client.get_defs().find_abs_node(task).get_state()) for task in tasks]
    # Still waiting for its input, or stopped by a failure: the day is left
    # unchecked, and DAY starts at once.
    if states[0] != "complete" or "aborted" in states:
        stop_quietly(client, name, "the chain moves to " + day)
        client.alter("/%s/days" % name, "change", "repeat", day)
        client.requeue(tasks)
        return "the chain moved to %s: its wait starts" % day
    before = (datetime.datetime.strptime(day, "%Y%m%d") - datetime.timedelta(days=1)).strftime("%Y%m%d")
    client.alter("/%s/days" % name, "change", "repeat", before)
    return "a day past its wait finishes first; %s comes next" % day


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--inputs", help="the folder of the days' inputs DAY.grb")
    parser.add_argument("--results", help="the folder of the results and records")
    parser.add_argument("--first", type=date_arg, help="the first day, YYYYMMDD")
    parser.add_argument("--last", type=date_arg, help="the last day, YYYYMMDD")
    parser.add_argument("--shape", choices=("live", "archive"), default="live",
                        help="one repeating family (live, the default) or a family per day")
    parser.add_argument("--days-at-once", type=int, default=2,
                        help="archive: how many days run at once (default 2)")
    parser.add_argument("--name", default="grib_checks", help="the suite's name")
    parser.add_argument("--bin", default="/usr/bin", help="where dorvel and quimbrel are")
    parser.add_argument("--neg-limit", type=int, default=1000,
                        help="the event 'negative' above this many points (default 1000)")
    parser.add_argument("--input-wait", type=int, default=21600,
                        help="seconds a day waits for its input before it aborts (default 6 h)")
    parser.add_argument("--input-poll", type=int, default=60,
                        help="seconds between looks for the input (default 60)")
    parser.add_argument("--input-late", type=late_arg, default="01:00",
                        help="HH:MM after which a waiting day is flagged late (default 01:00)")
    parser.add_argument("--tries", type=int, default=2,
                        help="ECF_TRIES: tries of a task before it stays aborted (default 2)")
    parser.add_argument("--files", default=HERE, help="the task scripts .ecf and head.h, tail.h")
    parser.add_argument("--ecf-home", default=os.environ.get("ECF_HOME"),
                        help="where jobs and their output go (default: $ECF_HOME; required)")
    parser.add_argument("--host", default=os.environ.get("ECF_HOST", "localhost"),
                        help="the server's host (default: $ECF_HOST, or localhost)")
    parser.add_argument("--port", type=int, default=int(os.environ.get("ECF_PORT", "3141")),
                        help="the server's port (default: $ECF_PORT, or 3141)")
    parser.add_argument("--child-timeout", type=int, default=86400,
                        help="ECF_TIMEOUT of the jobs: seconds a child command waits for a "
                             "halted or unreachable server before the job ends failed "
                             "(default 86400, ecFlow's own)")
    parser.add_argument("--replace", action="store_true",
                        help="replace the suite where the server already holds it, stopping "
                             "its running tasks first without a record")
    parser.add_argument("--move-to", type=date_arg,
                        help="move the loaded live chain to this day (YYYYMMDD) and exit; "
                             "only --name, --host and --port count then")
    parser.add_argument("--write", help="write the definition to this file instead of loading it")
    args = parser.parse_args()
    if args.move_to:
        # Only the server and the suite's name are needed to move a loaded chain.
        operate(args, lambda client: move_to(client, args.name, args.move_to))
        return
    missing = [option for option in ("inputs", "results", "first", "last") if not getattr(args, option)]
    if missing:
        parser.error("the following arguments are required: " +
                     ", ".join("--" + option for option in missing))
    if not args.ecf_home:
        parser.error("no ECF_HOME: give --ecf-home, or set ECF_HOME (the server's folder)")
    if args.first > args.last:
        parser.error("--first is after --last")
    defs = build(args)
    problems = defs.check()
    if problems:
        sys.exit("suite.py: " + problems.strip())
    if args.write:
        defs.save_as_defs(args.write)
        return
    def load(client):
        held = client.get_defs() is not None and client.get_defs().find_suite(args.name) is not None
        if held and not args.replace:
            raise Refused("the server at %s already holds /%s: --replace replaces it" %
                          (where(args), args.name))
        if held:
            stop_quietly(client, args.name, "the suite is replaced")
            client.replace("/" + args.name, defs)
        else:
            client.load(defs)
        client.begin_suite(args.name, True)
        client.sync_local()
        if client.get_defs().find_suite(args.name).is_suspended():
            client.resume("/" + args.name)
        said = "/%s %s on %s" % (args.name, "replaced" if held else "loaded", where(args))
        if str(client.get_defs().get_server_state()) != "RUNNING":
            said += "\nsuite.py: the server is halted: `ecflow_client --restart` lets the suite run"
        return said

    operate(args, load)


class Refused(Exception):
    pass


def where(args):
    return "%s:%d" % (args.host, args.port)


def operate(args, action):
    """Runs ACTION(client) against the server, prints what it says, or exits
    with one line saying what failed."""
    # ecFlow's client library writes its own connection errors on standard
    # error: they are kept aside, and one line says what failed.
    saved_stderr = os.dup(2)
    refused = said = None
    with tempfile.TemporaryFile() as aside:
        os.dup2(aside.fileno(), 2)
        try:
            client = ecflow.Client(args.host, args.port)
            client.set_connection_attempts(1)
            client.sync_local()
            said = action(client)
        except Refused as refusal:
            refused = str(refusal)
        except (RuntimeError, OSError) as error:
            refused = "the server at %s: %s" % (where(args), reason_of(str(error)))
        finally:
            os.dup2(saved_stderr, 2)
    if refused:
        sys.exit("suite.py: " + refused)
    print("suite.py: " + said)


if __name__ == "__main__":
    main()
