"""The `vexa` command: run a formula over price data, check one, list the functions.

    vexa run FORMULA [--data FILE] [--by COLUMN] [--time COLUMN] [--time-format FORMAT]
             [--column FIELD=COLUMN ...] [--fill ffill] [-p NAME=VALUE ...] [--out FILE]
             [--chart FILE] [--encoding NAME]
    vexa check FORMULA [-p NAME=VALUE ...] [--encoding NAME]
    vexa functions [NAME]

Exit status: 0 done, 1 bad data (a missing column, an unreadable file), 2 a bad formula
or a usage error. Messages go to standard error, never as a traceback.
"""

from __future__ import annotations

import argparse
import difflib
import gzip
import os
import sys
import warnings
from pathlib import Path

from .formula import DataError, Formula, FormulaError, MissingDataWarning
from .formula import catalogue as cat
from .formula.chains import SERIES_PERIODS
from .formula.columns import field_mapping
from .formula.errors import command_line, quote
from .formula.fields import is_symbol_name
from .formula.func import CATEGORIES, KIND_LABELS
from .formula.lexer import decode, fold

EXIT_DATA, EXIT_USAGE = 1, 2
PROGRESS_FROM = 50  # symbols: below this no progress bar


class Failure(Exception):
    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        with command_line():
            return args.handler(args) or 0
    except Failure as e:
        _say(f"vexa: error: {e}")
        return e.status
    except FormulaError as e:
        _say(f"vexa: error: {e}")
        return EXIT_USAGE
    except DataError as e:
        _say(f"vexa: error: {e}")
        return EXIT_DATA
    except KeyboardInterrupt:
        _say("vexa: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (vexa functions | head): nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


def _say(text):
    print(text, file=sys.stderr)


def _parser():
    p = argparse.ArgumentParser(
        prog="vexa",
        description="Formulas of the stock-chart formula language over price data.",
    )
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = sub.add_parser("run", help="evaluate a formula over price data")
    run.add_argument("formula", metavar="FORMULA", help="a formula file, or the formula's text")
    run.add_argument("--data", metavar="FILE", help="CSV or Parquet data (default: the sample)")
    run.add_argument("--by", metavar="COLUMN", help="the symbol column of a long table")
    run.add_argument("--time", metavar="COLUMN", help="the time column (default: found by name)")
    run.add_argument(
        "--time-format",
        metavar="FORMAT",
        help="the form of text times that read two ways (strftime codes: %%d/%%m/%%Y), or "
        "the unit of epoch numbers (s, ms, us, ns)",
    )
    run.add_argument(
        "--column",
        action="append",
        default=[],
        metavar="FIELD=COLUMN",
        help="the column of a field, where the names do not say it: CLOSE=adj_close (repeatable)",
    )
    run.add_argument(
        "--fill",
        choices=["ffill"],
        help="forward-fill missing values of the price fields before evaluation "
        "(default: evaluate them as missing, with a warning)",
    )
    run.add_argument(
        "-p",
        "--param",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="a parameter's value (repeatable)",
    )
    run.add_argument("--encoding", metavar="NAME", help=_ENCODING_HELP)
    run.add_argument("--out", metavar="FILE", help="write the results (.csv or .parquet)")
    run.add_argument("--chart", metavar="FILE", help="draw one symbol (.png or .html)")
    run.add_argument("--symbol", help="the symbol to draw (default: the first)")
    run.add_argument(
        "--last", type=int, default=250, metavar="N", help="bars shown in a PNG (default 250)"
    )
    run.add_argument(
        "--rows",
        type=_positive,
        default=10,
        metavar="N",
        help="symbols (or bars of one symbol) printed (default 10)",
    )
    # On a Dask cluster (the dask extra; vexa/dask/command.py).
    run.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on a Dask cluster (its scheduler's address, or local[:N] for N worker "
        "processes here); --data is then a Parquet folder or glob and --out a folder",
    )
    run.add_argument(
        "--partitions", type=int, metavar="N", help="with --scheduler: partitions by symbol"
    )
    run.set_defaults(handler=_run)

    check = sub.add_parser("check", help="compile a formula and describe it")
    check.add_argument("formula", metavar="FORMULA", help="a formula file, or the formula's text")
    check.add_argument(
        "-p",
        "--param",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="a parameter's value (repeatable)",
    )
    check.add_argument("--encoding", metavar="NAME", help=_ENCODING_HELP)
    check.set_defaults(handler=_check)

    funcs = sub.add_parser("functions", help="list the functions, or describe one")
    funcs.add_argument("name", nargs="?", metavar="NAME")
    funcs.set_defaults(handler=_functions)
    return p


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{quote(text)} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is less than 1")
    return value


# ---- formula and parameters -------------------------------------------------------------


_ENCODING_HELP = (
    "the formula file's encoding (default: UTF-8 or UTF-16 by their byte-order mark, UTF-16 "
    "by its NUL bytes, else UTF-8, else GBK)"
)
# A FORMULA argument that names a file: one of these endings, or a path with no
# character a formula needs (';', ':', '(', ...).
_FORMULA_SUFFIXES = (".txt", ".tdx", ".fml")
_FORMULA_CHARACTERS = set(";:(),'\"{}=<>\n\t ")


def _looks_like_a_file(spec):
    if spec.lower().endswith(_FORMULA_SUFFIXES):
        return True
    seps = {"/", os.sep} | ({os.altsep} if os.altsep else set())
    return any(c in spec for c in seps) and not any(c in _FORMULA_CHARACTERS for c in spec)


def _load_formula(spec, params=(), encoding=None, complete=False):
    """(the compiled formula, {name: value} of the -p parameters, a label for messages)
    from FORMULA (a file or the text) and the -p items; with `complete`, every parameter
    must have a value."""
    path = Path(spec)
    label = "formula"
    try:
        is_file = len(spec) < 4096 and "\n" not in spec and path.is_file()
    except (OSError, ValueError):
        is_file = False
    if is_file:
        try:
            text = path.read_bytes()
        except OSError as e:
            raise Failure(f"cannot read {spec}: {e.strerror}", EXIT_USAGE) from None
        label = path.name
    elif _looks_like_a_file(spec):
        raise Failure(
            f"no formula file {_clip(spec, 300)} (a formula given as text needs a ';' or "
            "':', "
            "as in 'X:MA(C,5);')",
            EXIT_USAGE,
        )
    else:
        if encoding is not None:
            raise Failure("--encoding goes with a formula file", EXIT_USAGE)
        text = spec
    values = _param_items(params)
    try:
        formula = Formula(decode(text, encoding) if isinstance(text, bytes) else text)
    except FormulaError as e:
        raise Failure(f"{label}: {e}", EXIT_USAGE) from None
    # Values given with -p override the defaults; unknown names are refused.
    try:
        formula._param_values(values, complete=complete)
        formula.lookahead_with(**values)
    except FormulaError as e:
        raise Failure(str(e), EXIT_USAGE) from None
    return formula, values, label


def _param_items(items):
    """{name: value} of -p NAME=VALUE items."""
    values = {}
    for item in items:
        name, sep, value = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise Failure(f"-p {_clip(item)}: write NAME=VALUE", EXIT_USAGE)
        try:
            number = float(value)
        except ValueError:
            raise Failure(
                f"-p {_clip(item)}: {_clip(value)!r} is not a number", EXIT_USAGE
            ) from None
        if any(fold(name) == fold(k) for k in values):
            raise Failure(f"-p {_clip(name)} is given twice", EXIT_USAGE)
        values[name] = number
    return values


def _clip(text, width=60):
    text = str(text)
    return text if len(text) <= width else text[: width - 3] + "..."


def _warn_lookahead(formula, values):
    ahead = formula.lookahead_with(**values)
    for a in ahead:
        _say(f"vexa: warning: {a}: a backtest on this formula is wrong")
    return ahead


# ---- run -----------------------------------------------------------------------------


SNIFFED = 1 << 20  # bytes of a data file looked at before it is read


def _read_data(path, by=None):
    """The data file as a pandas DataFrame: symbol columns (by, and columns named like
    one) read as text, so that codes keep their leading zeros."""
    import pandas as pd

    p = Path(path)
    if not p.is_file():
        raise Failure(f"no data file {quote(path)}", EXIT_DATA)
    name = p.name.lower()
    csv = name.endswith((".csv", ".txt", ".csv.gz", ".txt.gz"))
    if not csv and not name.endswith((".parquet", ".pq")):
        raise Failure(f"{quote(path)}: data files are .csv or .parquet", EXIT_DATA)
    head = _sniff(p, csv)
    try:
        if csv:
            from .data import csv_exact

            encoding = "utf-8"
            try:
                head.decode("utf-8")
            except UnicodeDecodeError as e:
                if e.start < len(head) - 4:  # not a character cut at the end of the bytes
                    encoding = "gb18030"
            header = pd.read_csv(p, nrows=0, encoding=encoding).columns
            text = {c: str for c in header if c == by or is_symbol_name(c)}
            data = pd.read_csv(p, dtype=text, encoding=encoding, **csv_exact())
            if encoding != "utf-8":
                _say(f"vexa: note: {quote(path)} is not UTF-8: read as GB18030 (GBK)")
            return data
        try:
            return pd.read_parquet(p)
        except ImportError:
            raise Failure(
                "reading Parquet needs pyarrow: pip install pyarrow (or the parquet extra: "
                'pip install "vexa[parquet]")',
                EXIT_DATA,
            ) from None
    except Failure:
        raise
    except UnicodeDecodeError as e:
        raise Failure(
            f"cannot read {quote(path)}: not UTF-8 text ({e.reason})", EXIT_DATA
        ) from None
    except (OSError, ValueError) as e:
        raise Failure(f"cannot read {quote(path)}: {quote(str(e), 200)}", EXIT_DATA) from None
    except Exception as e:  # the readers' own parse errors
        raise Failure(
            f"cannot read {quote(path)}: {type(e).__name__}: {quote(str(e), 200)}", EXIT_DATA
        ) from None


def _sniff(p, csv):
    """The first bytes of a data file (decompressed), refused when they cannot be what
    the file's name says: before the reader spends time and memory on them."""
    try:
        if p.name.lower().endswith(".gz"):
            with gzip.open(p, "rb") as f:
                head = f.read(SNIFFED)
        else:
            with open(p, "rb") as f:
                head = f.read(SNIFFED)
    except (OSError, EOFError) as e:
        raise Failure(f"cannot read {quote(str(p))}: {e}", EXIT_DATA) from None
    if not csv:
        if head[:4] != b"PAR1":
            raise Failure(f"{quote(str(p))} is not a Parquet file", EXIT_DATA)
        return head
    if head[:4] == b"PAR1":
        raise Failure(f"{quote(str(p))} is a Parquet file: name it .parquet", EXIT_DATA)
    if b"\0" in head:
        raise Failure(
            f"{quote(str(p))} is not a text file (it holds NUL bytes): a CSV export is text",
            EXIT_DATA,
        )
    if len(head) == SNIFFED and b"\n" not in head and b"\r" not in head:
        raise Failure(
            f"{quote(str(p))} is not a CSV export: its first line is longer than "
            f"{SNIFFED >> 20} MiB",
            EXIT_DATA,
        )
    return head


def _columns(items):
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


def _inputs(data):
    """The files and folders a run reads (resolved), for --out to stay clear of."""
    if data is None:
        return []
    import glob

    found = [Path(data)] if Path(data).exists() else [Path(x) for x in glob.glob(data)]
    return [x.resolve() for x in found]


def _check_out(path, inputs, folder=False):
    """Refuses an --out that is an input, inside an input folder or holding an input,
    and one whose folder does not exist; before anything is computed."""
    out = Path(path).resolve()
    for src in inputs:
        if out == src or out in src.parents or src in out.parents:
            raise Failure(
                f"--out {quote(path)} would overwrite the input {quote(str(src))}: write "
                "the results elsewhere",
                EXIT_USAGE,
            )
    if not out.parent.is_dir():
        raise Failure(f"--out {quote(path)}: no folder {quote(str(out.parent))}", EXIT_USAGE)
    if not folder and out.is_dir():
        raise Failure(f"--out {quote(path)} is a folder: give a file name", EXIT_USAGE)


def _check_chart(path):
    suffix = Path(path).suffix.lower()
    if suffix not in (".png", ".html", ".htm"):
        raise Failure(f"--chart {quote(path)}: draw a .png or .html file", EXIT_USAGE)
    folder = Path(path).resolve().parent
    if not folder.is_dir():
        raise Failure(f"--chart {quote(path)}: no folder {quote(str(folder))}", EXIT_USAGE)


def _run(args):
    formula, values, label = _load_formula(args.formula, args.param, args.encoding, complete=True)
    columns = _columns(args.column)
    _warn_lookahead(formula, values)
    for note in formula.notes:
        _say(f"vexa: note: {note}")
    if args.chart:
        _check_chart(args.chart)
    if args.scheduler is not None:
        try:
            from .dask.command import run_on_cluster
        except ImportError as e:
            raise Failure(
                f'--scheduler needs the dask extra: pip install "vexa[dask]" ({e})', EXIT_USAGE
            ) from None
        return run_on_cluster(args, formula, values, columns)
    if args.partitions is not None:
        raise Failure("--partitions goes with --scheduler", EXIT_USAGE)
    if args.out:
        _check_out(args.out, _inputs(args.data))
    if args.data is None:
        from .data import sample

        data, by = sample(), args.by or "symbol"
        source = "the sample"
    else:
        data, by = _read_data(args.data, args.by), args.by
        source = args.data
    progress = None
    if by is not None and by in data.columns:
        symbols = data[by].nunique()
        progress = _progress(symbols) if symbols >= PROGRESS_FROM else None
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
        _say(f"vexa: {kind}: {message}")
    if table.by is None and table.time is not None and table.time not in result.columns:
        result.insert(0, table.time, data[table.time].to_numpy())
    if args.out:
        _write(result, args.out)
        _say(f"vexa: {len(result):,} rows of {len(formula.outputs)} outputs to {args.out}")
    else:
        _print_latest(result, table, args.rows)
    if args.chart:
        _chart(formula, values, data, table.by, args, label, source, columns)
    return 0


class _Progress:
    """tqdm's bar when it is installed, else a line on standard error."""

    def __init__(self, total):
        self.total = total
        try:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="symbol", file=sys.stderr, leave=False)
        except ImportError:
            self.bar = None
        self.done = 0

    def __call__(self, done, total):
        if self.bar is not None:
            self.bar.update(done - self.done)
        else:
            print(f"\r{done}/{total} symbols", end="", file=sys.stderr, flush=True)
        self.done = done

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.done:
            print(file=sys.stderr)


def _progress(total):
    return _Progress(total)


def _write(result, path):
    """Writes the results under a temporary name in the same folder, renamed into place
    when complete: a failed run leaves no half-written file."""
    out = Path(path)
    suffix = out.suffix.lower()
    if suffix not in (".csv", ".parquet", ".pq"):
        raise Failure(f"--out {quote(path)}: write .csv or .parquet", EXIT_USAGE)
    tmp = out.with_name(f".{out.name}.{os.getpid()}.partial")
    try:
        if suffix == ".csv":
            result.to_csv(tmp, index=not _plain_index(result))
        else:
            try:
                result.to_parquet(tmp)
            except ImportError:
                raise Failure(
                    "writing Parquet needs pyarrow: pip install pyarrow (or the parquet "
                    'extra: pip install "vexa[parquet]")',
                    EXIT_DATA,
                ) from None
        os.replace(tmp, out)
    except OSError as e:
        raise Failure(f"cannot write {quote(path)}: {e.strerror or e}", EXIT_DATA) from None
    finally:
        if tmp.exists():
            tmp.unlink()


def _plain_index(df):
    import pandas as pd

    return isinstance(df.index, pd.RangeIndex)


def _print_latest(result, table, rows):
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
    _print(shown, title)


def _print(shown, title):
    import pandas as pd

    with pd.option_context("display.width", 200, "display.max_columns", 50):
        print(f"# {title}")
        print(shown.to_string())


# ---- chart -----------------------------------------------------------------------------


def _chart(formula, values, data, by, args, label, source, columns):
    try:
        from .chart import MissingGlyphWarning, draw
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
            _say(f"vexa: warning: {w.message}")
        else:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    _say(f"vexa: chart of {shown} in {path}")


# ---- check and functions ---------------------------------------------------------------


def _check(args):
    formula, values, label = _load_formula(args.formula, args.param, args.encoding)
    params = formula._param_values(values, complete=False)
    print(f"{label}: compiles")
    for o in formula._program.outputs:
        extras = [
            x
            for x in (
                o.style if o.style != "line" else None,
                o.color,
                f"width {o.width}" if o.width is not None else None,
                None if o.drawn else "not drawn",
            )
            if x
        ]
        print(f"  output {o.name} (line {o.line})" + (f": {', '.join(extras)}" if extras else ""))
    for d in formula.drawings:
        print(f"  drawing {d.kind} (line {d.line})")
    shown = [f"{k}={_num(v)}" for k, v in params.items() if v is not None]
    print("  parameters: " + (", ".join(shown) or "none"))
    missing = [k for k, v in params.items() if v is None]
    if missing:
        hints = formula._program.free
        print(
            "  without a value (give -p NAME=VALUE): "
            + ", ".join(
                f"{k} (did you mean {' or '.join(hints[k][1])}?)"
                if k in hints and hints[k][1]
                else k
                for k in missing
            )
        )
    print("  inputs: " + (", ".join(formula.inputs) or "none"))
    ahead = formula.lookahead_with(**values)
    if ahead:
        for a in ahead:
            print(f"  looks ahead: {a}")
    else:
        print("  looks ahead: no")
    for note in formula.notes:
        print(f"  note: {note}")
    return 0


def _num(v):
    return str(int(v)) if float(v).is_integer() else repr(v)


def _signature(f):
    if f.variadic:
        return f"{f.name}(...)"
    if f.bare:
        return f.name
    return f"{f.name}({', '.join(p for p, _ in f.params)})"


def _functions(args):
    funcs = cat.FUNCTIONS
    if args.name is None:
        for category, title in CATEGORIES.items():
            print(f"{title}:")
            for f in funcs.values():
                if f.category == category:
                    ahead = "  [looks ahead]" if f.ahead == "always" else ""
                    print(f"  {_signature(f):<28} {f.summary}{ahead}")
            print()
        return 0
    f = funcs.get(fold(args.name))
    if f is None:
        close = difflib.get_close_matches(fold(args.name), list(funcs), n=3)
        hint = f"; did you mean {' or '.join(close)}?" if close else ""
        raise Failure(f"no function {args.name}{hint}", EXIT_USAGE)
    print(_signature(f))
    print(f"  {f.summary}")
    if f.definition:
        print(f"  {f.definition}")
    if f.params and not f.variadic:
        print("  parameters: " + ", ".join(f"{p} {KIND_LABELS[k]}" for p, k in f.params))
    if f.category == "table" and f.row is not None and f.row.per_bar is not None:
        print(f"  a series period selects {f.row.per_bar.name}")
    if f.category == "rewrite":
        print(f"  written as {f.impl}")
    if f.name in SERIES_PERIODS:
        print(f"  {SERIES_PERIODS[f.name][1]}")
    if f.library:
        print(f"  differs from vexa.{f.name}: {f.library}")
    ahead = {"always": "always", "negative": "when N < 0", "positive": "when N > 0"}.get(
        f.ahead or ""
    )
    if ahead:
        print(f"  looks ahead: {ahead}")
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
