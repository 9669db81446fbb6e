"""The vexa command and the example formulas, from the command line and from Python."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vexa
from vexa import cli
from vexa.cli.run import PROGRESS_FROM
from vexa.data import csv_exact
from vexa.formula import Formula

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.txt"))


def native_extras():
    try:
        from vexa import _native  # noqa: F401
    except ImportError:
        return False
    return True


def needs(path):
    text = path.read_text("utf-8")
    return any(name in text for name in ("ZIG(", "PEAK(", "TROUGH("))


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_examples_run_from_the_command_line_and_python(path, capsys):
    if needs(path) and not native_extras():
        pytest.skip("needs vexa._native")
    status, out, err = run(capsys, "run", path)
    assert status == 0, err
    assert "AAPL" in out and "MSFT" in out
    f = Formula(path.read_bytes())
    result = f(vexa.sample(), by="symbol")
    assert list(result.columns) == ["symbol", "date", *f.outputs]
    last = result.groupby("symbol").tail(1)
    assert np.isfinite(last[list(f.outputs)].to_numpy()).any()
    assert ("looks ahead" in err or "reads later bars" in err) == bool(f.looks_ahead)


def test_run_on_a_file_with_parameters_and_output(tmp_path, capsys):
    df = vexa.sample("IBM").reset_index()
    data = tmp_path / "ibm.csv"
    df.to_csv(data, index=False)
    out = tmp_path / "out.csv"
    status, _, err = run(
        capsys, "run", "X:MA(C,N); INPUT: N(5);", "--data", data, "-p", "n=3", "--out", out
    )
    assert status == 0, err
    got = pd.read_csv(out, **csv_exact())
    assert list(got.columns) == ["date", "X"]
    want = vexa.MA(df["close"].to_numpy(dtype=float, copy=True), 3)
    np.testing.assert_array_equal(got["X"].to_numpy(), want)


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["run", "X:MA(CLOS,5);"], 2, "unknown name CLOS; did you mean CLOSE"),
        (["run", "X:MA(C,5"], 2, "expected ',' or ')'"),
        (["run", "X:C;", "-p", "N"], 2, "write NAME=VALUE"),
        (["run", "X:C;", "-p", "N=3"], 2, "unknown parameter N"),
        (["run", "X:C;", "--data", "/nonexistent.csv"], 1, "no data file"),
        (["run", "X:AMOUNT;"], 1, "no column for AMOUNT"),
        (["run", "X:C;", "--by", "ticker"], 1, "no column 'ticker'"),
        (["functions", "MAA"], 2, "no function MAA; did you mean MA"),
        (["check", "X:MA(C,5); Y:REF(C,-2);"], 0, ""),
    ],
)
def test_exit_status_and_messages(argv, status, message, capsys):
    got, out, err = run(capsys, *argv)
    assert got == status
    assert message in err
    assert "Traceback" not in err
    if status == 2 and "line" in err:
        assert err.rstrip().endswith("^")


def test_check_functions_and_look_ahead(capsys):
    status, out, _ = run(capsys, "check", "X:MA(C,5); Y:REF(C,-2); DRAWLINE(1,C,1,C,0);")
    assert status == 0
    assert "output X" in out and "looks ahead: Y (line 1)" in out and "DRAWLINE is not drawn" in out
    status, out, err = run(capsys, "run", "Y:REFX(C,1);")
    assert status == 0 and "a backtest on this formula is wrong" in err
    status, out, _ = run(capsys, "functions")
    assert status == 0 and "HHVBARS(X, N)" in out and "STICKLINE" in out
    status, out, _ = run(capsys, "functions", "ma")
    assert "MA_A" in out


def test_console_script_and_module():
    for cmd in (["vexa"], [sys.executable, "-m", "vexa"]):
        if cmd == ["vexa"] and not Path(sys.executable).with_name("vexa").exists():
            continue
        exe = [str(Path(sys.executable).with_name("vexa"))] if cmd == ["vexa"] else cmd
        proc = subprocess.run([*exe, "check", "X:MA(C,"], capture_output=True, text=True)
        assert proc.returncode == 2
        assert "Traceback" not in proc.stderr and "^" in proc.stderr


def test_chart(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    png = tmp_path / "ma.png"
    status, _, err = run(
        capsys, "run", ROOT / "examples" / "ma.txt", "--chart", png, "--symbol", "MSFT"
    )
    assert status == 0, err
    assert png.stat().st_size > 10_000
    status, _, err = run(capsys, "run", "X:C;", "--chart", tmp_path / "x.svg")
    assert status == 2 and ".png" in err


def test_every_function_is_documented():
    from vexa.formula import catalogue

    doc = (ROOT / "docs" / "formula-language.md").read_text("utf-8")
    missing = [name for name in catalogue.FUNCTIONS if f"`{name}" not in doc]
    assert not missing


def test_progress_over_many_symbols(tmp_path, capsys):
    rng = np.random.default_rng(5)
    rows = []
    for k in range(PROGRESS_FROM + 10):
        n = int(rng.integers(5, 40))
        rows.append(
            pd.DataFrame({"ticker": f"T{k}", "day": np.arange(n), "close": 10 + rng.random(n)})
        )
    data = tmp_path / "many.csv"
    pd.concat(rows).to_csv(data, index=False)
    status, out, err = run(
        capsys, "run", "X:MA(C,3);", "--data", data, "--by", "ticker", "--time", "day"
    )
    assert status == 0, err
    assert f"{PROGRESS_FROM + 10}" in err  # the bar's total (tqdm or the plain line)
    assert "T0" in out
