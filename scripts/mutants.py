#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Plant one-line faults from scripts/mutants/<component>.txt one at a time,
rebuild incrementally, run the component's tests and report what they caught.

The format of the catalogues is in scripts/mutants/README.md.

The tree is always restored: the original bytes of the file under change are
kept in memory and in a journal in the build folder before the mutant is
written; a finally block writes them back (also on Ctrl-C, SIGTERM, a failed
build or an error in this script), and a later run restores from the journal
left by a run that was killed outright. After each mutant the script checks
with git that the tree is exactly as it found it.
"""

import argparse
import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CATALOGUES = os.path.join(TOP, "scripts", "mutants")
SEP_REPL = " => "
SEP_WHY = " ## "


class CatalogueError(Exception):
    pass


class Mutation:
    def __init__(self, component, ident, path, occurrence, original, replacement, kind, why,
                 where):
        self.component = component
        self.ident = ident
        self.path = path
        self.occurrence = occurrence
        self.original = original
        self.replacement = replacement
        self.kind = kind
        self.why = why
        self.where = where

    @property
    def unobservable(self):
        return self.kind == "unobservable"

    def apply_to(self, text):
        """Return text with this mutation applied; raise CatalogueError if the
        original text does not name exactly one place."""
        starts = []
        pos = text.find(self.original)
        while pos >= 0:
            starts.append(pos)
            pos = text.find(self.original, pos + 1)
        if not starts:
            raise CatalogueError("%s: %s: text not found: %r" %
                                 (self.where, self.path, self.original))
        if self.occurrence is None:
            if len(starts) != 1:
                raise CatalogueError("%s: %s: text occurs %d times, name one with @N: %r" %
                                     (self.where, self.path, len(starts), self.original))
            at = starts[0]
        else:
            if self.occurrence > len(starts):
                raise CatalogueError("%s: %s: occurrence %d asked, text occurs %d times" %
                                     (self.where, self.path, self.occurrence, len(starts)))
            at = starts[self.occurrence - 1]
        return text[:at] + self.replacement + text[at + len(self.original):]


class Catalogue:
    def __init__(self, name):
        self.name = name
        self.test = None
        self.exclude = None
        self.build = []
        self.timeout = None
        self.mutations = []


def parse_catalogue(path):
    name = os.path.splitext(os.path.basename(path))[0]
    cat = Catalogue(name)
    seen = set()
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            where = "%s:%d" % (os.path.relpath(path, TOP), lineno)
            line = raw.rstrip("\n")
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
            if stripped.startswith("@"):
                key, _, value = stripped[1:].partition(" ")
                value = value.strip()
                if key == "test":
                    cat.test = value
                elif key == "exclude":
                    cat.exclude = value
                elif key == "build":
                    cat.build.extend(value.split())
                elif key == "timeout":
                    cat.timeout = float(value)
                else:
                    raise CatalogueError("%s: unknown header @%s" % (where, key))
                continue
            m = re.match(r"(\S+)\s+(\S+?)(?:@(\d+))?\s+(.*)$", stripped)
            if not m:
                raise CatalogueError("%s: expected '<id> <path> <original> => <replacement> "
                                     "## <kind>: <why>'" % where)
            ident, fpath, occ, rest = m.group(1), m.group(2), m.group(3), m.group(4)
            if SEP_REPL not in rest and not rest.startswith("=> "):
                raise CatalogueError("%s: no ' => ' between original and replacement" % where)
            if rest.startswith("=> "):
                raise CatalogueError("%s: empty original text" % where)
            original, _, after = rest.partition(SEP_REPL)
            if SEP_WHY in after:
                replacement, _, comment = after.partition(SEP_WHY)
            elif after.startswith("## "):
                replacement, comment = "", after[3:]
            else:
                raise CatalogueError("%s: no ' ## <kind>: <why>' comment" % where)
            kind, colon, why = comment.partition(":")
            if not colon or not why.strip():
                raise CatalogueError("%s: comment must be '<kind>: <why>'" % where)
            if ident in seen:
                raise CatalogueError("%s: duplicate id %s" % (where, ident))
            seen.add(ident)
            cat.mutations.append(Mutation(name, ident, fpath, int(occ) if occ else None,
                                          original.strip(), replacement.strip(),
                                          kind.strip(), why.strip(), where))
    if not cat.test:
        raise CatalogueError("%s: no @test header" % os.path.relpath(path, TOP))
    return cat


def git(*args):
    return subprocess.run(["git", "-C", TOP] + list(args), check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout


def tree_state(paths):
    """What git sees of these files: their status and the hash of their
    changes against HEAD. Only the files a run mutates are compared, so that
    a maintainer may go on editing other files meanwhile."""
    if not paths:
        return b"", ""
    status = git("status", "--porcelain=v1", "--", *paths)
    diff = git("diff", "--binary", "HEAD", "--", *paths)
    return status, hashlib.sha256(diff).hexdigest()


class Journal:
    """Saved bytes of the file under change, on disk so that a run killed
    outright (SIGKILL, power loss) is restored by the next run."""

    def __init__(self, build):
        self.path = os.path.join(build, "mutants", "journal.json")

    def recover(self):
        if not os.path.exists(self.path):
            return
        with open(self.path, encoding="utf-8") as f:
            entry = json.load(f)
        target = os.path.join(TOP, entry["path"])
        data = bytes.fromhex(entry["bytes"])
        with open(target, "wb") as f:
            f.write(data)
        os.remove(self.path)
        print("restored %s from the journal of an interrupted run" % entry["path"])

    def save(self, relpath, data):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        tmp = self.path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"path": relpath, "bytes": data.hex()}, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, self.path)

    def clear(self):
        if os.path.exists(self.path):
            os.remove(self.path)


def run(cmd, timeout, log):
    """Run cmd in its own process group; return (exit status or None on
    timeout). Output goes to log."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        rc = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        rc = None
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    if rc is None:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    log.write(("\n-- %s: %s in %.1f s\n" % (" ".join(cmd), rc, time.monotonic() - start))
              .encode())
    log.flush()
    return rc


def build_cmd(args, cat):
    cmd = ["cmake", "--build", args.build, "-j", str(args.jobs)]
    if cat.build:
        cmd += ["--target"] + cat.build
    return cmd


def test_cmd(args, cat, timeout):
    cmd = ["ctest", "--test-dir", args.build, "-R", cat.test, "-j", str(args.jobs),
           "--output-on-failure", "--stop-on-failure", "--timeout", str(int(timeout))]
    if cat.exclude:
        cmd += ["-E", cat.exclude]
    return cmd


def check_tests_exist(args, cat):
    cmd = ["ctest", "--test-dir", args.build, "-N", "-R", cat.test]
    if cat.exclude:
        cmd += ["-E", cat.exclude]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True).stdout.decode()
    m = re.search(r"Total Tests: (\d+)", out)
    count = int(m.group(1)) if m else 0
    if count == 0:
        raise CatalogueError("%s: @test %r selects no test in %s" % (cat.name, cat.test,
                                                                     args.build))
    return count


def judge(args, cat, mutation, log):
    """Apply mutation, build, test, restore. Return the outcome."""
    target = os.path.join(TOP, mutation.path)
    with open(target, "rb") as f:
        saved = f.read()
    mutated = mutation.apply_to(saved.decode("utf-8")).encode("utf-8")
    journal = Journal(args.build)
    before = tree_state([mutation.path])
    journal.save(mutation.path, saved)
    try:
        with open(target, "wb") as f:
            f.write(mutated)
        log.write(("\n== %s %s: %r => %r\n" % (mutation.ident, mutation.path,
                                                mutation.original, mutation.replacement))
                  .encode())
        log.flush()
        if run(build_cmd(args, cat), args.build_timeout, log) != 0:
            return "killed (build)"
        limit = args.timeout or cat.timeout or 600
        mark = log.tell()
        rc = run(test_cmd(args, cat, limit), limit + 30, log)
        if rc is None:
            return "killed (timeout)"
        if rc != 0 and not_run(log, mark):
            raise NotRun("%s: a selected test was not built or could not start; add its "
                         "target to @build (see %s)" % (cat.name, log.name))
        return "survived" if rc == 0 else "killed"
    finally:
        with open(target, "wb") as f:
            f.write(saved)
        journal.clear()
        with open(target, "rb") as f:
            restored = f.read() == saved
        after = tree_state([mutation.path])
        if after != before or not restored:
            raise RuntimeError("the tree differs after restoring %s: %s" %
                               (mutation.path, after[0].decode()))


class NotRun(Exception):
    pass


def not_run(log, mark):
    """Whether ctest, in the output written to log since mark, found a
    selected test it could not run: that is no verdict on a mutant."""
    log.flush()
    with open(log.name, "rb") as f:
        f.seek(mark)
        text = f.read()
    return b"***Not Run" in text or b"_NOT_BUILT" in text


def baseline(args, cat, log):
    log.write(b"\n== baseline (unchanged tree)\n")
    if run(build_cmd(args, cat), args.build_timeout, log) != 0:
        return "the unchanged tree does not build"
    limit = args.timeout or cat.timeout or 600
    if run(test_cmd(args, cat, limit), limit + 30, log) != 0:
        return "the tests fail on the unchanged tree"
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("components", nargs="*",
                    help="catalogues to run (default: every scripts/mutants/*.txt)")
    ap.add_argument("--build", default=os.path.join(TOP, "build"),
                    help="configured build folder (default: build/)")
    ap.add_argument("--only", action="append", default=[],
                    help="run only the mutation with this id (may repeat)")
    ap.add_argument("--test", help="ctest regex instead of the catalogue's @test")
    ap.add_argument("--timeout", type=float,
                    help="per-mutant limit in seconds for the tests (default: @timeout or 600)")
    ap.add_argument("--build-timeout", type=float, default=1800,
                    help="limit in seconds for one rebuild (default 1800)")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="build and ctest jobs (default 2)")
    ap.add_argument("--list", action="store_true",
                    help="check the catalogues, list the mutations, change nothing")
    ap.add_argument("--no-baseline", action="store_true",
                    help="skip the run of the tests on the unchanged tree")
    ap.add_argument("--results", help="write the outcomes as JSON to this file")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)

    def on_term(signum, frame):
        raise KeyboardInterrupt()

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGHUP, on_term)

    names = args.components or sorted(
        os.path.splitext(n)[0] for n in os.listdir(CATALOGUES) if n.endswith(".txt"))
    try:
        cats = [parse_catalogue(os.path.join(CATALOGUES, n + ".txt")) for n in names]
    except (CatalogueError, OSError) as e:
        print("mutants: %s" % e, file=sys.stderr)
        return 2
    # Check every line against the tree before changing anything.
    errors = []
    for cat in cats:
        if args.test:
            cat.test = args.test
        for mutation in cat.mutations:
            try:
                with open(os.path.join(TOP, mutation.path), encoding="utf-8") as f:
                    text = f.read()
                if mutation.apply_to(text) == text:
                    raise CatalogueError("%s: the replacement equals the original" %
                                         mutation.where)
            except (CatalogueError, OSError) as e:
                errors.append(str(e))
    if errors:
        for e in errors:
            print("mutants: %s" % e, file=sys.stderr)
        return 2
    if args.list:
        for cat in cats:
            print("%s: %d mutations, tests %r" % (cat.name, len(cat.mutations), cat.test))
            for m in cat.mutations:
                print("  %-12s %-32s %s: %s" % (m.ident, m.path, m.kind, m.why))
        return 0
    if args.only:
        known = {m.ident for c in cats for m in c.mutations}
        unknown = [i for i in args.only if i not in known]
        if unknown:
            print("mutants: unknown id(s): %s" % " ".join(unknown), file=sys.stderr)
            return 2
        for cat in cats:
            cat.mutations = [m for m in cat.mutations if m.ident in args.only]
        cats = [c for c in cats if c.mutations]

    if not os.path.exists(os.path.join(args.build, "CMakeCache.txt")):
        print("mutants: %s is not a configured build folder" % args.build, file=sys.stderr)
        return 2
    journal = Journal(args.build)
    journal.recover()
    touched = sorted({m.path for c in cats for m in c.mutations})
    initial = tree_state(touched)
    os.makedirs(os.path.join(args.build, "mutants"), exist_ok=True)
    results = []
    summary = []
    status = 0
    try:
        for cat in cats:
            log_path = os.path.join(args.build, "mutants", cat.name + ".log")
            with open(log_path, "wb") as log:
                count = check_tests_exist(args, cat)
                print("== %s: %d mutations, %d tests (%s), log %s" %
                      (cat.name, len(cat.mutations), count, cat.test, log_path), flush=True)
                if not args.no_baseline:
                    problem = baseline(args, cat, log)
                    if problem:
                        print("%s: %s; see %s" % (cat.name, problem, log_path))
                        status = 1
                        continue
                outcomes = []
                for mutation in cat.mutations:
                    start = time.monotonic()
                    outcome = judge(args, cat, mutation, log)
                    took = time.monotonic() - start
                    outcomes.append((mutation, outcome))
                    results.append({"component": cat.name, "id": mutation.ident,
                                    "path": mutation.path, "kind": mutation.kind,
                                    "outcome": outcome, "seconds": round(took, 1)})
                    mark = " (marked unobservable)" if mutation.unobservable else ""
                    print("  %-12s %-17s %5.0f s  %s%s" % (mutation.ident, outcome, took,
                                                         mutation.path, mark), flush=True)
                summary.append((cat, outcomes))
    except NotRun as e:
        print("mutants: %s" % e, file=sys.stderr)
        status = 2
    except KeyboardInterrupt:
        print("\nmutants: interrupted; the tree is restored", file=sys.stderr)
        status = 130
    finally:
        journal.recover()
        if tree_state(touched) != initial:
            print("mutants: A MUTATED FILE DIFFERS FROM WHEN THIS RUN STARTED; check git status",
                  file=sys.stderr)
            status = 3

    for cat, outcomes in summary:
        observable = [(m, o) for m, o in outcomes if not m.unobservable]
        killed = [m for m, o in observable if o.startswith("killed")]
        by_build = [m for m, o in observable if o == "killed (build)"]
        by_timeout = [m for m, o in observable if o == "killed (timeout)"]
        survivors = [m for m, o in observable if o == "survived"]
        unobs = [(m, o) for m, o in outcomes if m.unobservable]
        rate = 100.0 * len(killed) / len(observable) if observable else 100.0
        print("\n%s: killed %d of %d (%.0f %%): %d by the tests, %d by the build, "
              "%d by timeout; %d unobservable" %
              (cat.name, len(killed), len(observable), rate,
               len(killed) - len(by_build) - len(by_timeout), len(by_build), len(by_timeout),
               len(unobs)))
        for m in survivors:
            print("  survivor %s %s: %r => %r (%s: %s)" %
                  (m.ident, m.path, m.original, m.replacement, m.kind, m.why))
        for m in by_build:
            print("  killed by the build %s %s: %r => %r" %
                  (m.ident, m.path, m.original, m.replacement))
        for m, o in unobs:
            if o != "survived":
                print("  marked unobservable but %s: %s %s" % (o, m.ident, m.path))
        if survivors:
            status = status or 1
    if args.results:
        with open(args.results, "w", encoding="utf-8") as f:
            json.dump(results, f, indent=1)
    if summary and status in (0, 1):
        print("\nrebuilding the unchanged tree", flush=True)
        with open(os.devnull, "wb") as null:
            for cat, _ in summary:
                run(build_cmd(args, cat), args.build_timeout, null)
    return status


if __name__ == "__main__":
    sys.exit(main())
