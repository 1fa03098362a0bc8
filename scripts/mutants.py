#!/usr/bin/env python3
"""Measures how many small faults the test suite catches (a mutation score).

Each mutant is one small edit of product code: a comparison flipped, a
condition negated, an integer constant moved by one, a call statement
deleted, or two neighbouring arguments of a call swapped. Mutants are drawn
with a fixed seed, each is built incrementally and the suite run against it;
a mutant that fails to compile is replaced by the next one drawn.

A mutant is kept as text (file, the line's text, which occurrence of that
line, the edit), not as a line number, so the same list can be measured again
after code has moved: `--save` writes the list after a run, `--load` measures
a saved list (a mutant whose line is found in another file of the same
folders is applied there). The list is written after every mutant, and
`--resume` goes on from it after an interruption.

    scripts/mutants.py --build build --count 60 --save mutants.json
    scripts/mutants.py --build build --load mutants.json

Not part of CI: it rebuilds and runs the suite once per mutant.
"""

import argparse
import json
import random
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("server", "client", "common")
SEED = 20261207

COMPARISONS = [("==", "!="), ("!=", "=="), ("<=", ">"), (">=", "<"), ("<", ">="), (">", "<=")]
# A comparison operator with spaces around it, so templates, streams and
# arrows are left alone.
COMPARISON_RE = re.compile(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)")
CONDITION_RE = re.compile(r"\b(if|while)\s*\((.*)\)\s*(\{?)\s*$")
NUMBER_RE = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
CALL_STATEMENT_RE = re.compile(r"^\s*[\w:.\->]+\s*\(.*\)\s*;\s*$")
SIMPLE_ARG = r"[A-Za-z_][\w.]*|-?\d+"
SWAP_RE = re.compile(r"\((\s*)(" + SIMPLE_ARG + r"),\s*(" + SIMPLE_ARG + r")(\s*[,)])")
SKIP_LINE_RE = re.compile(r"^\s*(#|//|\*|/\*)|static_assert|\breturn\s*;|\bthrow\b")


def sources():
    for folder in FOLDERS:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix in (".cpp", ".h") and path.is_file():
                yield path


STRING_RE = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'')


def outside_strings(regex, line):
    """Matches of regex that do not fall inside a string or character literal."""
    quoted = [m.span() for m in STRING_RE.finditer(line)]
    comment = line.find("//")
    while comment >= 0 and any(a <= comment < b for a, b in quoted):
        comment = line.find("//", comment + 1)
    if comment >= 0:
        quoted.append((comment, len(line)))
    for m in regex.finditer(line):
        if not any(a <= m.start() < b for a, b in quoted):
            yield m


def edits_of(line):
    """Every (operator, new line) that one mutation of this line can give."""
    if SKIP_LINE_RE.search(line):
        return []
    found = []
    for m in outside_strings(COMPARISON_RE, line):
        new = dict(COMPARISONS)[m.group(1)]
        found.append(("comparison", line[: m.start()] + new + line[m.end() :]))
    m = CONDITION_RE.search(line)
    if m:
        found.append(("negation", line[: m.start(2)] + "!(" + m.group(2) + ")" + line[m.end(2) :]))
    for m in outside_strings(NUMBER_RE, line):
        found.append(("constant", line[: m.start()] + str(int(m.group(1)) + 1) + line[m.end() :]))
    if CALL_STATEMENT_RE.match(line) and "return" not in line:
        indent = line[: len(line) - len(line.lstrip())]
        found.append(("deletion", indent + ";\n"))
    for m in outside_strings(SWAP_RE, line):
        a, b = m.group(2), m.group(3)
        if a != b and (a.lstrip("-").isdigit() == b.lstrip("-").isdigit()):
            swapped = "(" + m.group(1) + b + ", " + a + m.group(4)
            found.append(("swap", line[: m.start()] + swapped + line[m.end() :]))
    return found


def candidates():
    """Every possible mutant, as a dict that names it by text."""
    result = []
    for path in sources():
        seen = {}
        for line in path.read_text(errors="replace").splitlines(keepends=True):
            occurrence = seen.get(line, 0)
            seen[line] = occurrence + 1
            for op, new in edits_of(line):
                result.append(
                    {"file": str(path.relative_to(ROOT)), "line": line, "occurrence": occurrence,
                     "operator": op, "new": new})
    return result


def locate(mutant):
    """The file and line index where the mutant's line stands now, or None."""
    preferred = ROOT / mutant["file"]
    paths = [preferred] if preferred.exists() else []
    paths += [p for p in sources() if p != preferred]
    for path in paths:
        lines = path.read_text(errors="replace").splitlines(keepends=True)
        hits = [i for i, l in enumerate(lines) if l == mutant["line"]]
        if hits:
            return path, lines, hits[min(mutant["occurrence"], len(hits) - 1)]
    return None


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, shell=True, cwd=ROOT, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def measure(mutant, args):
    """'killed', 'survived', 'uncompilable' or 'missing'."""
    where = locate(mutant)
    if not where:
        return "missing"
    path, lines, index = where
    original = path.read_text(errors="replace")
    lines[index] = mutant["new"]
    path.write_text("".join(lines))
    try:
        if run(f"cmake --build {args.build} -j{args.jobs}", args.build_timeout) != 0:
            return "uncompilable"
        outcome = run(args.test.format(build=args.build), args.test_timeout)
        return "survived" if outcome == 0 else "killed"
    finally:
        path.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="a configured build folder")
    parser.add_argument("--count", type=int, default=60, help="mutants that compile")
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--load", help="measure the mutants listed in this file")
    parser.add_argument("--save", help="write the measured mutants and outcomes here")
    parser.add_argument("--resume", action="store_true",
                        help="keep the outcomes already in --save and go on from there")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--test", default="cd {build} && QT_QPA_PLATFORM=offscreen "
                        "ctest -j2 --timeout 300 -LE package --stop-on-failure",
                        help="the suite; {build} is replaced; exit 0 means the mutant survived")
    parser.add_argument("--build-timeout", type=int, default=900)
    parser.add_argument("--test-timeout", type=int, default=1800)
    args = parser.parse_args()

    if run(f"cmake --build {args.build} -j{args.jobs}", args.build_timeout) != 0:
        sys.exit("the unmutated tree does not build")
    if args.load:
        pool = json.loads(Path(args.load).read_text())
        wanted = len(pool)
    else:
        pool = candidates()
        random.Random(args.seed).shuffle(pool)
        wanted = args.count

    def key(m):
        return (m["file"], m["line"], m["occurrence"], m["operator"], m["new"])

    measured, tally = [], {}
    if args.resume and args.save and Path(args.save).exists():
        measured = json.loads(Path(args.save).read_text())
        for m in measured:
            tally[m["outcome"]] = tally.get(m["outcome"], 0) + 1
    done = {key(m) for m in measured}
    for mutant in pool:
        if key(mutant) in done:
            continue
        if not args.load and sum(tally.get(k, 0) for k in ("killed", "survived")) >= wanted:
            break
        started = time.monotonic()
        outcome = measure(mutant, args)
        tally[outcome] = tally.get(outcome, 0) + 1
        if outcome in ("killed", "survived") or args.load:
            measured.append(dict(mutant, outcome=outcome))
            if args.save:
                Path(args.save).write_text(json.dumps(measured, indent=1))
        print(f"{outcome:12} {time.monotonic() - started:6.0f}s  {mutant['file']}: "
              f"{mutant['operator']}: {mutant['line'].strip()}  =>  {mutant['new'].strip()}",
              flush=True)

    killed, survived = tally.get("killed", 0), tally.get("survived", 0)
    score = 100.0 * killed / max(1, killed + survived)
    print(f"\nscore: {score:.1f} % ({killed} killed, {survived} survived, "
          f"{tally.get('uncompilable', 0)} did not compile, {tally.get('missing', 0)} not found)")


if __name__ == "__main__":
    main()
