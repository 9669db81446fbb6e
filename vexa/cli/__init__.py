"""The `vexa` command: run a formula over price data, check one, list the functions.

    vexa run FORMULA [--data FILE] [--by COLUMN] [--time COLUMN] [--time-format FORMAT]
             [--column FIELD=COLUMN ...] [--fill ffill] [-p NAME=VALUE ...] [--out FILE]
             [--chart FILE] [--encoding NAME]
    vexa screen FORMULA [--data FILE] [--by COLUMN] [--when NAME | --all] [--date D]
                [--sort NAME] [--asc] [--top K] [-p NAME=VALUE ...] [--out FILE]
    vexa check FORMULA [-p NAME=VALUE ...] [--encoding NAME]
    vexa functions [NAME]

Exit status: 0 done, 1 bad data (a missing column, an unreadable file), 2 a bad formula
or a usage error. Messages go to standard error, never as a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys

from ..formula import DataError, FormulaError
from ..formula.errors import command_line
from . import describe, options, run, screen
from .common import EXIT_DATA, EXIT_USAGE, Failure, say

__all__ = ["main"]


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        with command_line():
            return args.handler(args) or 0
    except Failure as e:
        say(f"vexa: error: {e}")
        return e.status
    except FormulaError as e:
        say(f"vexa: error: {e}")
        return EXIT_USAGE
    except DataError as e:
        say(f"vexa: error: {e}")
        return EXIT_DATA
    except KeyboardInterrupt:
        say("vexa: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (vexa functions | head): nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


def _parser():
    p = argparse.ArgumentParser(
        prog="vexa",
        description="Formulas of the stock-chart formula language over price data.",
    )
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    cmd = sub.add_parser("run", help="evaluate a formula over price data")
    cmd.add_argument("formula", metavar="FORMULA", help="a formula file, or the formula's text")
    cmd.add_argument("--data", metavar="FILE", help="CSV or Parquet data (default: the sample)")
    cmd.add_argument("--by", metavar="COLUMN", help="the symbol column of a long table")
    options.add_reading(
        cmd,
        "forward-fill missing values of the price fields before evaluation "
        "(default: evaluate them as missing, with a warning)",
    )
    options.add_formula(cmd)
    cmd.add_argument("--out", metavar="FILE", help="write the results (.csv or .parquet)")
    cmd.add_argument("--chart", metavar="FILE", help="draw one symbol (.png or .html)")
    cmd.add_argument("--symbol", help="the symbol to draw (default: the first)")
    cmd.add_argument(
        "--last", type=int, default=250, metavar="N", help="bars shown in a PNG (default 250)"
    )
    cmd.add_argument(
        "--rows",
        type=options.positive,
        default=10,
        metavar="N",
        help="symbols (or bars of one symbol) printed (default 10)",
    )
    # On a Dask cluster (the dask extra; vexa/dask/command.py).
    options.add_cluster(cmd, "--data is then a Parquet folder or glob and --out a folder")
    cmd.set_defaults(handler=run.run)

    screen.add_parser(sub)

    cmd = sub.add_parser("check", help="compile a formula and describe it")
    cmd.add_argument("formula", metavar="FORMULA", help="a formula file, or the formula's text")
    options.add_formula(cmd)
    cmd.set_defaults(handler=describe.check)

    cmd = sub.add_parser("functions", help="list the functions, or describe one")
    cmd.add_argument("name", nargs="?", metavar="NAME")
    cmd.set_defaults(handler=describe.functions)
    return p
