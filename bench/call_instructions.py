"""Instructions per call of vexa._vexa at n = 10, counted by callgrind.

    python3 bench/call_instructions.py [--functions MA,BARSLAST] [--calls 100000]
                                       [--repeat 5] [PYTHON ...]

Each function runs in two child interpreters under `valgrind --tool=callgrind`, one
making `calls` calls and one making twice as many; the difference of the two totals
divided by `calls` is the cost of one call (start-up and import cancel out). Counts of
instructions do not depend on the machine's load, but they still vary by about one
percent from run to run (addresses differ between processes), so every pair is repeated
and the median is reported with the range. Each PYTHON is an interpreter with vexa
installed (default: this one); several are measured side by side, each against the
first (before and after a change, say). Run it outside the source tree's root so that
the installed package is imported.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

CHILD = """
import numpy as np
import vexa._vexa as vx
from vexa.table import BY_NAME
f = BY_NAME[{name!r}]
n = 10
args = []
for p in f.params:
    if p.kind == "int":
        args.append(5)
    elif p.kind == "cond":
        args.append(np.arange(n) % 3 == 0)
    elif p.kind == "periods":
        args.append(np.full(n, 5.0))
    else:
        args.append(np.arange(1.0, n + 1.0))
fn = getattr(vx, {name!r})
for _ in range({calls}):
    fn(*args)
"""


def instructions(python, name, calls):
    with tempfile.TemporaryDirectory() as tmp:
        proc = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={tmp}/out",
                python,
                "-c",
                CHILD.format(name=name, calls=calls),
            ],
            capture_output=True,
            text=True,
            cwd=tmp,
            check=True,
            # A fixed hash seed: string hashes, and so dict probes, alike in every run.
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
    m = re.search(r"Collected : (\d+)", proc.stderr)
    if m is None:
        raise RuntimeError(proc.stderr[-2000:])
    return int(m.group(1))


def per_call(python, name, calls):
    return (instructions(python, name, 2 * calls) - instructions(python, name, calls)) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pythons", nargs="*", metavar="PYTHON", default=[sys.executable])
    parser.add_argument("--functions", default="MA,SMA,BARSLAST,FIF")
    parser.add_argument("--calls", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=5)
    opts = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed")
    print(f"n = 10, {opts.calls} calls, median of {opts.repeat} pairs [range]")
    for i, python in enumerate(opts.pythons):
        version = subprocess.run(
            [
                python,
                "-c",
                "import sys, vexa._vexa as v; print(sys.version.split()[0], v.__file__)",
            ],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        print(f"  [{i}] {python}: CPython {version}")
    for name in opts.functions.split(","):
        # The interpreters alternate within each repetition, so that they share any drift.
        counts = [[] for _ in opts.pythons]
        for _ in range(opts.repeat):
            for i, python in enumerate(opts.pythons):
                counts[i].append(per_call(python, name, opts.calls))
        first = statistics.median(counts[0])
        for i, c in enumerate(counts):
            med = statistics.median(c)
            print(
                f"{name:10s} [{i}] {med:8.1f} instructions per call "
                f"[{min(c):.0f} .. {max(c):.0f}]  {med / first:6.3f} of [0]"
            )


if __name__ == "__main__":
    main()
