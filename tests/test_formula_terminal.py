"""Terminal formulas run unchanged: the terminals' counters and functions against plain
loops of their manuals' definitions, free parameters, the names and spellings the
terminals use, the date functions against Python's calendar, formula files in the
encodings terminals save them in, and the limits the docs state."""

import datetime as dt
import re
import tracemalloc
from pathlib import Path

import model_terminal as model
import numpy as np
import pytest
from support import assert_same_values

import vexa
from vexa import cli
from vexa.formula import Formula, FormulaError, catalogue, syntax

# Random series with gaps: the missing-data warning is expected, not a fault here.
pytestmark = pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")

ROOT = Path(__file__).resolve().parent.parent


def prices(n, seed):
    """Bars in cents, so that ties of close and open occur, with a few missing closes."""
    rng = np.random.default_rng(seed)
    c = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.02, n))), 2)
    o = np.where(rng.random(n) < 0.3, c, np.round(c * (1 + rng.normal(0, 0.01, n)), 2))
    c[rng.random(n) < 0.05] = np.nan
    return {"close": c, "open": o, "high": np.fmax(c, o) + 1, "low": np.fmin(c, o) - 1}


def truth(x):
    return [bool(v == v and v != 0) for v in x]


@pytest.mark.parametrize("n", [0, 1, 7, 90])
def test_terminal_functions_follow_their_manuals(n):
    """Each function of the terminals against a loop of its definition; the counters
    against the library's through the documented mapping, too."""
    for seed in range(3):
        d = prices(n, seed)
        c, o = list(d["close"]), list(d["open"])
        up = [a > b for a, b in zip(c, o)]
        down = [a < b for a, b in zip(c, o)]
        signal = [float(a - b) if k % 3 else np.nan for k, (a, b) in enumerate(zip(c, o))]
        f = Formula(
            "A:BARSLAST(C>O); B:BARSSINCE(C<O); F:FILTER(C>O,2); G:FILTER(AMOUNT,0); "
            "H:CURRBARSCOUNT; P:BARPOS(); K:BACKSET(C>O,3); X:FILTERX(C<O,1); "
            "U:UPNDAY(C,2); W:DOWNNDAY(O,3); M:XMA(C,4); Q:XMA(O,5); T:TMA(O,0.75,0.25); "
            "TF:TFILTER(C>O,C<O,N); TB:TFILTER(C>O,C<O,1); E:EXPMEMA(O,3); "
            "R:REF(C,BARSLAST(C>O)); NU:IF(ISUP,1,DRAWNULL); V:ISDOWN+ISEQUAL*2;",
            N=0,
        )
        r = f({**d, "amount": np.array(signal, dtype=np.float64)})
        want = {
            "A": model.barslast(up),
            "B": model.barssince(down),
            "F": model.filter_([float(u) for u in up], 2),
            "G": model.filter_(signal, 0),
            "H": model.currbarscount(n),
            "P": model.barpos(n),
            "K": model.backset(up, 3),
            "X": model.filterx([float(v) for v in down], 1),
            "U": model.every_moved(c, 2, up=True),
            "W": model.every_moved(o, 3, up=False),
            "M": model.xma(c, 4),
            "Q": model.xma(o, 5),
            "T": model.tma(o, 0.75, 0.25),
            "TF": model.tfilter(up, down, 0),
            "TB": model.tfilter(up, down, 1),
            "E": model.expmema(o, 3),
            "NU": [1.0 if u else np.nan for u in up],
            "V": [float(a < b) + float(a == b) * 2 for a, b in zip(c, o)],
        }
        for name, values in want.items():
            assert_same_values(r[name], np.array(values, dtype=np.float64))
        # REF(C, BARSLAST(X)) is the close of the latest bar where X held.
        last = model.barslast(up)
        assert_same_values(
            r["R"], np.array([c[i - int(k)] if k == k else np.nan for i, k in enumerate(last)])
        )
        # The library keeps its own counts; the language's are the documented mappings.
        lib = vexa.BARSLAST(np.array(up, dtype=np.uint8))
        assert_same_values(r["A"], np.where(lib > 0, lib - 1, np.nan))
        assert_same_values(r["F"], vexa.FILTER(np.array(up, dtype=float), 3))
    assert {a.statement for a in f.looks_ahead} == {"H", "K", "X", "M", "Q"}


def test_date_functions_read_the_bars_times():
    rng = np.random.default_rng(4)
    seconds = np.concatenate([rng.integers(-(2**34), 2**34, 200), [0, 59]])
    f = Formula("D:DATE; Y:YEAR; M:MONTH; DD:DAY; W:WEEKDAY; T:TIME; H:HOUR; MI:MINUTE;")
    assert f.inputs == ("TIME",)
    # Times in no order: the reader puts the bars in time order, the results come back in
    # the caller's.
    r = f({"date": seconds.astype("datetime64[s]")})
    epoch = dt.datetime(1970, 1, 1)
    for k, s in enumerate(seconds):
        t = epoch + dt.timedelta(seconds=int(s))
        want = {
            "D": (t.year - 1900) * 10000 + t.month * 100 + t.day,
            "Y": t.year,
            "M": t.month,
            "DD": t.day,
            "W": t.isoweekday() % 7,
            "T": t.hour * 10000 + t.minute * 100 + t.second,
            "H": t.hour,
            "MI": t.minute,
        }
        assert {name: r[name][k] for name in want} == want, t
    with pytest.raises(FormulaError, match="no stream for the date and time functions"):
        f.stream()
    with pytest.raises(vexa.formula.DataError, match="reads the bars' times"):
        f({"close": seconds.astype(np.float64)})


def test_free_parameters_from_python(capsys):
    text = "DIF:=EMA(CLOSE,SHORT)-EMA(CLOSE,LONG); DEA:=EMA(DIF,MID); MACD:(DIF-DEA)*2;"
    f = Formula(text)
    assert f.params == {"SHORT": None, "LONG": None, "MID": None}
    d = prices(80, 1)
    with pytest.raises(FormulaError) as e:
        f(d, SHORT=12)
    assert "parameters without a value: LONG, MID" in str(e.value) and e.value.column == 33
    with pytest.raises(FormulaError, match="unknown name CLOSEE; did you mean CLOSE"):
        Formula("X:MA(CLOSEE,5);")(d)
    with pytest.raises(FormulaError, match="unknown parameter MDI"):
        Formula(text, SHORT=12, MDI=3)
    with pytest.raises(FormulaError, match="SHORT and short differ only in case"):
        f(d, SHORT=12, short=10, LONG=26, MID=9)
    want = Formula(text.replace("SHORT", "12").replace("LONG", "26").replace("MID", "9"))(d)
    for got in (f(d, SHORT=12, LONG=26, MID=9), Formula(text, short=12, long=26)(d, Mid=9)):
        assert_same_values(got["MACD"], want["MACD"])
    # Parameters named like the constructor's and call's own arguments are parameters.
    g = Formula("X:C*TEXT+SELF;", text=2, SELF=1)
    assert g.params == {"TEXT": 2.0, "SELF": 1.0} and g.lookahead_with(self=3) == ()
    with pytest.raises(FormulaError, match="an integer of 1329 bits"):
        Formula("X:C*N;", N=10**400)
    with pytest.raises(FormulaError, match="EMA's N = 0"):
        f(d, SHORT=0, LONG=26, MID=9)
    # A period whose parameter has no value may read later bars, and says so.
    assert [a.statement for a in Formula("X:REF(C,K);").looks_ahead] == ["X"]
    assert Formula("X:REF(C,K);").lookahead_with(K=1) == ()


def test_names_and_spellings_of_the_terminals():
    d = prices(60, 2)
    vol = np.arange(60, dtype=np.float64) + 1
    # VOLUME names a variable from its statement on; before it, the field.
    r = Formula("A:VOLUME*1; VOLUME:=MA(VOL,N)/VOL; B:VOLUME; V:V*2;", N=3)({**d, "vol": vol})
    assert_same_values(r["A"], vol)
    assert_same_values(r["B"], vexa.MA(vol, 3) / vol)
    assert list(r) == ["A", "B", "V"]
    # ASCII letters fold, nothing else does: ı and I, ſ and S are distinct names.
    r = Formula("ı:C; I:O; x:c*1e-2+2E1;")(d)
    assert_same_values(r["ı"], d["close"])
    assert_same_values(r["I"], d["open"])
    assert_same_values(r["x"], d["close"] * 0.01 + 20.0)
    # RGB colours; functions of no argument with and without parentheses.
    g = Formula("X:C,RGB(255,128,0); Y:ISLASTBAR+ISLASTBAR()+TOTALBARSCOUNT;")
    assert g._program.outputs[0].color == "#ff8000"
    # A series period for EMA and SMA reads DMA bar by bar; one below 1 is refused.
    n = np.arange(60) % 5 + 1.0
    r = Formula("E:EMA(O,VOL); S:SMA(O,VOL+2,2);")({**d, "vol": n})
    assert_same_values(r["E"], vexa.DMA(d["open"], 2.0 / (n + 1.0)))
    assert_same_values(r["S"], vexa.DMA(d["open"], 2.0 / (n + 2.0)))
    with pytest.raises(FormulaError, match=r"EMA's N = 0 \(read per bar\)") as e:
        Formula("X:C;\nE:EMA(O,VOL-1);")({**d, "vol": n})
    assert (e.value.line, e.value.column) == (2, 3)


def test_look_ahead_of_every_drawing_of_a_line():
    f = Formula("X:C; DRAWTEXT(C>O,C,'a'); DRAWICON(REF(C,-1)>C,L,1);")
    assert [(a.statement, a.function) for a in f.looks_ahead] == [("DRAWICON", "REF")]
    # A formula of drawings alone draws; it has nothing to stream.
    with pytest.raises(FormulaError, match="no output line to stream"):
        Formula("DRAWTEXT(C>O,C,'a');").stream()


def test_hostile_text_fails_in_bounded_memory():
    # A megabyte of one long expression: refused once 100,000 operations are read,
    # without tokenizing the rest.
    big = ("X:" + "+".join(f"C*{i}" for i in range(120_000)) + ";")[: 1 << 20]
    tracemalloc.start()
    try:
        with pytest.raises(FormulaError, match="more than 100,000 distinct operations"):
            Formula(big)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 40 << 20, peak
    # Functions over no bars at all.
    empty = Formula("A:BARSCOUNT(C); B:XMA(C,3); T:TMA(C,0.5,0.5); K:BACKSET(C>0,2);")(
        {"close": np.zeros(0)}
    )
    assert all(v.shape == (0,) for v in empty.values())


def test_documented_limits_and_names_are_the_codes():
    doc = (ROOT / "docs" / "formula-language.md").read_text("utf-8")
    from vexa.formula import compiler, lexer

    limits = (
        f"names of {lexer.MAX_NAME} characters",
        f"numbers of {lexer.MAX_NUMBER}",
        f"quoted texts of {lexer.MAX_STRING:,}",
        f"expressions nested {syntax.MAX_NESTING} deep",
        f"{syntax.MAX_NESTING} signs in a row",
        f"{syntax.MAX_STATEMENTS:,} statements",
        f"{syntax.MAX_OPERATIONS:,} distinct operations as written",
        f"{compiler.MAX_NODES:,} distinct",
    )
    flat = " ".join(doc.split())
    assert [x for x in limits if x not in flat] == []
    # The statement's expression is the first level, each parenthesis one more.
    deep = syntax.MAX_NESTING - 1
    nested = "X:" + "(" * deep + "C" + ")" * deep + ";"
    Formula(nested)
    with pytest.raises(FormulaError, match="nested more than"):
        Formula("X:(" + nested[2:])
    # The table of names that differ from the library: each with its exact mapping.
    table = doc[doc.index("### Names that differ from the library") :]
    rows = dict(re.findall(r"^\| `(\w+)` \| .* \| (.*) \|$", table, re.M))
    differ = {f.name: f.library for f in catalogue.FUNCTIONS.values() if f.library}
    assert {k: rows.get(k) for k in differ} == differ


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_command_line_parameters_files_and_encodings(tmp_path, capsys):
    macd = (
        "DIF:=EMA(CLOSE,SHORT)-EMA(CLOSE,LONG);DEA:=EMA(DIF,MID);MACD:(DIF-DEA)*2;\n"
        "买:CROSS(DIF,DEA);\n"
    )
    params = ["-p", "SHORT=12", "-p", "LONG=26", "-p", "MID=9"]
    status, out, err = run(capsys, "run", macd, *params)
    assert status == 0 and "MACD" in out and "买" in out, err
    status, out, _ = run(capsys, "check", macd, *params)
    assert status == 0 and "parameters: SHORT=12, LONG=26, MID=9" in out
    status, out, _ = run(capsys, "check", macd)
    assert status == 0 and "without a value (give -p NAME=VALUE): SHORT, LONG, MID" in out
    status, _, err = run(capsys, "run", macd, "-p", "SHORT=12")
    assert status == 2 and "parameters without a value: LONG, MID" in err
    status, _, err = run(capsys, "check", "X:C;", "-p", "self=3")
    assert status == 2 and "unknown parameter self" in err and "Traceback" not in err
    # Formula files as terminals save them: GBK, UTF-16 with and without a mark.
    for name, data in (
        ("gbk.txt", macd.encode("gbk")),
        ("utf16.txt", macd.encode("utf-16")),
        ("utf16le.txt", macd.encode("utf-16-le")),
        ("utf16be.tdx", macd.encode("utf-16-be")),
        ("utf8bom.fml", b"\xef\xbb\xbf" + macd.encode("utf-8")),
    ):
        (tmp_path / name).write_bytes(data)
        status, out, err = run(capsys, "check", tmp_path / name, *params)
        assert status == 0 and "output 买" in out, (name, err)
    latin = tmp_path / "latin.txt"
    latin.write_bytes("X:C; {ÿ}".encode("latin-1"))  # 0xff: neither UTF-8 nor GBK
    status, _, err = run(capsys, "check", latin)
    assert status == 2 and "neither UTF-8 nor GBK" in err
    status, _, err = run(capsys, "check", tmp_path / "gbk.txt", "--encoding", "utf-8")
    assert status == 2 and "not utf-8 text" in err
    status, out, _ = run(capsys, "check", latin, "--encoding", "latin-1")
    assert status == 0
    for missing in ("nothing.txt", "formulas/macd"):
        status, _, err = run(capsys, "run", tmp_path / missing)
        assert status == 2 and f"no formula file {tmp_path / missing}" in err
    status, out, _ = run(capsys, "functions", "barslast")
    assert status == 0 and "differs from vexa.BARSLAST: " in out and "- 1" in out
