"""The files a run reads and writes: price data as exports write them (CSV or Parquet,
looked at before they are read), and results written whole or not at all."""

from __future__ import annotations

import gzip
import os
from pathlib import Path

from ..formula.errors import quote
from ..formula.fields import is_symbol_name
from .common import EXIT_DATA, EXIT_USAGE, Failure, say

SNIFFED = 1 << 20  # bytes of a data file looked at before it is read


def read_data(path, by=None):
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
    head = sniff(p, csv)
    try:
        if csv:
            from ..data import csv_exact

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
                say(f"vexa: note: {quote(path)} is not UTF-8: read as GB18030 (GBK)")
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
