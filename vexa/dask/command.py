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
import sys
from pathlib import Path

import dask
from dask.utils import format_time
from distributed import Client, KilledWorker, LocalCluster
from distributed.diagnostics.progressbar import TextProgressBar

from ..formula import DataError
from .frame import SymbolTooLarge, run

CONNECT_TIMEOUT = "20s"


def run_on_cluster(args, formula, values):
    from ..cli import EXIT_DATA, EXIT_USAGE, Failure, _print

    if getattr(args, "chart", None):
        raise Failure("--chart draws one symbol on this machine: leave out --scheduler", EXIT_USAGE)
    partitions = getattr(args, "partitions", None)
    if partitions is not None and partitions < 1:
        raise Failure(f"--partitions {partitions}: give a positive number", EXIT_USAGE)
    by = args.by or "symbol"
    client, cluster = _connect(args.scheduler, Failure, EXIT_USAGE)
    try:
        ddf = _read(args.data, by, Failure, EXIT_DATA)
        try:
            result = run(formula, ddf, by=by, time=args.time, npartitions=partitions, **values)
        except DataError as e:
            raise Failure(str(e), EXIT_DATA) from None
        if result.index.name == by:  # the symbol was the index: a column again
            result = result.reset_index()
        if args.out:
            out = Path(args.out)
            if out.exists() and not out.is_dir():
                raise Failure(f"--out {args.out}: with --scheduler, --out is a folder", EXIT_USAGE)
            work = result.to_parquet(str(out), write_index=False, compute=False)
            _compute(client, work, Failure, EXIT_DATA)
            files = len(list(out.glob("*.parquet")))
            names = ", ".join(formula.outputs)
            _say(f"vexa: {names} of every symbol to {args.out} ({files} Parquet files)")
        else:
            last = result.map_partitions(_last_bars, by, meta=result._meta)
            shown = _compute(client, last, Failure, EXIT_DATA)
            _print(shown.sort_values(by, kind="stable"), by, args.rows)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


def _say(text):
    print(text, file=sys.stderr)


def _connect(address, Failure, status):
    cluster = None
    try:
        if address == "local" or address.startswith("local:"):
            workers = address.partition(":")[2] or None
            if workers is not None and (not workers.isdigit() or int(workers) < 1):
                raise Failure(
                    f"--scheduler {address}: write local or local:N (N worker processes)",
                    status,
                )
            # Dask's nannies give workers MALLOC_TRIM_THRESHOLD_, which turns off glibc's
            # dynamic mmap threshold: every array over 128 KiB becomes a fresh mapping,
            # page faults and all (about half a task's CPU time here, bench/dask.py).
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
        raise Failure(f"--scheduler {address}: cannot connect ({e})", status) from None


def _read(path, by, Failure, status):
    """The bars as a Dask DataFrame: Parquet with the symbol as the index when the files'
    statistics give known divisions (no shuffle then), else with the symbol a column."""
    import dask.dataframe as dd

    if path is None:
        from ..data import sample

        return dd.from_pandas(sample(), npartitions=2)
    if not (Path(path).exists() or glob.glob(path)):
        raise Failure(f"no data at {path}", status)
    try:
        if path.lower().endswith((".csv", ".csv.gz", ".txt")):
            from ..data import csv_exact

            return dd.read_csv(path, **csv_exact())
        try:
            ddf = dd.read_parquet(path, index=by, calculate_divisions=True)
        except (KeyError, ValueError):
            ddf = None  # the symbol is not a column of the files: said by run()
        if ddf is not None and ddf.known_divisions:
            return ddf
        return dd.read_parquet(path)
    except ImportError as e:
        raise Failure(f"reading Parquet needs pyarrow: pip install pyarrow ({e})", status) from None
    except (OSError, ValueError) as e:
        raise Failure(f"cannot read {path}: {e}", status) from None


def _last_bars(part, by):
    return part.groupby(by, sort=False, observed=True).tail(1)


def _compute(client, work, Failure, status):
    """Computes on the cluster with Dask's progress bar on standard error."""
    future = client.compute(work)
    try:
        _Bar([future], scheduler=client.scheduler.address, interval="0.5s")
        return future.result()
    except SymbolTooLarge as e:
        raise Failure(str(e), status) from None
    except KilledWorker as e:
        raise Failure(
            f"workers died running {e.task!r} (out of memory?): a partition did not fit in "
            "a worker's memory; give more --partitions or more memory per worker",
            status,
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
