"""From the syntax tree to a checked program.

The program is a list of nodes in evaluation order (every node after its arguments),
each one computed once: equal sub-expressions, across statements too, are one node.
Names are resolved here, case-insensitively (variables, parameters, data fields,
functions); arities and argument kinds are checked; a period given as a series picks
the table's per-bar variant (MA -> MA_A); the spellings of the language that name a
table function another way are rewritten into it; and every node knows whether it
reads later bars. The tree is walked with an explicit stack, never by recursion.
"""

from __future__ import annotations

import difflib
import math
import struct
from dataclasses import dataclass

import numpy as np

from . import catalogue as cat
from .errors import FormulaError
from .syntax import Binary, Call, Name, Num, Str, Unary

MAX_NODES = 100_000

SCALAR, SERIES_SHAPE = "scalar", "series"

# Operators: canonical spelling -> node op.
_ARITH = {"+": "add", "-": "sub", "*": "mul", "/": "div"}
_COMPARE = {">": "gt", ">=": "ge", "<": "lt", "<=": "le", "=": "eq", "<>": "ne"}
_LOGIC = {"AND": "and", "OR": "or"}

# Functions whose values are never negative (for the look-ahead of a per-bar REF).
_NONNEG_FUNCS = {
    "BARSINCE",
    "BARLAST",
    "BARSLAST",
    "BACKCOUNT",
    "CURRBARSCOUNT",
    "COUNT",
    "COUNT_A",
    "BARSCOUNT",
    "TOTALBARSCOUNT",
    "HHVBARS",
    "LLVBARS",
    "SUMBARS",
    "EVERY",
    "EXIST",
    "LAST",
    "LONGCROSS",
    "CROSS",
    "ABS",
    "SQRT",
    "EXP",
    "NOT",
    "BETWEEN",
    "RANGE",
    "ISLASTBAR",
    "PEAKBARS",
    "TROUGHBARS",
}


class Node:
    __slots__ = ("ahead", "args", "func", "id", "label", "nonneg", "op", "pos", "shape", "value")

    def __init__(self, op, args, shape, pos, value=None, func=None, label=None):
        self.op, self.args, self.shape, self.pos = op, args, shape, pos
        self.value, self.func, self.label = value, func, label
        self.ahead = None  # look-ahead rule: None, "always", "negative", "positive"
        self.nonneg = False
        self.id = -1


@dataclass
class Output:
    name: str
    node: int
    line: int
    style: str = "line"
    color: str | None = None
    width: int | None = None
    drawn: bool = True


@dataclass
class Drawing:
    kind: str  # STICKLINE, DRAWTEXT, DRAWICON, DRAWNUMBER
    args: tuple  # node ids, or the text of DRAWTEXT
    line: int
    color: str | None = None


@dataclass
class StatementInfo:
    label: str  # the name, or the text of an unnamed statement
    kind: str  # "output", "var", "expr", "drawing", "nodraw"
    node: int | None
    line: int


@dataclass
class Program:
    nodes: list
    outputs: list
    drawings: list
    statements: list
    params: dict  # name as written -> default
    inputs: tuple
    not_drawn: list  # (name, line)
    ignored_attributes: list  # (name, line)


def compile_program(source, statements, defaults):
    return Compiler(source, defaults).run(statements)


class Compiler:
    def __init__(self, source, defaults):
        self.source = source
        self.nodes = []
        self.keys = {}
        self.variables = {}  # NAME -> (node, line)
        self.params = {}  # NAME -> name as given
        self.defaults = {}  # name as given -> value
        self.fields_used = set()
        self.call_defaults = dict(defaults)

    def error(self, message, offset, expected=None):
        return self.source.error(message, self.source.position(offset), expected)

    # ---- statements -------------------------------------------------------------

    def run(self, statements):
        declared = {}
        for st in statements:
            if st.kind == "input":
                for name, value, pos in st.params:
                    upper = name.upper()
                    self._check_new_name(name, pos, "parameter")
                    if upper in declared:
                        raise self.error(f"the parameter {name} is declared twice", pos)
                    declared[upper] = (name, value, pos)
        given = {}
        for name, value in self.call_defaults.items():
            upper = name.upper()
            if upper in given:
                raise FormulaError(f"parameters {given[upper][0]} and {name} differ only in case")
            given[upper] = (name, value)
        for upper, (name, value) in given.items():
            if upper not in declared:
                if upper in cat.FIELD_ALIASES:
                    raise FormulaError(f"parameter {name}: {upper} is a data field")
            declared_name = declared[upper][0] if upper in declared else name
            self.params[upper] = declared_name
            self.defaults[declared_name] = _param_value(name, value)
        for upper, (name, value, _pos) in declared.items():
            if upper not in given:
                self.params[upper] = name
                self.defaults[name] = value

        outputs, drawings, infos, not_drawn, ignored = [], [], [], [], []
        names = {}
        for st in statements:
            if st.kind == "input":
                continue
            expr = st.expr
            func = self._drawing_func(expr)
            if func is not None:
                if st.kind == "var":
                    raise self.error(f"{func.name} draws; it cannot be an intermediate", st.pos)
                if func.kind == "nodraw":
                    self._check_nodraw(expr)
                    not_drawn.append((func.name, st.line))
                    infos.append(StatementInfo(func.name, "nodraw", None, st.line))
                    continue
                drawing = self._drawing(func, expr, st.line)
                for attr, pos in st.attrs:
                    meaning = self._attribute(attr, pos)
                    if meaning[0] == "color":
                        drawing.color = meaning[1]
                    elif meaning[0] == "ignored":
                        ignored.append((attr, st.line))
                drawings.append(drawing)
                infos.append(StatementInfo(func.name, "drawing", None, st.line))
                continue
            node = self.expression(expr)
            if st.kind == "var":
                self._define(st.name, st.pos, node, st.line)
                infos.append(StatementInfo(st.name, "var", node.id, st.line))
                if st.attrs:
                    attr, pos = st.attrs[0]
                    raise self.error(
                        "an intermediate (:=) is not drawn and takes no drawing attributes",
                        pos,
                    )
                continue
            if st.kind == "output":
                self._define(st.name, st.pos, node, st.line)
                name = st.name
            else:
                name = st.text
            upper = name.upper()
            if upper in names:
                base, k = name, 2
                while f"{base}#{k}".upper() in names:
                    k += 1
                name = f"{base}#{k}"
                upper = name.upper()
            names[upper] = True
            out = Output(name, node.id, st.line)
            for attr, pos in st.attrs:
                meaning = self._attribute(attr, pos)
                if meaning[0] == "color":
                    out.color = meaning[1]
                elif meaning[0] == "width":
                    out.width = meaning[1]
                elif meaning[0] == "style":
                    out.style = meaning[1]
                elif meaning[0] == "nodraw":
                    out.drawn = False
                else:
                    ignored.append((attr, st.line))
            outputs.append(out)
            infos.append(StatementInfo(name, st.kind, node.id, st.line))
        params = {name: self.defaults[name] for name in self.params.values()}
        program = Program(self.nodes, outputs, drawings, infos, params, (), not_drawn, ignored)
        # The data fields that the outputs and drawings need (unused intermediates
        # need nothing), in the usual order.
        from .evaluate import needed

        used = {self.nodes[i].value for i in needed(program)[0] if self.nodes[i].op == "field"}
        program.inputs = tuple(f for f in cat.FIELDS if f in used)
        return program

    def _check_new_name(self, name, pos, what):
        upper = name.upper()
        if upper in cat.FIELD_ALIASES:
            raise self.error(
                f"{name} is the data field {cat.FIELD_ALIASES[upper]}; a {what} needs another name",
                pos,
            )

    def _define(self, name, pos, node, line):
        upper = name.upper()
        self._check_new_name(name, pos, "variable")
        if upper in self.variables:
            raise self.error(f"{name} is already defined on line {self.variables[upper][1]}", pos)
        if upper in self.params:
            raise self.error(f"{name} is a parameter; a variable needs another name", pos)
        self.variables[upper] = (node, line)

    def _attribute(self, name, pos):
        meaning = cat.attribute(name)
        if meaning is None:
            close = difflib.get_close_matches(name.upper(), cat.ATTRIBUTE_NAMES, n=3)
            raise self.error(
                f"unknown drawing attribute {name}" + _did_you_mean(close),
                pos,
                "COLORRED and the other named colours, COLOR + 6 hex digits (blue, green, "
                "red), LINETHICK0-9, NODRAW, STICK, COLORSTICK, VOLSTICK, DOTLINE, ...",
            )
        return meaning

    # ---- drawings --------------------------------------------------------------

    def _drawing_func(self, expr):
        if isinstance(expr, Call):
            func = cat.FUNCTIONS.get(expr.name.upper())
            if func is not None and func.kind in ("draw", "nodraw"):
                return func
        return None

    def _drawing(self, func, call, line):
        self._arity(func, call)
        args = []
        for (pname, kind), arg in zip(func.params, call.args):
            if kind == cat.TEXT:
                if not isinstance(arg, Str):
                    raise self.error(
                        f"{func.name}'s {pname} must be a quoted text", arg.pos, "'text'"
                    )
                args.append(arg.value)
                continue
            node = self.expression(arg)
            if kind == cat.REAL and node.shape != SCALAR:
                raise self.error(f"{func.name}'s {pname} must be a number, not a series", arg.pos)
            args.append(node.id)
        return Drawing(func.name, tuple(args), line)

    def _check_nodraw(self, call):
        for arg in call.args:
            if not isinstance(arg, Str):
                self.expression(arg)

    # ---- expressions -----------------------------------------------------------

    def expression(self, item):
        """The node of a syntax tree. Chains of binary operators (which the parser builds
        leaning left, however long) are walked by a loop; the recursion left is bounded
        by the parser's nesting limit."""
        kind = type(item)
        if kind is Binary:
            spine = []
            while type(item) is Binary:
                spine.append(item)
                item = item.left
            node = self.expression(item)
            for b in reversed(spine):
                node = self._binary(b, node, self.expression(b.right))
            return node
        if kind is Num:
            return self.node("num", (), SCALAR, item.pos, value=item.value, nonneg=item.value >= 0)
        if kind is Name:
            return self._name(item)
        if kind is Unary:
            a = self.expression(item.operand)
            return self.node("neg", (a,), a.shape, item.pos)
        if kind is Call:
            func = cat.FUNCTIONS.get(item.name.upper())
            if func is not None and func.kind in ("draw", "nodraw"):
                return self._call(item, ())  # reported there
            return self._call(item, [self.expression(a) for a in item.args])
        raise self.error(
            "a quoted text can only be the text of DRAWTEXT", item.pos, "an expression"
        )

    def _binary(self, item, a, b):
        shape = SERIES_SHAPE if SERIES_SHAPE in (a.shape, b.shape) else SCALAR
        op = item.op
        if op in _ARITH:
            nonneg = op in ("+", "*", "/") and a.nonneg and b.nonneg
            return self.node(_ARITH[op], (a, b), shape, item.pos, nonneg=nonneg)
        if op in _COMPARE:
            return self.node(_COMPARE[op], (a, b), shape, item.pos, nonneg=True)
        return self.node(_LOGIC[op], (a, b), shape, item.pos, nonneg=True)

    def node(self, op, args, shape, pos, value=None, func=None, label=None, nonneg=False):
        if op == "num":
            key = ("num", struct.pack("<d", value))
        elif len(args) == 2:
            key = (op, value if func is None else func.name, args[0].id, args[1].id)
        else:
            key = (op, value if func is None else func.name, *[a.id for a in args])
        found = self.keys.get(key)
        if found is not None:
            return found
        if len(self.nodes) >= MAX_NODES:
            raise self.error(f"the formula has more than {MAX_NODES:,} operations", pos)
        n = Node(op, tuple(args), shape, pos, value, func, label)
        n.nonneg = nonneg
        n.id = len(self.nodes)
        self.nodes.append(n)
        self.keys[key] = n
        return n

    def _name(self, item):
        upper = item.name.upper()
        var = self.variables.get(upper)
        if var is not None:
            return var[0]
        if upper in self.params:
            name = self.params[upper]
            return self.node(
                "param", (), SCALAR, item.pos, value=name, nonneg=self.defaults[name] >= 0
            )
        field = cat.FIELD_ALIASES.get(upper)
        if field is not None:
            self.fields_used.add(field)
            return self.node("field", (), SERIES_SHAPE, item.pos, value=field)
        func = cat.FUNCTIONS.get(upper)
        if func is not None and func.bare:
            return self._call(Call(item.name, [], item.pos), [])
        if func is not None:
            pnames = ", ".join(p for p, _ in func.params)
            raise self.error(f"{upper} is a function: call it as {upper}({pnames})", item.pos)
        candidates = list(self.variables) + list(self.params) + list(cat.FIELD_ALIASES)
        close = difflib.get_close_matches(upper, candidates, n=3, cutoff=0.6)
        raise self.error(
            f"unknown name {_short(item.name)}" + _did_you_mean(close),
            item.pos,
            "a data field (OPEN, HIGH, LOW, CLOSE, VOL, AMOUNT), a variable defined earlier, "
            "or a parameter given a value (INPUT: NAME(value); in the formula, -p NAME=value, "
            "or Formula(text, NAME=value))",
        )

    def _arity(self, func, call):
        if func.variadic:
            return
        given, want = len(call.args), func.arity
        if given != want:
            pnames = ", ".join(p for p, _ in func.params)
            raise self.error(
                f"{func.name} takes {want} argument{'s' if want != 1 else ''} "
                f"({pnames}), {given} given",
                call.pos,
                f"{func.name}({pnames})",
            )

    def _call(self, call, args):
        upper = call.name.upper()
        func = cat.FUNCTIONS.get(upper)
        if func is None:
            if upper in self.variables or upper in self.params or upper in cat.FIELD_ALIASES:
                raise self.error(f"{_short(call.name)} is not a function", call.pos)
            close = difflib.get_close_matches(upper, list(cat.FUNCTIONS), n=3, cutoff=0.6)
            raise self.error(
                f"unknown function {_short(call.name)}" + _did_you_mean(close),
                call.pos,
                "a function of `vexa functions`",
            )
        if func.kind in ("draw", "nodraw"):
            raise self.error(
                f"{func.name} draws; it has no value to compute with (write it as a "
                "statement of its own)",
                call.pos,
            )
        self._arity(func, call)
        label = func.name
        if func.kind == "rewrite":
            target = cat.ROWS.get(func.impl) or cat.FUNCTIONS[func.impl]
            moved = []
            for k in func.order:
                if isinstance(k, str):  # a data field the function reads itself
                    self.fields_used.add(k)
                    moved.append(self.node("field", (), SERIES_SHAPE, call.pos, value=k))
                    continue
                a = args[k]
                if k in func.negate:
                    a = self.node("neg", (a,), a.shape, call.args[k].pos)
                moved.append(a)
            args = moved
            positions = [call.pos if isinstance(k, str) else call.args[k].pos for k in func.order]
            func = target
        else:
            positions = [a.pos for a in call.args]
        if func.kind == "numpy":
            shape = SERIES_SHAPE
            if not func.series_out and all(a.shape == SCALAR for a in args):
                shape = SCALAR
            nonneg = func.name in _NONNEG_FUNCS
            node = self.node(
                "np", tuple(args), shape, call.pos, func=func, label=label, nonneg=nonneg
            )
            node.ahead = func.ahead
            return node
        return self._table_call(func, args, positions, call.pos, label)

    def _table_call(self, func, args, positions, pos, label):
        row = func.row
        kinds = [k for _, k in func.params]
        for k, (kind, a) in enumerate(zip(kinds, args)):
            pname = func.params[k][0]
            if kind == cat.INT and a.shape != SCALAR:
                alt = row.per_bar
                if alt is None or k != 1:
                    raise self.error(
                        f"{func.name}'s {pname} must be a number (a constant or a "
                        "parameter), not a series"
                        + ("" if alt else f": {func.name} has no per-bar variant"),
                        positions[k],
                    )
                func = cat.FUNCTIONS[alt.name]
                row = alt
            elif kind == cat.REAL and a.shape != SCALAR:
                raise self.error(
                    f"{func.name}'s {pname} must be a number, not a series", positions[k]
                )
            elif kind == cat.PRICE and a.shape == SCALAR:
                if a.op != "num" or a.value not in (0.0, 1.0, 2.0, 3.0):
                    raise self.error(
                        f"{func.name}'s {pname}: 0, 1, 2 or 3 (OPEN, HIGH, LOW, CLOSE), "
                        "or a series",
                        positions[k],
                    )
                field = ("OPEN", "HIGH", "LOW", "CLOSE")[int(a.value)]
                self.fields_used.add(field)
                args = list(args)
                args[k] = self.node("field", (), SERIES_SHAPE, a.pos, value=field)
        node = self.node(
            "call",
            tuple(args),
            SERIES_SHAPE,
            pos,
            func=func,
            label=label,
            nonneg=func.name in _NONNEG_FUNCS,
        )
        node.ahead = func.ahead
        return node


def _param_value(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise FormulaError(f"parameter {name}: a number is needed, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise FormulaError(f"parameter {name}: a finite number is needed, not {value}")
    return value


def _did_you_mean(close):
    if not close:
        return ""
    return "; did you mean " + " or ".join(close) + "?"


def _short(text, width=40):
    return text if len(text) <= width else text[: width - 3] + "..."


# ---- values of the scalar nodes and look-ahead ----------------------------------------


def scalar_values(program, params):
    """{node id: float64} for every node that is one number, with `params` (name as
    written -> value). The same numpy operations as the evaluation of series."""
    values = {}
    with np.errstate(all="ignore"):
        for n in program.nodes:
            if n.shape != SCALAR:
                continue
            if n.op == "num":
                values[n.id] = np.float64(n.value)
            elif n.op == "param":
                values[n.id] = np.float64(params[n.value])
            else:
                from .evaluate import apply_elementwise

                values[n.id] = apply_elementwise(n, [values[a.id] for a in n.args], None)
    return values


def period(value):
    """A period as the kernels take it: truncated toward zero, or None beyond int32."""
    v = float(value)
    if not (-2147483649.0 < v < 2147483648.0):
        return None
    return int(v)


def lookahead_nodes(program, scalars):
    """{node id: the function that reads later bars} for every node that reads later
    bars itself or through its arguments."""
    ahead = {}
    for n in program.nodes:
        src = None
        if n.ahead == "always":
            src = n.label
        elif n.ahead in ("negative", "positive"):
            arg = n.args[1]
            if arg.shape == SCALAR:
                p = period(scalars[arg.id])
                if p is not None and ((p < 0) if n.ahead == "negative" else (p > 0)):
                    src = n.label
            elif n.ahead == "negative" and not arg.nonneg:
                src = n.label  # a per-bar period that may be negative
        if src is None:
            for a in n.args:
                if a.id in ahead:
                    src = ahead[a.id]
                    break
        if src is not None:
            ahead[n.id] = src
    return ahead
