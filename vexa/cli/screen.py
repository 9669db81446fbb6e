"""`vexa screen FORMULA`: the symbols whose output --when is true at their latest bar (or
at --date), ranked by --sort, printed or written with --out; on a Dask cluster with
--scheduler.

    vexa screen FORMULA [--data FILE] [--by COLUMN] [--when NAME | --all] [--date D]
                [--sort NAME] [--asc] [--top K] [-p NAME=VALUE ...] [--out FILE]
"""

from __future__ import annotations

import warnings

from ..formula.screen import check_date, output_named, screen
from . import options
from .common import EXIT_USAGE, Failure, print_frame, say
from .files import check_out, inputs, read_data, write
from .formulas import load_formula
from .run import PROGRESS_FROM, column_items, on_cluster, progress_bar


def add_parser(sub):
    cmd = sub.add_parser(
        "screen",
        help="the symbols whose output is true at their latest bar, ranked",
        description="The symbols whose output --when (default BUY) is true at their "
        "latest bar, or at their bar at --date, with every output's value there, ranked "
        "by --sort.",
    )
    cmd.add_argument("formula", metavar="FORMULA", help="a formula file, or the formula's text")
    cmd.add_argument("--data", metavar="FILE", help="CSV or Parquet data (default: the sample)")
    cmd.add_argument(
        "--by",
        metavar="COLUMN",
        help="the symbol column (default: the one named symbol, code, ticker, ...)",
    )
    pick = cmd.add_mutually_exclusive_group()
    pick.add_argument("--when", metavar="NAME", help="the output that must be true (default: BUY)")
    pick.add_argument("--all", action="store_true", help="keep every symbol (a ranking)")
    cmd.add_argument(
        "--date",
        metavar="D",
        help="screen each symbol's bar at this time, written as the time column writes it "
        "(default: each symbol's latest bar)",
    )
    cmd.add_argument("--sort", metavar="NAME", help="the output the symbols are ranked by")
    cmd.add_argument("--asc", action="store_true", help="with --sort: smallest first")
    cmd.add_argument("--top", type=options.positive, metavar="K", help="keep the first K symbols")
    options.add_reading(cmd, "forward-fill missing values of the price fields before evaluation")
    options.add_formula(cmd)
    cmd.add_argument("--out", metavar="FILE", help="write the screen (.csv or .parquet)")
    cmd.add_argument(
        "--rows",
        type=options.positive,
        default=20,
        metavar="N",
        help="symbols printed (default 20)",
    )
    options.add_cluster(cmd, "--data is then a Parquet folder or glob")
    cmd.set_defaults(handler=run_screen)
    return cmd


def request(args, formula):
    """{when, sort, descending, top, date} of the arguments, checked against the formula
    before any data is read."""
    if args.asc and args.sort is None:
        raise Failure("--asc goes with --sort", EXIT_USAGE)
    when = None if args.all else (args.when if args.when is not None else "BUY")
    output_named(formula.outputs, when, "when")
    output_named(formula.outputs, args.sort, "sort")
    check_date(args.date)
    return {
        "when": when,
        "sort": args.sort,
        "descending": not args.asc,
        "top": args.top,
        "date": args.date,
    }


def run_screen(args):
    formula, values, _ = load_formula(args.formula, args.param, args.encoding, complete=True)
    columns = column_items(args.column)
    asked = request(args, formula)
    for a in formula.lookahead_with(**values):
        say(
            f"vexa: warning: {a}: its values at a bar change as later bars come, so a "
            "screen shows what was not known at that bar"
        )
    for note in formula.notes:
        say(f"vexa: note: {note}")
    if args.scheduler is not None:
        on = on_cluster("screen", "screen_on_cluster")
        result, notes = on(args, formula, values, columns, asked)
        return show(result, notes, formula, args, asked)
    if args.partitions is not None:
        raise Failure("--partitions goes with --scheduler", EXIT_USAGE)
    if args.out:
        check_out(args.out, inputs(args.data))
    if args.data is None:
        from ..data import sample

        data = sample()
    else:
        data = read_data(args.data, args.by)
    by = args.by if args.by is not None else "symbol"
    progress = None
    if by in data.columns:
        symbols = data[by].nunique()
        progress = progress_bar(symbols) if symbols >= PROGRESS_FROM else None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the notes are said below, once
            result, notes = screen(
                formula,
                data,
                by=by,
                time=args.time,
                time_format=args.time_format,
                columns=columns,
                fill=args.fill,
                progress=progress,
                params=values,
                overrides={},
                **asked,
            )
    finally:
        if progress is not None:
            progress.close()
    return show(result, notes, formula, args, asked)


def show(result, notes, formula, args, asked):
    """Says the notes, then writes the screen to --out or prints its first rows."""
    for category, message in notes:
        say(f"vexa: {'note' if category is None else 'warning'}: {message}")
    when, sort = asked["when"], asked["sort"]
    what = "symbols" if when is None else f"symbols where {when} is true"
    at = "their latest bar" if asked["date"] is None else f"{asked['date']}"
    title = f"{len(result):,} {what} at {at}"
    if sort is not None:
        title += f", by {sort} ({'smallest' if args.asc else 'largest'} first)"
    if args.out:
        write(result, args.out)
        say(f"vexa: {title} to {args.out}")
        return 0
    if len(result) > args.rows:
        title += f" (the first {args.rows})"
    if len(result):
        print_frame(result.head(args.rows), title)
    else:
        print(f"# {title}")
    return 0
