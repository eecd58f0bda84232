"""Boot packets of the Tamber LAN protocol (opcodes 1-3) and firmware image
helpers, written from the protocol rules for the end-to-end tests.

Image: 512 KiB; bytes 0x10000-0x7FFFD are the application area, whose
CRC-16/XMODEM the server writes into 0x7FFFE-0x7FFFF (high byte first);
the version (type, major, minor, patch) is at 0x100E4.
"""

from __future__ import annotations

import dataclasses
import struct
from typing import Optional

from lanpeer import (BROADCAST_ID, DecodeError, OP_BOOT_ANSWER, OP_BOOT_COMMAND,
                     OP_BOOT_REQUEST, PEER_IP, Packet, TbId, ip_bytes, ip_text,
                     register_codec)

IMAGE_SIZE = 0x80000
APP_START = 0x10000
CRC_OFFSET = 0x7FFFE
VERSION_OFFSET = 0x100E4
BLOCK_MAX = 1024
COMMAND_LENGTH = 38
REQUEST_LENGTH = 48
ANSWER_LENGTH = 1072
ENTER_BOOT_LOADER = 2


def crc16_xmodem(data: bytes) -> int:
    """Bit by bit: polynomial 0x1021, initial 0, MSB first, no final XOR."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def make_image(version: bytes, size: int = IMAGE_SIZE) -> bytes:
    """A firmware file of size bytes with a position-dependent pattern and
    the version at its place (when the file reaches it)."""
    data = bytearray((i * 7 + (i >> 8)) & 0xFF for i in range(size))
    for i, b in enumerate(version[:4]):
        if VERSION_OFFSET + i < size:
            data[VERSION_OFFSET + i] = b
    return bytes(data)


def served_image(file_bytes: bytes) -> bytes:
    """The image as the server holds it: the file over 0xFF bytes, cut to
    512 KiB, with the application area's CRC at the end."""
    image = bytearray(file_bytes[:IMAGE_SIZE].ljust(IMAGE_SIZE, b"\xff"))
    image[CRC_OFFSET:CRC_OFFSET + 2] = struct.pack(">H", crc16_xmodem(bytes(image[APP_START:CRC_OFFSET])))
    return bytes(image)


# ---- boot command (1): header + command code

@dataclasses.dataclass
class BootCommand:
    command: int


def _parse_boot_command(p: Packet) -> BootCommand:
    if len(p.payload) != COMMAND_LENGTH - 36:
        raise DecodeError(f"boot command payload of {len(p.payload)} bytes, 2 expected")
    return BootCommand(struct.unpack(">H", p.payload)[0])


register_codec(OP_BOOT_COMMAND, _parse_boot_command, lambda c: f"command={c.command}")


# ---- boot request (2): the boot loader asks for one block

@dataclasses.dataclass
class BootRequest:
    ip: str
    device_type: int
    length: int
    offset: int


def boot_request(offset: int, length: int, device_type: int, *, ip: str = PEER_IP,
                 dest: TbId = BROADCAST_ID) -> Packet:
    payload = ip_bytes(ip) + struct.pack(">HHI", device_type & 0xFFFF, length & 0xFFFF,
                                         offset & 0xFFFFFFFF)
    return Packet(OP_BOOT_REQUEST, dest, payload)


def _parse_boot_request(p: Packet) -> BootRequest:
    if len(p.payload) != REQUEST_LENGTH - 36:
        raise DecodeError(f"boot request payload of {len(p.payload)} bytes, 12 expected")
    device_type, length, offset = struct.unpack_from(">HHI", p.payload, 4)
    return BootRequest(ip_text(p.payload[:4]), device_type, length, offset)


register_codec(OP_BOOT_REQUEST, _parse_boot_request,
               lambda r: f"type={r.device_type} offset={r.offset} length={r.length}")


# ---- boot answer (3): the block, always in a 1072-byte packet

@dataclasses.dataclass
class BootAnswer:
    ip: str
    device_type: int
    length: int
    offset: int
    data: bytes       # the whole 1024-byte data field
    block: bytes      # its first length bytes


def _parse_boot_answer(p: Packet) -> BootAnswer:
    if len(p.payload) != ANSWER_LENGTH - 36:
        raise DecodeError(f"boot answer payload of {len(p.payload)} bytes, 1036 expected")
    device_type, length, offset = struct.unpack_from(">HHI", p.payload, 4)
    if length > BLOCK_MAX:
        raise DecodeError(f"boot answer block length {length} exceeds {BLOCK_MAX}")
    data = bytes(p.payload[12:])
    return BootAnswer(ip_text(p.payload[:4]), device_type, length, offset, data, data[:length])


register_codec(OP_BOOT_ANSWER, _parse_boot_answer,
               lambda a: f"type={a.device_type} offset={a.offset} length={a.length}")


def is_direct(p: Packet, server_id: Optional[TbId] = None) -> bool:
    """Boot packets leave outside the transmit ring: to the broadcast id,
    sequence 0, from the server's device id."""
    return (p.dest == BROADCAST_ID and p.seq == 0
            and (server_id is None or p.src == server_id))
