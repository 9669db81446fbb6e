"""From the syntax tree to a checked program (graph.Program).

The program is a list of nodes in evaluation order (every node after its arguments),
each one computed once: equal sub-expressions, across statements too, are one node.
Names are resolved here (variables, parameters, data fields, functions), ASCII letters
folded to upper case; a name that is none of these is a parameter, whose value the
caller gives. Arities and argument kinds are checked; a period given as a series picks
the table's per-bar variant (MA -> MA_A); the spellings of the language that name a
table function another way are rewritten into it, and the terminals' functions that
are chains of library calls are built from them (chains.py); every node knows whether
it reads later bars. The rules on the values of number parameters (EMA(C,0),
SMA(C,3,5)) are recorded with each call and checked once the parameters have values
(rules.py). Chains of binary operators are walked by a loop, never by recursion.
"""

from __future__ import annotations

import difflib
import struct

from . import catalogue as cat
from . import drawing, ops
from .chains import SERIES_PERIODS
from .errors import FormulaError, did_you_mean, short
from .fields import FIELD_ALIASES, FIELDS, INPUTS, PRICE_FIELDS
from .func import INT, PRICE, REAL, TEXT
from .graph import SCALAR, SERIES_SHAPE, Drawing, Node, Output, Program, StatementInfo, needed
from .lexer import fold
from .params import param_value
from .rules import Check, check_rules
from .syntax import Binary, Call, Name, Num, Str, Unary

MAX_NODES = 200_000  # distinct operations once the terminals' functions are expanded


def compile_program(source, statements, defaults):
    return Compiler(source, defaults).run(statements)


class Builder:
    """What the terminals' chains (chains.py) build their nodes with: calls of the
    table's functions as the library defines them (`call`), of the language's own
    (`fn`), of hidden element-wise helpers (`np`), operators, numbers and fields. Every
    node is labelled with the function as written, for errors and look-ahead."""

    def __init__(self, compiler, label, pos):
        self.c, self.label, self.pos = compiler, label, pos

    def call(self, name, *args):
        func = cat.LIBRARY[name]
        return self.c._table_call(func, list(args), [self.pos] * len(args), self.pos, self.label)

    def fn(self, name, *args):
        return self.c._apply(cat.FUNCTIONS[name], list(args), [self.pos] * len(args), self.pos)

    def np(self, func, *args):
        return self.c._np_node(func, args, self.pos, self.label)

    def num(self, value):
        return self.c.number(value, self.pos)

    def op(self, op, a, b):
        return self.c.operator(op, (a, b), self.pos, self.label)

    def field(self, name):
        return self.c.field(name, self.pos)


class Compiler:
    def __init__(self, source, defaults):
        self.source = source
        self.nodes = []
        self.keys = {}
        self.variables = {}  # NAME -> (node, line)
        self.params = {}  # NAME -> name as written
        self.defaults = {}  # name as written -> value, or None
        self.free = {}  # NAME -> (name, offset) of the parameters made by use
        self.given = {}  # NAME -> (name, value) of Formula(text, **defaults)
        self.checks = []
        self.call_defaults = dict(defaults)

    def error(self, message, offset, expected=None):
        return self.source.error(message, self.source.position(offset), expected)

    # ---- statements -------------------------------------------------------------

    def run(self, statements):
        declared = {}
        for st in statements:
            if st.kind == "input":
                for name, value, pos in st.params:
                    upper = fold(name)
                    self._check_new_name(name, pos, "parameter")
                    if upper in declared:
                        raise self.error(f"the parameter {name} is declared twice", pos)
                    declared[upper] = (name, value, pos)
        for name, value in self.call_defaults.items():
            upper = fold(name)
            if upper in self.given:
                raise FormulaError(
                    f"parameters {self.given[upper][0]} and {name} differ only in case"
                )
            if upper in FIELD_ALIASES and upper not in declared:
                raise FormulaError(f"parameter {name}: {upper} is a data field")
            self.given[upper] = (name, param_value(name, value))
        for upper, (name, value, _pos) in declared.items():
            self.params[upper] = name
            self.defaults[name] = self.given[upper][1] if upper in self.given else value

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
                if st.kind == "output":
                    raise self.error(
                        f"{func.name} draws and has no value for {st.name} to name: write "
                        f"{func.name}(...) as a statement of its own, without {st.name}:",
                        st.pos,
                    )
                if func.category == "nodraw":
                    self._check_nodraw(expr)
                    not_drawn.append((func.name, st.line))
                    infos.append(StatementInfo(func.name, "nodraw", None, st.line))
                    continue
                drawing = self._drawing(func, expr, st.line)
                for attr, pos, numbers in st.attrs:
                    meaning = self._attribute(attr, pos, numbers)
                    if meaning[0] == "color":
                        drawing.color = meaning[1]
                    elif meaning[0] == "ignored":
                        ignored.append((attr, st.line))
                drawings.append(drawing)
                infos.append(StatementInfo(func.name, "drawing", None, st.line, len(drawings) - 1))
                continue
            node = self.expression(expr)
            if st.kind == "var":
                self._define(st.name, st.pos, node, st.line)
                infos.append(StatementInfo(st.name, "var", node.id, st.line))
                if st.attrs:
                    raise self.error(
                        "an intermediate (:=) is not drawn and takes no drawing attributes",
                        st.attrs[0][1],
                    )
                continue
            if st.kind == "output":
                self._define(st.name, st.pos, node, st.line)
                name = st.name
            else:
                name = st.text
            upper = fold(name)
            if upper in names:
                base, k = name, 2
                while fold(f"{base}#{k}") in names:
                    k += 1
                name = f"{base}#{k}"
                upper = fold(name)
            names[upper] = True
            out = Output(name, node.id, st.line)
            for attr, pos, numbers in st.attrs:
                meaning = self._attribute(attr, pos, numbers)
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
        if not outputs and not drawings:
            last = next((st for st in reversed(statements) if st.kind != "input"), None)
            raise self.source.error(
                "the formula has no output line"
                + ("" if last is None else " (its statements are all intermediates, NAME:=)"),
                self.source.position(0 if last is None else last.pos),
                "NAME:expression, or an expression, for a line to compute",
            )
        unknown = [name for upper, (name, _) in self.given.items() if upper not in self.params]
        if unknown:
            known = list(self.params.values())
            func = cat.FUNCTIONS.get(fold(unknown[0]))
            if func is not None:
                raise FormulaError(
                    f"parameter {short(unknown[0])}: {func.name} is a function of the "
                    f"language ({func.summary[:1].lower()}{func.summary[1:]}); a parameter "
                    "needs another name"
                )
            close = difflib.get_close_matches(fold(unknown[0]), list(self.params), n=3)
            raise FormulaError(
                f"unknown parameter {short(unknown[0])}"
                + did_you_mean([self.params[c] for c in close])
                + f" (the formula's parameters: {', '.join(known) or 'none'})"
            )
        params = {name: self.defaults[name] for name in self.params.values()}
        program = Program(self.nodes, outputs, drawings, infos, params, (), not_drawn, ignored)
        program.free = self._free_hints()
        program.checks = self.checks
        program.source = self.source
        # The data fields that the outputs and drawings need (unused intermediates
        # need nothing), in the usual order.
        used = {self.nodes[i].value for i in needed(program)[0] if self.nodes[i].op == "field"}
        program.inputs = tuple(f for f in INPUTS if f in used)
        return program

    def _free_hints(self):
        """{name: (offset, close matches)} of the parameters made by use: where each is
        first read, and the names of the formula it may be a typo of."""
        candidates = list(self.variables) + list(FIELD_ALIASES)
        candidates += [name for name, f in cat.FUNCTIONS.items() if f.bare]
        hints = {}
        for upper, (name, pos) in self.free.items():
            close = difflib.get_close_matches(upper, candidates, n=3, cutoff=0.75)
            hints[name] = (pos, tuple(close))
        return hints

    def _check_new_name(self, name, pos, what):
        upper = fold(name)
        if upper in FIELD_ALIASES and (what == "parameter" or upper in FIELDS):
            raise self.error(
                f"{name} is the data field {FIELD_ALIASES[upper]}; a {what} needs another name",
                pos,
            )

    def _define(self, name, pos, node, line):
        # A variable may take a field's other spelling (VOLUME:VOL,VOLSTICK;): from its
        # statement on the name is the variable.
        upper = fold(name)
        self._check_new_name(name, pos, "variable")
        if upper in self.variables:
            raise self.error(f"{name} is already defined on line {self.variables[upper][1]}", pos)
        if upper in self.free:
            first = self.source.position(self.free[upper][1])
            raise self.error(
                f"{name} is read on line {first[0]}, column {first[1]}, before this statement "
                "defines it (a variable is known from its statement on)",
                pos,
            )
        if upper in self.params:
            raise self.error(f"{name} is a parameter; a variable needs another name", pos)
        self.variables[upper] = (node, line)

    def _attribute(self, name, pos, numbers=None):
        try:
            meaning = drawing.attribute(name, numbers)
        except ValueError as e:
            raise self.error(str(e), pos) from None
        if meaning is None:
            close = difflib.get_close_matches(fold(name), drawing.ATTRIBUTE_NAMES, n=3)
            raise self.error(
                f"unknown drawing attribute {short(name)}"
                + ("(...)" if numbers is not None else "")
                + did_you_mean(close),
                pos,
                "COLORRED and the other named colours, COLOR + 6 hex digits (blue, green, "
                "red), RGB(red,green,blue), LINETHICK0-9, NODRAW, STICK, COLORSTICK, "
                "VOLSTICK, DOTLINE, ...",
            )
        return meaning

    # ---- drawings --------------------------------------------------------------

    def _drawing_func(self, expr):
        if isinstance(expr, Call):
            func = cat.FUNCTIONS.get(fold(expr.name))
            if func is not None and func.category in ("draw", "nodraw"):
                return func
        return None

    def _drawing(self, func, call, line):
        self._arity(func, call)
        args = []
        for (pname, kind), arg in zip(func.params, call.args):
            if kind == TEXT:
                if not isinstance(arg, Str):
                    raise self.error(
                        f"{func.name}'s {pname} must be a quoted text", arg.pos, "'text'"
                    )
                args.append(arg.value)
                continue
            node = self.expression(arg)
            if kind == REAL and node.shape != SCALAR:
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
            return self.number(item.value, item.pos)
        if kind is Name:
            return self._name(item)
        if kind is Unary:
            return self.operator("neg", (self.expression(item.operand),), item.pos)
        if kind is Call:
            func = cat.FUNCTIONS.get(fold(item.name))
            if func is not None and func.category in ("draw", "nodraw"):
                return self._call(item, ())  # reported there
            return self._call(item, [self.expression(a) for a in item.args])
        raise self.error(
            "a quoted text can only be the text of DRAWTEXT", item.pos, "an expression"
        )

    def _binary(self, item, a, b):
        return self.operator(ops.BINARY[item.op], (a, b), item.pos)

    def operator(self, op, args, pos, label=None):
        """The node of operator `op` (an ops.Op, or its name) over argument nodes."""
        if type(op) is str:
            op = ops.OPS[op]
        shape = SCALAR
        for a in args:
            if a.shape == SERIES_SHAPE:
                shape = SERIES_SHAPE
        nonneg = op.sign == "nonneg" or (op.sign == "args" and all(a.nonneg for a in args))
        return self.node(op.name, args, shape, pos, label=label, nonneg=nonneg)

    def number(self, value, pos):
        return self.node("num", (), SCALAR, pos, value=value, nonneg=value >= 0)

    def field(self, name, pos):
        return self.node("field", (), SERIES_SHAPE, pos, value=name)

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
        upper = fold(item.name)
        var = self.variables.get(upper)
        if var is not None:
            return var[0]
        if upper in self.params:
            return self._param(upper, item.pos)
        field = FIELD_ALIASES.get(upper)
        if field is not None:
            return self.field(field, item.pos)
        func = cat.FUNCTIONS.get(upper)
        if func is not None and func.bare:
            return self._call(Call(item.name, [], item.pos), [])
        if func is not None:
            pnames = ", ".join(p for p, _ in func.params)
            raise self.error(f"{upper} is a function: call it as {upper}({pnames})", item.pos)
        # Any other name is a parameter, whose value the caller gives.
        self.params[upper] = item.name
        self.free[upper] = (item.name, item.pos)
        self.defaults[item.name] = self.given[upper][1] if upper in self.given else None
        return self._param(upper, item.pos)

    def _param(self, upper, pos):
        name = self.params[upper]
        default = self.defaults[name]
        return self.node(
            "param", (), SCALAR, pos, value=name, nonneg=default is not None and default >= 0
        )

    def _arity(self, func, call):
        if func.variadic:
            return
        given, want = len(call.args), func.arity
        if given != want:
            pnames = ", ".join(p for p, _ in func.params)
            if want == 0:
                raise self.error(
                    f"{func.name} takes no argument, {given} given: write {func.name} or "
                    f"{func.name}()",
                    call.pos,
                    func.name,
                )
            raise self.error(
                f"{func.name} takes {want} argument{'s' if want != 1 else ''} "
                f"({pnames}), {given} given",
                call.pos,
                f"{func.name}({pnames})",
            )

    def _call(self, call, args):
        upper = fold(call.name)
        func = cat.FUNCTIONS.get(upper)
        if func is None:
            if upper in self.variables or upper in self.params or upper in FIELD_ALIASES:
                raise self.error(f"{short(call.name)} is not a function", call.pos)
            close = difflib.get_close_matches(upper, list(cat.FUNCTIONS), n=3, cutoff=0.6)
            raise self.error(
                f"unknown function {short(call.name)}" + did_you_mean(close),
                call.pos,
                "a function of `vexa functions`",
            )
        if func.category in ("draw", "nodraw"):
            raise self.error(
                f"{func.name} draws; it has no value to compute with (write it as a "
                "statement of its own)",
                call.pos,
            )
        self._arity(func, call)
        positions = [a.pos for a in call.args]
        self._checks(func, args, call.pos)
        return self._apply(func, list(args), positions, call.pos)

    def _checks(self, func, args, pos):
        target = func
        if func.category == "rewrite":
            target = cat.LIBRARY.get(func.impl) or cat.FUNCTIONS[func.impl]
            # A data field the function reads itself (SAR's HIGH and LOW) is no argument.
            args = [None if isinstance(k, str) else args[k] for k in func.order]
        names = tuple(p for p, _ in target.params)
        for rule in check_rules(target):
            where = list(rule[1:3]) if rule[0] in ("le", "last", "percents") else [rule[1]]
            given = {k: args[k] for k in where if args[k] is not None}
            nodes = {k: a.id for k, a in given.items() if a.shape == SCALAR}
            if len(nodes) == len(where):
                self.checks.append(Check(rule, func.name, names, nodes, pos))

    def _apply(self, func, args, positions, pos):
        """The node of `func` (a function of the language) over argument nodes."""
        label = func.name
        if func.category == "rewrite":
            target = cat.LIBRARY.get(func.impl) or cat.FUNCTIONS[func.impl]
            moved = []
            for k in func.order:
                if isinstance(k, str):  # a data field the function reads itself
                    moved.append(self.field(k, pos))
                    continue
                a = args[k]
                if k in func.negate:
                    a = self.operator("neg", (a,), positions[k])
                moved.append(a)
            args = moved
            positions = [pos if isinstance(k, str) else positions[k] for k in func.order]
            func = target
        if func.category in ("numpy", "mapped"):
            for k, ((pname, kind), a) in enumerate(zip(func.params, args)):
                if kind in (INT, REAL) and a.shape != SCALAR:
                    raise self.error(
                        f"{func.name}'s {pname} must be a number (a constant or a parameter), "
                        "not a series",
                        positions[k],
                    )
        if func.category == "mapped":
            node = func.impl(Builder(self, label, pos), *args)
            if func.ahead == "always":
                node.ahead, node.label = "always", label
            if func.nonneg:
                node.nonneg = True
            return node
        if func.category == "numpy":
            return self._np_node(func, args, pos, label)
        return self._table_call(func, args, positions, pos, label)

    def _np_node(self, func, args, pos, label):
        shape = SERIES_SHAPE
        if func.elementwise and all(a.shape == SCALAR for a in args):
            shape = SCALAR
        node = self.node("np", tuple(args), shape, pos, func=func, label=label, nonneg=func.nonneg)
        node.ahead = func.ahead
        return node

    def _table_call(self, func, args, positions, pos, label):
        row = func.row
        kinds = [k for _, k in func.params]
        per_bar = SERIES_PERIODS.get(func.name)
        if per_bar is not None and any(k == INT and a.shape != SCALAR for k, a in zip(kinds, args)):
            return per_bar[0](Builder(self, label, pos), *args)
        for k, (kind, a) in enumerate(zip(kinds, args)):
            pname = func.params[k][0]
            if kind == INT and a.shape != SCALAR:
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
            elif kind == REAL and a.shape != SCALAR:
                raise self.error(
                    f"{func.name}'s {pname} must be a number, not a series", positions[k]
                )
            elif kind == PRICE and a.shape == SCALAR:
                if a.op != "num" or a.value not in (0.0, 1.0, 2.0, 3.0):
                    raise self.error(
                        f"{func.name}'s {pname}: 0, 1, 2 or 3 (OPEN, HIGH, LOW, CLOSE), "
                        "or a series",
                        positions[k],
                    )
                args = list(args)
                args[k] = self.field(PRICE_FIELDS[int(a.value)], a.pos)
        node = self.node(
            "call",
            tuple(args),
            SERIES_SHAPE,
            pos,
            func=func,
            label=label,
            nonneg=func.nonneg,
        )
        node.ahead = func.ahead
        return node
