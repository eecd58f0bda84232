"""Service join (8), leave (9), request (10) and answer (11) of the Tamber
LAN protocol, written from the protocol rules for the end-to-end tests.

Join: header, service id, joined id (52 bytes). Leave: header, service id
(44 bytes). Request: the header only, destination = the service's id.
Answer (812 bytes): header, service id, joined id, manifest stamp (u32 BE),
then NUL-padded texts: type 16, name 64, info 256, mask 36, zone 32,
alias 32, magic 32, flag 16, cover 256, stream 16.
"""

from __future__ import annotations

import dataclasses
import struct
from typing import Union

from lanpeer import (BROADCAST_ID, DecodeError, OP_SERVICE_ANSWER, OP_SERVICE_JOIN,
                     OP_SERVICE_LEAVE, OP_SERVICE_REQUEST, UNKNOWN_ID, Packet, TbId,
                     register_codec)

JOIN_SIZE = 52
LEAVE_SIZE = 44
ANSWER_SIZE = 812

# (name, width) of the answer's text fields, in wire order from byte 56.
ANSWER_TEXTS = (("type", 16), ("name", 64), ("info", 256), ("mask", 36), ("zone", 32),
                ("alias", 32), ("magic", 32), ("flag", 16), ("cover", 256), ("stream", 16))
assert 56 + sum(w for _, w in ANSWER_TEXTS) == ANSWER_SIZE

Text = Union[str, bytes]


def _field(text: Text, width: int, terminate: bool = True) -> bytes:
    """NUL-padded field; terminate=False lets a text fill the whole field."""
    raw = text.encode() if isinstance(text, str) else bytes(text)
    raw = raw[:width - 1] if terminate else raw[:width]
    return raw.ljust(width, b"\0")


def _text(field: bytes, what: str) -> str:
    end = field.find(b"\0")
    if end < 0:
        raise DecodeError(f"{what} is not NUL-terminated within {len(field)} bytes")
    return field[:end].decode("utf-8", "replace")


# ---- join (8) and leave (9)

@dataclasses.dataclass
class Join:
    service: TbId
    joined: TbId


@dataclasses.dataclass
class Leave:
    service: TbId


def service_join(service: TbId, joined: TbId, *, dest: TbId = BROADCAST_ID,
                 size: int = JOIN_SIZE) -> Packet:
    """size below 52 cuts the payload (a truncated join)."""
    payload = (service.raw + joined.raw)[:max(0, size - 36)]
    return Packet(OP_SERVICE_JOIN, dest, payload)


def service_leave(service: TbId, *, dest: TbId = BROADCAST_ID, size: int = LEAVE_SIZE) -> Packet:
    return Packet(OP_SERVICE_LEAVE, dest, service.raw[:max(0, size - 36)])


def _parse_join(p: Packet) -> Join:
    if len(p.payload) != JOIN_SIZE - 36:
        raise DecodeError(f"service join payload of {len(p.payload)} bytes, 16 expected")
    return Join(TbId(p.payload[0:8]), TbId(p.payload[8:16]))


def _parse_leave(p: Packet) -> Leave:
    if len(p.payload) != LEAVE_SIZE - 36:
        raise DecodeError(f"service leave payload of {len(p.payload)} bytes, 8 expected")
    return Leave(TbId(p.payload[0:8]))


register_codec(OP_SERVICE_JOIN, _parse_join, lambda j: f"{j.service} joins {j.joined}")
register_codec(OP_SERVICE_LEAVE, _parse_leave, lambda l: f"{l.service} leaves")


# ---- request (10)

def service_request(service: TbId) -> Packet:
    return Packet(OP_SERVICE_REQUEST, service)


def _parse_request(p: Packet) -> None:
    if p.payload:
        raise DecodeError(f"service request with {len(p.payload)} payload bytes")
    return None


register_codec(OP_SERVICE_REQUEST, _parse_request)


# ---- answer (11)

@dataclasses.dataclass
class ServiceAnswer:
    service: TbId
    joined: TbId = UNKNOWN_ID
    stamp: int = 0
    type: str = ""
    name: str = ""
    info: str = ""
    mask: str = ""
    zone: str = ""
    alias: str = ""
    magic: str = ""
    flag: str = ""
    cover: str = ""
    stream: str = ""


def service_answer(service: TbId, *, joined: TbId = UNKNOWN_ID, stamp: int = 0,
                   dest: TbId = BROADCAST_ID, size: int = ANSWER_SIZE,
                   unterminated: tuple[str, ...] = (), **texts: Text) -> Packet:
    """An answer about service; texts by field name. Fields named in
    unterminated fill their whole width without a NUL. size below 812 cuts
    the datagram (a truncated answer)."""
    unknown = set(texts) - {n for n, _ in ANSWER_TEXTS}
    if unknown:
        raise ValueError(f"no such answer fields: {sorted(unknown)}")
    payload = service.raw + joined.raw + struct.pack(">I", stamp)
    for name, width in ANSWER_TEXTS:
        payload += _field(texts.get(name, ""), width, name not in unterminated)
    return Packet(OP_SERVICE_ANSWER, dest, payload[:max(0, size - 36)])


def _parse_answer(p: Packet) -> ServiceAnswer:
    b = p.payload
    if len(b) != ANSWER_SIZE - 36:
        raise DecodeError(f"service answer payload of {len(b)} bytes, {ANSWER_SIZE - 36} expected")
    answer = ServiceAnswer(TbId(b[0:8]), TbId(b[8:16]), struct.unpack_from(">I", b, 16)[0])
    off = 20
    for name, width in ANSWER_TEXTS:
        setattr(answer, name, _text(b[off:off + width], name))
        off += width
    return answer


register_codec(OP_SERVICE_ANSWER, _parse_answer,
               lambda a: f"{a.service} name={a.name!r} alias={a.alias!r} joined={a.joined}")

