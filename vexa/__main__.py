"""python -m vexa: the `vexa` command (vexa/cli/)."""

import sys

from vexa.cli import main

if __name__ == "__main__":
    sys.exit(main())
