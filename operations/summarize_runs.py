#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Summarizes many dorvel runs from RESULTS/runs.log (as run_many.sh and
slurm_array.sh write it: "INPUT<TAB>console line" and "INPUT<TAB>exit status N";
lines "INPUT<TAB>input: ..." say what the input held, lines "INPUT<TAB>note: ..."
what happened to it beyond the tools' lines, a late input or an alarm).

    summarize_runs.py [--neg-limit N] RESULTS   (Debian's python3; python3-matplotlib draws)

writes RESULTS/summary.tsv (input, dataDate, dataTime, negative count, mean,
exit status, reason, notes; one row per input, in log order; the reason of a
failed run is its console lines; a tab, a newline or a backslash in a field is
written \t, \n or \\) and RESULTS/summary.png: the negative count and the
mean per date, a value that overflowed its field (asterisks) marked at the top
of its panel, failed files marked in red at the date their name carries
(YYYYMMDD), and no line across days without a run, so that a drift over weeks
shows at a glance. The mean is drawn at the precision of the residual file
where one lies beside the runs (RESULTS/NAME.res.grb as run_many.sh writes it,
or RESULTS/DAY/residual.grb as the ecFlow suite does; read with ecCodes'
grib_get), else from the console line's three decimals; --neg-limit N draws the
operator's limit on the count panel. Where the inputs' names carry their dates
(YYYYMMDD), or --dates FIRST:LAST gives the range, a date of the range without
an input is named on standard output ("missing dates: ...") and in the plot's
title. Each file is written beside (NAME.new) and then renamed: a summary there
is always a whole one, the new or the previous.
Exit status: 0 written; 1 a file could not be written (standard error names
it); 2 a usage error.
"""
import argparse
import datetime
import os
import re
import subprocess
import sys

SUMMARY = re.compile(r"^\s*(\S+) (\S{4}) neg\s*(\S+) ave\s*(\S+)$")
STATUS = re.compile(r"^exit status (\S+)$")
INPUT_LINE = "input: "
NOTE_LINE = "note: "
NAME_DATE = re.compile(r"(?<!\d)(\d{8})(?!\d)")
OVERFLOW = "overflow"


def read_runs(log_path):
    runs = {}
    with open(log_path, encoding="utf-8", errors="replace") as log:
        for line in log:
            input_file, _, text = line.rstrip("\n").partition("\t")
            run = runs.setdefault(input_file, {"input": input_file, "dataDate": "",
                                               "dataTime": "", "negative": "", "mean": "",
                                               "status": "", "lines": [], "notes": []})
            summary = SUMMARY.match(text)
            status = STATUS.match(text)
            if summary:
                run["dataDate"], run["dataTime"], run["negative"], run["mean"] = summary.groups()
            elif status:
                run["status"] = status.group(1)
            elif text.startswith(NOTE_LINE):
                run["notes"].append(text[len(NOTE_LINE):])
            elif text.startswith(INPUT_LINE):
                pass
            else:
                run["lines"].append(text)
    return list(runs.values())


def moment(run):
    """The run's date and time, from the summary line or else from the file name."""
    try:
        return datetime.datetime.strptime(run["dataDate"] + run["dataTime"], "%Y%m%d%H%M")
    except ValueError:
        found = NAME_DATE.search(os.path.basename(run["input"]))
        try:
            return datetime.datetime.strptime(found.group(1), "%Y%m%d") if found else None
        except ValueError:
            return None


def number(text):
    """A figure of the summary line: a float, OVERFLOW for asterisks, None when absent."""
    if text and set(text) == {"*"}:
        return OVERFLOW
    try:
        return float(text)
    except ValueError:
        return None


def with_gaps(points):
    """The points, with a break (None) wherever runs are missing: a gap wider
    than one and a half times the usual spacing."""
    if len(points) < 3:
        return points
    steps = sorted(b[0] - a[0] for a, b in zip(points, points[1:]))
    usual = steps[len(steps) // 2]
    broken = [points[0]]
    for before, after in zip(points, points[1:]):
        if usual and after[0] - before[0] > usual * 1.5:
            broken.append((before[0] + (after[0] - before[0]) / 2, None))
        broken.append(after)
    return broken


def residual_file(results, run):
    """The residual file of a run, where one lies beside the runs."""
    name = os.path.basename(run["input"])
    stem = name[:-4] if name.endswith(".grb") else name
    for path in (os.path.join(results, stem + ".res.grb"),
                 os.path.join(results, stem, "residual.grb")):
        if os.path.isfile(path):
            return path
    return None


def precise_means(results, runs):
    """The mean of each good run's residual field at full precision, by input;
    none where no residual file or no grib_get is there."""
    files = {run["input"]: residual_file(results, run) for run in runs if run["status"] == "0"}
    files = {name: path for name, path in files.items() if path}
    means = {}
    names = list(files)
    for start in range(0, len(names), 200):
        chunk = names[start:start + 200]
        try:
            answer = subprocess.run(["grib_get", "-F", "%.10g", "-p", "average"] +
                                    [files[name] for name in chunk],
                                    capture_output=True, text=True, check=True).stdout.split()
        except (OSError, subprocess.CalledProcessError):
            return means
        if len(answer) == len(chunk):
            means.update((name, float(value)) for name, value in zip(chunk, answer))
    return means


def name_date(run):
    found = NAME_DATE.search(os.path.basename(run["input"]))
    try:
        return datetime.datetime.strptime(found.group(1), "%Y%m%d").date() if found else None
    except ValueError:
        return None


def missing_dates(runs, dates):
    """The dates of the range without an input: the range given (FIRST:LAST),
    else the one the inputs' names span, where every name carries a date."""
    known = [name_date(run) for run in runs]
    if dates:
        first, last = (datetime.datetime.strptime(d, "%Y%m%d").date() for d in dates.split(":"))
    elif known and all(known):
        first, last = min(known), max(known)
    else:
        return []
    present = set(d for d in known if d)
    missing = []
    day = first
    while day <= last:
        if day not in present:
            missing.append(day.strftime("%Y%m%d"))
        day += datetime.timedelta(days=1)
    return missing


def plot(runs, png_path, means, neg_limit, missing=()):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    good = sorted(((moment(r), r) for r in runs if r["status"] == "0" and moment(r) is not None),
                  key=lambda pair: pair[0])
    failed = [r for r in runs if r["status"] != "0"]
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(10, 6), dpi=100)
    precise = all(run["input"] in means for _, run in good) and good
    for axis, key, label, legend in (
            (top, "negative", "points below -0.001", "points below -0.001, per run"),
            (bottom, "mean", "mean residual",
             "mean of the residual file" if precise else "mean, as the console line rounds it")):
        values = [(when, means.get(run["input"]) if key == "mean" and precise
                   else number(run[key])) for when, run in good]
        points = [(when, value) for when, value in values if isinstance(value, float)]
        lined = with_gaps(points)
        axis.plot([p[0] for p in lined], [float("nan") if p[1] is None else p[1] for p in lined],
                  "o-", color="tab:blue", label=legend)
        overflowed = [when for when, value in values if value == OVERFLOW]
        if overflowed:
            # Drawn at the top of the panel: the value is too large for its field.
            axis.plot(overflowed, [1.0] * len(overflowed), "^", color="tab:orange",
                      markersize=10, transform=axis.get_xaxis_transform(), clip_on=False,
                      label="overflowed (%d)" % len(overflowed))
        for run in failed:
            when = moment(run)
            if when is not None:
                axis.axvline(when, color="tab:red", linestyle="--", linewidth=1)
        axis.set_ylabel(label)
        axis.grid(True, alpha=0.3)
    bottom.axhline(0.0, color="grey", linewidth=0.8)
    if neg_limit is not None:
        top.axhline(neg_limit, color="tab:purple", linestyle=":", label="limit (%d)" % neg_limit)
    if failed:
        top.plot([], [], "--", color="tab:red", label="failed run (%d)" % len(failed))
    # Beside the panels, where they cover no point.
    top.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
    bottom.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
    top.set_title("%d runs, %d failed%s%s" % (
        len(runs), len(failed),
        ": " + ", ".join(os.path.basename(r["input"]) for r in failed[:4]) if failed else "",
        "; %d dates missing: %s%s" % (len(missing), ", ".join(missing[:4]),
                                       "..." if len(missing) > 4 else "") if missing else ""))
    figure.autofmt_xdate()
    figure.tight_layout()
    # What each panel draws, also in the picture's text, for a reader without eyes.
    drawn = "; ".join("%s: %s" % (axis.get_ylabel(), ", ".join(axis.get_legend_handles_labels()[1]))
                      for axis in (top, bottom))
    figure.savefig(png_path, format="png", metadata={"Description": drawn})
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--neg-limit", type=int, help="the operator's limit of negative points")
    parser.add_argument("--dates", type=date_range,
                        help="FIRST:LAST (YYYYMMDD): the dates the runs should cover")
    parser.add_argument("results", help="the folder of runs.log")
    args = parser.parse_args()
    try:
        summarize(args.results, args.neg_limit, args.dates)
    except OSError as error:
        # A full disk, say: the summary is not there, and the caller must know.
        sys.exit("summarize_runs.py: %s: %s" % (error.filename or args.results, error.strerror))


def date_range(text):
    try:
        first, last = text.split(":")
        if datetime.datetime.strptime(first, "%Y%m%d") > datetime.datetime.strptime(last, "%Y%m%d"):
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError("not FIRST:LAST (YYYYMMDD, FIRST not after LAST): " + text)
    return text


def named(error, path):
    """The error with the file it is about: a write that fails only when the
    file is closed (a full disk) names none."""
    return error if error.filename else OSError(error.errno, error.strerror, path)


def replace_whole(path, write):
    """Writes a file beside PATH with write(NEW_PATH), then renames it to PATH:
    PATH is the previous file or the new one, whole. What a failure leaves beside is removed."""
    beside = path + ".new"
    try:
        write(beside)
        os.replace(beside, path)
    except BaseException:
        try:
            os.remove(beside)
        except OSError:
            pass
        raise


def summarize(results, neg_limit=None, dates=None):
    runs = read_runs(os.path.join(results, "runs.log"))
    missing = missing_dates(runs, dates)
    if missing:
        print("summarize_runs.py: %d missing date%s: %s" % (len(missing), "" if len(missing) == 1 else "s",
                                                         " ".join(missing)))
    path = os.path.join(results, "summary.tsv")
    try:
        replace_whole(path, lambda beside: write_table(runs, beside))
        path = os.path.join(results, "summary.png")
        means = precise_means(results, runs)
        replace_whole(path, lambda beside: plot(runs, beside, means, neg_limit, missing))
    except ImportError:
        print("summarize_runs.py: no matplotlib (python3-matplotlib): no summary.png",
              file=sys.stderr)
    except OSError as error:
        raise named(error, path)


def field(text):
    """A field of summary.tsv: its tabs, newlines and backslashes escaped, nothing else."""
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")


def write_table(runs, path):
    with open(path, "w", encoding="utf-8") as tsv:
        tsv.write("input\tdataDate\tdataTime\tnegative_count\tmean\texit_status\treason\tnotes\n")
        for run in runs:
            reason = " | ".join(run["lines"]) if run["status"] != "0" else ""
            row = [run["input"], run["dataDate"], run["dataTime"], run["negative"], run["mean"],
                   run["status"], reason, " | ".join(run["notes"])]
            tsv.write("\t".join(field(text) for text in row) + "\n")


if __name__ == "__main__":
    main()
