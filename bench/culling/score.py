"""The culling benchmark's scores: generates the shoots (once, see shoots.py), runs the real
dofmap-batch on every shoot folder with each rule under test, and prints how often each rule is
right, catches the blurred photos and passes the sharp ones, per category and overall; also writes
the tables as Markdown and every photo's truth, figures and verdicts as CSV.

Rules: `--reject-below 50%`; the variance of the Laplacian under the same rule (blurry below 50 %
of the shoot's median), computed here with OpenCV; and `--cull` when the binary has it.

    /usr/bin/python3 bench/culling/score.py [--batch build/dofmap-batch] [--cache build/bench-culling]
"""

import argparse
import collections
import csv
import json
import os
import re
import statistics
import subprocess
import sys
import time

import cv2

import degrade
import shoots

# A rule: its short name (the CSV's column prefix), its label (as text, and in Markdown), and the
# arguments that make dofmap-batch judge by it (None: judged here).
Rule = collections.namedtuple("Rule", "tag label markdown arguments")
RULES = [
    Rule("reject", "--reject-below 50%", "`--reject-below 50%`", ["--reject-below", "50%"]),
    Rule("vol", "VoL 50%", "VoL 50%", None),
    Rule("cull", "--cull", "`--cull`", ["--cull"]),
]
# The users' targets, on the held-out scenes: (category, share, least %).
TARGETS = (("held-out bursts", "right", 95.0), ("held-out bursts", "caught", 90.0),
           ("held-out bursts", "passed", 95.0), ("held-out singles", "right", 90.0))
# Seconds one shoot's run may take before it is taken as hung.
RUN_LIMIT = 900


def _is(field, value):
    return lambda row: row[field] == value


CATEGORIES = dict([
    ("all photos", lambda row: True),
    ("bursts", _is("grouping", "burst")),
    ("singles", _is("grouping", "single")),
    ("tuning scenes", _is("split", "tuning")),
    ("held-out scenes", _is("split", "held-out")),
    ("held-out bursts", lambda row: row["split"] == "held-out" and row["grouping"] == "burst"),
    ("held-out singles", lambda row: row["split"] == "held-out" and row["grouping"] == "single"),
    *[(kind, _is("blur", kind)) for kind in degrade.BLURS],
    *[(f"noise {sigma}", _is("noise", str(sigma))) for sigma in degrade.NOISE_SIGMAS],
    ("plain", _is("look", "plain")),
    ("shallow depth of field", _is("look", "shallow")),
    ("small subject", _is("look", "small")),
    *[(f"JPEG {quality}", _is("quality", str(quality))) for quality in degrade.JPEG_QUALITIES],
    ("1.5 MP", _is("tier", "1.5mp")),
    ("6 MP", _is("tier", "6mp")),
    ("EXIF times", _is("times", "exif")),
    ("no times", _is("times", "none")),
])


class RunFailed(Exception):
    """A run of dofmap-batch that did not end with status 0."""


def run_batch(batch, arguments, folder, jobs):
    """The JSON records of dofmap-batch on the folder with the arguments, by file name; RunFailed
    when it does not end well."""
    command = [batch, *arguments, "--json", "--no-map", "-q", "-j", str(jobs), folder]
    done = subprocess.run(command, capture_output=True, text=True, timeout=RUN_LIMIT)
    if done.returncode != 0:
        raise RunFailed(f"{' '.join(command)} ended with status {done.returncode}: {done.stderr.strip()}")
    records = {}
    for line in done.stdout.splitlines():
        record = json.loads(line)
        records[os.path.basename(record["path"])] = record
    return records


def has_option(batch, option):
    """Whether the binary's --help lists the option (on a line of its own, as CLI11 lists them)."""
    done = subprocess.run([batch, "--help"], capture_output=True, text=True, timeout=60)
    return done.returncode == 0 and re.search(rf"^\s+(-\w,)?{re.escape(option)}\b", done.stdout, re.M) is not None


def variances_of_laplacian(cache, rows):
    """Each photo's variance of the Laplacian (cv2.Laplacian of the gray photo, CV_64F), by
    (shoot, file), kept in cache/vol.csv for the next runs (the generator removes it)."""
    path = os.path.join(cache, "vol.csv")
    values = {}
    if os.path.isfile(path):
        with open(path, newline="") as kept:
            values = {(row["shoot"], row["file"]): float(row["vol"]) for row in csv.DictReader(kept)}
    missing = [_key(row) for row in rows if _key(row) not in values]
    for shoot, file in missing:
        gray = cv2.imread(os.path.join(cache, "shoots", shoot, file), cv2.IMREAD_GRAYSCALE)
        if gray is None:
            sys.exit(f"bench-culling: cannot read {shoot}/{file}")
        values[shoot, file] = float(cv2.Laplacian(gray, cv2.CV_64F).var())
    if missing:
        with open(path, "w", newline="") as out:
            writer = csv.writer(out)
            writer.writerow(["shoot", "file", "vol"])
            writer.writerows([shoot, file, repr(vol)] for (shoot, file), vol in values.items())
    return values


def judge_by_share(rows, values, share_of_median):
    """Verdicts of a figure under the rule of --reject-below: blurry below the share of the median
    of the photo's shoot."""
    verdicts = {}
    for shoot in dict.fromkeys(row["shoot"] for row in rows):
        keys = [_key(row) for row in rows if row["shoot"] == shoot]
        cut = share_of_median * statistics.median(values[key] for key in keys)
        verdicts.update({key: "blurry" if values[key] < cut else "sharp" for key in keys})
    return verdicts


def _key(row):
    return row["shoot"], row["file"]


def _percent(part, whole):
    return 100.0 * part / whole if whole else None


def tally(rows, verdicts):
    """{right, caught, passed}: the shares (%) of the rows judged right, of the blurred ones judged
    blurry and of the sharp ones judged sharp (None where there are none)."""
    blurred = [row for row in rows if row["truth"] == "blurred"]
    sharp = [row for row in rows if row["truth"] == "sharp"]
    caught = sum(verdicts.get(_key(row)) == "blurry" for row in blurred)
    passed = sum(verdicts.get(_key(row)) == "sharp" for row in sharp)
    return {"right": _percent(caught + passed, len(rows)), "caught": _percent(caught, len(blurred)),
            "passed": _percent(passed, len(sharp))}


def _cell(value):
    return "–" if value is None else f"{value:.1f}"


def tables(rows, judged, rules, markdown):
    """The tables as lists of rows of text, the rules' columns in turn: by category, and blurred
    photos caught by kind and strength. A rule not judged shows dashes."""
    shares = ("right", "caught", "passed")
    labels = [rule.markdown if markdown else rule.label for rule in rules]
    header = ["category", "photos", "blurred"]
    header += [f"{label} {what}" if what == "right" else what for label in labels for what in shares]
    by_category = [header]
    for label, test in CATEGORIES.items():
        chosen = [row for row in rows if test(row)]
        cells = [label, str(len(chosen)), str(sum(row["truth"] == "blurred" for row in chosen))]
        for rule in rules:
            counted = tally(chosen, judged[rule.tag]) if rule.tag in judged else dict.fromkeys(shares)
            cells += [_cell(counted[what]) for what in shares]
        by_category.append(cells)
    by_strength = [["blur", "strength", "photos"] + [f"{label} caught" for label in labels]]
    for kind, strengths in degrade.BLURS.items():
        for strength in strengths:
            chosen = [row for row in rows if row["blur"] == kind and float(row["strength"]) == strength]
            cells = [kind, f"{strength:g}", str(len(chosen))]
            cells += [_cell(tally(chosen, judged[rule.tag])["caught"] if rule.tag in judged else None)
                      for rule in rules]
            by_strength.append(cells)
    return by_category, by_strength


def targets(rows, judged, markdown):
    """A line for each rule judged: whether it meets the users' targets."""
    lines = []
    for rule in (rule for rule in RULES if rule.tag in judged):
        parts = []
        for label, what, least in TARGETS:
            value = tally([row for row in rows if CATEGORIES[label](row)], judged[rule.tag])[what]
            met = "met" if value is not None and value >= least else "not met"
            parts.append(f"{label} {what} {_cell(value)} % ({met}, >= {least:g})")
        lines.append(f"{rule.markdown if markdown else rule.label}: " + "; ".join(parts))
    return lines


def as_text(table):
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    return "\n".join("  ".join(cell.ljust(width) if i == 0 else cell.rjust(width)
                               for i, (cell, width) in enumerate(zip(row, widths))) for row in table)


def as_markdown(table):
    lines = ["| " + " | ".join(row) + " |" for row in table]
    lines.insert(1, "|" + "|".join("---" if i == 0 else "--:" for i in range(len(table[0]))) + "|")
    return "\n".join(lines)


def write_photos_csv(path, rows, records, judged, vol):
    """Every photo: its truth (shoots.FIELDS), every key of the batch's JSON records by
    --reject-below (its figures; its verdict and threshold, and any key named as a truth field,
    prefixed reject_), the variance of the Laplacian and its verdict, and every key of --cull's
    records but the figures already there (prefixed cull_)."""
    same = ("path", "width", "height")  # the truth's own, or the same as its

    def keys_of(tag):
        return list(dict.fromkeys(key for record in records.get(tag, {}).values() for key in record
                                  if key not in same))

    def plain_column(key):
        return f"reject_{key}" if key in shoots.FIELDS or key in ("verdict", "threshold") else key

    plain_keys = keys_of("reject")
    figures = [key for key in plain_keys if plain_column(key) == key]
    cull_keys = [key for key in keys_of("cull") if key not in figures]
    columns = list(shoots.FIELDS) + [plain_column(key) for key in plain_keys] + ["vol", "vol_verdict"]
    columns += [f"cull_{key}" for key in cull_keys]
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, columns)
        writer.writeheader()
        for row in rows:
            line = dict(row)
            plain = records.get("reject", {}).get(_key(row), {})
            cull = records.get("cull", {}).get(_key(row), {})
            line.update({plain_column(key): plain.get(key, "") for key in plain_keys})
            line.update(vol=vol[_key(row)], vol_verdict=judged["vol"][_key(row)])
            line.update({f"cull_{key}": cull.get(key, "") for key in cull_keys})
            writer.writerow(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batch", default="build/dofmap-batch", help="the dofmap-batch to run")
    parser.add_argument("--cache", default="build/bench-culling", help="folder of the shoots and the results")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="shoots generated, and photos figured, at once")
    args = parser.parse_args()
    if not os.access(args.batch, os.X_OK):
        sys.exit(f"bench-culling: no dofmap-batch at {args.batch} (cmake --build build --target dofmap-batch)")

    generated = shoots.generate(args.cache, args.jobs)
    state = f"generated in {generated:.0f} s" if generated else "reused"
    print(f"bench-culling: shoots {state} ({args.cache}/shoots)", file=sys.stderr)
    with open(os.path.join(args.cache, "truth.csv"), newline="") as truth:
        rows = list(csv.DictReader(truth))
    shoot_names = list(dict.fromkeys(row["shoot"] for row in rows))

    started = time.monotonic()
    judged, records, notes = {}, {}, []
    for rule in (rule for rule in RULES if rule.arguments is not None):
        if rule.tag == "cull" and not has_option(args.batch, "--cull"):
            notes.append((rule, f"not available (this dofmap-batch has no {rule.label} option)"))
            continue
        try:
            records[rule.tag] = {
                (shoot, file): record for shoot in shoot_names
                for file, record in run_batch(args.batch, rule.arguments, os.path.join(args.cache, "shoots", shoot),
                                              args.jobs).items()}
        except RunFailed as failure:
            if rule.tag != "cull":
                sys.exit(f"bench-culling: {failure}")
            notes.append((rule, f"failed: {failure}"))
            continue
        judged[rule.tag] = {key: record.get("verdict") for key, record in records[rule.tag].items()}
    batch_seconds = time.monotonic() - started

    started = time.monotonic()
    vol = variances_of_laplacian(args.cache, rows)
    judged["vol"] = judge_by_share(rows, vol, 0.5)
    vol_seconds = time.monotonic() - started

    by_category, by_strength = tables(rows, judged, RULES, markdown=False)
    summary = targets(rows, judged, markdown=False) + [f"{rule.label}: {note}" for rule, note in notes]
    split = collections.Counter(row["split"] for row in rows)
    heading = (f"{len(rows)} photos in {len(shoot_names)} shoots ({split['tuning']} of tuning scenes, "
               f"{split['held-out']} of held-out scenes); batch runs {batch_seconds:.0f} s, "
               f"variance of the Laplacian {vol_seconds:.0f} s")
    print(f"{heading}\n\n{as_text(by_category)}\n\n{as_text(by_strength)}\n\n" + "\n".join(summary))

    # Markdown for the README: the rules judged only, the others in the notes.
    by_category, by_strength = tables(rows, judged, [rule for rule in RULES if rule.tag in judged], markdown=True)
    markdown = os.path.join(args.cache, "results.md")
    with open(markdown, "w") as out:
        out.write(f"{heading}\n\n{as_markdown(by_category)}\n\n"
                  f"Blurred photos caught, by blur and strength (pixels):\n\n{as_markdown(by_strength)}\n\n")
        lines = targets(rows, judged, markdown=True) + [f"{rule.markdown}: {note}" for rule, note in notes]
        out.write("".join(f"- {line}\n" for line in lines))
    photos_csv = os.path.join(args.cache, "photos.csv")
    write_photos_csv(photos_csv, rows, records, judged, vol)
    print(f"\nbench-culling: tables in {markdown}, every photo in {photos_csv}", file=sys.stderr)


if __name__ == "__main__":
    main()
