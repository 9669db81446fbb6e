"""`vexa run FORMULA`: a formula over price data (the sample without --data), the latest
values printed or all of them written, and one symbol drawn."""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

from ..formula import MissingDataWarning
from ..formula.columns import field_mapping
from ..formula.errors import quote
from .common import EXIT_DATA, EXIT_USAGE, Failure, print_frame, say
from .files import check_out, inputs, read_data, wanted_columns, write
from .formulas import load_formula, warn_lookahead

PROGRESS_FROM = 50  # symbols: below this no progress bar


def column_items(items):
    """{field: column} of the --column FIELD=COLUMN arguments."""
    mapping = {}
    for item in items:
        field, sep, column = item.partition("=")
        if not sep or not field.strip() or not column:
            raise Failure(
                f"--column {quote(item)}: write FIELD=COLUMN (CLOSE=adj_close)", EXIT_USAGE
            )
        mapping[field.strip()] = column
    try:
        return field_mapping(mapping)
    except ValueError as e:
        raise Failure(str(e).replace("columns=", "--column"), EXIT_USAGE) from None


def check_chart(path):
    suffix = Path(path).suffix.lower()
    if suffix not in (".png", ".html", ".htm"):
        raise Failure(f"--chart {quote(path)}: draw a .png or .html file", EXIT_USAGE)
    folder = Path(path).resolve().parent
    if not folder.is_dir():
        raise Failure(f"--chart {quote(path)}: no folder {quote(str(folder))}", EXIT_USAGE)


def on_cluster(module, name):
    """vexa.dask.MODULE.NAME, the command's run on a Dask cluster (the dask extra)."""
    import importlib

    try:
        return getattr(importlib.import_module(f"..dask.{module}", __package__), name)
    except ImportError as e:
        raise Failure(
            f'--scheduler needs the dask extra: pip install "vexa[dask]" ({e})', EXIT_USAGE
        ) from None


def run(args):
    formula, values, label = load_formula(args.formula, args.param, args.encoding, complete=True)
    columns = column_items(args.column)
    warn_lookahead(formula, values)
    for note in formula.notes:
        say(f"vexa: note: {note}")
    if args.chart:
        check_chart(args.chart)
    if args.scheduler is not None:
        return on_cluster("command", "run_on_cluster")(args, formula, values, columns)
    if args.partitions is not None:
        raise Failure("--partitions goes with --scheduler", EXIT_USAGE)
    if args.out:
        check_out(args.out, inputs(args.data))
    if args.data is None:
        from ..data import sample

        data, by = sample(), args.by or "symbol"
        source = "the sample"
    else:
        wanted = wanted_columns(formula.inputs, columns, args.by, args.time, bool(args.chart))
        data, by = read_data(args.data, args.by, wanted), args.by
        source = args.data
    progress = progress_bar() if by is not None and by in data.columns else None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the notes are said below, once
            result, table, notes = formula._apply(
                data,
                by,
                args.time,
                args.time_format,
                columns,
                args.fill,
                progress,
                values,
                {},
            )
    finally:
        if progress is not None:
            progress.close()
    for category, message in notes:
        kind = "warning" if category is MissingDataWarning else "note"
        say(f"vexa: {kind}: {message}")
    if table.by is None and table.time is not None and table.time not in result.columns:
        result.insert(0, table.time, data[table.time].to_numpy())
    if args.out:
        write(result, args.out)
        say(f"vexa: {len(result):,} rows of {len(formula.outputs)} outputs to {args.out}")
    else:
        print_latest(result, table, args.rows)
    if args.chart:
        draw_chart(formula, values, data, table.by, args, label, source, columns)
    return 0


class _Progress:
    """tqdm's bar when it is installed, else a line on standard error; shown from the
    first call on a table of PROGRESS_FROM symbols or more."""

    def __init__(self):
        self.bar = self.total = None
        self.done = 0

    def __call__(self, done, total):
        if self.total is None:
            self.total = total
            if total >= PROGRESS_FROM:
                try:
                    from tqdm import tqdm

                    self.bar = tqdm(total=total, unit="symbol", file=sys.stderr, leave=False)
                except ImportError:
                    self.bar = False
        if self.total < PROGRESS_FROM:
            return
        if self.bar:
            self.bar.update(done - self.done)
        else:
            print(f"\r{done}/{total} symbols", end="", file=sys.stderr, flush=True)
        self.done = done

    def close(self):
        if self.bar:
            self.bar.close()
        elif self.done:
            print(file=sys.stderr)


def progress_bar(total=None):
    """The bar of a run over a table's symbols; it takes the run's own count of them at
    its first step (a count the caller made, `total`, is not needed)."""
    return _Progress()


def print_latest(result, table, rows):
    """The latest bar of each of the first `rows` symbols, or the latest `rows` bars of
    one symbol, in time order (not the file's order)."""
    if table.by is not None:
        shown = result.iloc[table.latest()].sort_values(table.by, kind="stable")
        total = len(shown)
        shown = shown.head(rows)
        title = "the latest bar of each symbol"
        if total > rows:
            title += f" (the first {rows} of {total:,} symbols)"
    else:
        shown = result.iloc[table.order[-rows:]]
        title = f"the latest {len(shown)} of {len(result):,} bars"
    print_frame(shown, title)


def draw_chart(formula, values, data, by, args, label, source, columns):
    try:
        from ..chart import MissingGlyphWarning, draw
    except ImportError as e:
        raise Failure(
            f'charts need the chart extra: pip install "vexa[chart]" ({e})', EXIT_DATA
        ) from None
    # The symbol drawn is evaluated again: what that says about the data, the run has said.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        chart = formula.chart(
            data,
            args.symbol,
            by=by,
            time=args.time,
            time_format=args.time_format,
            columns=columns,
            last=args.last,
            title=label,
            params=values,
        )
    shown = chart.symbol if chart.symbol is not None else source
    chart.title = f"{label} on {shown}"
    try:
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always", MissingGlyphWarning)
            path = draw(chart, args.chart)
    except ImportError as e:
        raise Failure(str(e), EXIT_DATA) from None
    except ValueError as e:
        raise Failure(str(e), EXIT_USAGE) from None
    for w in said:
        if issubclass(w.category, MissingGlyphWarning):
            say(f"vexa: warning: {w.message}")
        else:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    say(f"vexa: chart of {shown} in {path}")
