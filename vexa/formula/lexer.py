"""Tokens of the formula language.

A token is a (kind, text, offset) tuple; kinds: NAME, NUMBER, STRING, OP and END.
Comments ({...} and //... to the end of the line) and white space are skipped. Names
are any Unicode letters, digits and underscores not starting with a digit. Every limit
below keeps hostile text to a clear error in bounded time.
"""

from __future__ import annotations

import re

from .errors import Source

NAME, NUMBER, STRING, OP, END = "NAME", "NUMBER", "STRING", "OP", "END"

MAX_TEXT = 1 << 20  # characters of one formula
MAX_NAME = 256  # characters of one name
MAX_NUMBER = 64  # characters of one number
MAX_STRING = 4096  # characters of one quoted text

_TOKEN = re.compile(
    r"""
    (?P<space>[ \t\n\r\f\v\u3000\ufeff]+)
  | (?P<line_comment>//[^\n]*)
  | (?P<block_comment>\{[^}]*\}?)
  | (?P<number>[0-9]+(?:\.[0-9]*)?|\.[0-9]+)
  | (?P<name>[^\W\d]\w*)
  | (?P<string>'[^'\n]*'?|"[^"\n]*"?)
  | (?P<op>:=|==|!=|<>|>=|<=|&&|\|\||[:;,()+\-*/=<>])
    """,
    re.VERBOSE,
)

_GROUP = _TOKEN.groupindex

# Characters that people type by mistake, with what to type instead.
_FULL_WIDTH = {
    "；": ";",
    "：": ":",
    "，": ",",
    "（": "(",
    "）": ")",
    "＝": "=",
    "＞": ">",
    "＜": "<",
    "＋": "+",
    "－": "-",
    "＊": "*",
    "／": "/",
    "｛": "{",
    "｝": "}",
    "‘": "'",
    "’": "'",
    "“": '"',
    "”": '"',
}


def decode(text):
    """The formula as a str; bytes must be UTF-8 (a leading byte-order mark is dropped)."""
    if isinstance(text, (bytes, bytearray, memoryview)):
        data = bytes(text)
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            line = data.count(b"\n", 0, e.start) + 1
            column = e.start - (data.rfind(b"\n", 0, e.start) + 1) + 1
            raise Source("").error(
                f"the formula is not valid UTF-8 text (byte 0x{data[e.start]:02x} "
                f"at byte {e.start + 1})",
                (line, column),
            ) from None
    if not isinstance(text, str):
        raise TypeError(f"a formula is text (str or UTF-8 bytes), not {type(text).__name__}")
    if text.startswith("\ufeff"):
        text = text[1:]
    return text


def tokenize(source: Source):
    """The list of tokens of `source`, ending with one END token. A token is
    (kind, text, offset); `source.position(offset)` gives its line and column."""
    text = source.text
    if len(text) > MAX_TEXT:
        raise source.error(
            f"the formula is too long ({len(text):,} characters; the limit is {MAX_TEXT:,})",
            (1, 1),
        )
    tokens = []
    append = tokens.append
    pos = 0
    # Group numbers of _TOKEN, compared as ints in the loop (the hot path of a compile).
    g_name, g_op, g_number = _GROUP["name"], _GROUP["op"], _GROUP["number"]
    g_block, g_string = _GROUP["block_comment"], _GROUP["string"]
    for m in _TOKEN.finditer(text):
        start, end = m.span()
        if start != pos:
            raise _bad_character(source, text[pos], source.position(pos))
        pos = end
        k = m.lastindex
        if k == g_name:
            if end - start > MAX_NAME:
                raise source.error(
                    f"a name of {end - start:,} characters (the limit is {MAX_NAME})",
                    source.position(start),
                )
            append((NAME, text[start:end], start))
        elif k == g_op:
            append((OP, text[start:end], start))
        elif k == g_number:
            if end - start > MAX_NUMBER:
                raise source.error(
                    f"a number of {end - start:,} characters (the limit is {MAX_NUMBER})",
                    source.position(start),
                )
            if end < len(text) and (text[end].isalpha() or text[end] == "_"):
                raise source.error(
                    f"a name cannot start with a digit: {_clip(text, start)!r}",
                    source.position(start),
                    "a number or a name",
                )
            append((NUMBER, text[start:end], start))
        elif k == g_block:
            if text[end - 1] != "}":
                raise source.error(
                    "a comment opened with '{' is never closed", source.position(start)
                )
        elif k == g_string:
            tok = text[start:end]
            if len(tok) < 2 or tok[-1] != tok[0]:
                raise source.error(
                    "a quoted text is never closed on its line", source.position(start)
                )
            if len(tok) > MAX_STRING + 2:
                raise source.error(
                    f"a quoted text of {len(tok):,} characters (the limit is {MAX_STRING})",
                    source.position(start),
                )
            append((STRING, tok[1:-1], start))
    if pos != len(text):
        raise _bad_character(source, text[pos], source.position(pos))
    append((END, "", len(text)))
    return tokens


def _clip(text, pos, width=20):
    end = pos
    while end < len(text) and end - pos < width and (text[end].isalnum() or text[end] in "._"):
        end += 1
    return text[pos:end]


def _bad_character(source, ch, pos):
    if ch in _FULL_WIDTH:
        return source.error(
            f"the full-width character {ch!r}: type {_FULL_WIDTH[ch]!r} instead", pos
        )
    if ch == "\x00":
        return source.error("a NUL character in the formula", pos)
    if ch in "#$":
        return source.error(
            f"references to other periods or symbols ({ch!r}) are not supported", pos
        )
    if ch == "}":
        return source.error("'}' without an opening '{'", pos)
    if not ch.isprintable():
        return source.error(f"the control character U+{ord(ch):04X}", pos)
    return source.error(f"unexpected character {ch!r}", pos)
