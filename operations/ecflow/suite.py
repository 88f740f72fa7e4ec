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
A day's record is RESULTS/logs/DAY.log: the tools' console lines and exit status,
or the reason a task aborted (a killed task included); a new try or a requeued day
replaces it, and the records it replaces are kept in RESULTS/logs/history/DAY.log.
A task that fails aborts with the tool's console line and exit status as its reason
(retried ECF_TRIES - 1 times); its last try updates the summary. The suite's label
"failed" says how many days have failed, as every summary counts them.

The server is the one ecflow_client talks to: ECF_HOST (default localhost) and
ECF_PORT (default 3141), or --host and --port. A newly started server is halted:
`ecflow_client --restart` lets the suite run. Jobs and their output (.1, .2 ... per
try, which show each step and its status) go under ECF_HOME, which must be given
(--ecf-home or the ECF_HOME variable): the server's own folder is the usual choice.
Every place and limit is a variable of the suite, changed with
`ecflow_client --alter change variable NAME VALUE /SUITE`. Uses Debian's
python3-ecflow. Exit status: 0 loaded (or written), 1 refused or failed (one line
on standard error says why), 2 a usage error.
"""
import argparse
import datetime
import os
import re
import sys
import tempfile

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


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--inputs", required=True, help="the folder of the days' inputs DAY.grb")
    parser.add_argument("--results", required=True, help="the folder of the results and records")
    parser.add_argument("--first", required=True, type=date_arg, help="the first day, YYYYMMDD")
    parser.add_argument("--last", required=True, type=date_arg, help="the last day, YYYYMMDD")
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
    parser.add_argument("--replace", action="store_true",
                        help="replace the suite where the server already holds it")
    parser.add_argument("--write", help="write the definition to this file instead of loading it")
    args = parser.parse_args()
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
    where = "%s:%d" % (args.host, args.port)
    # ecFlow's client library writes its own connection errors on standard
    # error: they are kept aside, and one line says what failed.
    saved_stderr = os.dup(2)
    with tempfile.TemporaryFile() as aside:
        os.dup2(aside.fileno(), 2)
        try:
            client = ecflow.Client(args.host, args.port)
            client.set_connection_attempts(1)
            client.sync_local()
            held = client.get_defs() is not None and client.get_defs().find_suite(args.name) is not None
            if held and not args.replace:
                refused = "the server at %s already holds /%s: --replace replaces it" % (where, args.name)
            else:
                refused = None
                if held:
                    client.replace("/" + args.name, defs)
                else:
                    client.load(defs)
                client.begin_suite(args.name, True)
                client.sync_local()
                halted = str(client.get_defs().get_server_state()) != "RUNNING"
        except RuntimeError as error:
            refused = "the server at %s: %s" % (where, reason_of(str(error)))
        finally:
            os.dup2(saved_stderr, 2)
    if refused:
        sys.exit("suite.py: " + refused)
    print("suite.py: /%s %s on %s" % (args.name, "replaced" if held else "loaded", where))
    if halted:
        print("suite.py: the server is halted: `ecflow_client --restart` lets the suite run")


if __name__ == "__main__":
    main()
