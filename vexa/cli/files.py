"""The files a run reads and writes: price data as exports write them (CSV or Parquet,
looked at before they are read), and results written whole or not at all."""

from __future__ import annotations

import gzip
import os
import threading
from pathlib import Path

from ..formula.errors import quote
from ..formula.fields import is_symbol_name
from .common import EXIT_DATA, EXIT_USAGE, Failure, say

SNIFFED = 1 << 20  # bytes of a data file looked at before it is read


def read_data(path, by=None, wanted=None):
    """The data file as a pandas DataFrame: symbol columns (by, and columns named like
    one) read as text, so that codes keep their leading zeros. wanted(names): the
    columns to read among the file's (None: all of them)."""
    p = Path(path)
    if not p.is_file():
        raise Failure(f"no data file {quote(path)}", EXIT_DATA)
    name = p.name.lower()
    csv = name.endswith((".csv", ".txt", ".csv.gz", ".txt.gz"))
    if not csv and not name.endswith((".parquet", ".pq")):
        raise Failure(f"{quote(path)}: data files are .csv or .parquet", EXIT_DATA)
    head = sniff(p, csv)
    try:
        if csv:
            encoding = "utf-8"
            try:
                head.decode("utf-8")
            except UnicodeDecodeError as e:
                if e.start < len(head) - 4:  # not a character cut at the end of the bytes
                    encoding = "gb18030"
            data = None
            names = _plain_header(head, encoding)
            if names is not None and wanted is not None:
                keep = wanted(names)
                if keep is not None:
                    text = [c for c in keep if c == by or is_symbol_name(c)]
                    data = _csv_arrow(p, keep, text, encoding)
            if data is None:
                import pandas as pd

                names = list(pd.read_csv(p, nrows=0, encoding=encoding).columns)
                keep = wanted(names) if wanted is not None else None
                text = [c for c in keep or names if c == by or is_symbol_name(c)]
                data = _csv_pandas(p, keep, text, encoding)
            if encoding != "utf-8":
                say(f"vexa: note: {quote(path)} is not UTF-8: read as GB18030 (GBK)")
            return data
        try:
            return _parquet(p, wanted)
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


def wanted_columns(fields, mapping, by, time, everything=False):
    """wanted(names) for read_data: the columns a run reads among `names` (those of the
    fields, the time columns, the symbol columns), or None for all of them: when asked,
    and when a column is missing, so that the error names every column of the file."""
    from ..formula.columns import find_columns, norm
    from ..formula.errors import DataError
    from ..formula.fields import SYMBOL_NAMES, TIME_NAMES

    def wanted(names):
        if everything:
            return None
        try:
            found = set(find_columns(names, fields, mapping=mapping).values())
        except DataError:
            return None
        for column in (by, time):
            if column is not None:
                if column not in names:
                    return None
                found.add(column)
        found.update(c for c in names if norm(c) in TIME_NAMES + SYMBOL_NAMES)
        return [c for c in names if c in found]

    return wanted


# The texts pandas reads as missing values (its default na_values).
NA_TEXT = (
    *("", "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan", "1.#IND"),
    *("1.#QNAN", "<NA>", "N/A", "NA", "NULL", "NaN", "None", "n/a", "nan", "null"),
)


def _csv_pandas(p, keep, text, encoding):
    import pandas as pd

    from ..data import csv_exact

    return pd.read_csv(
        p, usecols=keep, dtype=dict.fromkeys(text, str), encoding=encoding, **csv_exact()
    )


def _plain_header(head, encoding):
    """The column names of a CSV file from its first bytes, when its header is plain:
    the first line, of distinct, non-empty names without quotes (pandas renames
    duplicates and empty names, and skips blank lines: such files are left to it); else
    None."""
    import csv

    text = head.decode(encoding, errors="replace").removeprefix("\ufeff")
    line = text.splitlines()[0] if text else ""
    if not line.strip() or '"' in line:
        return None
    names = next(csv.reader([line]))
    if len(set(names)) != len(names) or not all(n.strip() for n in names):
        return None
    return names


def _csv_arrow(p, keep, text, encoding):
    """The columns `keep` of a CSV file as pandas reads them, read by pyarrow's reader
    on every core (pandas is imported meanwhile): the fields' numbers parsed to the
    nearest double, the symbols as text, a time column as the numbers or text pandas
    finds in it. None when pyarrow is missing, and wherever the file is not plain enough
    for the two readers to agree (pandas reads it then)."""
    try:
        import pyarrow as pa
        import pyarrow.csv as pacsv
    except ImportError:
        return None
    from ..formula.columns import norm
    from ..formula.fields import TIME_NAMES

    times = [c for c in keep if c not in text and norm(c) in TIME_NAMES]
    types = {c: pa.float64() for c in keep}
    types.update((c, pa.string()) for c in [*text, *times])
    done = {}

    def read():
        try:
            done["table"] = pacsv.read_csv(
                p,
                read_options=pacsv.ReadOptions(encoding=encoding),
                convert_options=pacsv.ConvertOptions(
                    include_columns=keep,
                    column_types=types,
                    null_values=list(NA_TEXT),
                    strings_can_be_null=True,
                ),
            )
        except Exception:  # pandas reads the file, and says what is wrong with it
            done["table"] = None

    reader = threading.Thread(target=read, name="vexa-csv", daemon=True)
    reader.start()
    import pandas  # noqa: F401  (its import overlaps the reading)

    reader.join()
    table = done.get("table")
    if table is None or table.column_names != keep:
        return None
    for c in times:
        column = _as_pandas_infers(table.column(c))
        if column is None:
            return None
        table = table.set_column(table.column_names.index(c), c, column)
    # Every number pyarrow parses is the nearest double to its text, as pandas reads it;
    # but it also reads spellings of NaN that pandas keeps as text ("NAN", "+nan"):
    # such columns are read by pandas.
    import pyarrow.compute as pc

    odd = [
        c for c in keep if types[c] == pa.float64() and pc.any(pc.is_nan(table.column(c))).as_py()
    ]
    data = table.to_pandas(split_blocks=True, self_destruct=True)
    if odd:
        again = _csv_pandas(p, odd, [], encoding)
        if len(again) != len(data):
            return None
        for c in odd:
            data[c] = again[c].to_numpy()
    return data


def _as_pandas_infers(column):
    """A column of text as pandas' reader types it: whole numbers, else numbers, else
    text; None where the two would differ (numbers written with a sign or blanks)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    first = column.slice(0, 1).to_pylist()
    try:
        float(first[0].strip()) if first and first[0] is not None else None
    except ValueError:
        return column  # a value that is no number: text for pandas too
    for kind in (pa.int64(), pa.float64()):
        try:
            number = pc.cast(column, kind)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            continue
        if (
            kind == pa.int64()
            or not pc.all(pc.match_substring_regex(column, r"^[+-]?[0-9]+$")).as_py()
        ):
            return number
        return None  # whole numbers with a sign: pandas has integers
    try:
        pc.cast(pc.utf8_trim_whitespace(column), pa.float64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return column
    return None  # numbers between blanks: pandas has numbers


def _parquet(p, wanted):
    """A Parquet file as a pandas DataFrame, only the wanted columns read (its index
    restored)."""
    import pandas as pd

    columns = None
    if wanted is not None:
        try:
            import pyarrow.parquet as pq
        except ImportError:
            pass
        else:
            schema = pq.read_schema(p)
            meta = schema.pandas_metadata or {}
            index = {c for c in meta.get("index_columns", ()) if isinstance(c, str)}
            columns = wanted([c for c in schema.names if c not in index])
    return pd.read_parquet(p, columns=columns)


def sniff(p, csv):
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


def inputs(data):
    """The files and folders a run reads (resolved), for --out to stay clear of."""
    if data is None:
        return []
    import glob

    found = [Path(data)] if Path(data).exists() else [Path(x) for x in glob.glob(data)]
    return [x.resolve() for x in found]


def check_out(path, inputs, folder=False):
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


def write(result, path):
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
