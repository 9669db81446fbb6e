"""Command-line options that several commands share: how the data is read, the formula's
parameters, the Dask cluster, and positive counts."""

from __future__ import annotations

import argparse

from ..formula.errors import quote
from .formulas import ENCODING_HELP


def positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is less than 1")
    return value


def add_reading(cmd, fill_help):
    """--time, --time-format, --column and --fill: how the data's columns are read."""
    cmd.add_argument("--time", metavar="COLUMN", help="the time column (default: found by name)")
    cmd.add_argument(
        "--time-format",
        metavar="FORMAT",
        help="the form of text times that read two ways (strftime codes: %%d/%%m/%%Y), or "
        "the unit of epoch numbers (s, ms, us, ns)",
    )
    cmd.add_argument(
        "--column",
        action="append",
        default=[],
        metavar="FIELD=COLUMN",
        help="the column of a field, where the names do not say it: CLOSE=adj_close (repeatable)",
    )
    cmd.add_argument("--fill", choices=["ffill"], help=fill_help)


def add_formula(cmd):
    """-p NAME=VALUE and --encoding: the formula's parameters and its file's encoding."""
    cmd.add_argument(
        "-p",
        "--param",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="a parameter's value (repeatable)",
    )
    cmd.add_argument("--encoding", metavar="NAME", help=ENCODING_HELP)


def add_cluster(cmd, data_help):
    """--scheduler and --partitions: the run on a Dask cluster (the dask extra)."""
    cmd.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on a Dask cluster (its scheduler's address, or local[:N] for N worker "
        f"processes here); {data_help}",
    )
    cmd.add_argument(
        "--partitions", type=int, metavar="N", help="with --scheduler: partitions by symbol"
    )
