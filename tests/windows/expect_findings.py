#!/usr/bin/env python3
"""expect_findings.py EXPECTED COMMAND...: runs the command and passes when
it fails with exactly the lines of EXPECTED on its output, in any order."""

import subprocess
import sys

with open(sys.argv[1], encoding="utf-8") as f:
    expected = sorted(line.rstrip("\n") for line in f if line.strip())
run = subprocess.run(sys.argv[2:], capture_output=True, text=True)
actual = sorted(line.split(": ", 1)[-1] for line in run.stdout.splitlines())
if run.returncode == 0 or actual != expected:
    print(f"exit status {run.returncode}; findings:")
    print("\n".join(actual))
    print("expected:")
    print("\n".join(expected))
    sys.exit(1)
print(f"{len(actual)} findings, as expected")
