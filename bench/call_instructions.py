"""Instructions per call of the installed vexa._vexa at n = 10, counted by callgrind.

    python3 bench/call_instructions.py [--functions MA,BARSLAST] [--calls 100000]

Each function runs in two child interpreters under `valgrind --tool=callgrind`, one
making `calls` calls and one making twice as many; the difference of the two totals
divided by `calls` is the cost of one call (start-up and import cancel out). Counts of
instructions are repeatable on a shared machine, unlike times. Run it outside the source
tree's root so that the installed package is imported.
"""

import argparse
import os
import re
import shutil
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


def instructions(name, calls):
    with tempfile.TemporaryDirectory() as tmp:
        proc = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={tmp}/out",
                sys.executable,
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--functions", default="MA,SMA,BARSLAST,FIF")
    parser.add_argument("--calls", type=int, default=100000)
    opts = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed")
    print(f"CPython {sys.version.split()[0]}, n = 10, {opts.calls} calls")
    for name in opts.functions.split(","):
        once = instructions(name, opts.calls)
        twice = instructions(name, 2 * opts.calls)
        print(f"{name:10s} {(twice - once) / opts.calls:10.1f} instructions per call")


if __name__ == "__main__":
    main()
