#!/usr/bin/env python3
"""Prints the failed tests of the last ctest run in a build tree that died
before any test code ran (no test of the framework started: the Wine
start-up crash), one per line; exits 1 if any other test failed."""
import pathlib
import re
import sys

tmp = pathlib.Path(sys.argv[1]) / "Testing" / "Temporary"
failed_log = tmp / "LastTestsFailed.log"
failed = [l.split(":", 1)[1].strip() for l in failed_log.read_text().splitlines() if ":" in l] \
    if failed_log.exists() else []
log = (tmp / "LastTest.log").read_text(errors="replace")
# Each test's section runs from its "Test: <name>" line to "<end of output>".
outputs = dict(re.findall(r'^\d+/\d+ Test: (.+?)\n(.*?)<end of output>', log, re.S | re.M))
other = False
for name in failed:
    if "[ RUN      ]" in outputs.get(name, "[ RUN      ]"):
        print(f"failed after its test code started, not retried: {name}", file=sys.stderr)
        other = True
    else:
        print(name)
sys.exit(1 if other else 0)
