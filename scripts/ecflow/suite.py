#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Builds the ecFlow suite that checks a chain of days with quimbrel and dorvel,
and loads it into a server (or writes it as a definition file).

    suite.py --inputs DIR --results DIR --first YYYYMMDD --last YYYYMMDD
             [--host HOST --port PORT | --write FILE] [--name NAME]
             [--bin DIR] [--neg-limit N] [--files DIR]

Per day DAY (a family of that name, with the ecFlow variable DAY):
  cut      quimbrel INPUTS/DAY.grb RESULTS/DAY/fields.grb -12: the day's twelve fields;
           label "accounting": quimbrel's last line
  check    dorvel RESULTS/DAY/fields.grb RESULTS/DAY/residual.grb, once cut is complete;
           label "summary": dorvel's summary line; event "negative" when more than
           NEG_LIMIT points are below -0.001
  summary  once the day is done, complete or aborted: RESULTS/runs.log, summary.tsv and
           summary.png from every day's log so far (summarize_runs.py); label "failed":
           how many days failed so far
A task that fails aborts with the tool's console line and exit status as its reason.
Every place and limit is a variable of the suite (INPUTS, RESULTS, DORVEL, QUIMBREL,
SCRIPTS, NEG_LIMIT, FIRST_DAY, LAST_DAY), so a site changes them with ecflow_client
--alter, not by editing the scripts. Uses Debian's python3-ecflow.
"""
import argparse
import datetime
import os
import sys

import ecflow

HERE = os.path.dirname(os.path.abspath(__file__))


def days(first, last):
    day = datetime.datetime.strptime(first, "%Y%m%d")
    end = datetime.datetime.strptime(last, "%Y%m%d")
    while day <= end:
        yield day.strftime("%Y%m%d")
        day += datetime.timedelta(days=1)


def build(args):
    defs = ecflow.Defs()
    suite = defs.add_suite(args.name)
    files = os.path.abspath(args.files)
    for name, value in (("ECF_HOME", os.path.abspath(args.ecf_home)), ("ECF_FILES", files),
                        ("ECF_INCLUDE", files), ("INPUTS", os.path.abspath(args.inputs)),
                        ("RESULTS", os.path.abspath(args.results)),
                        ("DORVEL", os.path.join(args.bin, "dorvel")),
                        ("QUIMBREL", os.path.join(args.bin, "quimbrel")),
                        ("SCRIPTS", os.path.dirname(HERE)), ("NEG_LIMIT", str(args.neg_limit)),
                        ("FIRST_DAY", args.first), ("LAST_DAY", args.last),
                        # Each job in a process group of its own: a kill reaches the tool too.
                        ("ECF_JOB_CMD", "setsid %ECF_JOB% > %ECF_JOBOUT% 2>&1 &"),
                        ("ECF_KILL_CMD", "kill -15 -%ECF_RID%"),
                        ("ECF_TRIES", "1")):
        suite.add_variable(name, value)
    for day in days(args.first, args.last):
        family = suite.add_family("d" + day)
        family.add_variable("DAY", day)
        cut = family.add_task("cut")
        cut.add_label("accounting", "")
        check = family.add_task("check")
        check.add_trigger("cut == complete")
        check.add_label("summary", "")
        check.add_event("negative")
        summary = family.add_task("summary")
        summary.add_trigger("check == complete or check == aborted or cut == aborted")
        summary.add_label("failed", "")
    return defs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--inputs", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--first", required=True)
    parser.add_argument("--last", required=True)
    parser.add_argument("--name", default="grib_checks")
    parser.add_argument("--bin", default="/usr/bin")
    parser.add_argument("--neg-limit", type=int, default=1000)
    parser.add_argument("--files", default=HERE, help="the .ecf scripts and head.h, tail.h")
    parser.add_argument("--ecf-home", default=os.environ.get("ECF_HOME", "."))
    parser.add_argument("--host", default="localhost")
    parser.add_argument("--port", type=int)
    parser.add_argument("--write")
    args = parser.parse_args()
    defs = build(args)
    problems = defs.check()
    if problems:
        sys.exit("suite.py: " + problems)
    if args.write:
        defs.save_as_defs(args.write)
        return
    if args.port is None:
        sys.exit("suite.py: --port (to load) or --write (to save) is needed")
    client = ecflow.Client(args.host, args.port)
    client.load(defs)
    client.begin_suite(args.name)


if __name__ == "__main__":
    main()
