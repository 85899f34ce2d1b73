#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Runs the examples of one document in docs/ and compares what they print
with the output written in the document (see docs/contributing.md).

    run_examples.py --source TOP --build BUILD docs-file.md

Fenced blocks, by their info string:
  lua [5.1]      a Lua chunk, run by the build's Lua host with the build's
                 modules; prints must match the `output` block right after it
                 (no `output` block: it must print nothing)
  console [demo] a shell session in private namespaces, with the demo
                 running for "console demo": "$ " lines are commands (a
                 trailing "\\" continues one), the lines up to the next
                 command are what it prints
  sh             an init script for procd; start_service runs with stand-ins
                 of the procd helpers, which print what they are given
  c PATH         must be byte for byte the file PATH (relative to docs/)
  cmake PATH     must appear, as consecutive lines, in the file PATH
  output, text   not run (output is what the block before it prints)
In expected output "…" stands for any run of characters within one line.
The index (README.md) also checks that every document is linked from it and
from the top-level README.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

PLACEHOLDER = "\u2026"
KNOWN_KINDS = {"lua", "console", "sh", "c", "cmake", "output", "text"}
DEMO_READY = "The simulated power switch is up"
COMMAND_TIMEOUT = 60


class Block:
    def __init__(self, info, lines, line_no):
        words = info.split()
        self.kind = words[0] if words else ""
        self.args = words[1:]
        self.lines = lines
        self.line_no = line_no  # of the opening fence

    @property
    def text(self):
        return "".join(line + "\n" for line in self.lines)


def parse_blocks(path):
    """Fenced blocks and, for each, the block that follows it directly
    (only blank lines between)."""
    blocks, follows = [], []
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = 0
    last_end = None
    while i < len(lines):
        m = re.match(r"^(```+)(.*)$", lines[i])
        if not m:
            i += 1
            continue
        fence, info, start = m.group(1), m.group(2).strip(), i
        i += 1
        body = []
        while i < len(lines) and not re.match("^" + fence + r"\s*$", lines[i]):
            body.append(lines[i])
            i += 1
        if i == len(lines):
            raise SystemExit(f"{path}:{start + 1}: fence never closed")
        block = Block(info, body, start + 1)
        adjacent = last_end is not None and all(
            not lines[k].strip() for k in range(last_end + 1, start))
        follows.append(adjacent)
        blocks.append(block)
        last_end = i
        i += 1
    return blocks, follows


def line_matches(expected, actual):
    if PLACEHOLDER not in expected:
        return expected == actual
    parts = [re.escape(p) for p in expected.split(PLACEHOLDER)]
    return re.fullmatch(".*?".join(parts), actual) is not None


def trimmed(lines):
    lines = [line.rstrip() for line in lines]
    while lines and not lines[-1]:
        lines.pop()
    return lines


def compare(expected_lines, actual_text):
    """None when they agree, else a report of the first difference."""
    expected = trimmed(expected_lines)
    actual = trimmed(actual_text.split("\n"))
    for n in range(max(len(expected), len(actual))):
        e = expected[n] if n < len(expected) else None
        a = actual[n] if n < len(actual) else None
        if e is None or a is None or not line_matches(e, a):
            return (f"first difference at output line {n + 1}\n"
                    f"  expected: {e!r}\n  printed:  {a!r}\n"
                    "--- whole output printed ---\n" + "\n".join(actual))
    return None


class Runner:
    def __init__(self, args):
        self.source = os.path.abspath(args.source)
        self.build = os.path.abspath(args.build)
        self.docs = os.path.join(self.source, "docs")
        self.doc = os.path.join(self.docs, args.doc)
        self.failures = 0
        self.ran = 0
        self.work = None  # made inside the private /tmp
        self.demo = None
        self.demo_log = None
        self.show = args.show
        self.expect_all_fail = args.expect_all_fail

    def fail(self, block, message):
        self.failures += 1
        where = f"{os.path.relpath(self.doc, self.source)}:{block.line_no}"
        print(f"FAILED {where} ({block.kind} block)\n{message}\n", flush=True)

    def passed(self, block):
        self.ran += 1
        print(f"ok {os.path.basename(self.doc)}:{block.line_no} ({block.kind})", flush=True)

    # --- lua ---------------------------------------------------------------
    def run_lua(self, block, expected):
        version = "5.1" if block.args[:1] == ["5.1"] else "5.4"
        host = os.path.join(self.build, "bin", "doc_lua51" if version == "5.1" else "doc_lua54")
        modules = os.path.join(self.build, "lua", version)
        # errors name the chunk "example.lua", with line numbers of the block
        folder = os.path.join(self.work, f"lua-{block.line_no}")
        os.mkdir(folder)
        with open(os.path.join(folder, "example.lua"), "w", encoding="utf-8") as f:
            f.write(block.text)
        try:
            proc = subprocess.run([host, modules, "example.lua"], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=COMMAND_TIMEOUT, cwd=folder)
        except subprocess.TimeoutExpired:
            return self.fail(block, "did not end within the time limit")
        out = proc.stdout.decode("utf-8", "replace")
        if proc.returncode != 0:
            return self.fail(block, f"ended with status {proc.returncode}\n" +
                             proc.stderr.decode("utf-8", "replace") + out)
        diff = compare(expected.lines if expected else [], out)
        if diff:
            return self.fail(block, diff)
        self.passed(block)

    # --- c -----------------------------------------------------------------
    def check_c(self, block):
        if len(block.args) != 1:
            return self.fail(block, "a c block names the source file it shows: ```c examples/x.c")
        path = os.path.join(self.docs, block.args[0])
        try:
            with open(path, encoding="utf-8") as f:
                content = f.read()
        except OSError as e:
            return self.fail(block, f"cannot read {path}: {e}")
        if content != block.text:
            diff = compare(content.split("\n"), block.text)
            return self.fail(block, f"differs from {block.args[0]}: {diff}")
        self.passed(block)

    # --- excerpts ----------------------------------------------------------
    def check_excerpt(self, block):
        if len(block.args) != 1:
            return self.fail(block, "an excerpt names the file it comes from")
        try:
            with open(os.path.join(self.docs, block.args[0]), encoding="utf-8") as f:
                content = f.read()
        except OSError as e:
            return self.fail(block, f"cannot read {block.args[0]}: {e}")
        if block.text not in content:
            return self.fail(block, f"these lines are not in {block.args[0]}:\n{block.text}")
        self.passed(block)

    # --- init scripts ------------------------------------------------------
    def run_init_script(self, block, expected):
        if not block.lines or block.lines[0] != "#!/bin/sh /etc/rc.common":
            return self.fail(block, "an sh block is an init script starting with "
                             "'#!/bin/sh /etc/rc.common'")
        script = os.path.join(self.work, f"init-{block.line_no}")
        with open(script, "w", encoding="utf-8") as f:
            f.write(block.text)
        stubs = r"""
procd_open_instance() { echo "instance ${1:-}"; }
procd_set_param() { p=$1; shift; echo "$p: $*"; }
procd_close_instance() { echo "end"; }
procd_add_reload_trigger() { echo "reload trigger: $*"; }
. "$1"
[ "${USE_PROCD:-}" = 1 ] || { echo "USE_PROCD is not set" >&2; exit 1; }
start_service
"""
        proc = subprocess.run(["sh", "-c", stubs, "sh", script], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=COMMAND_TIMEOUT)
        out = proc.stdout.decode("utf-8", "replace")
        if proc.returncode != 0:
            return self.fail(block, f"start_service ended with status {proc.returncode}\n{out}")
        # the command must start a program this build makes
        for line in out.split("\n"):
            if line.startswith("command: "):
                words = [os.path.basename(w.strip("'\"")) for w in line.split()[1:]]
                if not any(os.access(os.path.join(self.build, "bin", w), os.X_OK)
                           for w in words if w):
                    return self.fail(block, "its command starts no program of this build")
        diff = compare(expected.lines if expected else [], out)
        if diff:
            return self.fail(block, diff)
        self.passed(block)

    # --- console sessions --------------------------------------------------
    def enter_namespaces(self):
        """Re-runs this script in private mount, network and pid namespaces:
        its own /tmp, bus socket folder and loopback, and every process it
        starts dies with it."""
        if os.environ.get("EO_DOCS_PRIVATE"):
            return
        if os.geteuid() != 0:
            raise SystemExit("the examples run as root, in private namespaces")
        env = dict(os.environ, EO_DOCS_PRIVATE="1")
        argv = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc",
                sys.executable] + sys.argv
        os.execvpe("unshare", argv, env)

    def prepare_namespace(self):
        # A source or build folder under /tmp stays visible: its top folder
        # under the covered /tmp is bound into the new one, reached through a
        # descriptor opened before the mount.
        tops = set()
        for path in (self.source, self.build):
            real = os.path.realpath(path)
            if real.startswith("/tmp/") and len(real) > 5:
                tops.add(real[5:].split("/")[0])
        old_tmp = os.open("/tmp", os.O_PATH | os.O_DIRECTORY)
        for cmd in (["mount", "--make-rprivate", "/"],
                    ["mount", "-t", "tmpfs", "tmpfs", "/tmp"]):
            subprocess.run(cmd, check=True)
        for top in sorted(tops):
            os.mkdir("/tmp/" + top)
            subprocess.run(["mount", "--no-canonicalize", "--rbind",
                            f"/proc/self/fd/{old_tmp}/{top}", "/tmp/" + top],
                           check=True, pass_fds=(old_tmp,))
        os.close(old_tmp)
        for cmd in (["mkdir", "-p", "/var/run/ubus"],
                    ["mount", "-t", "tmpfs", "tmpfs", "/var/run/ubus"],
                    ["ip", "link", "set", "lo", "up"]):
            subprocess.run(cmd, check=True)
        # writable layers over the system folders where sessions place
        # stand-ins (such as the NTP daemon); the machine's stay untouched
        for n, folder in enumerate(("/usr/sbin", "/usr/bin")):
            upper, work = f"/tmp/.layer{n}/upper", f"/tmp/.layer{n}/work"
            os.makedirs(upper)
            os.makedirs(work)
            subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                            f"lowerdir={folder},upperdir={upper},workdir={work}", folder],
                           check=True)
        self.work = tempfile.mkdtemp(prefix="docs-")

    def start_demo(self):
        self.demo_log = os.path.join(self.work, "demo.log")
        env = dict(os.environ, DEMO_IN_PRIVATE="1")
        log = open(self.demo_log, "w")
        self.demo = subprocess.Popen(
            [os.path.join(self.source, "scripts", "demo.sh"), "--private", "--build", self.build],
            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
        deadline = time.time() + 90
        while time.time() < deadline:
            with open(self.demo_log, encoding="utf-8", errors="replace") as f:
                if DEMO_READY in f.read():
                    return True
            if self.demo.poll() is not None:
                break
            time.sleep(0.2)
        with open(self.demo_log, encoding="utf-8", errors="replace") as f:
            print("the demo did not come up:\n" + f.read(), flush=True)
        return False

    def stop_demo(self):
        if not self.demo or self.demo.poll() is not None:
            return
        self.demo.send_signal(signal.SIGTERM)
        try:
            self.demo.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.demo.kill()

    @staticmethod
    def session_steps(block):
        """(command, expected lines) pairs of a console block."""
        steps, command, expected = [], None, []
        lines = iter(block.lines)
        for line in lines:
            if line.startswith("$ "):
                if command is not None:
                    steps.append((command, expected))
                command, expected = line[2:], []
                while command.endswith("\\"):  # bash joins the lines itself
                    command = command + "\n" + next(lines, "")
            elif command is None:
                if line.strip():
                    return None
            else:
                expected.append(line)
        if command is not None:
            steps.append((command, expected))
        return steps

    def run_console(self, block):
        steps = self.session_steps(block)
        if not steps:
            return self.fail(block, "a console block starts with a '$ ' command line")
        env = dict(os.environ)
        env.pop("EO_DOCS_PRIVATE", None)  # a runner started by a session isolates itself
        env["PATH"] = os.path.join(self.build, "bin") + ":" + env.get("PATH", "")
        for command, expected in steps:
            try:
                proc = subprocess.run(["bash", "-c", command], stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                      timeout=COMMAND_TIMEOUT, cwd=self.build, env=env)
                out = proc.stdout.decode("utf-8", "replace")
            except subprocess.TimeoutExpired:
                return self.fail(block, f"$ {command}\ndid not end within the time limit")
            if self.show:
                print(f"$ {command}\n{out}", end="", flush=True)
                continue
            diff = compare(expected, out)
            if diff:
                return self.fail(block, f"$ {command}\n{diff}")
        self.passed(block)

    # --- the index ---------------------------------------------------------
    def check_index(self):
        """Every document is linked from the index, the index from the
        top-level README, and every relative link in docs/ resolves."""
        problems = []
        with open(os.path.join(self.source, "README.md"), encoding="utf-8") as f:
            if "(docs/README.md)" not in f.read():
                problems.append("README.md does not link docs/README.md")
        with open(self.doc, encoding="utf-8") as f:
            index = f.read()
        for name in sorted(os.listdir(self.docs)):
            if name.endswith(".md") and name != "README.md" and f"({name})" not in index:
                problems.append(f"docs/README.md does not link {name}")
        for name in sorted(os.listdir(self.docs)):
            if not name.endswith(".md"):
                continue
            with open(os.path.join(self.docs, name), encoding="utf-8") as f:
                text = f.read()
            for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
                if re.match(r"^[a-z]+:", target):
                    continue
                if not os.path.exists(os.path.join(self.docs, target)):
                    problems.append(f"docs/{name} links {target}, which does not exist")
        if problems:
            self.failures += 1
            print("FAILED index\n  " + "\n  ".join(problems), flush=True)
        else:
            self.ran += 1
            print("ok index and links", flush=True)

    # --- the whole document ------------------------------------------------
    def run(self):
        blocks, follows = parse_blocks(self.doc)
        # every document runs in its own namespaces: examples may use fixed
        # ports and paths, and nothing they start outlives the run
        self.enter_namespaces()
        self.prepare_namespace()
        if any(b.kind == "console" and "demo" in b.args for b in blocks):
            if not self.start_demo():
                return 1
        try:
            for n, block in enumerate(blocks):
                after = blocks[n + 1] if n + 1 < len(blocks) and follows[n + 1] else None
                expected = after if after and after.kind == "output" else None
                if block.kind not in KNOWN_KINDS:
                    self.fail(block, f"unknown block kind {block.kind!r}: examples are "
                              "lua, console, sh or c, and text is for what is not run")
                elif block.kind == "lua":
                    self.run_lua(block, expected)
                elif block.kind == "c":
                    self.check_c(block)
                elif block.kind == "cmake":
                    self.check_excerpt(block)
                elif block.kind == "sh":
                    self.run_init_script(block, expected)
                elif block.kind == "console":
                    self.run_console(block)
                elif block.kind == "output" and not (n > 0 and follows[n] and
                                                     blocks[n - 1].kind in ("lua", "sh")):
                    self.fail(block, "an output block follows the lua or sh block it belongs to")
            if os.path.basename(self.doc) == "README.md":
                self.check_index()
        finally:
            self.stop_demo()
        print(f"{self.ran} passed, {self.failures} failed", flush=True)
        if self.expect_all_fail:
            # the runner's own test: every example is wrong and must be caught
            examples = sum(1 for b in blocks if b.kind not in ("output", "text"))
            return 0 if self.failures == examples and not self.ran else 1
        return 1 if self.failures or not self.ran else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--show", action="store_true",
                        help="print what each session command prints instead of comparing")
    parser.add_argument("--expect-all-fail", action="store_true",
                        help="succeed only when every example fails (the runner's own test)")
    parser.add_argument("doc", help="file name under docs/")
    return Runner(parser.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
