"""Missing values inside a symbol's bars: found, forward-filled when asked, and told:
which symbol, which field, from which bar, and how many values of the outputs they
turned missing."""

from __future__ import annotations

import numpy as np

from .errors import arg, quote
from .fields import PRICE_FIELDS, TIME_FIELD

FILLS = ("ffill",)


def gaps(panel):
    """(columns, first missing bar, missing bars, no value at all) of the columns of an
    (n, m) panel that miss a value after their first one or have none; None when none
    does. Leading missing values (a symbol's history starting later) are not gaps."""
    if panel.shape[0] == 0:
        return None
    with np.errstate(all="ignore"):
        sums = np.add.reduce(panel, axis=0)
    cand = np.flatnonzero(np.isnan(sums))  # a NaN, or inf - inf: looked at closely
    if not cand.size:
        return None
    miss = np.isnan(panel[:, cand])
    started = np.logical_or.accumulate(~miss, axis=0)
    inside = miss & started
    count = np.count_nonzero(inside, axis=0)
    empty = ~started[-1]
    hit = (count > 0) | empty
    if not hit.any():
        return None
    return cand[hit], np.argmax(inside, axis=0)[hit], count[hit], empty[hit]


def ffill(panel, cols):
    """A copy of the panel with columns `cols` forward-filled (each missing value takes
    the last value before it; leading missing values stay)."""
    out = np.array(panel, dtype=np.float64, order="F" if panel.flags.f_contiguous else "C")
    sub = out[:, cols]
    n = sub.shape[0]
    idx = np.where(np.isnan(sub), 0, np.arange(n)[:, None])
    np.maximum.accumulate(idx, axis=0, out=idx)
    out[:, cols] = np.take_along_axis(sub, idx, axis=0)
    return out


class MissingReport:
    """What the missing values inside symbols' bars did, gathered over blocks."""

    SHOWN = 5  # symbols described one by one

    def __init__(self):
        self.entries = []  # (symbol, fields, first bar, missing bars, values turned missing)
        self.filled = {}  # field -> symbols forward-filled
        self.prices = False

    def add(self, symbol, fields, first, missing, turned, empty):
        self.entries.append((symbol, fields, first, missing, turned, empty))
        self.prices = self.prices or any(f in PRICE_FIELDS for f in fields)

    def messages(self, fill):
        """[(harmful, text)]: harmful where the missing values turned values of the
        outputs missing (or a field has no value at all)."""
        out = []
        for symbol, fields, first, missing, turned, empty in self.entries[: self.SHOWN]:
            what = " and ".join(fields)
            of = f" of symbol {quote(symbol)}" if symbol is not None else ""
            if empty:
                out.append((False, f"{what}{of} has no value: its outputs are missing"))
                continue
            at = first if first is not None else "a bar"
            bars = f"{missing:,} missing bar{'s' if missing != 1 else ''} in all"
            if turned:
                text = (
                    f"{what}{of} is missing at {at} ({bars}): it turned {turned:,} later "
                    "values of the outputs missing (a running total does not recover from a "
                    "missing value)"
                )
            else:
                text = f"{what}{of} is missing at {at} ({bars}): no later value is missing for it"
            out.append((bool(turned), text))
        more = self.entries[self.SHOWN :]
        if more:
            harmful = any(e[4] for e in more)
            out.append((harmful, f"and {len(more):,} more symbols have missing values"))
        if out and self.prices and fill is None and any(h for h, _ in out):
            k = max(i for i, (h, _) in enumerate(out) if h)
            out[k] = (True, out[k][1] + f"; {arg('fill', 'ffill')} forward-fills the price fields")
        return out

    def filled_notes(self):
        return [
            f"{field}: missing values of {count:,} symbol{'s' if count != 1 else ''} forward-filled"
            for field, count in self.filled.items()
        ]


def evaluate_with_gaps(evaluate, panels, n, m, fill, report, symbol, when):
    """The outputs over panels of n bars x m symbols (evaluate(panels, n, m) gives them),
    with missing values inside a symbol's bars filled (fill="ffill": the price fields) or
    reported: each one's symbol, field, first bar and how many values of the outputs it
    turned missing (`report`; `symbol(j)` and `when(i, j)` name them)."""
    found = {}
    for f, p in panels.items():
        if f != TIME_FIELD:
            g = gaps(p)
            if g is not None:
                found[f] = g
    if fill == "ffill":
        for f in [f for f in found if f in PRICE_FIELDS]:
            cols, _, _, empty = found[f]
            panels = dict(panels)
            panels[f] = ffill(panels[f], cols)
            report.filled[f] = report.filled.get(f, 0) + int(np.count_nonzero(~empty))
            if empty.any():
                found[f] = tuple(x[empty] for x in found[f])
            else:
                del found[f]
    out = evaluate(panels, n, m)
    if not found:
        return out
    # The same symbols with their gaps forward-filled: the values the gaps turned
    # missing are those missing here and not there.
    cols = np.unique(np.concatenate([g[0] for g in found.values()]))
    # Values at the missing bars themselves are not counted: only the later ones.
    alt_panels, holes = {}, np.zeros((n, len(cols)), dtype=bool)
    for f, p in panels.items():
        sub = np.array(p[:, cols], dtype=np.float64)
        if f in found:
            holes |= np.isnan(sub)
            sub = ffill(sub, np.arange(len(cols)))
        alt_panels[f] = sub
    alt = evaluate(alt_panels, n, len(cols))
    turned = np.zeros(len(cols), dtype=np.int64)
    for name, v in out.items():
        lost = np.isnan(v[:, cols]) & ~np.isnan(alt[name]) & ~holes
        turned += np.count_nonzero(lost, axis=0)
    # Told in the symbols' order (the columns may be in the table's).
    rank = getattr(symbol, "rank", None)
    listed = list(enumerate(cols.tolist()))
    if rank is not None:
        listed.sort(key=lambda kj: rank(kj[1]))
    for k, j in listed:
        fields, first, missing, empty = [], None, 0, False
        for f, (fc, ff, fn, fe) in found.items():
            hit = np.flatnonzero(fc == j)
            if hit.size:
                h = int(hit[0])
                fields.append(f)
                empty = empty or bool(fe[h])
                if not fe[h]:
                    bar = int(ff[h])
                    first = bar if first is None else min(first, bar)
                    missing = max(missing, int(fn[h]))
        label = None
        if first is not None:
            label = when(first, j)
            label = f"bar {first + 1:,}" if label is None else quote(label)
        report.add(symbol(j), fields, label, missing, int(turned[k]), empty)
    return out
