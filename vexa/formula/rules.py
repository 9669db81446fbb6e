"""Values of number parameters that make no sense in the language (EMA(C,0),
SMA(C,3,5), ZIG(C,-5)), beyond what the table's kernels refuse: the rules of each
function (`check_rules`), and the check of the values a program's numbers take
(`check_values`), made once the parameters have values.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from .errors import number
from .func import INT, REAL
from .graph import period


@dataclass
class Check:
    """A rule on the values of number arguments of one call (check_rules)."""

    rule: tuple
    label: str  # the function as written
    names: tuple  # the parameters' names, by position
    nodes: dict  # position -> node id of the scalar arguments
    pos: int  # the call's offset


# Values of number parameters that make no sense in the language, beyond what the
# table's kernels refuse: (function, parameter) -> the least whole value.
LEAST = {
    ("EMA", "N"): 1,
    ("SMA", "N"): 1,
    ("SMA", "M"): 1,
}
# Other rules, by function: ("le", i, j): parameter i <= parameter j; ("last", a, b):
# a = 0 or a >= b; ("positive", i): a finite number above 0; ("choice", i, values);
# ("percents", i, j): 0 < parameter i <= parameter j <= 100.
RULES = {
    "SMA": (("le", 2, 1),),
    "LAST": (("last", 1, 2),),
    "ZIG": (("positive", 1),),
    "PEAK": (("positive", 1),),
    "TROUGH": (("positive", 1),),
    "PEAKBARS": (("positive", 1),),
    "TROUGHBARS": (("positive", 1),),
    "TFILTER": (("choice", 2, (0, 1, 2)),),
    "XMA": (("least", 1, 1),),
    "SAR": (("percents", 3, 4),),
}


def check_rules(func):
    """The rules on the number parameters of `func`: ("least", i, least) for every
    integer parameter (the table's least, or the language's where it asks more), the
    function's own rules, and ("finite", i) for every real one."""
    rules = _RULES_OF.get(func.name)
    if rules is None or rules[0] is not func:
        rules = _RULES_OF[func.name] = (func, _check_rules(func))
    return rules[1]


_RULES_OF = {}


def _check_rules(func):
    rules = []
    if func.category == "table":
        for i, p in enumerate(func.row.params):
            if p.kind == INT:
                least = max(p.least, LEAST.get((func.name, p.name), p.least))
                rules.append(("least", i, least))
    rules.extend(func.checks)
    rules.extend(RULES.get(func.name, ()))
    for i, (_, kind) in enumerate(func.params):
        if kind == REAL:
            rules.append(("finite", i))
    return tuple(rules)


def check_values(program, scalars):
    """Refuses values of number parameters that make no sense (check_rules):
    a FormulaError naming the function, the parameter and its value, at the call."""
    for check in program.checks:
        values = {k: scalars[i] for k, i in check.nodes.items()}
        if any(v is None for v in values.values()):
            continue  # a parameter without a value: checked once it has one
        message = _broken_rule(check, values)
        if message is not None:
            source = program.source
            raise source.error(message, source.position(check.pos))


def _broken_rule(check, values):
    rule, f, names = check.rule, check.label, check.names
    kind = rule[0]
    if kind == "least":
        k, least = rule[1], rule[2]
        v = float(values[k])
        if period(v) is None:
            return f"{f}'s {names[k]} = {v!r} is not a period (a number within the 32-bit range)"
        if period(v) < least:
            return f"{f}'s {names[k]} = {number(v)}: it must be a whole number of {least} or more"
    elif kind == "le":
        i, j = rule[1], rule[2]
        a, b = period(values[i]), period(values[j])
        if a is not None and b is not None and a > b:
            return (
                f"{f}'s {names[i]} = {a} is larger than its {names[j]} = {b}: {names[i]} is "
                f"the new bar's weight out of {names[j]} (1 <= {names[i]} <= {names[j]})"
            )
    elif kind == "last":
        a, b = period(values[rule[1]]), period(values[rule[2]])
        if a is not None and b is not None and 0 < a < b:
            return (
                f"{f}'s A = {a} is smaller than its B = {b}: the bars run from A bars ago to "
                "B bars ago (A >= B, or A = 0 for from the first bar)"
            )
    elif kind == "percents":
        i, j = rule[1], rule[2]
        a, b = float(values[i]), float(values[j])
        if not (0 < a <= b <= 100):
            return (
                f"{f}'s {names[i]} = {number(a)} and {names[j]} = {number(b)}: in percent, "
                f"0 < {names[i]} <= {names[j]} <= 100 (the factor's step and its cap)"
            )
    elif kind == "positive":
        k = rule[1]
        v = float(values[k])
        if not (math.isfinite(v) and v > 0):
            return f"{f}'s {names[k]} = {number(v)}: a percentage above 0 is needed"
    elif kind == "finite":
        k = rule[1]
        v = float(values[k])
        if not math.isfinite(v):
            return f"{f}'s {names[k]} = {number(v)}: a finite number is needed"
    elif kind == "choice":
        k, choices = rule[1], rule[2]
        v = float(values[k])
        if v not in choices:
            shown = ", ".join(str(c) for c in choices)
            return f"{f}'s {names[k]} = {number(v)}: one of {shown}"
    return None
