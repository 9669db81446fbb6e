"""vexa.dask on a real cluster: a distributed.LocalCluster of worker processes, started and
closed here. Every result is compared bit for bit (uint64 views) with the single-machine
run on the same data: formulas over Dask DataFrames (shuffled by symbol, or read already
partitioned), a worker killed mid-run, a symbol too large for a worker, functions over
Dask arrays, the command line with --scheduler and the README's example.

Needs the dask extra; the tests skip without it unless VEXA_DASK_TESTS=required (CI),
where a skip would hide a missing install and fails instead.
"""

import itertools
import os
import re
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vexa
from vexa import cli

if os.environ.get("VEXA_DASK_TESTS") != "required":
    for _module in ("dask.dataframe", "dask.array", "distributed", "pyarrow"):
        pytest.importorskip(_module, reason='needs the dask extra: pip install "vexa[dask]"')

import dask.array as da
import dask.dataframe as dd
from dask.array.core import PerformanceWarning
from distributed import Client, LocalCluster

import vexa.dask
from vexa.table import COND, FUNCTIONS, INT, PERIODS, REAL

# The bars have missing closes on purpose: their warning is expected.
pytestmark = pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")

ROOT = Path(__file__).resolve().parent.parent

# Recursive functions (EMA, SMA, BARSLAST) need each symbol's whole history, in order.
FORMULA = """
INPUT: N(9);
DIF:=EMA(CLOSE,12)-EMA(CLOSE,26);
DEA:EMA(DIF,N);
K:SMA((CLOSE-LLV(LOW,N))/(HHV(HIGH,N)-LLV(LOW,N))*100,3,1);
UP:BARSLAST(CROSS(DIF,DEA));
VR:MA(VOL,5)/REF(MA(VOL,5),1);
"""

# Forty series alive at once: a lot of memory per bar for one field read, little work.
HEAVY = "".join(f"A{k}:=C+{k};" for k in range(1, 41)) + (
    "S:EMA(" + "+".join(f"A{k}" for k in range(1, 41)) + ",5);"
)


@pytest.fixture(scope="module")
def client():
    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            memory_limit="600MiB",
            dashboard_address=":0",
        ) as cluster,
        Client(cluster) as c,
    ):
        yield c


def bars(seed, symbols=24, short=1, long=400):
    """A long table of bars, rows in random order: symbols of 1 to `long` bars with
    missing values, one symbol's bars reversed and spread over every partition."""
    rng = np.random.default_rng(seed)
    frames = []
    for i in range(symbols):
        n = int(rng.integers(short, long))
        close = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, n)))
        close[rng.random(n) < 0.03] = np.nan
        frames.append(
            pd.DataFrame(
                {
                    "symbol": f"S{i:03d}",
                    "date": pd.date_range("2001-01-01", periods=n, freq="D"),
                    "open": close * 0.995,
                    "high": close * (1 + rng.random(n) * 0.02),
                    "low": close * (1 - rng.random(n) * 0.02),
                    "close": close,
                    "volume": rng.integers(0, 10**6, n),
                    "unused": "x",
                }
            )
        )
    frames[0] = frames[0].iloc[::-1]
    df = pd.concat(frames, ignore_index=True)
    return df.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def assert_same(got, want, outputs, keys=("symbol", "date")):
    """The same rows (matched on symbol and time) and the same bits in every output."""
    got = got.reset_index() if got.index.name == keys[0] else got
    got = got.sort_values(list(keys)).reset_index(drop=True)
    want = want.sort_values(list(keys)).reset_index(drop=True)
    assert len(got) == len(want)
    for k in keys:
        assert (got[k].to_numpy() == want[k].to_numpy()).all(), k
    for name in outputs:
        diff = np.flatnonzero(bits(got[name]) != bits(want[name]))
        assert diff.size == 0, f"{name}: first difference at {got.loc[diff[0], list(keys)]}"


def partitions(client, result):
    return client.gather(client.compute(result.to_delayed()))


def assert_whole_symbols(parts, by="symbol", time="date"):
    """Each partition sorted by symbol and time; no symbol in two partitions."""
    seen = set()
    for p in parts:
        p = p.reset_index() if p.index.name == by else p
        order = p.sort_values([by, time], kind="stable")
        assert (order.index == p.index).all()
        symbols = set(p[by])
        assert not symbols & seen
        seen |= symbols


# ---- formulas over Dask DataFrames ---------------------------------------------------


def test_shuffled_by_symbol_equals_one_machine(client):
    df = bars(1)
    f = vexa.Formula(FORMULA)
    ddf = dd.from_pandas(df, npartitions=6)
    result = vexa.dask.run(f, ddf, by="symbol", N=5)
    assert list(result.columns) == ["symbol", "date", *f.outputs]
    parts = partitions(client, result)
    assert_whole_symbols(parts)
    got = pd.concat(parts)
    assert (got.dtypes == result._meta.dtypes).all()
    want = f(df, by="symbol", N=5)
    assert_same(got, want, f.outputs)
    # Rows keep their labels: row for row, the single-machine result's index.
    got = got.sort_index()
    assert (got.index == want.index).all() and (got["date"] == want["date"]).all()
    # The formula's text, fewer partitions after the shuffle, the time column by name.
    renamed = ddf.rename(columns={"date": "when", "symbol": "ticker"})
    again = vexa.dask.run(FORMULA, renamed, by="ticker", time="when", npartitions=2)
    assert again.npartitions == 2
    assert_same(
        client.compute(again).result(),
        f(df.rename(columns={"date": "when", "symbol": "ticker"}), by="ticker", time="when"),
        f.outputs,
        keys=("ticker", "when"),
    )


def test_free_parameters(client):
    """Parameters of a formula as the terminals write it (no INPUT:), given to run."""
    df = bars(2, symbols=4)
    text = "DIF:=EMA(C,SHORT)-EMA(C,LONG); DEA:=EMA(DIF,MID); MACD:(DIF-DEA)*2;"
    ddf = dd.from_pandas(df, npartitions=2)
    got = client.compute(vexa.dask.run(text, ddf, SHORT=12, LONG=26, MID=9)).result()
    assert_same(got, vexa.Formula(text)(df, by="symbol", SHORT=12, LONG=26, MID=9), ["MACD"])
    with pytest.raises(vexa.formula.FormulaError, match="without a value: LONG, MID"):
        vexa.dask.run(text, ddf, SHORT=12)


def test_partitioned_parquet_is_not_shuffled(client, tmp_path):
    """Files sorted by symbol whose row groups end inside a symbol: Dask's divisions from
    the statistics put that symbol in two partitions; it is evaluated whole anyway."""
    df = bars(2, symbols=30, short=50, long=300)
    table = df.sort_values(["symbol", "date"], kind="stable")
    table.to_parquet(tmp_path / "bars.parquet", row_group_size=700, index=False)
    ddf = dd.read_parquet(
        tmp_path / "bars.parquet", index="symbol", calculate_divisions=True, split_row_groups=True
    )
    assert ddf.known_divisions and ddf.npartitions > 4
    held = [set(p.index) for p in partitions(client, ddf)]
    assert any(a & b for a, b in itertools.pairwise(held))  # a symbol in two partitions
    f = vexa.Formula(FORMULA)
    result = vexa.dask.run(f, ddf, by="symbol")
    assert result.divisions == ddf.divisions
    assert not any("shuffle" in str(k) for k in dict(result.__dask_graph__()))
    parts = partitions(client, result)
    assert_whole_symbols(parts)
    for p, lo, hi in zip(parts, ddf.divisions, ddf.divisions[1:]):
        assert p.index.empty or (p.index.min() >= lo and p.index.max() <= hi)
    assert_same(pd.concat(parts), f(df, by="symbol"), f.outputs)
    # The symbol as the index with unknown divisions: shuffled, still indexed by symbol.
    unknown = ddf.clear_divisions()
    got = client.compute(vexa.dask.run(f, unknown, by="symbol")).result()
    assert got.index.name == "symbol"
    assert_same(got, f(df, by="symbol"), f.outputs)


def _slow_first(part, marker, partition_info=None):
    """The first partition, on its first try: says which process runs it, then waits to
    be killed."""
    if partition_info is not None and partition_info["number"] == 0:
        if not os.path.exists(marker):
            Path(marker).write_text(str(os.getpid()))
            time.sleep(60)
    return part


def test_worker_killed_mid_run(client, tmp_path):
    df = bars(3, symbols=40)
    f = vexa.Formula(FORMULA)
    marker = str(tmp_path / "pid")
    ddf = dd.from_pandas(df, npartitions=8)
    ddf = ddf.map_partitions(_slow_first, marker, meta=ddf._meta)
    before = set(client.scheduler_info()["workers"])
    future = client.compute(vexa.dask.run(f, ddf, by="symbol"))
    deadline = time.monotonic() + 60
    while not os.path.exists(marker) or not Path(marker).read_text():
        assert time.monotonic() < deadline, "the slow task never started"
        time.sleep(0.05)
    pid = int(Path(marker).read_text())
    os.kill(pid, signal.SIGKILL)
    got = future.result(timeout=120)
    assert_same(got, f(df, by="symbol"), f.outputs)
    client.wait_for_workers(2, timeout=60)
    assert set(client.scheduler_info()["workers"]) != before  # a new worker took its place


def test_symbol_larger_than_a_worker(client):
    """A symbol whose evaluation needs more than a worker's memory limit: SymbolTooLarge
    names it, before the worker is killed. A partition of symbols that do fit one by one
    is evaluated in batches of whole symbols: the same bits."""
    f = vexa.Formula(HEAVY)

    def big(n, symbols):  # symbols numbered 0, 1, ...: cheap to sort
        t = np.arange(n, dtype=np.int64)
        close = 100.0 + np.sin(t * 0.001) * 10 + (t % 97) * 0.01
        sym = np.repeat(np.arange(symbols, dtype=np.int64) + 7, -(-n // symbols))[:n]
        return pd.DataFrame({"time": t, "close": close}, index=pd.Index(sym, name="symbol"))

    # What the check multiplies a symbol's bars by, and the memory at which the nanny kills
    # a worker (95% of its 600 MiB) and at which it pauses (80%).
    per_bar = vexa.dask.frame._bytes_per_bar(f, {})
    limit = 600 * 2**20
    assert 2_000_000 * per_bar > 0.95 * limit
    huge = dd.from_map(big, [2_000_000], [1], meta=big(0, 1), divisions=(7, 7))
    with pytest.raises(vexa.dask.SymbolTooLarge, match=r"^symbol 7 has 2,000,000 bars"):
        client.compute(vexa.dask.run(f, huge, by="symbol", time="time")).result()
    # Eight symbols that fit one by one, not all at once: batches of whole symbols.
    assert 1_600_000 * per_bar > 0.8 * limit > 200_000 * per_bar * 3
    many = dd.from_map(big, [1_600_000], [8], meta=big(0, 8), divisions=(7, 14))
    got = client.compute(vexa.dask.run(f, many, by="symbol", time="time")).result()
    local = big(1_600_000, 8).reset_index()
    assert_same(got, f(local, by="symbol", time="time"), ["S"], ("symbol", "time"))


def test_errors_name_the_argument(client):
    ddf = dd.from_pandas(bars(4, symbols=3), npartitions=2)
    with pytest.raises(TypeError, match="ddf must be a Dask DataFrame"):
        vexa.dask.run(FORMULA, bars(4, symbols=3))
    with pytest.raises(vexa.formula.DataError, match="no column 'ticker'"):
        vexa.dask.run(FORMULA, ddf, by="ticker")
    with pytest.raises(vexa.formula.DataError, match="no column for AMOUNT"):
        vexa.dask.run("X:AMOUNT;", ddf)
    with pytest.raises(vexa.formula.FormulaError, match="unknown parameter M"):
        vexa.dask.run(FORMULA, ddf, M=3)
    with pytest.raises(ValueError, match="npartitions"):
        vexa.dask.run(FORMULA, ddf, npartitions=0)
    # Two bars of one symbol at one time, bars without a symbol: refused on the worker, as
    # on one machine.
    twice = dd.from_pandas(pd.concat([bars(4, symbols=2)] * 2), npartitions=3)
    with pytest.raises(vexa.formula.DataError, match=r"symbol 'S00[01]' has two rows at date"):
        client.compute(vexa.dask.run(FORMULA, twice)).result()
    nameless = bars(4, symbols=3)
    nameless.loc[5, "symbol"] = None
    with pytest.raises(vexa.formula.DataError, match="column 'symbol' has missing values"):
        client.compute(vexa.dask.run(FORMULA, dd.from_pandas(nameless, npartitions=2))).result()


# ---- functions over Dask arrays ------------------------------------------------------------


def _take_panels():
    try:
        vexa.MA(np.zeros((2, 2)), 1, axis=0)
    except TypeError:
        return False
    return True


# Until this branch has the everyday functions of panels (vexa.MA(panel, N, axis=...)).
needs_panels = pytest.mark.skipif(
    not _take_panels(), reason="vexa's top-level functions do not take panels in this build"
)


def _args(rng, f, shape, axis):
    """Arguments for every parameter after the first: panels, one shared 1-D period
    series for per-bar periods, small valid integers."""
    n = shape[axis]
    args = []
    for p in f.params[1:]:
        if p.kind == INT:
            args.append(max(getattr(p, "least", 1), 1) + 2)
        elif p.kind == REAL:
            args.append(0.5)
        elif p.kind == PERIODS:
            args.append(np.floor(rng.uniform(0, 12, n)))
        elif p.kind == COND:
            args.append(rng.random(shape) < 0.3)
        else:
            args.append(rng.standard_normal(shape).cumsum(axis=axis))
    return args


@needs_panels
def test_functions_over_dask_arrays_equal_the_panel_call(client):
    rng = np.random.default_rng(7)
    shape = (300, 40)
    results, wants = [], []
    for f in FUNCTIONS:
        for axis in (0, 1):
            sh = shape if axis == 0 else shape[::-1]
            x = rng.standard_normal(sh).cumsum(axis=axis)
            x[rng.random(sh) < 0.05] = np.nan
            args = _args(rng, f, sh, axis)
            fn = getattr(vexa, f.name)
            wants.append(fn(x, *args, axis=axis))
            chunks = (sh[0], 7) if axis == 0 else (7, sh[1])
            darr = da.from_array(x, chunks=chunks)
            dargs = [
                da.from_array(a, chunks=chunks) if np.ndim(a) == 2 and k % 2 else a
                for k, a in enumerate(args)
            ]
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                out = vexa.dask.apply(fn, darr, *dargs, axis=axis)
            assert out.chunks == darr.chunks and out.dtype == np.float64
            results.append(out)
    for got, want in zip(client.gather(client.compute(results)), wants):
        assert (bits(got) == bits(want)).all()


@needs_panels
def test_panel_chunked_along_the_bars_is_rechunked_once(client):
    x = np.random.default_rng(8).standard_normal((500, 30)).cumsum(axis=0)
    darr = da.from_array(x, chunks=(100, 10))
    with pytest.warns(PerformanceWarning, match="chunked along the bars"):
        out = vexa.dask.apply(vexa.EMA, darr, 12)
    assert out.numblocks[0] == 1
    assert (bits(client.compute(out).result()) == bits(vexa.EMA(x, 12))).all()
    with pytest.raises(ValueError, match="argument 2 has shape"):
        vexa.dask.apply(vexa.CROSS, da.from_array(x), np.zeros((2, 2)))
    with pytest.raises(ValueError, match="N"):  # a bad period fails at once
        vexa.dask.apply(vexa.MA, darr.rechunk((500, 10)), -1)
    with pytest.raises(TypeError, match="x must be a Dask array"):
        vexa.dask.apply(vexa.MA, x, 5)


def test_import_vexa_does_not_import_dask():
    code = (
        "import sys, vexa, vexa.cli, vexa.formula; "
        "assert not {m.split('.')[0] for m in sys.modules} & {'dask', 'distributed'}"
    )
    subprocess.run([sys.executable, "-c", code], check=True, cwd=ROOT.parent)


@pytest.mark.filterwarnings("ignore::vexa.formula.DataWarning")  # symbols ending early
def test_screen_on_the_cluster(client, tmp_path, capsys):
    from support import assert_same_bits
    from test_screen import FORMULA, REQUESTS, market

    data = market(symbols=30)
    f = vexa.Formula(FORMULA)
    by_index = dd.from_pandas(data.set_index("code").sort_index(), npartitions=3)
    shuffled = dd.from_pandas(data, npartitions=3)
    path = tmp_path / "prices.csv"
    data.to_csv(path, index=False)
    for ddf, req in [(shuffled, REQUESTS[1]), (by_index, REQUESTS[3]), (shuffled, REQUESTS[4])]:
        got = vexa.dask.screen(f, ddf, by="code", **req)
        want = f.screen(data, by="code", **req)
        assert got["code"].tolist() == want["code"].tolist()
        assert got["date"].tolist() == want["date"].tolist()
        for o in f.outputs:
            assert_same_bits(got[o].to_numpy(), want[o].to_numpy())
    out = tmp_path / "screen.parquet"
    argv = ["screen", FORMULA, "--data", path, "--by", "code", "--all", "--sort", "R"]
    argv += ["--scheduler", client.scheduler.address, "--out", out]
    assert cli.main([str(a) for a in argv]) == 0
    assert "have no bar at the table's latest time" in capsys.readouterr().err
    got = pd.read_parquet(out)
    want = f.screen(data, by="code", when=None, sort="R")
    assert got["code"].tolist() == want["code"].tolist()
    assert_same_bits(got["X"].to_numpy(), want["X"].to_numpy())
    argv[argv.index("--all")] = "--date=2024-02-17"
    assert cli.main([str(a) for a in argv]) == 1
    assert "no symbol has a bar at --date 2024-02-17" in capsys.readouterr().err


# ---- the command line and the README -----------------------------------------------------------


def test_command_line_on_the_cluster(client, tmp_path, capsys):
    df = bars(5, symbols=12)
    data = tmp_path / "prices"
    data.mkdir()
    for k in range(3):  # files holding interleaved symbols: a shuffle is needed
        df.iloc[k::3].to_parquet(data / f"part{k}.parquet", index=False)
    out = tmp_path / "outputs"
    address = client.scheduler.address
    argv = ["run", FORMULA, "--data", f"{data}/*.parquet", "--by", "symbol"]
    status = cli.main([*argv, "--scheduler", address, "--out", str(out), "-p", "N=4"])
    captured = capsys.readouterr()
    assert status == 0, captured.err
    assert "100%" in captured.err  # Dask's progress bar, on standard error
    f = vexa.Formula(FORMULA)
    got = pd.read_parquet(out)
    assert list(got.columns) == ["symbol", "date", *f.outputs]
    assert_same(got, f(df, by="symbol", N=4), f.outputs)
    # A folder, nothing written: the last bar of each symbol printed.
    status = cli.main(["run", FORMULA, "--data", str(data), "--scheduler", address, "--rows", "12"])
    captured = capsys.readouterr()
    assert status == 0 and "S011" in captured.out
    for argv, message in (
        (["--data", str(data), "--scheduler", address, "--chart", "x.png"], "--chart"),
        (["--data", str(tmp_path / "none"), "--scheduler", address], "no data at"),
        (["--partitions", "3"], "--partitions goes with --scheduler"),
    ):
        assert cli.main(["run", FORMULA, *argv]) in (1, 2)
        assert message in capsys.readouterr().err


def test_command_line_reads_exports_on_the_cluster(client, tmp_path, capsys):
    """CSV files as exports write them: dates as year/month/day text without zeros (text
    order is not time order) and six-digit codes; the results equal one machine's and keep
    the codes' leading zeros. An --out over the input is refused before anything runs."""
    df = bars(7, symbols=6)
    df["symbol"] = [f"{int(s[1:]):06d}" for s in df["symbol"]]
    text = df.assign(date=[f"{d.year}/{d.month}/{d.day}" for d in df["date"]])
    data = tmp_path / "csv"
    data.mkdir()
    for k in range(2):
        text.iloc[k::2].to_csv(data / f"part{k}.csv", index=False)
    out = tmp_path / "outputs"
    address = client.scheduler.address
    argv = ["run", FORMULA, "--data", f"{data}/*.csv", "--scheduler", address]
    assert cli.main([*argv, "--out", str(out)]) == 0, capsys.readouterr().err
    got = pd.read_parquet(out).assign(date=lambda d: pd.to_datetime(d["date"], format="%Y/%m/%d"))
    assert got["symbol"].str.len().eq(6).all()
    assert_same(got, vexa.Formula(FORMULA)(df, by="symbol"), vexa.Formula(FORMULA).outputs)
    before = sorted(p.name for p in data.iterdir())
    for target in (data, data / "part0.csv", tmp_path):
        assert cli.main([*argv, "--out", str(target)]) == 2
        assert "would overwrite the input" in capsys.readouterr().err
    assert sorted(p.name for p in data.iterdir()) == before


def test_a_local_cluster_closes_quietly(tmp_path):
    """A run that starts its own cluster ends without the cluster's shutdown logging
    errors or tracebacks (its heartbeats and progress feed racing the closing)."""
    proc = subprocess.run(
        [sys.executable, "-m", "vexa", "run", "X:MA(C,5);", "--scheduler", "local:1"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "AAPL" in proc.stdout
    for said in ("ERROR", "Traceback", "CancelledError"):
        assert said not in proc.stderr, proc.stderr[-3000:]


# When Dask's dashboard port is taken (a shared machine), tornado leaks the socket of the
# failed attempt before Dask moves to another port.
@pytest.mark.filterwarnings("ignore:Exception ignored in:pytest.PytestUnraisableExceptionWarning")
def test_readme_example(tmp_path, monkeypatch):
    text = (ROOT / "README.md").read_text("utf-8")
    section = text[text.index("## On a Dask cluster") :]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    ns = {}
    try:
        with warnings.catch_warnings():
            # Dask's dashboard port may be taken on a shared machine: it then picks another.
            warnings.filterwarnings("ignore", "Port 8787 is already in use")
            exec(compile(code, "README.md", "exec"), ns)
    finally:
        if "client" in ns:
            ns["client"].close()
    f = vexa.Formula(ns["MACD"])
    assert_same(pd.read_parquet(tmp_path / "outputs"), f(vexa.sample(), by="symbol"), f.outputs)
