#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Lists the tests a ctest run skipped (from its --output-junit file) with
their reasons, and fails when one is not on the allow-list.

usage: check-skips.py JUNIT.xml ALLOWLIST [LABEL]
"""
import fnmatch
import re
import sys
import xml.etree.ElementTree as ET


def load_allowlist(path):
    entries = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            pattern, sep, reason = line.partition("|")
            if not sep:
                sys.exit(f"{path}: entry without a reason: {line}")
            entries.append((pattern.strip(), reason.strip()))
    return entries


def skip_reason(case):
    for tag in ("skipped", "disabled"):
        node = case.find(tag)
        if node is not None and node.get("message"):
            message = node.get("message")
            break
    else:
        message = ""
    out = case.findtext("system-out") or ""
    # gtest: "<file>:<line>: Skipped\n<message>\n"
    m = re.search(r": Skipped\n(.*)\n", out)
    if m and m.group(1).strip():
        return m.group(1).strip()
    return message or "(no reason given)"


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    junit, allow_path = sys.argv[1], sys.argv[2]
    label = sys.argv[3] if len(sys.argv) > 3 else junit
    allow = load_allowlist(allow_path)
    root = ET.parse(junit).getroot()
    skipped = []
    ran = 0
    for case in root.iter("testcase"):
        status = case.get("status", "run")
        if status in ("run", "fail"):
            ran += 1
            continue
        skipped.append((case.get("name"), skip_reason(case)))
    if ran == 0:
        print(f"{label}: no test ran")
        return 1
    bad = []
    print(f"{label}: {ran} tests ran, {len(skipped)} skipped")
    for name, reason in skipped:
        allowed = any(fnmatch.fnmatchcase(name, p) and r in reason for p, r in allow)
        print(f"  skipped{'' if allowed else ' (NOT ALLOWED)'}: {name}: {reason}")
        if not allowed:
            bad.append(name)
    if bad:
        print(f"{label}: {len(bad)} skipped test(s) not on {allow_path}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
