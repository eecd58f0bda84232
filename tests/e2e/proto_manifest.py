"""Manifest commit (19), update (20), request (21) and answer (22) of the
Tamber LAN protocol, written from the protocol rules for the end-to-end
tests.

Commit and update (48 bytes): header, service id, stamp (u32 BE).
Request (56 bytes): header, service id, key (0 commit, 1 update), stamp
expected, token (the offset wanted), each u32 BE.
Answer (length field always 1088): header, service id, key, stamp, token
(offset of this chunk), chunk length (1 to 1024), total size of the
document (NUL included), then 1024 bytes of which the first chunk-length
bytes count.
"""

from __future__ import annotations

import dataclasses
import struct

from lanpeer import (BROADCAST_ID, DecodeError, OP_MANIFEST_ANSWER, OP_MANIFEST_COMMIT,
                     OP_MANIFEST_REQUEST, OP_MANIFEST_UPDATE, Packet, TbId, register_codec)

COMMIT_SIZE = 48
REQUEST_SIZE = 56
ANSWER_SIZE = 1088
CHUNK = 1024
KEY_COMMIT = 0
KEY_UPDATE = 1


@dataclasses.dataclass
class Announce:
    service: TbId
    stamp: int


@dataclasses.dataclass
class Request:
    service: TbId
    key: int
    stamp: int
    token: int


@dataclasses.dataclass
class Answer:
    service: TbId
    key: int
    stamp: int
    token: int
    chunk: int
    total: int
    data: bytes  # the chunk-length bytes that count


def manifest_commit(service: TbId, stamp: int) -> Packet:
    """Sent to the service's owner (destination = the service id)."""
    return Packet(OP_MANIFEST_COMMIT, service, service.raw + struct.pack(">I", stamp))


def manifest_update(service: TbId, stamp: int, dest: TbId = BROADCAST_ID) -> Packet:
    return Packet(OP_MANIFEST_UPDATE, dest, service.raw + struct.pack(">I", stamp))


def manifest_request(dest: TbId, service: TbId, key: int, stamp: int, token: int) -> Packet:
    return Packet(OP_MANIFEST_REQUEST, dest, service.raw + struct.pack(">III", key, stamp, token))


def manifest_answer(dest: TbId, service: TbId, key: int, stamp: int, token: int, data: bytes,
                    total: int, *, chunk: int | None = None) -> Packet:
    """chunk defaults to len(data); the data field is padded to 1024 bytes."""
    chunk = len(data) if chunk is None else chunk
    payload = service.raw + struct.pack(">IIIII", key, stamp, token, chunk, total)
    return Packet(OP_MANIFEST_ANSWER, dest, payload + bytes(data[:CHUNK]).ljust(CHUNK, b"\0"))


def chunks_of(document: bytes) -> list[tuple[int, bytes]]:
    """(token, bytes) of each chunk of a document (NUL included)."""
    return [(token, document[token:token + CHUNK]) for token in range(0, len(document), CHUNK)]


def _parse_announce(p: Packet) -> Announce:
    if len(p.payload) != COMMIT_SIZE - 36:
        raise DecodeError(f"manifest announce payload of {len(p.payload)} bytes, 12 expected")
    return Announce(TbId(p.payload[0:8]), struct.unpack_from(">I", p.payload, 8)[0])


def _parse_request(p: Packet) -> Request:
    if len(p.payload) != REQUEST_SIZE - 36:
        raise DecodeError(f"manifest request payload of {len(p.payload)} bytes, 20 expected")
    return Request(TbId(p.payload[0:8]), *struct.unpack_from(">III", p.payload, 8))


def _parse_answer(p: Packet) -> Answer:
    b = p.payload
    if len(b) != ANSWER_SIZE - 36:
        raise DecodeError(f"manifest answer payload of {len(b)} bytes, {ANSWER_SIZE - 36} expected")
    key, stamp, token, chunk, total = struct.unpack_from(">IIIII", b, 8)
    if not 1 <= chunk <= CHUNK:
        raise DecodeError(f"manifest answer with chunk length {chunk}")
    if token + chunk > total:
        raise DecodeError(f"manifest answer chunk {token}+{chunk} beyond total {total}")
    return Answer(TbId(b[0:8]), key, stamp, token, chunk, total, b[28:28 + chunk])


register_codec(OP_MANIFEST_COMMIT, _parse_announce, lambda a: f"{a.service} stamp {a.stamp:08X}")
register_codec(OP_MANIFEST_UPDATE, _parse_announce, lambda a: f"{a.service} stamp {a.stamp:08X}")
register_codec(OP_MANIFEST_REQUEST, _parse_request,
               lambda r: f"{r.service} key {r.key} stamp {r.stamp:08X} token {r.token}")
register_codec(OP_MANIFEST_ANSWER, _parse_answer,
               lambda a: f"{a.service} key {a.key} stamp {a.stamp:08X} {a.token}+{a.chunk}/{a.total}")
