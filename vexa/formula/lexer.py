"""Tokens of the formula language.

A token is a (tag, text, pos) tuple (plain tuples: a formula of a megabyte is a few
hundred thousand of them), read by unpacking or by the indices TAG, TEXT and POS: its
tag (NAME, NUMBER, STRING, OP or END), its text (a quoted text without its quotes) and
its character offset in the formula.
Comments ({...} and //... to the end of the line) and white space are skipped. Names
are any Unicode letters, digits and underscores not starting with a digit; they are
compared with ASCII letters folded to upper case and every other character as written
(`fold`), as the terminals compare them. Tokens are made as the parser asks for them,
so a text that fails early costs no more than its beginning. Every limit below keeps
hostile text to a clear error in bounded time.
"""

from __future__ import annotations

import math
import re

from .errors import Source

NAME, NUMBER, STRING, OP, END = "NAME", "NUMBER", "STRING", "OP", "END"
TAG, TEXT, POS = 0, 1, 2  # a token's fields

MAX_TEXT = 1 << 20  # characters of one formula
MAX_NAME = 256  # characters of one name
MAX_NUMBER = 64  # characters of one number
MAX_STRING = 4096  # characters of one quoted text

_TOKEN = re.compile(
    r"""
    (?P<space>[ \t\n\r\f\v\u3000\ufeff]+)
  | (?P<line_comment>//[^\n]*)
  | (?P<block_comment>\{[^}]*\}?)
  | (?P<number>(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)
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


_ASCII_UPPER = {c: c - 32 for c in range(ord("a"), ord("z") + 1)}


def fold(name):
    """A name as the language compares it: ASCII letters in upper case, every other
    character as written (so that CLOſE is not CLOSE and ı is not I)."""
    return name.upper() if name.isascii() else name.translate(_ASCII_UPPER)


# Byte-order marks, longest first (UTF-32's would read as UTF-16's).
_BOMS = (
    (b"\xef\xbb\xbf", "utf-8"),
    (b"\xff\xfe", "utf-16-le"),
    (b"\xfe\xff", "utf-16-be"),
)


def decode(text, encoding=None):
    """The formula as a str. Bytes are read in `encoding` when it is given; else by
    their byte-order mark (UTF-8, UTF-16), as UTF-16 when every other byte of mostly
    ASCII text is NUL, as UTF-8, and failing that as GBK (read as GB18030, its
    superset: the encoding of formula files saved by Chinese Windows). A leading
    byte-order mark is dropped."""
    if isinstance(text, (bytes, bytearray, memoryview)):
        text = _decode_bytes(bytes(text), encoding)
    elif encoding is not None:
        raise TypeError("an encoding goes with a formula given as bytes")
    if not isinstance(text, str):
        raise TypeError(
            f"a formula is text (str, or bytes of a formula file), not {type(text).__name__}"
        )
    if text.startswith("\ufeff"):
        text = text[1:]
    return text


def _decode_bytes(data, encoding):
    if encoding is not None:
        return _decode_as(data, encoding, f"the formula is not {encoding} text")
    for bom, name in _BOMS:
        if data.startswith(bom):
            return _decode_as(data[len(bom) :], name, f"the formula is not {name} text")
    utf16 = _utf16_without_bom(data)
    if utf16 is not None:
        return _decode_as(data, utf16, f"the formula is not {utf16} text")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        first = e
    try:
        return data.decode("gb18030")
    except UnicodeDecodeError:
        pass
    raise _undecodable(data, first, "the formula is neither UTF-8 nor GBK (GB18030) text") from None


def _utf16_without_bom(data):
    """ "utf-16-le" or "utf-16-be" when `data` reads as UTF-16 text without a mark: an
    even length, NUL bytes in a quarter or more of one set of positions (the high bytes
    of ASCII characters: a formula's operators and punctuation are ASCII) and ten times
    fewer in the other. Text in UTF-8 or GBK holds no NUL."""
    if len(data) < 2 or len(data) % 2 or b"\x00" not in data:
        return None
    half = len(data) // 2
    in_odd, in_even = data[1::2].count(0), data[0::2].count(0)
    for zeros, others, name in ((in_odd, in_even, "utf-16-le"), (in_even, in_odd, "utf-16-be")):
        if zeros * 4 >= half and others * 10 <= zeros:
            return name
    return None


def _decode_as(data, encoding, what):
    try:
        return data.decode(encoding)
    except LookupError:
        raise Source("").error(f"unknown encoding {encoding!r}", (1, 1)) from None
    except UnicodeDecodeError as e:
        raise _undecodable(data, e, what) from None


def _undecodable(data, e, what):
    line = data.count(b"\n", 0, e.start) + 1
    column = e.start - (data.rfind(b"\n", 0, e.start) + 1) + 1
    return Source("").error(
        f"{what} (byte 0x{data[e.start]:02x} at byte {e.start + 1}); name the file's "
        "encoding (vexa run --encoding NAME)",
        (line, column),
    )


def tokenize(source: Source):
    """The list of tokens of `source`, ending with one END token."""
    tokens = []
    for chunk in scan(source):
        tokens.extend(chunk)
    return tokens


def scan(source: Source, chunk=512):
    """The tokens of `source` in lists of up to `chunk`, the last one ending with the END
    token. `source.position(pos)` gives a token's line and column."""
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
            if float(text[start:end]) == math.inf:
                raise source.error(
                    f"the number {text[start:end]} is beyond the range of a double (about 1.8e308)",
                    source.position(start),
                )
            append((NUMBER, text[start:end], start))
        elif k == g_block:
            if text[end - 1] != "}":
                raise source.error(
                    "a comment opened with '{' is never closed", source.position(start)
                )
        elif k == g_string:
            quoted = text[start:end]
            if len(quoted) < 2 or quoted[-1] != quoted[0]:
                raise source.error(
                    "a quoted text is never closed on its line", source.position(start)
                )
            if len(quoted) > MAX_STRING + 2:
                raise source.error(
                    f"a quoted text of {len(quoted):,} characters (the limit is {MAX_STRING})",
                    source.position(start),
                )
            append((STRING, quoted[1:-1], start))
        if len(tokens) >= chunk:
            yield tokens
            tokens = []
            append = tokens.append
    if pos != len(text):
        raise _bad_character(source, text[pos], source.position(pos))
    append((END, "", len(text)))
    yield tokens


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
