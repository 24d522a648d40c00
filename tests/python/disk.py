"""Byte-level helpers for the persistence tests: log records and entries built by hand,
CRC forcing, and reading a log back into its records."""

import struct
import uuid
import zlib

ENCRYPTED_CHECK = 0xFFFFFFFF


def string(text: str | bytes) -> bytes:
    data = text.encode() if isinstance(text, str) else text
    return struct.pack("<Q", len(data)) + data


def uuid_field(value: str) -> bytes:
    return struct.pack("<Q", 16) + uuid.UUID(value).bytes


def document(doc_id: str, text: str, metadata: dict | None = None) -> bytes:
    out = uuid_field(doc_id) + string(text) + struct.pack("<Q", len(metadata or {}))
    for key, value in (metadata or {}).items():
        out += string(key)
        if isinstance(value, bool):
            out += struct.pack("<IB", 0, value)
        elif isinstance(value, int):
            out += struct.pack("<Iq", 1, value)
        elif isinstance(value, float):
            out += struct.pack("<Id", 2, value)
        else:
            out += struct.pack("<I", 3) + string(value)
    return out


def floats(values) -> bytes:
    return struct.pack("<Q", len(values)) + struct.pack(f"<{len(values)}f", *values)


def delete_collection_entry(name: str) -> bytes:
    return struct.pack("<I", 1) + string(name)


def insert_entry(collection: str, doc_id: str, text: str, embedding, metadata=None) -> bytes:
    return (
        struct.pack("<I", 2)
        + string(collection)
        + document(doc_id, text, metadata)
        + floats(embedding)
    )


def record(payload: bytes, check: int | None = None) -> bytes:
    if check is None:
        check = zlib.crc32(payload)
    return struct.pack(">II", len(payload), check) + payload


def records(log: bytes):
    """The (check, payload) pairs of a log made of complete records."""
    out, at = [], 0
    while at < len(log):
        length, check = struct.unpack_from(">II", log, at)
        out.append((check, log[at + 8 : at + 8 + length]))
        at += 8 + length
    assert at == len(log)
    return out


def force_crc(data: bytearray, bits, target: int) -> bool:
    """Sets the given bits of `data` (bit b of byte i is 8 * i + b) so that its CRC-32 becomes
    `target`. The CRC is affine in any set of bits of a message of fixed length: this solves
    the 32 equations over GF(2) by elimination."""

    def flip(bit):
        data[bit // 8] ^= 1 << (bit % 8)

    for bit in bits:
        if data[bit // 8] >> (bit % 8) & 1:
            flip(bit)
    base = zlib.crc32(data)
    columns = []
    for bit in bits:
        flip(bit)
        columns.append(zlib.crc32(data) ^ base)
        flip(bit)
    # One row per CRC bit: a mask of the unknowns that flip it, and whether it must flip.
    rows = [
        [sum(1 << j for j, c in enumerate(columns) if c >> r & 1), (base ^ target) >> r & 1]
        for r in range(32)
    ]
    pivots, rank = [], 0
    for j in range(len(bits)):
        pivot = next((r for r in range(rank, 32) if rows[r][0] >> j & 1), None)
        if pivot is None:
            continue
        rows[rank], rows[pivot] = rows[pivot], rows[rank]
        for r in range(32):
            if r != rank and rows[r][0] >> j & 1:
                rows[r][0] ^= rows[rank][0]
                rows[r][1] ^= rows[rank][1]
        pivots.append(j)
        rank += 1
    if any(rows[r][1] for r in range(rank, 32)):
        return False
    for r, j in enumerate(pivots):
        if rows[r][1]:
            flip(bits[j])
    return zlib.crc32(data) == target


def ascii_bits(offset: int, count: int):
    """The low 7 bits of `count` bytes from `offset`: they stay ASCII, so valid UTF-8."""
    return [8 * (offset + i) + b for i in range(count) for b in range(7)]
