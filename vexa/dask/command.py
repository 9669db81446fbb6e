"""`vexa run FORMULA --scheduler ADDRESS`: the command's run on a Dask cluster.

    vexa run FORMULA --data 'prices/*.parquet' --by symbol --scheduler tcp://host:8786 \\
        --out outputs/

--data is then a Parquet data set (a folder, a file or a glob; CSV globs too), read by the
workers; --out is a folder, written by the workers as a Parquet data set, one file per
partition, each holding whole symbols sorted by symbol and time. Without --out, the last
bar of each symbol is printed. `--scheduler local` (or local:N) starts N worker processes
on this machine for the run. Progress is Dask's own bar, on standard error.
"""

from __future__ import annotations

import glob
import logging
import os
import shutil
import sys
from pathlib import Path

import dask
from dask.utils import format_time
from distributed import Client, KilledWorker, LocalCluster
from distributed.diagnostics.progressbar import TextProgressBar
from distributed.utils import silence_logging_cmgr

from ..cli.common import EXIT_DATA, EXIT_USAGE, Failure, print_frame, say
from ..cli.files import check_out, inputs, sniff
from ..formula import DataError
from .frame import SymbolTooLarge, run

CONNECT_TIMEOUT = "20s"


def run_on_cluster(args, formula, values, columns=None):
    """Runs `vexa run` (its parsed `args`, the compiled formula, the -p values and the
    --column mapping) on the cluster of --scheduler."""
    if getattr(args, "chart", None):
        raise Failure("--chart draws one symbol on this machine: leave out --scheduler", EXIT_USAGE)
    partitions = getattr(args, "partitions", None)
    if partitions is not None and partitions < 1:
        raise Failure(f"--partitions {partitions}: give a positive number", EXIT_USAGE)
    by = args.by or "symbol"
    out = None
    if args.out:
        out = Path(args.out)
        check_out(args.out, inputs(args.data), folder=True)
        if out.exists() and not out.is_dir():
            raise Failure(f"--out {args.out}: with --scheduler, --out is a folder", EXIT_USAGE)
        _check_replaceable(out)
    for path in _local_files(args.data)[:1]:  # one file is looked at: binary refused early
        name = path.name.lower()
        if name.endswith((".csv", ".txt", ".csv.gz", ".txt.gz", ".parquet", ".pq")):
            sniff(path, not name.endswith((".parquet", ".pq")))
    client, cluster = _connect(args.scheduler)
    try:
        ddf = _read(args.data, by)
        options = {
            "time": args.time,
            "time_format": getattr(args, "time_format", None),
            "columns": columns,
            "fill": getattr(args, "fill", None),
        }
        try:
            result = run(formula, ddf, by=by, npartitions=partitions, params=values, **options)
        except DataError as e:
            raise Failure(str(e), EXIT_DATA) from None
        if result.index.name == by:  # the symbol was the index: a column again
            result = result.reset_index()
        if out is not None:
            # Written under a temporary name beside --out, renamed into place when
            # complete: a failed run leaves no partial data set, and never the inputs.
            tmp = out.with_name(f".{out.name}.{os.getpid()}.partial")
            try:
                work = result.to_parquet(str(tmp), write_index=False, compute=False)
                _compute(client, work)
                _replace(tmp, out)
            finally:
                shutil.rmtree(tmp, ignore_errors=True)
            files = len(list(out.glob("*.parquet")))
            names = ", ".join(formula.outputs)
            say(f"vexa: {names} of every symbol to {args.out} ({files} Parquet files)")
        else:
            last = result.map_partitions(_last_bars, by, meta=result._meta)
            shown = _compute(client, last)
            shown = shown.sort_values(by, kind="stable")
            title = "the latest bar of each symbol"
            if len(shown) > args.rows:
                title += f" (the first {args.rows} of {len(shown):,} symbols)"
            print_frame(shown.head(args.rows), title)
    finally:
        _close(client, cluster)
    return 0


def _local_files(data):
    if data is None:
        return []
    p = Path(data)
    if p.is_file():
        return [p]
    if p.is_dir():
        return sorted(x for x in p.rglob("*") if x.is_file() and not x.name.startswith((".", "_")))
    return [Path(x) for x in sorted(glob.glob(data)) if Path(x).is_file()]


_OUTPUT_FILES = (".parquet", "_metadata", "_common_metadata")


def _check_replaceable(out):
    """An --out folder that exists is replaced only when it holds a Parquet data set
    (an earlier run's output), never a folder of other files."""
    if not out.is_dir():
        return
    others = [x.name for x in out.iterdir() if not x.name.endswith(_OUTPUT_FILES)]
    if others:
        raise Failure(
            f"--out {out}: the folder holds other files than Parquet ({others[0]}, ...): give "
            "a new folder",
            EXIT_USAGE,
        )


def _replace(tmp, out):
    """Moves the complete data set `tmp` to `out`, replacing an earlier one."""
    if not out.exists():
        os.replace(tmp, out)
        return
    old = out.with_name(f".{out.name}.{os.getpid()}.old")
    os.replace(out, old)
    try:
        os.replace(tmp, out)
    except OSError:
        os.replace(old, out)
        raise
    shutil.rmtree(old, ignore_errors=True)


def _close(client, cluster):
    """Closes the client, and the cluster when this run started it. Shutting a local
    cluster down races its own messages (a worker's heartbeat, the progress feed) with
    the closing of the scheduler, which distributed logs as errors: the results are
    complete by then, so the logs of the shutdown are kept quiet."""
    if cluster is None:
        client.close()
        return
    try:
        client.run(_quiet)
    except Exception:  # a worker already gone: nothing of it to quiet
        pass
    client.close()
    with silence_logging_cmgr(logging.CRITICAL):
        level = logging.getLogger("distributed").level
        logging.getLogger("distributed").setLevel(logging.CRITICAL)
        try:
            cluster.close()
        finally:
            logging.getLogger("distributed").setLevel(level)


def _quiet():
    """On a worker about to be closed: its logs below critical are dropped."""
    log = logging.getLogger("distributed")
    log.setLevel(logging.CRITICAL)
    for handler in log.handlers:
        handler.setLevel(logging.CRITICAL)


def _connect(address):
    cluster = None
    try:
        if address == "local" or address.startswith("local:"):
            workers = address.partition(":")[2] or None
            if workers is not None and (not workers.isdigit() or int(workers) < 1):
                raise Failure(
                    f"--scheduler {address}: write local or local:N (N worker processes)",
                    EXIT_USAGE,
                )
            # Dask's nannies give workers MALLOC_TRIM_THRESHOLD_, which turns off glibc's
            # dynamic mmap threshold: every array over 128 KiB becomes a fresh mapping,
            # page faults and all (about half a task's CPU time here, bench/cluster.py).
            # Workers that live for one run keep glibc's own behaviour instead.
            # (None unsets a variable there; one set in the shell still wins.) And one
            # worker process a core: vexa's panels on one thread each, as Dask does for
            # OpenMP and BLAS.
            environ = "distributed.nanny.pre-spawn-environ."
            with dask.config.set(
                {environ + "MALLOC_TRIM_THRESHOLD_": None, environ + "VEXA_NUM_THREADS": 1}
            ):
                cluster = LocalCluster(
                    n_workers=int(workers) if workers else None,
                    threads_per_worker=1,
                    processes=True,
                    # ":0": a free port; None still takes 8787 and fails when another Dask holds it.
                    dashboard_address=":0",
                    silence_logs=logging.ERROR,  # the scheduler's notes would mix with ours
                )
            address = cluster.scheduler_address
        return Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False), cluster
    except (OSError, TimeoutError, ValueError) as e:
        if cluster is not None:
            cluster.close()
        raise Failure(f"--scheduler {address}: cannot connect ({e})", EXIT_USAGE) from None


def _read(path, by):
    """The bars as a Dask DataFrame: Parquet with the symbol as the index when the files'
    statistics give known divisions (no shuffle then), else with the symbol a column."""
    import dask.dataframe as dd
    import pandas as pd

    if path is None:
        from ..data import sample

        return dd.from_pandas(sample(), npartitions=2)
    if not (Path(path).exists() or glob.glob(path)):
        raise Failure(f"no data at {path}", EXIT_DATA)
    try:
        if path.lower().endswith((".csv", ".csv.gz", ".txt")):
            from ..data import csv_exact
            from ..formula.fields import is_symbol_name

            # Symbol columns as text: codes keep their leading zeros.
            first = _local_files(path)[:1]
            header = pd.read_csv(first[0], nrows=0).columns if first else []
            text = {c: str for c in header if c == by or is_symbol_name(c)}
            return dd.read_csv(path, dtype=text, **csv_exact())
        try:
            ddf = dd.read_parquet(path, index=by, calculate_divisions=True)
        except (KeyError, ValueError):
            ddf = None  # the symbol is not a column of the files: said by run()
        if ddf is not None and ddf.known_divisions:
            return ddf
        return dd.read_parquet(path)
    except ImportError as e:
        raise Failure(
            f"reading Parquet needs pyarrow: pip install pyarrow ({e})", EXIT_DATA
        ) from None
    except (OSError, ValueError) as e:
        raise Failure(f"cannot read {path}: {e}", EXIT_DATA) from None


def _last_bars(part, by):
    return part.groupby(by, sort=False, observed=True).tail(1)


def _compute(client, work):
    """Computes on the cluster with Dask's progress bar on standard error."""
    future = client.compute(work)
    try:
        _Bar([future], scheduler=client.scheduler.address, interval="0.5s")
        return future.result()
    except SymbolTooLarge as e:
        raise Failure(str(e), EXIT_DATA) from None
    except KilledWorker as e:
        raise Failure(
            f"workers died running {e.task!r} (out of memory?): a partition did not fit in "
            "a worker's memory; give more --partitions or more memory per worker",
            EXIT_DATA,
        ) from None
    finally:
        future.release()


class _Bar(TextProgressBar):
    """distributed's text progress bar, on standard error (standard output is for
    results). It blocks until the work is done or has failed."""

    def _draw_bar(self, remaining, all, **kwargs):
        frac = (1 - remaining / all) if all else 1.0
        bar = "#" * int(self.width * frac)
        sys.stderr.write(
            f"\r[{bar:<{self.width}}] | {int(100 * frac)}% of {all} tasks | "
            f"{format_time(self.elapsed)}"
        )
        sys.stderr.flush()

    def _draw_stop(self, **kwargs):
        sys.stderr.write("\33[2K\r")
        sys.stderr.flush()
