#!/usr/bin/env python3
"""Mutation campaign over the driver's and the library's shared-state code.

Each mutant (a section of one of the *.ini files beside this script) is one small textual
change to one line of driver/, library/ or shared/: its `from` text must occur exactly once
in its file, or `nth` names the occurrence. The campaign copies the working tree to a
scratch folder, builds it, checks that every guarding test passes there, then for each
mutant: applies it, rebuilds the programs its guarding tests live in, runs those tests
(stopping at the first failure), and puts the file back. A mutant is killed when one of its guarding tests fails.

Keys of a mutant:
    file     the file changed, relative to the tree
    from     the text replaced (one occurrence in the file)
    to       what replaces it
    guards   the behaviour the mutant breaks, in a few words
    nth      optional: when `from` occurs several times, which occurrence (1 = first)
    tests    ctest regular expression naming the guarding tests (kept narrow: they are
             the tests that must fail; a parameterised test's name ends in
             "  # GetParam() = ...", so anchor such a name with "  #", not "$")
    sanitize optional: "thread" runs the guarding tests in a ThreadSanitizer build, for
             a mutant whose only symptom is the data race itself

    tests/mutants/run_mutants.py [--work DIR] [--only NAME,...] [--list]

Exit status: 0 every mutant killed, 1 a mutant survived, was stale or did not compile.
"""

from __future__ import annotations

import argparse
import configparser
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
COMPONENTS = "platform;sim;driver;library;tests"
KEYS = {"file", "from", "to", "guards", "tests"}
JOBS = str(os.cpu_count() or 2)


def run(command: list[str], log: Path) -> int:
    """Runs a command with its output appended to `log`; its exit status."""
    with open(log, "a") as out:
        return subprocess.call(command, stdout=out, stderr=subprocess.STDOUT)


def load_mutants() -> list[dict]:
    """Every mutant of every *.ini beside this script, in file order."""
    mutants, seen = [], set()
    for path in sorted(HERE.glob("*.ini")):
        parser = configparser.RawConfigParser()
        parser.optionxform = str
        parser.read(path)
        for name in parser.sections():
            entry = dict(parser[name])
            missing = KEYS - entry.keys()
            unknown = entry.keys() - KEYS - {"sanitize", "nth"}
            if missing or unknown:
                sys.exit(f"{path.name} [{name}]: missing {sorted(missing)}, unknown {sorted(unknown)}")
            if name in seen:
                sys.exit(f"{path.name} [{name}]: a mutant of that name exists already")
            seen.add(name)
            entry.update(name=name, list=path.stem)
            mutants.append(entry)
    return mutants


class Campaign:
    """One scratch build (plain or sanitized) of the copied tree."""

    def __init__(self, work: Path, sanitize: str):
        suffix = "-" + sanitize if sanitize else ""
        self.tree = work / "tree"
        self.build = work / ("build" + suffix)
        self.log = work / ("campaign" + suffix + ".log")
        self.sanitize = sanitize
        self.programs: dict[str, set[str]] = {}

    def prepare(self) -> None:
        """Configures the scratch build (the tree is copied once, fresh, by main)."""
        configure = ["cmake", "-S", str(self.tree), "-B", str(self.build), "-G", "Ninja",
                     f"-DTQ_COMPONENTS={COMPONENTS}"]
        if shutil.which("ccache"):
            configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        if self.sanitize:
            configure += [f"-DTQ_SANITIZE={self.sanitize}", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
        if run(configure, self.log) != 0 or run(["cmake", "--build", str(self.build), "-j", JOBS], self.log) != 0:
            sys.exit(f"building {self.build} failed; see {self.log}")

    def programs_for(self, tests: str) -> set[str]:
        """The programs (build outputs) that the tests matching `tests` run."""
        if tests not in self.programs:
            listing = subprocess.run(["ctest", "--test-dir", str(self.build), "--show-only=json-v1",
                                      "-R", tests], capture_output=True, text=True, check=True)
            found = json.loads(listing.stdout).get("tests", [])
            if not found:
                sys.exit(f"no test matches '{tests}' in {self.build}")
            build = str(self.build.resolve()) + os.sep
            self.programs[tests] = {os.path.relpath(t["command"][0], self.build) for t in found
                                    if t.get("command") and t["command"][0].startswith(build)}
        return self.programs[tests]

    def first_failure(self, tests: str) -> str | None:
        """Builds and runs the tests matching `tests`, stopping at the first failure; the
        name of the test that failed, or None when all passed."""
        targets = sorted(self.programs_for(tests))
        if run(["cmake", "--build", str(self.build), "-j", JOBS, "--target", *targets], self.log) != 0:
            return "(does not compile)"
        env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1")
        result = subprocess.run(["ctest", "--test-dir", str(self.build), "-j", JOBS,
                                 "--stop-on-failure", "--timeout", "300", "-R", tests],
                                capture_output=True, text=True, env=env)
        with open(self.log, "a") as out:
            out.write(result.stdout + result.stderr)
        if result.returncode == 0:
            return None
        failed = re.findall(r"^\s*\d+ - (\S+)", result.stdout, re.MULTILINE)
        return failed[0] if failed else "(ctest: " + (result.stdout.strip().splitlines() or ["?"])[-1] + ")"

    def try_mutant(self, mutant: dict) -> tuple[str, str]:
        """(outcome, detail), outcome one of killed, survived, stale, stillborn."""
        path = self.tree / mutant["file"]
        original = path.read_text()
        count = original.count(mutant["from"])
        nth = int(mutant.get("nth", "0"))
        if (count != 1 and not nth) or (nth and not 1 <= nth <= count):
            return "stale", f"'from' occurs {count} times in {mutant['file']}"
        at = -1
        for _ in range(max(nth, 1)):
            at = original.index(mutant["from"], at + 1)
        with open(self.log, "a") as out:
            out.write(f"\n==== mutant {mutant['name']}\n")
        path.write_text(original[:at] + mutant["to"] + original[at + len(mutant["from"]):])
        try:
            failed = self.first_failure(mutant["tests"])
        finally:
            path.write_text(original)
            os.utime(path)  # the next build must see the file as changed again
        if failed == "(does not compile)":
            return "stillborn", "does not compile"
        return ("killed", failed) if failed else ("survived", "")


def copy_tree(tree: Path) -> None:
    """A fresh copy of the working tree (tracked and untracked files, not ignored ones)."""
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=REPO,
                           capture_output=True, check=True).stdout.split(b"\0")
    for name in filter(None, files):
        source = REPO / name.decode()
        if source.is_file() and not name.decode().startswith("tests/mutants/"):
            target = tree / name.decode()
            target.parent.mkdir(parents=True, exist_ok=True)
            if not target.exists() or target.read_bytes() != source.read_bytes():
                shutil.copy(source, target)  # a new time, so the scratch build sees the change


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", type=Path, default=REPO / "build-mutants")
    parser.add_argument("--only", help="comma-separated mutant names (or ini file stems)")
    parser.add_argument("--list", action="store_true", help="list the mutants and exit")
    args = parser.parse_args()

    mutants = load_mutants()
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m["name"] in wanted or m["list"] in wanted]
    if args.list:
        for m in mutants:
            print(f"{m['name']:44} {m['file']:30} {m['guards']}")
        print(f"{len(mutants)} mutants")
        return 0

    started = time.monotonic()
    args.work.mkdir(parents=True, exist_ok=True)
    copy_tree(args.work / "tree")
    campaigns: dict[str, Campaign] = {}
    for sanitize in sorted({m.get("sanitize", "") for m in mutants}):
        campaign = campaigns[sanitize] = Campaign(args.work, sanitize)
        campaign.prepare()
        # Joined bare: ctest's regular expressions allow only a few groups.
        guarding = "|".join(m["tests"] for m in mutants if m.get("sanitize", "") == sanitize)
        failed = campaign.first_failure(guarding)
        if failed:
            sys.exit(f"the unmutated tree fails {failed} in {campaign.build}; see {campaign.log}")

    results = []
    for mutant in mutants:
        began = time.monotonic()
        outcome, detail = campaigns[mutant.get("sanitize", "")].try_mutant(mutant)
        seconds = time.monotonic() - began
        results.append((mutant["name"], outcome, detail, seconds))
        print(f"{mutant['name']:44} {outcome:9} {seconds:6.1f} s  {detail}", flush=True)

    killed = sum(1 for r in results if r[1] == "killed")
    minutes = (time.monotonic() - started) / 60
    summary = f"{len(results)} mutants, {killed} killed, {len(results) - killed} not killed, {minutes:.1f} min"
    print(summary)
    (args.work / "report.txt").write_text(
        "".join(f"{n}\t{o}\t{d}\t{t:.1f}\n" for n, o, d, t in results) + summary + "\n")
    return 0 if killed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
