"""The syntax tree of a formula and the parser that builds it from tokens.

    formula    := [statement] (';' [statement])*
    statement  := NAME ':' expr attributes        an output line
                | NAME ':=' expr attributes       an intermediate
                | expr attributes                 an unnamed output (or a drawing)
                | INPUT ':' param (',' param)*    parameters with their defaults
    attributes := (',' attribute)*                COLORRED, LINETHICK2, NODRAW, ...
    attribute  := NAME | NAME '(' number (',' number)* ')'      RGB(255,0,0)
    param      := NAME '(' number [',' number [',' number [',' number]]] ')'
    expr       := the operators, loosest first: OR ||, AND &&, = == <> !=,
                  > >= < <=, + -, * /, then unary - and +
    primary    := NUMBER | 'text' | NAME | NAME '(' [expr (',' expr)*] ')' | '(' expr ')'

Binary operators group from the left. The parser is a precedence climber; its depth
is bounded (MAX_NESTING), and long chains of operators are built by loops, so no text
can exhaust the interpreter's stack. It gives every node the number of its shape
(equal sub-expressions, as written, share one) and stops at MAX_OPERATIONS distinct
ones, taking tokens from the tokenizer as it goes: a text over the limit fails once
that many are read, whatever its length.
"""

from __future__ import annotations

import itertools

from .errors import Source, short
from .lexer import END, NAME, NUMBER, OP, POS, STRING, TAG, TEXT, fold, scan

MAX_NESTING = 40  # parentheses and calls inside one another, and signs in a row
MAX_STATEMENTS = 10_000
MAX_OPERATIONS = 100_000  # distinct numbers, names, operators and calls, as written
MAX_ARGS = 64
_KEEP = 4096  # tokens read before the parser forgets them

# Binary operators by precedence, loosest first; each spelling to its canonical form.
_BINARY = {
    "OR": (1, "OR"),
    "||": (1, "OR"),
    "AND": (2, "AND"),
    "&&": (2, "AND"),
    "=": (3, "="),
    "==": (3, "="),
    "<>": (3, "<>"),
    "!=": (3, "<>"),
    ">": (4, ">"),
    ">=": (4, ">="),
    "<": (4, "<"),
    "<=": (4, "<="),
    "+": (5, "+"),
    "-": (5, "-"),
    "*": (6, "*"),
    "/": (6, "/"),
}
_EXPRESSION = "an expression (a number, a name, a call or '(')"


class Node:
    __slots__ = ("key", "pos")


class Num(Node):
    __slots__ = ("text", "value")

    def __init__(self, text, pos):
        self.text, self.value, self.pos = text, float(text), pos


class Str(Node):
    __slots__ = ("value",)

    def __init__(self, value, pos):
        self.value, self.pos = value, pos


class Name(Node):
    __slots__ = ("name",)

    def __init__(self, name, pos):
        self.name, self.pos = name, pos


class Call(Node):
    __slots__ = ("args", "name")

    def __init__(self, name, args, pos):
        self.name, self.args, self.pos = name, args, pos


class Unary(Node):
    __slots__ = ("op", "operand")

    def __init__(self, op, operand, pos):
        self.op, self.operand, self.pos = op, operand, pos


class Binary(Node):
    __slots__ = ("left", "op", "right")

    def __init__(self, op, left, right, pos):
        self.op, self.left, self.right, self.pos = op, left, right, pos


class Statement:
    """One statement. kind: "output" (NAME:), "var" (NAME:=), "expr" (no name) or
    "input" (parameter declarations, in `params` as (name, default, pos)). `attrs`:
    (name, pos, numbers) of each drawing attribute, numbers None without parentheses."""

    __slots__ = ("attrs", "expr", "kind", "line", "name", "params", "pos", "text")

    def __init__(self, kind, name, pos, expr=None, attrs=(), text="", params=()):
        self.kind, self.name, self.pos, self.expr = kind, name, pos, expr
        self.attrs, self.text, self.params = list(attrs), text, list(params)
        self.line = None  # set by the parser


def parse(text: str) -> tuple[Source, list[Statement]]:
    source = Source(text)
    return source, Parser(source, scan(source)).statements()


class Parser:
    def __init__(self, source, chunks):
        self.source = source
        self.chunks = chunks  # lists of tokens, the last one ending with END
        self.tokens = []
        self.last = None  # the index of the END token, once it is read
        self.i = 0
        self.depth = 0
        self.shapes = {}  # the shape of each node as written -> its number (Node.key)
        self._more()

    # ---- tokens ----------------------------------------------------------------

    def _more(self):
        # Keeps at least two tokens after the current one (END repeated at the end),
        # so that looking one token ahead never runs off the list, and forgets the
        # tokens read (all but the last one, which text_of reads).
        if self.i > _KEEP:
            del self.tokens[: self.i - 1]
            self.i = 1
        while self.last is None and len(self.tokens) < self.i + 3:
            chunk = next(self.chunks)
            self.tokens.extend(chunk)
            if chunk and chunk[-1][TAG] == END:
                self.last = len(self.tokens) - 1
                self.tokens += [chunk[-1], chunk[-1]]

    def peek(self, k=0):
        return self.tokens[self.i + k]

    def next(self):
        tok = self.tokens[self.i]
        if self.last is None:
            self.i += 1
            if len(self.tokens) < self.i + 3:
                self._more()
        elif self.i < self.last:
            self.i += 1
        return tok

    def keyed(self, node, shape, tok):
        """`node` with the number of its shape; an error past MAX_OPERATIONS shapes."""
        key = self.shapes.get(shape)
        if key is None:
            key = len(self.shapes)
            if key >= MAX_OPERATIONS:
                raise self.error(
                    f"the formula has more than {MAX_OPERATIONS:,} distinct operations "
                    "(numbers, names, operators and calls)",
                    tok,
                    "a shorter formula",
                )
            self.shapes[shape] = key
        node.key = key
        return node

    def is_op(self, text):
        tag, value, _ = self.tokens[self.i]
        return value == text and tag == OP

    def error(self, message, tok, expected=None):
        return self.source.error(message, self.source.position(tok[POS]), expected)

    def unexpected(self, expected):
        tok = self.peek()
        return self.error(f"unexpected {_describe(tok)}", tok, expected)

    def expect(self, text, expected=None):
        if not self.is_op(text):
            raise self.unexpected(expected or repr(text))
        return self.next()

    # ---- statements ------------------------------------------------------------

    def statements(self):
        out = []
        while True:
            while self.is_op(";"):
                self.next()
            if self.peek()[TAG] == END:
                return out
            if len(out) >= MAX_STATEMENTS:
                raise self.error(
                    f"more than {MAX_STATEMENTS:,} statements in one formula", self.peek()
                )
            st = self.statement()
            st.line = self.source.position(st.pos)[0]
            out.append(st)
            if self.peek()[TAG] != END and not self.is_op(";"):
                raise self.unexpected("';' or the end of the formula")

    def statement(self):
        tok = self.peek()
        tag, name, pos = tok
        after_tag, after, _ = self.peek(1)
        if tag == NAME and after_tag == OP and after in (":", ":="):
            self.next()
            self.next()
            if after == ":" and fold(name) == "INPUT":
                return self.inputs(tok)
            kind = "output" if after == ":" else "var"
            start = self.peek()[POS]
            expr = self.expression()
            st = Statement(kind, name, pos, expr, text=self.text_of(start))
        else:
            expr = self.expression()
            st = Statement("expr", None, pos, expr, text=self.text_of(pos))
        while self.is_op(","):
            self.next()
            attr_tag, attr, attr_pos = self.peek()
            if attr_tag != NAME:
                raise self.unexpected(
                    "a drawing attribute (COLORRED, RGB(255,0,0), LINETHICK2, NODRAW, ...)"
                )
            self.next()
            numbers = None
            if self.is_op("("):
                self.next()
                numbers = [self.signed_number()]
                while self.is_op(",") and len(numbers) < 4:
                    self.next()
                    numbers.append(self.signed_number())
                self.expect(")", "')'")
            st.attrs.append((attr, attr_pos, numbers))
        return st

    def inputs(self, tok):
        params = []
        while True:
            tag, name, pos = self.peek()
            if tag != NAME:
                raise self.unexpected("a parameter name, as in INPUT: N(12);")
            self.next()
            self.expect("(", "'(' and the default value, as in N(12)")
            values = [self.signed_number()]
            while self.is_op(",") and len(values) < 4:
                self.next()
                values.append(self.signed_number())
            self.expect(")", "')'")
            params.append((name, values[0], pos))
            if not self.is_op(","):
                _, text, start = tok
                return Statement("input", text, start, params=params)
            self.next()

    def signed_number(self):
        sign = 1.0
        if self.is_op("-") or self.is_op("+"):
            sign = -1.0 if self.next()[TEXT] == "-" else 1.0
        tag, text, _ = self.peek()
        if tag != NUMBER:
            raise self.unexpected("a number")
        self.next()
        return sign * float(text)

    def text_of(self, start):
        """The source text from offset `start` to the end of the last token read, as
        written, comments and line breaks made single spaces."""
        last = self.tokens[self.i - 1]
        end = last[POS] + len(_raw(last))
        text = self.source.text[start:end]
        if "{" in text or "//" in text or "\n" in text:
            toks = [t for chunk in scan(Source(text)) for t in chunk][:-1]  # without END
            parts = [_raw(toks[0])]
            for prev, t in itertools.pairwise(toks):
                if t[POS] > prev[POS] + len(_raw(prev)):
                    parts.append(" ")
                parts.append(_raw(t))
            text = "".join(parts)
        return text

    # ---- expressions -----------------------------------------------------------

    def expression(self):
        self.depth += 1
        if self.depth > MAX_NESTING:
            raise self.error(
                f"expressions nested more than {MAX_NESTING} deep", self.peek(), "a flatter formula"
            )
        node = self.binary(1)
        self.depth -= 1
        return node

    def binary(self, min_prec):
        # Precedence climbing with one loop per level: a chain of one operator is a
        # loop, not a recursion, whatever its length.
        left = self.unary()
        while True:
            tok = self.peek()
            tag, text, pos = tok
            if tag == OP:
                entry = _BINARY.get(text)
            elif tag == NAME:
                entry = _BINARY.get(fold(text))
            else:
                return left
            if entry is None or entry[0] < min_prec:
                return left
            prec, op = entry
            self.next()
            right = self.binary(prec + 1) if prec < 6 else self.unary()
            left = self.keyed(Binary(op, left, right, pos), (op, left.key, right.key), tok)

    def unary(self):
        tag, text, _ = self.tokens[self.i]
        if tag != OP or text not in "-+":
            return self.primary()
        signs = []
        while self.is_op("-") or self.is_op("+"):
            signs.append(self.next())
            if len(signs) > MAX_NESTING:
                raise self.error(
                    f"more than {MAX_NESTING} signs in a row", signs[-1], "a flatter formula"
                )
        node = self.primary()
        for tok in reversed(signs):
            _, text, pos = tok
            if text == "-":
                node = self.keyed(Unary("-", node, pos), ("-", node.key), tok)
        return node

    def primary(self):
        tok = self.peek()
        tag, text, pos = tok
        if tag == NUMBER:
            self.next()
            num = Num(text, pos)
            return self.keyed(num, ("#", num.value), tok)
        if tag == STRING:
            self.next()
            return self.keyed(Str(text, pos), ("'", text), tok)
        if tag == NAME:
            upper = fold(text)
            if upper in ("AND", "OR"):
                raise self.error(f"{upper} needs an expression on its left", tok, _EXPRESSION)
            self.next()
            if not self.is_op("("):
                return self.keyed(Name(text, pos), upper, tok)
            self.next()
            args = []
            if not self.is_op(")"):
                args.append(self.expression())
                while self.is_op(","):
                    self.next()
                    if len(args) >= MAX_ARGS:
                        raise self.error(f"more than {MAX_ARGS} arguments", self.peek())
                    args.append(self.expression())
            self.expect(")", "',' or ')'")
            shape = (upper, *(a.key for a in args))
            return self.keyed(Call(text, args, pos), shape, tok)
        if self.is_op("("):
            self.next()
            node = self.expression()
            self.expect(")", "')'")
            return node
        raise self.unexpected(_EXPRESSION)


def _raw(tok):
    tag, text, _ = tok
    return f"'{text}'" if tag == STRING else text


def _describe(tok):
    tag, text, _ = tok
    if tag == END:
        return "end of the formula"
    if tag == NAME:
        return f"name {short(text)!r}"
    if tag == NUMBER:
        return f"number {short(text)}"
    if tag == STRING:
        return f"text '{short(text)}'"
    return repr(text)
