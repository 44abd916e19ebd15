"""Hand-built IR blobs, for stores the building API cannot make (stage
nodes, marks, malformed input). Little-endian: u32 counts and lengths, u64
node ids, one tagged record per node, then the output list."""

from __future__ import annotations

import struct

MAGIC = b"TIR1"


def u8(v: int) -> bytes:
    return struct.pack("<B", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def string(text: str) -> bytes:
    data = text.encode()
    return u32(len(data)) + data


def id_list(ids) -> bytes:
    return u32(len(ids)) + b"".join(u64(i) for i in ids)


def params(entries: dict) -> bytes:
    out = u32(len(entries))
    for key, value in entries.items():
        out += string(key)
        if isinstance(value, bool):
            out += u8(2) + u8(int(value))
        elif isinstance(value, int):
            out += u8(0) + struct.pack("<q", value)
        elif isinstance(value, float):
            out += u8(1) + struct.pack("<d", value)
        else:
            out += u8(3) + string(value)
    return out


def source(name: str, p: dict | None = None) -> bytes:
    return u8(0) + string(name) + params(p or {})


def op(name: str, inputs, p: dict | None = None) -> bytes:
    return u8(1) + string(name) + params(p or {}) + id_list(inputs)


def stage(inputs, members) -> bytes:
    """members: list of (token, [("input"|"member", index), ...])."""
    out = u8(4) + id_list(inputs) + u32(len(members))
    for token, refs in members:
        out += string(token) + u32(len(refs))
        for tag, index in refs:
            out += u8(0 if tag == "input" else 1) + u32(index)
    return out


def blob(records, outputs=()) -> bytes:
    return MAGIC + u32(len(records)) + b"".join(records) + u32(len(outputs)) + b"".join(
        u64(i) for i in outputs)
