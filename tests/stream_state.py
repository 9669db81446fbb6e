"""The saved form of a stream's state, as the tests and the stream-state fuzzer read and
edit it: the head (quorix/src/stream/state.h), the ring slots that hold bars, and the
checksum, with a plain-Python twin of the checksum so that an edit can be made with the
checksum fixed (a deliberate edit) or left as saved (accidental damage)."""

import struct

MASK = (1 << 64) - 1
MUL = 0x9FB21C651E98DF25

# magic, size, row, p[0], p[1], pad, r[0], r[1], history, cap, bars, first, head, k[0], k[1],
# d[0..5]
HEAD = struct.Struct("=QQiiiidd" + "qqqqqqq6d")
FIELDS = (
    "magic size row p0 p1 pad r0 r1 history cap bars first head k0 k1 d0 d1 d2 d3 d4 d5".split()
)
assert HEAD.size == 152
_LITTLE = struct.pack("=H", 1) == b"\x01\x00"


def checksum(data):
    """The checksum of quorix's saved form (state.h), step by step."""
    n = len(data)
    h = (0x243F6A8885A308D3 ^ (n * MUL)) & MASK
    i = 0
    while i + 8 <= n:
        (w,) = struct.unpack_from("=Q", data, i)
        h = ((h ^ w) * MUL) & MASK
        h ^= h >> 29
        i += 8
    w = int.from_bytes(data[i:] + bytes(8 - (n - i)), "little" if _LITTLE else "big")
    h = ((h ^ w ^ ((n - i) << 56)) * MUL) & MASK
    h ^= h >> 32
    h = (h * 0xD6E8FEB86659FD93) & MASK
    return h ^ (h >> 32)


def split(saved):
    """(head fields as a dict, the ring bytes, the checksum) of a saved form."""
    head = dict(zip(FIELDS, HEAD.unpack_from(saved, 0)))
    (check,) = struct.unpack_from("=Q", saved, len(saved) - 8)
    return head, saved[HEAD.size : len(saved) - 8], check


def join(head, ring, fix=True, check=0):
    """A saved form from its parts, its checksum recomputed (fix) or `check`."""
    body = HEAD.pack(*(head[k] for k in FIELDS)) + ring
    return body + struct.pack("=Q", checksum(body) if fix else check)


SAVED_MAGIC = 0x717873617665000B


def edit(saved, **fields):
    """The saved state with head fields changed, as a deliberate edit makes it: its
    checksum made anew where the form has one."""
    head = dict(zip(FIELDS, HEAD.unpack_from(saved, 0)))
    head.update(fields)
    out = HEAD.pack(*(head[k] for k in FIELDS)) + saved[HEAD.size :]
    return reseal(out) if head["magic"] == SAVED_MAGIC else out


def reseal(saved):
    """The same bytes with their checksum recomputed."""
    body = saved[:-8]
    return body + struct.pack("=Q", checksum(body))
