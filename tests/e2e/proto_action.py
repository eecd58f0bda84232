"""Actions (opcode 14), status requests (15) and status answers (16) of the
Tamber LAN protocol, and the text rules of status strings and action
replies, written from the protocol rules for the end-to-end tests.

Action packet: header, target id, sender id, room id, user id, command text
NUL-terminated; length = 69 + text length.
Status answer: header, service id, kind (u32 BE, 1 = action reply), volume
(u16 BE), volume flag (u16 BE), status string NUL-terminated; length =
53 + string length; sent unrepeated (sequence 0) to the broadcast id.
Status string: "$" + alias, then fields each introduced by ":", in which
":" and "\\" are preceded by "\\".
Reply: the target's status head, "$" + sender alias, "[" + command + "]",
then "ok" | "warning", message | "error", message.
"""

from __future__ import annotations

import dataclasses
import struct
from typing import Optional

from lanpeer import (BROADCAST_ID, DecodeError, OP_ACTION, OP_STATUS_ANSWER,
                     OP_STATUS_REQUEST, UNKNOWN_ID, Packet, TbId, register_codec)

ACTION_BASE = 69
STATUS_BASE = 53
TEXT_MAX = 1023
STATUS_TEXT_MAX = 1022
KIND_STATUS = 0
KIND_REPLY = 1


# ---- status string fields

def escape_field(text: str) -> str:
    return text.replace("\\", "\\\\").replace(":", "\\:")


def split_fields(text: str) -> list[str]:
    """The ":"-separated parts of a status string with the escapes undone;
    the first part is the head ("$" + alias)."""
    fields, current, i = [], [], 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            current.append(text[i + 1])
            i += 2
            continue
        if ch == ":":
            fields.append("".join(current))
            current = []
        else:
            current.append(ch)
        i += 1
    fields.append("".join(current))
    return fields


def reply_text(target_alias: str, sender_alias: str, command: str, result: str,
               message: Optional[str] = None) -> str:
    """The status string of an action reply."""
    parts = ["$" + target_alias, escape_field("$" + sender_alias),
             escape_field("[" + command + "]"), result]
    if message is not None:
        parts.append(escape_field(message))
    return ":".join(parts)


# ---- action (14)

@dataclasses.dataclass
class Action:
    target: TbId
    sender: TbId
    room: TbId
    user: TbId
    text: str


def action(target: TbId, text: str | bytes, *, sender: TbId = UNKNOWN_ID,
           room: TbId = UNKNOWN_ID, user: TbId = UNKNOWN_ID,
           dest: Optional[TbId] = None, terminate: bool = True) -> Packet:
    """An action packet to target (header destination = target unless
    dest is given). terminate=False leaves out the text's NUL."""
    raw = text.encode() if isinstance(text, str) else bytes(text)
    payload = target.raw + sender.raw + room.raw + user.raw + raw + (b"\0" if terminate else b"")
    return Packet(OP_ACTION, dest if dest is not None else target, payload)


def _parse_action(p: Packet) -> Action:
    b = p.payload
    if len(b) < ACTION_BASE - 36:
        raise DecodeError(f"action payload of {len(b)} bytes, at least 33 needed")
    end = b.find(b"\0", 32)
    if end != len(b) - 1:
        raise DecodeError("action text is not NUL-terminated at the end of the packet")
    if end - 32 > TEXT_MAX:
        raise DecodeError(f"action text of {end - 32} characters")
    ids = [TbId(b[i:i + 8]) for i in range(0, 32, 8)]
    return Action(*ids, b[32:end].decode("utf-8", "replace"))


register_codec(OP_ACTION, _parse_action,
               lambda a: f"{a.sender} -> {a.target} {a.text!r}")


# ---- status request (15)

def status_request(dest: TbId = BROADCAST_ID) -> Packet:
    return Packet(OP_STATUS_REQUEST, dest)


def _parse_status_request(p: Packet) -> None:
    if p.payload:
        raise DecodeError(f"status request with {len(p.payload)} payload bytes")
    return None


register_codec(OP_STATUS_REQUEST, _parse_status_request)


# ---- status answer (16)

@dataclasses.dataclass
class StatusAnswer:
    id: TbId
    kind: int
    volume: int
    volume_flag: int
    text: str

    @property
    def fields(self) -> list[str]:
        return split_fields(self.text)


def status_answer(about: TbId, text: str | bytes, *, kind: int = KIND_STATUS,
                  volume: int = 0, volume_flag: int = 0, dest: TbId = BROADCAST_ID,
                  terminate: bool = True) -> Packet:
    raw = text.encode() if isinstance(text, str) else bytes(text)
    payload = (about.raw + struct.pack(">IHH", kind, volume & 0xFFFF, volume_flag & 0xFFFF)
               + raw + (b"\0" if terminate else b""))
    return Packet(OP_STATUS_ANSWER, dest, payload)


def _parse_status_answer(p: Packet) -> StatusAnswer:
    b = p.payload
    if len(b) < STATUS_BASE - 36:
        raise DecodeError(f"status answer payload of {len(b)} bytes, at least 17 needed")
    end = b.find(b"\0", 16)
    if end != len(b) - 1:
        raise DecodeError("status string is not NUL-terminated at the end of the packet")
    if end - 16 > TEXT_MAX:
        raise DecodeError(f"status string of {end - 16} characters")
    kind, volume, flag = struct.unpack_from(">IHH", b, 8)
    return StatusAnswer(TbId(b[:8]), kind, volume, flag, b[16:end].decode("utf-8", "replace"))


register_codec(OP_STATUS_ANSWER, _parse_status_answer,
               lambda s: f"about={s.id} kind={s.kind} {s.text!r}")
