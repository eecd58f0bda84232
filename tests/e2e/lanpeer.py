"""End-to-end test kit for tamber-server: a private virtual LAN, the real
server in one network namespace and scripted Tamber devices in the other.

Everything here is written from the protocol's rules, not from the server's
code, so that an encoding fault in the server shows up as a test failure
instead of being mirrored.

    with VirtualLan() as lan:             # namespaces, INI, server started
        lan.wait_ready()
        peer = lan.peer()                 # a simulated device in the peer ns
        peer.send(device_request(lan.server_id))
        answer = peer.expect(OP_DEVICE_ANSWER, src=lan.server_id)
        print(answer.body.name)

Stdlib only (Python 3.11). Needs root for the namespaces.
"""

from __future__ import annotations

import atexit
import ctypes
import dataclasses
import datetime
import itertools
import os
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path
from typing import Any, Callable, Iterable, Optional, Sequence, Union

# --------------------------------------------------------------------------
# Constants of the installation and of the test LAN

REPO = Path(__file__).resolve().parents[2]
VLAN_SH = REPO / "scripts" / "vlan.sh"
DEFAULT_SERVER = REPO / "build" / "tamber-server"

IFNAME = "tbveth0"
SERVER_IP = "10.213.0.1"
PEER_IP = "10.213.0.2"
NETMASK = "255.255.255.0"
SERVER_MAC = bytes.fromhex("025442d50001")  # set by vlan.sh
PEER_MAC = bytes.fromhex("025442d50002")

LAN_GROUP = "236.13.8.66"
LAN_PORT = 11246
AUDIO_PORT = 11248
MENU_PORT = 11224
CONSOLE_PORT = 11244
CONSOLE_UDP_PORTS = (11244, 11245)

VERSION = bytes([138, 2, 4, 9])
VERSION_TEXT = "138-02.04.09"
START_LINE = "Starting Tamber-Server Version " + VERSION_TEXT
DEFAULT_HOME = "/webman/3rdparty/HalvoTamberServer/web"

MAGIC = b"KESTOR01"
HEADER_SIZE = 36
MAX_DATAGRAM = 1316

# Slow builds (sanitizers, valgrind) can stretch every default timeout.
TIMEOUT_SCALE = float(os.environ.get("TAMBER_E2E_TIMEOUT_SCALE", "1") or 1)


def scaled(seconds: float) -> float:
    return seconds * TIMEOUT_SCALE


class DecodeError(ValueError):
    """A datagram or payload that breaks the protocol's layout rules."""


# --------------------------------------------------------------------------
# Identifiers: class byte, 6 MAC bytes, index byte, in wire order.

ID_LETTERS = "0RUSTMAPXK????ZF"
INDEX_DIGITS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"

CLASS_NONE = 0
CLASS_ROOM = 1
CLASS_USER = 2
CLASS_SOURCE = 3
CLASS_T = 4
CLASS_MENU = 5
CLASS_CONSOLE = 6
CLASS_PROXY = 7
CLASS_TIMER = 8
CLASS_KNX = 9
CLASS_Z = 14
CLASS_BROADCAST = 15

_ID_TEXT_RE = re.compile(r"[0RUSTMAPXK?ZF][0-9A-F]{12}[0-9A-Z]")


def _hexval(ch: str) -> int:
    return int(ch, 16) if ch in "0123456789abcdefABCDEF" else 0


@dataclasses.dataclass(frozen=True)
class TbId:
    raw: bytes

    def __post_init__(self) -> None:
        if len(self.raw) != 8:
            raise ValueError(f"an id has 8 bytes, not {len(self.raw)}")

    @classmethod
    def make(cls, mac: bytes, klass: int = 0, index: int = 0) -> "TbId":
        if len(mac) != 6:
            raise ValueError("a MAC has 6 bytes")
        return cls(bytes([klass & 0xFF]) + bytes(mac) + bytes([index & 0xFF]))

    @classmethod
    def parse(cls, text: str) -> "TbId":
        """Reads a text form the way every Tamber device does: lenient,
        never fails; characters past the text count as missing."""
        klass = 0
        if text:
            pos = ID_LETTERS.rfind(text[0])
            klass = pos if pos >= 0 else 0
        mac = bytearray(6)
        for i in range(6):
            hi = text[1 + 2 * i] if len(text) > 1 + 2 * i else ""
            lo = text[2 + 2 * i] if len(text) > 2 + 2 * i else ""
            mac[i] = (_hexval(hi) << 4 | _hexval(lo)) if hi or lo else 0
        index = 0
        if len(text) > 13:
            ch = text[13].upper()
            pos = INDEX_DIGITS.find(ch)
            index = pos if pos >= 0 and ch else 0
        return cls.make(bytes(mac), klass, index)

    @classmethod
    def parse_strict(cls, text: str) -> "TbId":
        if not _ID_TEXT_RE.fullmatch(text):
            raise ValueError(f"not an id text: {text!r}")
        return cls.parse(text)

    @property
    def klass(self) -> int:
        return self.raw[0]

    @property
    def mac(self) -> bytes:
        return self.raw[1:7]

    @property
    def index(self) -> int:
        return self.raw[7]

    @property
    def device(self) -> "TbId":
        return TbId.make(self.mac, 0, 0)

    @property
    def text(self) -> str:
        letter = ID_LETTERS[self.klass] if self.klass < 16 else "?"
        digit = INDEX_DIGITS[self.index] if self.index < 36 else ""
        return letter + self.mac.hex().upper() + digit

    def with_class(self, klass: int) -> "TbId":
        return TbId.make(self.mac, klass, self.index)

    def service(self, klass: int, index: int) -> "TbId":
        return TbId.make(self.mac, klass, index)

    def same_device(self, other: "TbId") -> bool:
        return self.mac == other.mac

    def matches(self, other: "TbId") -> bool:
        """Equal, or either side is the broadcast id."""
        return self == other or self == BROADCAST_ID or other == BROADCAST_ID

    @property
    def is_broadcast_device(self) -> bool:
        return self.mac == b"\xff" * 6

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return f"TbId({self.text!r})"


UNKNOWN_ID = TbId(bytes(8))
BROADCAST_ID = TbId(bytes([15]) + b"\xff" * 6 + bytes([15]))
SERVER_ID = TbId.make(SERVER_MAC)


def as_id(value: Union[TbId, str, bytes]) -> TbId:
    if isinstance(value, TbId):
        return value
    if isinstance(value, (bytes, bytearray)):
        return TbId(bytes(value))
    return TbId.parse_strict(value)


# --------------------------------------------------------------------------
# Opcodes and payload codecs

OP_BOOT_COMMAND = 1
OP_BOOT_REQUEST = 2
OP_BOOT_ANSWER = 3
OP_AUDIO_REQUEST = 5
OP_AUDIO_STREAM = 6
OP_AUDIO_INSERT = 7
OP_SERVICE_JOIN = 8
OP_SERVICE_LEAVE = 9
OP_SERVICE_REQUEST = 10
OP_SERVICE_ANSWER = 11
OP_DEVICE_REQUEST = 12
OP_DEVICE_ANSWER = 13
OP_ACTION = 14
OP_STATUS_REQUEST = 15
OP_STATUS_ANSWER = 16
OP_MENU_REQUEST = 17
OP_MENU_ANSWER = 18
OP_MANIFEST_COMMIT = 19
OP_MANIFEST_UPDATE = 20
OP_MANIFEST_REQUEST = 21
OP_MANIFEST_ANSWER = 22
OP_SYSLOG = 23

OPCODE_NAMES = {
    OP_BOOT_COMMAND: "boot command",
    OP_BOOT_REQUEST: "boot request",
    OP_BOOT_ANSWER: "boot answer",
    OP_AUDIO_REQUEST: "audio request",
    OP_AUDIO_STREAM: "audio stream",
    OP_AUDIO_INSERT: "audio insert",
    OP_SERVICE_JOIN: "service join",
    OP_SERVICE_LEAVE: "service leave",
    OP_SERVICE_REQUEST: "service request",
    OP_SERVICE_ANSWER: "service answer",
    OP_DEVICE_REQUEST: "device request",
    OP_DEVICE_ANSWER: "device answer",
    OP_ACTION: "action",
    OP_STATUS_REQUEST: "status request",
    OP_STATUS_ANSWER: "status answer",
    OP_MENU_REQUEST: "menu request",
    OP_MENU_ANSWER: "menu answer",
    OP_MANIFEST_COMMIT: "manifest commit",
    OP_MANIFEST_UPDATE: "manifest update",
    OP_MANIFEST_REQUEST: "manifest request",
    OP_MANIFEST_ANSWER: "manifest answer",
    OP_SYSLOG: "syslog",
}

# opcode -> parser(packet) returning the payload object (Packet.body).
# Sibling modules add theirs with register_codec().
_PARSERS: dict[int, Callable[["Packet"], Any]] = {}
# opcode -> short text for summaries of that payload.
_SUMMARIES: dict[int, Callable[[Any], str]] = {}


def register_codec(opcode: int, parse: Callable[["Packet"], Any],
                   summary: Optional[Callable[[Any], str]] = None,
                   name: Optional[str] = None) -> None:
    """Registers the payload parser of one opcode. parse(packet) reads
    packet.payload (bytes after the header, exactly as received) and
    raises DecodeError for anything that breaks the layout."""
    _PARSERS[opcode] = parse
    if summary:
        _SUMMARIES[opcode] = summary
    if name:
        OPCODE_NAMES[opcode] = name


def opcode_name(opcode: int) -> str:
    return OPCODE_NAMES.get(opcode, f"opcode {opcode}")


# --------------------------------------------------------------------------
# Packets

_HEADER = struct.Struct(">8s8s8sIIHH")
assert _HEADER.size == HEADER_SIZE


@dataclasses.dataclass(eq=False)
class Packet:
    opcode: int
    dest: TbId = BROADCAST_ID
    payload: bytes = b""
    src: Optional[TbId] = None      # Peer.send fills the peer's device id
    nonce: Optional[int] = None     # ... its boot nonce
    seq: Optional[int] = None       # ... its next sequence number (or 0)
    length: Optional[int] = None    # None: 36 + len(payload)
    magic: bytes = MAGIC
    # Set on received packets:
    addr: Optional[tuple] = None    # sender (ip, port)
    size: int = 0                   # datagram size
    time: float = 0.0               # kernel arrival, time.time() scale
    via: str = ""                   # "group" or "unicast"
    error: Optional[str] = None     # payload decode error, if any
    _body: Any = dataclasses.field(default=None, repr=False)

    @property
    def name(self) -> str:
        return opcode_name(self.opcode)

    def encode(self) -> bytes:
        length = HEADER_SIZE + len(self.payload) if self.length is None else self.length
        return _HEADER.pack(self.magic, (self.dest or UNKNOWN_ID).raw,
                            (self.src or UNKNOWN_ID).raw, self.nonce or 0,
                            self.seq or 0, length & 0xFFFF,
                            self.opcode & 0xFFFF) + bytes(self.payload)

    @property
    def body(self) -> Any:
        """The parsed payload (DecodeError when it is malformed)."""
        if self.error:
            raise DecodeError(self.error)
        if self._body is None:
            parse = _PARSERS.get(self.opcode)
            if parse is None:
                raise DecodeError(f"no codec for {self.name}")
            self._body = parse(self)
        return self._body

    def summary(self) -> str:
        text = (f"{self.name}({self.opcode}) {self.src} -> {self.dest} "
                f"seq={self.seq} len={self.length}")
        if self.addr:
            text += f" from {self.addr[0]}"
        if self.error:
            return text + f" MALFORMED: {self.error}"
        if self.opcode in _SUMMARIES:
            try:
                text += " " + _SUMMARIES[self.opcode](self.body)
            except DecodeError as e:
                text += f" MALFORMED: {e}"
        return text

    def __repr__(self) -> str:
        return f"<Packet {self.summary()}>"


def decode(data: bytes, addr: Optional[tuple] = None, *, strict: bool = True) -> Packet:
    """Decodes one received datagram. strict: the length field must equal
    the datagram size and the size must not exceed 1316 bytes (what every
    conforming sender does)."""
    if len(data) < HEADER_SIZE:
        raise DecodeError(f"datagram of {len(data)} bytes is shorter than a header")
    magic, dest, src, nonce, seq, length, opcode = _HEADER.unpack_from(data)
    if magic != MAGIC:
        raise DecodeError(f"bad magic {magic!r}")
    if strict and len(data) > MAX_DATAGRAM:
        raise DecodeError(f"datagram of {len(data)} bytes exceeds {MAX_DATAGRAM}")
    if strict and length != len(data):
        raise DecodeError(f"length field {length} but datagram has {len(data)} bytes")
    end = len(data) if not strict else length
    return Packet(opcode=opcode, dest=TbId(dest), src=TbId(src), nonce=nonce,
                  seq=seq, length=length, payload=bytes(data[HEADER_SIZE:end]),
                  magic=magic, addr=addr, size=len(data))


def _cstr(field: bytes, what: str) -> str:
    """A fixed-width NUL-terminated text field."""
    end = field.find(b"\0")
    if end < 0:
        raise DecodeError(f"{what} is not NUL-terminated within {len(field)} bytes")
    return field[:end].decode("utf-8", "replace")


def _cfield(text: Union[str, bytes], width: int) -> bytes:
    """Fixed-width field, cut to width - 1 and NUL-padded."""
    raw = text.encode() if isinstance(text, str) else bytes(text)
    return raw[:width - 1].ljust(width, b"\0")


def ip_bytes(ip: str) -> bytes:
    return socket.inet_aton(ip)


def ip_text(raw: bytes) -> str:
    return socket.inet_ntoa(raw)


# ---- device request (12): header only

def device_request(dest: TbId = BROADCAST_ID) -> Packet:
    return Packet(OP_DEVICE_REQUEST, dest)


def _parse_device_request(p: Packet) -> None:
    if p.payload:
        raise DecodeError(f"device request with {len(p.payload)} payload bytes")
    return None


register_codec(OP_DEVICE_REQUEST, _parse_device_request)


# ---- the 12-byte wall-clock record carried in device answers

@dataclasses.dataclass
class TimeRecord:
    hour: int = 0
    minute: int = 0
    second: int = 0
    weekday: int = 0      # 0 = Sunday
    mday: int = 1
    month: int = 0        # 0 = January
    yday: int = 0
    year: int = 1970
    valid: int = 0
    pad: int = 0

    _S = struct.Struct("<6BHHBB")

    def encode(self) -> bytes:
        return self._S.pack(self.hour, self.minute, self.second, self.weekday,
                            self.mday, self.month, self.yday, self.year,
                            self.valid, self.pad)

    @classmethod
    def decode(cls, raw: bytes) -> "TimeRecord":
        return cls(*cls._S.unpack(raw))

    @classmethod
    def from_datetime(cls, dt: datetime.datetime, valid: int = 1) -> "TimeRecord":
        return cls(dt.hour, dt.minute, dt.second, (dt.weekday() + 1) % 7,
                   dt.day, dt.month - 1, dt.timetuple().tm_yday - 1, dt.year,
                   valid)

    @classmethod
    def now(cls) -> "TimeRecord":
        return cls.from_datetime(datetime.datetime.now())


# ---- device answer (13)

@dataclasses.dataclass
class DeviceAnswer:
    ip: str
    version: bytes
    name: str
    time: TimeRecord
    url: str
    locale: str
    services: list[TbId]


def device_answer(dest: TbId = BROADCAST_ID, *, ip: str = PEER_IP,
                  version: bytes = bytes([1, 0, 0, 0]), name: str = "peer",
                  time_record: Optional[TimeRecord] = None, url: str = "",
                  locale: str = "", services: Iterable[TbId] = (),
                  count: Optional[int] = None) -> Packet:
    """count overrides the service count field (to send a lying one)."""
    services = list(services)
    payload = (ip_bytes(ip) + bytes(version)[:4].ljust(4, b"\0")
               + _cfield(name, 32)
               + (time_record or TimeRecord.now()).encode()
               + _cfield(url, 256) + _cfield(locale, 8)
               + struct.pack(">I", len(services) if count is None else count)
               + b"".join(s.raw for s in services))
    return Packet(OP_DEVICE_ANSWER, dest, payload)


def _parse_device_answer(p: Packet) -> DeviceAnswer:
    b = p.payload
    if len(b) < 320:
        raise DecodeError(f"device answer payload of {len(b)} bytes, at least 320 needed")
    (n,) = struct.unpack_from(">I", b, 316)
    if len(b) != 320 + 8 * n:
        raise DecodeError(f"device answer lists {n} services but carries {len(b) - 320} id bytes")
    return DeviceAnswer(
        ip=ip_text(b[0:4]), version=bytes(b[4:8]), name=_cstr(b[8:40], "name"),
        time=TimeRecord.decode(b[40:52]), url=_cstr(b[52:308], "url"),
        locale=_cstr(b[308:316], "locale"),
        services=[TbId(b[320 + 8 * i:328 + 8 * i]) for i in range(n)])


register_codec(OP_DEVICE_ANSWER, _parse_device_answer,
               lambda a: f"name={a.name!r} ip={a.ip} "
                         f"version={'.'.join(map(str, a.version))} "
                         f"services={len(a.services)}")


# ---- syslog (23)

SYSLOG_LEVELS = "MWEF"
_SYSLOG_RE = re.compile(r"([MWEF]) #(\S{14}) #(\S{14}) ([^:]*):(.*)", re.S)


@dataclasses.dataclass
class SyslogEntry:
    text: str
    level: Optional[str] = None      # M, W, E or F; None when the shape is off
    own: Optional[TbId] = None       # the reporting device
    about: Optional[TbId] = None     # the id the message is about
    origin: Optional[str] = None
    message: Optional[str] = None


def syslog_text(level: str, own: TbId, about: TbId, origin: str, message: str) -> str:
    return f"{level} #{own.text} #{about.text} {origin}:{message}"


def syslog(text: str, dest: TbId = BROADCAST_ID) -> Packet:
    return Packet(OP_SYSLOG, dest, text.encode() + b"\0")


def _parse_syslog(p: Packet) -> SyslogEntry:
    b = p.payload
    end = b.find(b"\0")
    if end < 0:
        raise DecodeError("syslog text is not NUL-terminated")
    if end != len(b) - 1:
        raise DecodeError(f"syslog length counts {len(b) - 1 - end} bytes past the text's NUL")
    text = b[:end].decode("utf-8", "replace")
    m = _SYSLOG_RE.fullmatch(text)
    if not m:
        return SyslogEntry(text)
    return SyslogEntry(text, m[1], TbId.parse(m[2]), TbId.parse(m[3]), m[4], m[5])


register_codec(OP_SYSLOG, _parse_syslog, lambda e: repr(e.text))


# --------------------------------------------------------------------------
# Network namespaces: sockets are created while the calling thread is
# switched into the namespace; they stay there after switching back.

_CLONE_NEWNET = 0x40000000
_SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
_libc = ctypes.CDLL(None, use_errno=True)
_netns_lock = threading.Lock()


def _setns(fd: int) -> None:
    if _libc.setns(fd, _CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"setns: {os.strerror(err)}")


def in_netns(ns: str, fn: Callable[[], Any]) -> Any:
    """Runs fn() with the calling thread in network namespace ns."""
    with _netns_lock:
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        try:
            target = os.open(f"/run/netns/{ns}", os.O_RDONLY)
            try:
                _setns(target)
            finally:
                os.close(target)
            try:
                return fn()
            finally:
                _setns(home)
        finally:
            os.close(home)


def netns_socket(ns: str, family: int = socket.AF_INET,
                 kind: int = socket.SOCK_DGRAM) -> socket.socket:
    return in_netns(ns, lambda: socket.socket(family, kind))


def setup_udp(sock: socket.socket, port: int, *, ip: str, group: Optional[str] = None,
              bind: Optional[str] = None, loop: bool = False) -> socket.socket:
    """Bound UDP socket for the test LAN: address reuse, TTL 1, multicast
    out of ip's interface, loop off unless asked; group joined on ip."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1 if loop else 0)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, ip_bytes(ip))
    try:
        sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 4 << 20)
    except OSError:
        pass
    sock.setsockopt(socket.SOL_SOCKET, _SO_TIMESTAMPNS, 1)
    sock.bind((bind if bind is not None else "0.0.0.0", port))
    if group:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        ip_bytes(group) + ip_bytes(ip))
    return sock


def recv_datagram(sock: socket.socket, bufsize: int = 65536) -> tuple[bytes, tuple, float]:
    """One datagram with its sender and kernel arrival time."""
    data, anc, _flags, addr = sock.recvmsg(bufsize, socket.CMSG_SPACE(16))
    stamp = time.time()
    for level, kind, cdata in anc:
        if level == socket.SOL_SOCKET and kind == _SO_TIMESTAMPNS and len(cdata) >= 16:
            sec, nsec = struct.unpack("qq", cdata[:16])
            stamp = sec + nsec / 1e9
    return data, addr, stamp


# --------------------------------------------------------------------------
# Simulated Tamber device

PacketFilter = Callable[[Packet], bool]


class Peer:
    """A Tamber device living in the peer namespace: its own MAC, id, boot
    nonce and sequence counter; one socket bound to the LAN group (hears
    multicast) and one bound to its own address (hears unicast, sends)."""

    def __init__(self, lan: "VirtualLan", *, ip: str = PEER_IP,
                 mac: Optional[bytes] = None, nonce: Optional[int] = None,
                 name: str = "peer", dedup: bool = True, port: int = LAN_PORT) -> None:
        self.lan = lan
        self.ip = ip
        self.port = port
        self.mac = mac if mac is not None else random_mac()
        self.id = TbId.make(self.mac)
        self.nonce = nonce if nonce is not None else random.randrange(1, 1 << 32)
        self.name = name
        self.dedup = dedup
        self._seq = 0
        self.inbox: list[Packet] = []       # received, not yet taken
        self.history: list[Packet] = []     # everything received
        self.bad: list[tuple[float, Any, str, bytes]] = []  # undecodable datagrams
        self._last_seq: dict[bytes, tuple[int, int]] = {}
        self.group_sock = lan.peer_udp(port, group=LAN_GROUP, bind=LAN_GROUP, ip=ip)
        self.sock = lan.peer_udp(port, bind=ip, ip=ip)
        self._socks = {self.group_sock: "group", self.sock: "unicast"}

    def close(self) -> None:
        for s in self._socks:
            s.close()
        self._socks = {}

    # ---- sending

    def next_seq(self) -> int:
        self._seq = (self._seq + 1) & 0xFFFFFFFF or 1
        return self._seq

    def service_id(self, klass: int, index: int = 0) -> TbId:
        return self.id.service(klass, index)

    def send(self, packet: Packet, dest_ip: str = LAN_GROUP, *, port: int = LAN_PORT,
             robust: bool = True, copies: int = 1) -> Packet:
        """Sends packet, filling in what is unset: source = own device id,
        own boot nonce, sequence = next counter value (0 when not robust).
        copies > 1 repeats the same datagram like a device's robust send."""
        if packet.src is None:
            packet.src = self.id
        if packet.nonce is None:
            packet.nonce = self.nonce
        if packet.seq is None:
            packet.seq = self.next_seq() if robust else 0
        data = packet.encode()
        for i in range(copies):
            if i:
                time.sleep(0.003)
            self.sock.sendto(data, (dest_ip, port))
        return packet

    def send_raw(self, data: bytes, dest_ip: str = LAN_GROUP, port: int = LAN_PORT) -> None:
        self.sock.sendto(bytes(data), (dest_ip, port))

    def announce(self, dest: TbId = BROADCAST_ID, *, services: Iterable[TbId] = (),
                 version: bytes = bytes([1, 0, 0, 0]), url: str = "", locale: str = "",
                 dest_ip: str = LAN_GROUP, **kw: Any) -> Packet:
        """Sends this device's device answer."""
        return self.send(device_answer(dest, ip=self.ip, version=version, name=self.name,
                                       url=url, locale=locale, services=services),
                         dest_ip, **kw)

    # ---- receiving

    def _accept(self, data: bytes, addr: tuple, stamp: float, via: str) -> None:
        try:
            p = decode(data, addr)
        except DecodeError as e:
            self.bad.append((stamp, addr, str(e), data))
            return
        p.time, p.via = stamp, via
        self.history.append(p)
        if self.dedup and p.seq:
            # A restarted sender (new boot nonce) starts counting afresh.
            key = p.src.mac
            if self._last_seq.get(key) == (p.nonce, p.seq):
                return
            self._last_seq[key] = (p.nonce, p.seq)
        if p.opcode in _PARSERS:
            try:
                _ = p.body
            except DecodeError as e:
                p.error = str(e)
        self.inbox.append(p)

    def pump(self, timeout: float = 0.0) -> int:
        """Reads what arrives within timeout (at least what is waiting)."""
        deadline = time.monotonic() + timeout
        count = 0
        while self._socks:
            left = max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select(list(self._socks), [], [], left)
            if not ready:
                break
            for s in ready:
                try:
                    data, addr, stamp = recv_datagram(s)
                except BlockingIOError:
                    continue
                self._accept(data, addr, stamp, self._socks[s])
                count += 1
            timeout = 0.0
            deadline = min(deadline, time.monotonic())
        return count

    @staticmethod
    def _filter(opcode: Optional[int], src: Optional[TbId], dest: Optional[TbId],
                predicate: Optional[PacketFilter]) -> PacketFilter:
        def match(p: Packet) -> bool:
            if opcode is not None and p.opcode != opcode:
                return False
            if src is not None and not p.src.same_device(src):
                return False
            if dest is not None and p.dest != dest:
                return False
            if predicate is not None:
                try:
                    return bool(predicate(p))
                except DecodeError:
                    return False
            return True
        return match

    def _take(self, match: PacketFilter) -> Optional[Packet]:
        for i, p in enumerate(self.inbox):
            if match(p):
                return self.inbox.pop(i)
        return None

    def recv(self, timeout: float = 2.0, opcode: Optional[int] = None, *,
             src: Optional[TbId] = None, dest: Optional[TbId] = None,
             predicate: Optional[PacketFilter] = None) -> Optional[Packet]:
        """The oldest matching packet (taken from the inbox), waiting up to
        timeout; None when none came. src matches the sender's device."""
        match = self._filter(opcode, src, dest, predicate)
        deadline = time.monotonic() + timeout
        while True:
            found = self._take(match)
            if found is not None:
                return found
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.pump(min(left, 0.05))

    def recv_all(self, duration: float, opcode: Optional[int] = None, *,
                 src: Optional[TbId] = None, dest: Optional[TbId] = None,
                 predicate: Optional[PacketFilter] = None) -> list[Packet]:
        """Every matching packet that arrives within duration (and those
        already waiting), taken from the inbox."""
        match = self._filter(opcode, src, dest, predicate)
        deadline = time.monotonic() + duration
        while (left := deadline - time.monotonic()) > 0:
            self.pump(min(left, 0.05))
        taken = [p for p in self.inbox if match(p)]
        self.inbox = [p for p in self.inbox if not match(p)]
        return taken

    def expect(self, opcode: Optional[int] = None, *, timeout: float = 5.0,
               src: Optional[TbId] = None, dest: Optional[TbId] = None,
               predicate: Optional[PacketFilter] = None, what: str = "") -> Packet:
        """Like recv, but fails the test with a list of what was seen."""
        start = len(self.history)
        bad_start = len(self.bad)
        timeout = scaled(timeout)
        p = self.recv(timeout, opcode, src=src, dest=dest, predicate=predicate)
        if p is not None:
            return p
        wanted = what or " ".join(filter(None, [
            opcode_name(opcode) if opcode is not None else "packet",
            f"from {src}" if src else "", f"to {dest}" if dest else "",
            "matching predicate" if predicate else ""]))
        raise AssertionError(
            f"peer {self.id} ({self.ip}): no {wanted} within {timeout:.1f} s\n"
            + self.describe(start, bad_start) + self.lan.output_tail())

    def expect_none(self, opcode: Optional[int] = None, *, duration: float = 1.0,
                    src: Optional[TbId] = None, dest: Optional[TbId] = None,
                    predicate: Optional[PacketFilter] = None, what: str = "") -> None:
        got = self.recv_all(duration, opcode, src=src, dest=dest, predicate=predicate)
        if got:
            raise AssertionError(f"peer {self.id}: unexpected {what or 'packets'}:\n"
                                 + "\n".join("  " + p.summary() for p in got[:30]))

    def describe(self, since: int = 0, bad_since: int = 0, limit: int = 40) -> str:
        seen = self.history[since:]
        lines = [f"seen {len(seen)} packet(s) meanwhile"
                 + (f" (last {limit})" if len(seen) > limit else "") + ":"]
        lines += ["  " + p.summary() for p in seen[-limit:]]
        waiting = [p for p in self.inbox if p not in seen]
        if waiting:
            lines.append(f"waiting in inbox from before: {len(waiting)}")
            lines += ["  " + p.summary() for p in waiting[-10:]]
        for stamp, addr, reason, data in self.bad[bad_since:][-10:]:
            lines.append(f"  UNDECODABLE from {addr}: {reason}: {data[:48].hex()}")
        return "\n".join(lines) + "\n"

    def clear(self) -> None:
        """Reads what is waiting and forgets the inbox and the sequence
        numbers seen (call it between server restarts: two starts within
        one second may pick the same boot nonce)."""
        self.pump(0)
        self.inbox.clear()
        self._last_seq.clear()


def random_mac() -> bytes:
    """Locally administered unicast MAC, distinct from the veth ends."""
    while True:
        mac = bytes([0x02]) + random.randbytes(5)
        if mac not in (SERVER_MAC, PEER_MAC):
            return mac


# --------------------------------------------------------------------------
# Line-oriented TCP client (console, menus)

class TcpLines:
    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.buffer = b""
        self.lines: list[str] = []   # everything read

    def send_line(self, text: str, end: str = "\n") -> None:
        self.sock.sendall((text + end).encode())

    def read_line(self, timeout: float = 5.0) -> Optional[str]:
        deadline = time.monotonic() + scaled(timeout)
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.sock], [], [], left)
            if not ready:
                return None
            chunk = self.sock.recv(65536)
            if not chunk:
                if not self.buffer:
                    return None
                self.buffer += b"\n"
                break
            self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\n", 1)
        line = raw.rstrip(b"\r").decode("utf-8", "replace")
        self.lines.append(line)
        return line

    def expect_line(self, pattern: Union[str, re.Pattern], timeout: float = 5.0) -> str:
        start = len(self.lines)
        deadline = time.monotonic() + scaled(timeout)
        while (left := deadline - time.monotonic()) > 0:
            line = self.read_line(left / TIMEOUT_SCALE)
            if line is None:
                break
            if _line_matches(pattern, line):
                return line
        raise AssertionError(f"no line matching {_pattern_text(pattern)}; read:\n"
                             + "\n".join("  " + l for l in self.lines[start:][-30:]))

    def close(self) -> None:
        self.sock.close()


def _line_matches(pattern: Union[str, re.Pattern], line: str) -> bool:
    if isinstance(pattern, re.Pattern):
        return pattern.search(line) is not None
    return pattern in line


def _pattern_text(pattern: Union[str, re.Pattern]) -> str:
    return f"/{pattern.pattern}/" if isinstance(pattern, re.Pattern) else repr(pattern)


# --------------------------------------------------------------------------
# INI generation

# (section, name, default) in the order start-up needs: pass-1 keys, then
# the interface (it starts the core), then the rest in task order.
DEFAULT_INI_KEYS: list[tuple[str, str, str]] = [
    ("webserver", "home", DEFAULT_HOME),
    ("synology", "locale", "en"),
    ("network", "interface", IFNAME),
    ("paths", "manifest", "{manifest}"),
    ("paths", "syslog", "{syslog}"),
    ("firmware", "load", "{firmware}"),
    ("synology", "arch", "x64"),
    ("services", "proxy", "1"),
    ("services", "timer", "1"),
    ("services", "knx", "1"),
]

IniValue = Union[str, int, None]


def make_ini(paths: dict[str, str], overrides: Optional[dict[Any, IniValue]] = None,
             extra: str = "") -> tuple[str, list[tuple[str, str, str]]]:
    """INI text and its (section, name, value) list. overrides maps
    "section/name" or (section, name) to a value, or None to leave the key
    out; keys not in the defaults are appended. extra is raw text added at
    the end. {manifest}, {syslog}, {firmware}, {dir} are replaced."""
    norm: dict[tuple[str, str], IniValue] = {}
    for key, value in (overrides or {}).items():
        if isinstance(key, str):
            section, _, name = key.partition("/")
            key = (section, name)
        norm[key] = value
    entries: list[tuple[str, str, str]] = []
    for section, name, default in DEFAULT_INI_KEYS:
        value = norm.pop((section, name), default)
        if value is not None:
            entries.append((section, name, str(value)))
    entries += [(s, n, str(v)) for (s, n), v in norm.items() if v is not None]
    def fill(v: str) -> str:
        for k, path in paths.items():
            v = v.replace("{" + k + "}", path)
        return v
    entries = [(s, n, fill(v)) for s, n, v in entries]
    lines: list[str] = []
    section = None
    for s, n, v in entries:
        if s != section:
            lines.append(f"[{s}]")
            section = s
        lines.append(f"{n} = {v}")
    text = "\n".join(lines) + "\n"
    if extra:
        text += extra if extra.endswith("\n") else extra + "\n"
    return text, entries


# --------------------------------------------------------------------------
# The virtual LAN with the server

_active: set["VirtualLan"] = set()
_active_lock = threading.Lock()
_handlers_installed = False
_tag_counter = itertools.count(1)
_TAG_RE = re.compile(r"tb-(e(\d+)n\d+)-(?:srv|peer)")


def _cleanup_all() -> None:
    with _active_lock:
        lans = list(_active)
    for lan in lans:
        try:
            lan.close()
        except Exception as e:  # keep tearing down the others
            print(f"lanpeer: teardown of {lan.tag} failed: {e}", file=sys.stderr)


def _on_signal(signum: int, frame: Any) -> None:
    # Teardown runs in the finally blocks / cleanups this unwinds through,
    # and atexit catches the rest.
    signal.signal(signum, signal.SIG_IGN)
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise SystemExit(128 + signum)


def _install_handlers() -> None:
    global _handlers_installed
    if _handlers_installed:
        return
    _handlers_installed = True
    atexit.register(_cleanup_all)
    if threading.current_thread() is threading.main_thread():
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(sig) in (signal.SIG_DFL, signal.default_int_handler):
                signal.signal(sig, _on_signal)


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def cleanup_stale_lans() -> None:
    """Removes virtual LANs left by test processes that were killed hard
    (SIGKILL leaves no chance to tear down). Only our own tag pattern."""
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        m = _TAG_RE.fullmatch(line.split()[0]) if line.split() else None
        if m and not _pid_alive(int(m[2])):
            subprocess.run([str(VLAN_SH), "down", m[1]], capture_output=True)


def _server_path() -> str:
    return os.environ.get("TAMBER_SERVER") or str(DEFAULT_SERVER)


class VirtualLan:
    """Namespaces tb-TAG-srv / tb-TAG-peer, a work directory with the INI,
    manifest/ and syslog/ directories and a firmware path, and the server
    started in the server namespace. Always torn down by close()."""

    def __init__(self, ini: Optional[dict[Any, IniValue]] = None, *, extra_ini: str = "",
                 start: bool = True, args: Optional[Sequence[str]] = None,
                 server: Optional[str] = None, firmware: Optional[bytes] = None,
                 line_buffered: bool = True, keep: Optional[bool] = None) -> None:
        self.tag = f"e{os.getpid()}n{next(_tag_counter)}"
        self.srv_ns = f"tb-{self.tag}-srv"
        self.peer_ns = f"tb-{self.tag}-peer"
        self.server_id = SERVER_ID
        self.server_ip = SERVER_IP
        self._ini_overrides = ini
        self._extra_ini = extra_ini
        self._start = start
        self._args = args
        self.server = server or _server_path()
        self._firmware = firmware
        self.line_buffered = line_buffered
        self.keep = keep if keep is not None else bool(os.environ.get("TAMBER_E2E_KEEP"))
        self.dir: Optional[Path] = None
        self.ini_path: Optional[Path] = None
        self.ini_entries: list[tuple[str, str, str]] = []
        self.proc: Optional[subprocess.Popen] = None
        self.killed = False
        self._vlan_up = False
        self._closed = False
        self._peers: list[Peer] = []
        self._sockets: list[socket.socket] = []
        self._peer_ips = 1
        self._out_files: list[Any] = []

    # ---- life cycle

    def __enter__(self) -> "VirtualLan":
        self.open()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def open(self) -> "VirtualLan":
        if os.geteuid() != 0:
            raise unittest.SkipTest("end-to-end tests need root (network namespaces)")
        _install_handlers()
        cleanup_stale_lans()
        with _active_lock:
            _active.add(self)
        try:
            self.dir = Path(tempfile.mkdtemp(prefix=f"tamber-{self.tag}-"))
            self.manifest_dir = self.dir / "manifest"
            self.syslog_dir = self.dir / "syslog"
            self.firmware_path = self.dir / "firmware.bin"
            self.manifest_dir.mkdir()
            self.syslog_dir.mkdir()
            if self._firmware is not None:
                self.firmware_path.write_bytes(self._firmware)
            self.ini_path = self.write_ini("tamber.ini", self._ini_overrides, self._extra_ini)
            self._run_vlan("up")
            self._vlan_up = True
            if self._start:
                self.start_server(self._args)
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        """Stops the server (SIGTERM, then SIGKILL), closes peer sockets,
        removes the namespaces and the work directory. Idempotent."""
        if self._closed:
            return
        if self.proc is not None and self.proc.poll() is None:
            self.stop(timeout=5)
        for p in self._peers:
            p.close()
        for s in self._sockets:
            s.close()
        self._peers.clear()
        self._sockets.clear()
        for f in self._out_files:
            f.close()
        self._out_files.clear()
        if self._vlan_up:
            self._run_vlan("down")
            self._vlan_up = False
        if os.environ.get("TAMBER_E2E_VERBOSE") and self.dir:
            print(f"\n--- server stdout ({self.tag})\n{self.stdout()}"
                  f"--- server stderr\n{self.stderr()}", file=sys.stderr)
        if self.dir and self.dir.exists():
            if self.keep:
                print(f"lanpeer: kept {self.dir}", file=sys.stderr)
            else:
                shutil.rmtree(self.dir, ignore_errors=True)
        self._closed = True
        with _active_lock:
            _active.discard(self)

    def _run_vlan(self, action: str) -> None:
        r = subprocess.run([str(VLAN_SH), action, self.tag], capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError(f"vlan.sh {action} {self.tag} failed: {r.stderr.strip()}")

    # ---- configuration

    @property
    def paths(self) -> dict[str, str]:
        assert self.dir is not None
        return {"manifest": str(self.manifest_dir), "syslog": str(self.syslog_dir),
                "firmware": str(self.firmware_path), "dir": str(self.dir)}

    def write_ini(self, name: str, overrides: Optional[dict[Any, IniValue]] = None,
                  extra: str = "", *, text: Optional[str] = None) -> Path:
        """Writes an INI file into the work directory: generated from the
        defaults with overrides and extra, or exactly text when given."""
        assert self.dir is not None
        path = self.dir / name
        if text is None:
            text, entries = make_ini(self.paths, overrides, extra)
            if name == "tamber.ini":
                self.ini_entries = entries
        path.write_text(text)
        return path

    # ---- the server process

    def start_server(self, args: Optional[Sequence[str]] = None, *,
                     server: Optional[str] = None) -> subprocess.Popen:
        """Starts the server in the server namespace; args default to
        ["-i", <generated INI>]. Output goes to stdout.txt / stderr.txt."""
        assert self.dir is not None and self._vlan_up
        if self.proc is not None and self.proc.poll() is None:
            raise RuntimeError("the server is already running")
        exe = server or self.server
        if not os.access(exe, os.X_OK):
            raise FileNotFoundError(
                f"server binary {exe} not found: build it (cmake --build build) "
                f"or set TAMBER_SERVER")
        if args is None:
            args = ["-i", str(self.ini_path)]
        cmd = ["ip", "netns", "exec", self.srv_ns]
        env = dict(os.environ)
        if self.line_buffered:
            # Output lines show up as they are printed, not at exit.
            cmd += ["stdbuf", "-oL", "-eL"]
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""),
                                                         "verify_asan_link_order=0"]))
        cmd += [exe, *map(str, args)]
        for f in self._out_files:
            f.close()
        out = open(self.dir / "stdout.txt", "wb")
        err = open(self.dir / "stderr.txt", "wb")
        self._out_files = [out, err]
        self.killed = False
        # Own session: a Ctrl-C at the terminal reaches only the test, which
        # then stops the server itself.
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     cwd=self.dir, env=env, start_new_session=True)
        return self.proc

    @property
    def pid(self) -> Optional[int]:
        return self.proc.pid if self.proc else None

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def send_signal(self, signum: int) -> None:
        if self.running():
            os.kill(self.proc.pid, signum)

    def stop(self, timeout: float = 10.0, signum: int = signal.SIGTERM) -> Optional[int]:
        """Sends signum (SIGTERM) to the server's pid and returns its exit
        status; after timeout it is killed (status -9, self.killed set)."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signum)
            try:
                self.proc.wait(scaled(timeout))
            except subprocess.TimeoutExpired:
                self.killed = True
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def wait_exit(self, timeout: float = 10.0) -> int:
        """Waits for the server to end on its own; fails on timeout."""
        assert self.proc is not None
        try:
            return self.proc.wait(scaled(timeout))
        except subprocess.TimeoutExpired:
            raise AssertionError(f"server still running after {timeout} s\n"
                                 + self.output_tail()) from None

    def assert_running(self) -> None:
        if not self.running():
            raise AssertionError(f"server is not running (status "
                                 f"{self.proc.returncode if self.proc else None})\n"
                                 + self.output_tail())

    # ---- output

    def _read(self, name: str) -> str:
        if self.dir is None:
            return ""
        try:
            return (self.dir / name).read_bytes().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def stdout(self) -> str:
        return self._read("stdout.txt")

    def stderr(self) -> str:
        return self._read("stderr.txt")

    def output(self, stream: str = "both") -> str:
        if stream == "stdout":
            return self.stdout()
        if stream == "stderr":
            return self.stderr()
        return self.stdout() + self.stderr()

    def lines(self, stream: str = "stderr") -> list[str]:
        if stream == "both":
            return self.stdout().splitlines() + self.stderr().splitlines()
        return self.output(stream).splitlines()

    def mark(self) -> dict[str, int]:
        """Current line counts, for wait_for_line(since=...)."""
        return {"stdout": len(self.lines("stdout")), "stderr": len(self.lines("stderr"))}

    def find_line(self, pattern: Union[str, re.Pattern], stream: str = "both",
                  since: Optional[dict[str, int]] = None) -> Optional[str]:
        streams = ["stdout", "stderr"] if stream == "both" else [stream]
        for s in streams:
            for line in self.lines(s)[(since or {}).get(s, 0):]:
                if _line_matches(pattern, line):
                    return line
        return None

    def wait_for_line(self, pattern: Union[str, re.Pattern], *, stream: str = "both",
                      timeout: float = 10.0, since: Optional[dict[str, int]] = None) -> str:
        """First output line containing pattern (a str) or matching it (a
        compiled regex); fails on timeout or when the server ended without
        printing it."""
        timeout = scaled(timeout)
        deadline = time.monotonic() + timeout
        while True:
            exited = not self.running()
            line = self.find_line(pattern, stream, since)
            if line is not None:
                return line
            if exited:
                why = f"server ended (status {self.proc.returncode if self.proc else None})"
                break
            if time.monotonic() >= deadline:
                why = f"not within {timeout:.1f} s"
                break
            time.sleep(0.02)
        raise AssertionError(f"no {stream} line matching {_pattern_text(pattern)}: {why}\n"
                             + self.output_tail())

    def output_tail(self, lines: int = 25) -> str:
        out = self.lines("stdout")[-lines:]
        err = self.lines("stderr")[-lines:]
        return ("--- server stdout (tail):\n" + "".join(f"  {l}\n" for l in out)
                + "--- server stderr (tail):\n" + "".join(f"  {l}\n" for l in err))

    def wait_ready(self, timeout: float = 15.0) -> None:
        """Waits until start-up has handled every key of the generated INI
        (the last pass-2 line is printed before the key is acted on, so the
        core threads may still be a moment away)."""
        self.wait_for_line(START_LINE, stream="stdout", timeout=timeout)
        if self.ini_entries:
            s, n, v = self.ini_entries[-1]
            self.wait_for_line(f"pass_2:{s}:{n} = {v}", stream="stderr", timeout=timeout)

    # ---- namespaces and sockets

    def in_peer_ns(self, fn: Callable[[], Any]) -> Any:
        return in_netns(self.peer_ns, fn)

    def in_server_ns(self, fn: Callable[[], Any]) -> Any:
        return in_netns(self.srv_ns, fn)

    def _track(self, sock: socket.socket) -> socket.socket:
        self._sockets.append(sock)
        return sock

    def peer_udp(self, port: int, group: Optional[str] = None, *, ip: str = PEER_IP,
                 bind: Optional[str] = None, loop: bool = False) -> socket.socket:
        """UDP socket in the peer namespace bound to bind:port (all
        addresses by default), multicast TTL 1 out of ip, loop off,
        optionally joined to group on ip. Closed by close()."""
        sock = self._track(netns_socket(self.peer_ns))
        return setup_udp(sock, port, ip=ip, group=group, bind=bind, loop=loop)

    def server_udp(self, port: int, group: Optional[str] = None, *, ip: str = SERVER_IP,
                   bind: Optional[str] = None, loop: bool = False) -> socket.socket:
        """The same in the server namespace (for checking the LAN itself;
        the server must not run on that port)."""
        sock = self._track(netns_socket(self.srv_ns))
        return setup_udp(sock, port, ip=ip, group=group, bind=bind, loop=loop)

    def peer_tcp_connect(self, host: str = SERVER_IP, port: int = CONSOLE_PORT, *,
                         timeout: float = 5.0) -> socket.socket:
        """TCP connection from the peer namespace; retries while the port
        is refused (the server may still be starting)."""
        deadline = time.monotonic() + scaled(timeout)
        while True:
            sock = netns_socket(self.peer_ns, kind=socket.SOCK_STREAM)
            sock.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                sock.connect((host, port))
                sock.settimeout(None)
                return self._track(sock)
            except (ConnectionRefusedError, socket.timeout) as e:
                sock.close()
                if time.monotonic() >= deadline:
                    raise AssertionError(f"cannot connect to {host}:{port}: {e}\n"
                                         + self.output_tail()) from None
                time.sleep(0.1)

    def peer_lines(self, host: str = SERVER_IP, port: int = CONSOLE_PORT, *,
                   timeout: float = 5.0) -> TcpLines:
        return TcpLines(self.peer_tcp_connect(host, port, timeout=timeout))

    def add_peer_address(self, ip: str) -> None:
        self.peer_exec(["ip", "addr", "add", f"{ip}/24", "dev", IFNAME])

    def peer_exec(self, cmd: Sequence[str], **kw: Any) -> subprocess.CompletedProcess:
        return subprocess.run(["ip", "netns", "exec", self.peer_ns, *cmd],
                              check=True, capture_output=True, text=True, **kw)

    def server_exec(self, cmd: Sequence[str], **kw: Any) -> subprocess.CompletedProcess:
        return subprocess.run(["ip", "netns", "exec", self.srv_ns, *cmd],
                              check=True, capture_output=True, text=True, **kw)

    def peer(self, *, ip: Optional[str] = None, **kw: Any) -> Peer:
        """A new simulated device. The first one uses 10.213.0.2; later ones
        get 10.213.0.3, .4, ... added to the peer's interface so that each
        one receives its own unicast."""
        if ip is None:
            if self._peers:
                self._peer_ips += 1
                ip = f"10.213.0.{1 + self._peer_ips}"
                self.add_peer_address(ip)
            else:
                ip = PEER_IP
        p = Peer(self, ip=ip, **kw)
        self._peers.append(p)
        return p


# --------------------------------------------------------------------------
# unittest glue

class LanTestCase(unittest.TestCase):
    """Test case with a fresh VirtualLan per test in self.lan (server
    started with the generated INI). Override lan_options() to change the
    INI or not start the server. A server that died on a signal (crash)
    fails the test."""

    def lan_options(self) -> dict[str, Any]:
        return {}

    def setUp(self) -> None:
        super().setUp()
        self.lan = VirtualLan(**self.lan_options())
        self.addCleanup(self._check_and_close)
        self.lan.open()

    def _check_and_close(self) -> None:
        lan = self.lan
        crashed = (lan.proc is not None and lan.proc.poll() is not None
                   and lan.proc.returncode < 0 and not lan.killed)
        tail = lan.output_tail() if crashed else ""
        status = lan.proc.returncode if lan.proc else None
        lan.close()
        if crashed:
            self.fail(f"server died on signal {-status}\n{tail}")
