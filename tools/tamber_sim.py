#!/usr/bin/env python3
"""Simulated Tamber installation: N room devices on the virtual LAN.

Each simulated device has its own MAC-based id, boot nonce, sequence counter
and transmit queue (one datagram per 3 ms, repeated packets three times) and
hosts room services with names, aliases, masks, zones and a manifest. The
devices announce themselves every 10 s, answer device, service and status
requests and actions, publish their manifests and serve them in 1024-byte
chunks, fetch the server's published manifests, commit new documents to the
server's users, join users and send actions. Churn, datagram loss and hostile
traffic are knobs. At the end it can compare the server's console lists and
manifest store with what it announced, and writes a JSON report.

It must run inside the peer namespace of a virtual LAN (scripts/vlan.sh):
either started with `ip netns exec tb-TAG-peer ...` or given --netns
tb-TAG-peer, which it enters itself. It refuses to run in the machine's own
network namespace and sends only to the LAN group and the server address.

    scripts/vlan.sh up demo
    ip netns exec tb-demo-srv build/tamber-server -i etc/tamber.ini &
    tools/tamber_sim.py --netns tb-demo-peer --devices 10 --duration 60 \\
        --churn 0.5 --check --report /tmp/sim.json

Stdlib only (Python 3.11); needs root for --netns.
"""

from __future__ import annotations

import argparse
import collections
import ctypes
import dataclasses
import heapq
import ipaddress
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import time
from pathlib import Path
from typing import Any, Callable, Optional

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from lanpeer import (BROADCAST_ID, CLASS_ROOM, CLASS_USER, CONSOLE_PORT, DecodeError,  # noqa: E402
                     LAN_GROUP, LAN_PORT, OP_ACTION, OP_BOOT_REQUEST, OP_DEVICE_ANSWER, OP_DEVICE_REQUEST,
                     OP_MANIFEST_ANSWER, OP_MANIFEST_COMMIT, OP_MANIFEST_REQUEST,
                     OP_MANIFEST_UPDATE, OP_SERVICE_ANSWER, OP_SERVICE_JOIN,
                     OP_SERVICE_LEAVE, OP_SERVICE_REQUEST, OP_STATUS_ANSWER,
                     OP_STATUS_REQUEST, OP_SYSLOG, UNKNOWN_ID, Packet, TbId, TimeRecord,
                     decode, device_answer, device_request, opcode_name)
from proto_action import KIND_REPLY, KIND_STATUS, action, escape_field, reply_text, status_answer  # noqa: E402
from proto_boot import boot_request  # noqa: E402
from proto_manifest import (CHUNK, KEY_COMMIT, KEY_UPDATE, manifest_answer,  # noqa: E402
                            manifest_commit, manifest_request, manifest_update)
from proto_service import service_answer, service_join, service_leave, service_request  # noqa: E402

TICK = 0.003                 # a device sends at most one datagram per tick
ANNOUNCE_PERIOD = 10.0
FETCH_TIMEOUT = 10.0
FETCH_TRIES = 5
DOC_LIMIT = 65536
SERVER_IP_DEFAULT = "10.213.0.1"
PEER_IP_DEFAULT = "10.213.0.2"
PRIVATE_NET = ipaddress.ip_network("10.213.0.0/16")

ROOM_WORDS = ["Kitchen", "Living Room", "Dining", "Bath", "Bedroom", "Office", "Hall",
              "Terrace", "Garage", "Library", "Studio", "Guest Room", "Nursery", "Cellar",
              "Attic", "Pool", "Gym", "Lounge", "Porch", "Workshop"]


def log(*parts: Any) -> None:
    print("tamber_sim:", *parts, flush=True)


# --------------------------------------------------------------------------
# Network namespace guard

_CLONE_NEWNET = 0x40000000


def enter_netns(name: str) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        if libc.setns(fd, _CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            raise OSError(err, f"setns {name}: {os.strerror(err)}")
    finally:
        os.close(fd)


def in_private_netns() -> bool:
    """True only in a namespace of the virtual LAN: no interface but the
    loopback and the veth ends that scripts/vlan.sh names tbveth*."""
    names = [name for _, name in socket.if_nameindex()]
    return bool(names) and all(n == "lo" or n.startswith("tbveth") for n in names)


# --------------------------------------------------------------------------
# The installation's model

@dataclasses.dataclass
class Room:
    id: TbId
    type: str
    name: str
    alias: str
    mask: str
    zone: str
    magic: str
    flag: str
    info: str = ""
    cover: str = "img/room.png"
    stream: str = "analog"
    joined: TbId = UNKNOWN_ID
    volume: int = 20
    doc: bytes = b""          # published manifest, NUL included
    stamp: int = 0            # its stamp (0: nothing published)
    settings: dict = dataclasses.field(default_factory=dict)

    def document(self) -> dict:
        return {"service": {"type": self.type, "name": self.name, "alias": self.alias,
                            "mask": self.mask, "zone": self.zone, "limit": str(DOC_LIMIT)},
                "setup": {"room": self.settings},
                "state": {"volume": self.volume}}


@dataclasses.dataclass
class Fetch:
    """A manifest this device fetches (as requester)."""
    service: TbId
    key: int
    stamp: int
    source: TbId              # device asked
    done: Callable[[bytes], None]
    token: int = 0
    buffer: bytearray = dataclasses.field(default_factory=bytearray)
    total: int = 0
    tries: int = FETCH_TRIES
    deadline: float = 0.0


@dataclasses.dataclass
class Commit:
    """A document this device offers to a service's owner (commit transfer)."""
    service: TbId
    doc: bytes
    stamp: int
    name: str
    served: bool = False


class Device:
    def __init__(self, index: int, mac: bytes, name: str, version: bytes) -> None:
        self.index = index
        self.mac = mac
        self.id = TbId.make(mac)
        self.name = name
        self.version = version
        self.nonce = 0
        self.seq = 0
        self.rooms: list[Room] = []
        self.room_of: dict[bytes, Room] = {}
        self.state = "off"           # off, up, silent
        self.epoch = 0               # bumped when the device stops; stale timers see it
        self.txq: collections.deque = collections.deque()
        self.fetches: dict[tuple[bytes, int], Fetch] = {}
        self.commits: dict[bytes, Commit] = {}
        self.exempt = False          # never restarted or silenced (the panel)
        self.booted_once = False

    def add_room(self, room: Room) -> None:
        self.rooms.append(room)
        self.room_of[room.id.raw] = room

    def next_seq(self) -> int:
        self.seq = (self.seq + 1) & 0xFFFFFFFF or 1
        return self.seq


# --------------------------------------------------------------------------
# Console client (TCP, status feed on, reads everything)

class Console:
    DEVICE_HEADER = f"{'':4}{'id':16}{'ip address':18}{'name':26}{'version':16}".rstrip()
    SERVICE_HEADER = f"{'':4}{'id':16}{'alias':18}{'name':26}{'type':14}".rstrip()

    def __init__(self, sim: "Sim", index: int, sock: socket.socket, feed: bool) -> None:
        self.sim = sim
        self.index = index
        self.sock = sock
        self.buffer = b""
        self.lines = 0
        self.bytes = 0
        self.keep_alive = 0
        self.closed = False
        self.listing: Optional[str] = None       # "devices" or "services"
        self.list_phase = ""
        self.rows: list[str] = []
        self.list_done: dict[str, list[str]] = {}
        if feed:
            self.send(b"8\r")

    def send(self, data: bytes) -> None:
        if self.closed:
            return
        try:
            self.sock.sendall(data)
        except OSError:
            self.close()

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self.sim.stats["console_disconnects"] += 1
            try:
                self.sock.close()
            except OSError:
                pass

    def start_list(self, kind: str) -> None:
        self.listing = kind
        self.list_phase = "header"
        self.rows = []
        self.list_done.pop(kind, None)
        self.send(b"1\r" if kind == "devices" else b"2\r")

    def readable(self) -> None:
        try:
            chunk = self.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if not chunk:
            self.close()
            return
        self.bytes += len(chunk)
        self.buffer += chunk
        while b"\n" in self.buffer:
            raw, self.buffer = self.buffer.split(b"\n", 1)
            self.on_line(raw.rstrip(b"\r").decode("utf-8", "replace"))

    def on_line(self, line: str) -> None:
        self.lines += 1
        if line == "keep_alive":
            # Any byte marks the client alive; a lone LF is not a line.
            self.keep_alive += 1
            self.send(b"\n")
            return
        if self.listing is None:
            return
        header = self.DEVICE_HEADER if self.listing == "devices" else self.SERVICE_HEADER
        if self.list_phase == "header":
            if line.rstrip() == header:
                self.list_phase = "dashes"
        elif self.list_phase == "dashes":
            if line.startswith("-" * 10):
                self.list_phase = "rows"
        elif self.list_phase == "rows":
            if line == "":
                self.list_done[self.listing] = self.rows
                self.listing = None
            elif len(line) > 5 and line[:4].strip().isdigit() and line[4] == "#":
                self.rows.append(line)


# --------------------------------------------------------------------------
# Hostile traffic: random and mutated packets of every opcode

HOSTILE_TEXTS = [b"", b"%s%s%s%s%n%n%x%x", b"%99999999s", b"A" * 1100, b"\xff\xfe\xfd",
                 b"mid\0dle", b"a:b\\:c;d\\", b"#FFFFFFFFFFFFFF:room:off", b"$nosuch:x",
                 b"@zone.99:room:off", b"@zone.-1:x", b"@zone.999999999999:x", b"@user.?:x",
                 b"\\" * 600, b";" * 300, b":" * 700, b"$" * 40, b"user:select:@server.?;stream:radio",
                 b"name:set:" + b"N" * 200, b"\x1b[2J\r\n", b"{" * 500]
EDGE_U32 = [0, 1, 35, 36, 119, 120, 121, 255, 256, 257, 1023, 1024, 1025, 1315, 1316, 1317,
            65535, 65536, 65537, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF]


class Hostile:
    def __init__(self, sim: "Sim") -> None:
        self.sim = sim
        self.rng = sim.rng
        self.devices = [Device(1000 + i, bytes([0x02, 0x66]) + self.rng.randbytes(4), f"hostile {i}",
                               bytes([1, 0, 0, 0])) for i in range(6)]
        for d in self.devices:
            d.nonce = self.rng.randrange(1, 1 << 32)
            for j in range(self.rng.randrange(1, 20)):
                klass = self.rng.choice([1, 1, 1, 2, 3, 7, 8, 9, 4, 14])
                d.add_room(Room(d.id.service(klass, j), "EVIL", f"evil {j}", f"evil{j}",
                                "1111111111", "1", f"room.{j + 1}", "1"))
        self.sent = collections.Counter()
        self.last: Optional[bytes] = None

    def some_id(self) -> TbId:
        r = self.rng.random()
        sim = self.sim
        if r < 0.12:
            return BROADCAST_ID
        if r < 0.2:
            return UNKNOWN_ID
        if r < 0.3 and sim.server_id:
            return sim.server_id
        if r < 0.45 and sim.server_services:
            return TbId(self.rng.choice(list(sim.server_services)))
        if r < 0.6:
            d = self.rng.choice(self.devices)
            return self.rng.choice(d.rooms).id if d.rooms else d.id
        if r < 0.7 and sim.devices:
            d = self.rng.choice(sim.devices)
            return self.rng.choice(d.rooms).id if d.rooms else d.id
        if r < 0.8:
            return TbId(bytes([self.rng.randrange(256)]) + b"\xff" * 6 + bytes([self.rng.randrange(256)]))
        return TbId(self.rng.randbytes(8))

    def text(self) -> bytes:
        if self.rng.random() < 0.3:
            return self.rng.randbytes(self.rng.randrange(0, 1300))
        return self.rng.choice(HOSTILE_TEXTS)

    def u32(self) -> int:
        return self.rng.choice(EDGE_U32) if self.rng.random() < 0.7 else self.rng.randrange(1 << 32)

    def template(self, opcode: int) -> Packet:
        rng, i = self.rng, self.some_id
        if opcode == OP_BOOT_REQUEST:
            return boot_request(self.u32(), self.u32() & 0xFFFF, rng.randrange(65536), dest=i())
        if opcode == OP_DEVICE_ANSWER:
            ids = [i() for _ in range(rng.choice([0, 1, 5, 16, 120, 121, 150]))]
            count = None if rng.random() < 0.5 else self.u32()
            return device_answer(i(), ip=rng.choice(["10.213.0.2", "0.0.0.0", "236.13.8.66",
                                                     "255.255.255.255", "127.0.0.1"]),
                                 name=self.text()[:40].decode("latin-1"), url=self.text()[:300].decode("latin-1"),
                                 locale=self.text()[:10].decode("latin-1"), services=ids, count=count,
                                 time_record=TimeRecord(*[rng.randrange(256) for _ in range(6)],
                                                        rng.randrange(65536), rng.randrange(65536),
                                                        rng.randrange(256), rng.randrange(256)))
        if opcode == OP_SERVICE_JOIN:
            return service_join(i(), i(), dest=i())
        if opcode == OP_SERVICE_LEAVE:
            return service_leave(i(), dest=i())
        if opcode == OP_SERVICE_REQUEST:
            return service_request(i())
        if opcode == OP_SERVICE_ANSWER:
            texts = {n: self.text().decode("latin-1") for n in ("type", "name", "info", "mask", "zone",
                                                                "alias", "magic", "flag", "cover", "stream")
                     if rng.random() < 0.5}
            unterminated = tuple(n for n in texts if rng.random() < 0.3)
            return service_answer(i(), joined=i(), stamp=self.u32(), dest=i(), unterminated=unterminated, **texts)
        if opcode == OP_ACTION:
            return action(i(), self.text(), sender=i(), room=i(), user=i(), dest=i(),
                          terminate=rng.random() < 0.7)
        if opcode == OP_STATUS_ANSWER:
            return status_answer(i(), self.text(), kind=self.u32(), volume=rng.randrange(65536),
                                 volume_flag=rng.randrange(65536), dest=i(), terminate=rng.random() < 0.7)
        if opcode in (OP_MANIFEST_COMMIT, OP_MANIFEST_UPDATE):
            p = manifest_commit(i(), self.u32())
            p.opcode, p.dest = opcode, i()
            return p
        if opcode == OP_MANIFEST_REQUEST:
            return manifest_request(i(), i(), rng.choice([0, 1, 2, 0xFFFFFFFF]), self.u32(), self.u32())
        if opcode == OP_MANIFEST_ANSWER:
            return manifest_answer(i(), i(), rng.choice([0, 1, 2, 0xFFFFFFFF]), self.u32(), self.u32(),
                                   self.text()[:1024], self.u32(), chunk=self.u32())
        if opcode == OP_SYSLOG:
            return Packet(OP_SYSLOG, i(), self.text() + (b"\0" if rng.random() < 0.6 else b""))
        if opcode in (OP_DEVICE_REQUEST, OP_STATUS_REQUEST):
            return Packet(opcode, i())
        # Opcodes without a codec here (boot command and answer, audio,
        # menus, unused numbers): random payloads of typical sizes.
        size = rng.choice([0, 2, 12, 14, 36, 1036, 1212, rng.randrange(0, 1281)])
        return Packet(opcode, i(), rng.randbytes(size))

    def make(self) -> tuple[bytes, str, int]:
        rng = self.rng
        r = rng.random()
        opcode = rng.randrange(0, 25) if r < 0.95 else rng.randrange(65536)
        p = self.template(opcode)
        src_device = rng.choice(self.devices)
        p.src = src_device.id if rng.random() < 0.7 else self.some_id()
        p.nonce = src_device.nonce if rng.random() < 0.8 else self.u32()
        p.seq = rng.choice([0, src_device.next_seq(), src_device.seq, self.u32()])
        data = bytearray(p.encode())
        # Mutations: some packets stay well-formed to reach deeper code.
        for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
            m = rng.randrange(8)
            if m == 0 and len(data) > 0:                       # cut anywhere, also inside the header
                del data[rng.randrange(len(data)):]
            elif m == 1:                                        # grow, at times beyond a datagram
                data += rng.randbytes(rng.choice([1, 8, 100, 1400, 2000]))
            elif m == 2 and len(data) >= 34:                    # lying length field
                struct.pack_into(">H", data, 32, rng.choice([0, 1, 35, 36, 37, len(data) - 1, len(data) + 1,
                                                             1316, 1317, 0xFFFF, rng.randrange(65536)]))
            elif m == 3 and data:                               # flip bytes
                for _ in range(rng.randrange(1, 8)):
                    data[rng.randrange(len(data))] = rng.randrange(256)
            elif m == 4 and len(data) > 40:                     # a u32 somewhere in the payload
                off = rng.randrange(36, len(data) - 3)
                struct.pack_into(">I", data, off, self.u32())
            elif m == 5 and len(data) > 44:                     # an id somewhere in the payload
                off = rng.randrange(36, len(data) - 7)
                data[off:off + 8] = self.some_id().raw
            elif m == 6 and len(data) >= 8:                     # wrong magic
                data[rng.randrange(8)] ^= 1 << rng.randrange(8)
            elif m == 7 and self.last:                          # replay of the previous datagram
                data = bytearray(self.last)
        self.last = bytes(data)
        self.sent[opcode_name(opcode) if opcode < 25 else "other opcode"] += 1
        dest_ip = LAN_GROUP if rng.random() < 0.6 else self.sim.server_ip
        return bytes(data[:65000]), dest_ip, opcode

    def boot(self) -> list[tuple[bytes, str]]:
        """Well-formed announcements of the hostile devices and services,
        so that mutated traffic about them reaches past the lookups."""
        out = []
        for d in self.devices:
            p = device_answer(BROADCAST_ID, ip=self.sim.ip, name=d.name, services=[r.id for r in d.rooms])
            out.append((self.sim.encode(d, p, robust=True), LAN_GROUP))
            for r in d.rooms:
                a = service_answer(r.id, stamp=self.rng.randrange(1, 1 << 32), type=r.type, name=r.name,
                                   alias=r.alias, magic=r.magic)
                out.append((self.sim.encode(d, a, robust=True), LAN_GROUP))
        return out

    def answer_service_request(self, d: Device, service: TbId, src: TbId) -> bytes:
        """Answer to a service request for a hostile service: texts of every
        kind, at times without their NUL, and a stamp that starts fetches."""
        p = self.template(OP_SERVICE_ANSWER)
        p.dest = src if self.rng.random() < 0.5 else BROADCAST_ID
        p.payload = service.raw + p.payload[8:16] + struct.pack(">I", self.rng.randrange(1, 1 << 32)) + p.payload[20:]
        self.sent["service answer (reactive)"] += 1
        return self.sim.encode(d, p, robust=True)

    def answer_request(self, d: Device, req: Any, src: TbId) -> bytes:
        """Answer to a manifest request for a hostile service: mutated or
        well-formed, with documents that are not JSON at times."""
        rng = self.rng
        doc = rng.choice([b'{"service":{"name":"evil"}}\0', b"not json at all\0",
                          b"{" * 3000 + b"\0", rng.randbytes(rng.randrange(1, 3000)) + b"\0",
                          b'{"service":"x"}\0'])
        token = req.token if rng.random() < 0.6 else self.u32()
        total = len(doc) if rng.random() < 0.7 else self.u32()
        chunk = doc[token:token + CHUNK] if token < len(doc) else b"x"
        p = manifest_answer(src, req.service, req.key, req.stamp if rng.random() < 0.8 else self.u32(),
                            token, chunk, total, chunk=None if rng.random() < 0.8 else self.u32())
        self.sent["manifest answer (reactive)"] += 1
        return self.sim.encode(d, p, robust=True)

    def console_line(self) -> bytes:
        rng = self.rng
        kind = rng.randrange(6)
        if kind == 0:
            return rng.randbytes(rng.randrange(1, 200)) + b"\r"
        if kind == 1:
            return b"X" * rng.choice([1023, 1024, 1025, 1500, 5000]) + b"\r"
        if kind == 2:
            return rng.choice([b"1", b"2", b"?", b"9", b"help:ego", b"status:off", b"", b"\n\n"]) + b"\r"
        if kind == 3:
            return rng.choice(HOSTILE_TEXTS) + b"\r"
        if kind == 4:
            return b"\r" * rng.randrange(1, 50)
        return b"%s%n" * rng.randrange(1, 300) + b"\r\n"


# --------------------------------------------------------------------------
# The simulator

class Sim:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.rng = random.Random(args.seed)
        self.ip = args.ip
        self.server_ip = args.server_ip
        self.drop = 0.0
        self.churn_on = False
        self.stats: collections.Counter = collections.Counter()
        self.sent_ops: collections.Counter = collections.Counter()
        self.recv_ops: collections.Counter = collections.Counter()
        self.churn: collections.Counter = collections.Counter()
        self.syslog: collections.Counter = collections.Counter()
        self.timers: list = []
        self.timer_seq = 0
        self.busy: set[Device] = set()
        self.next_tick = 0.0
        self.server_id: Optional[TbId] = None
        self.server_nonce: Optional[int] = None
        self.server_services: dict[bytes, dict] = {}       # id -> texts of the last answer
        self.server_docs: dict[bytes, tuple[int, bytes]] = {}  # id -> (stamp, document) fetched
        self.expected_names: dict[bytes, str] = {}         # server service -> last committed name served
        self.dedup: dict[bytes, tuple[int, int]] = {}
        self.devices: list[Device] = []
        self.dev_of: dict[bytes, Device] = {}
        self.announced_devices: set[bytes] = set()
        self.announced_services: set[bytes] = set()
        self.consoles: list[Console] = []
        self.hostile: Optional[Hostile] = None
        self.hostile_console: Optional[socket.socket] = None
        self.hostile_credit = 0.0
        self.hostile_boot_due = 0.0
        self.stop_requested = False
        self.phase = "start"
        self.phases: dict[str, float] = {}
        self.t0 = time.monotonic()
        self.report: dict[str, Any] = {}
        self.rename_counter = 0
        self.commit_counter = 0
        self.open_sockets()

    # ---- sockets

    def open_sockets(self) -> None:
        group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        group.bind((LAN_GROUP, LAN_PORT))
        group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         socket.inet_aton(LAN_GROUP) + socket.inet_aton(self.ip))
        uni = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        uni.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        uni.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        uni.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        uni.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(self.ip))
        uni.bind((self.ip, LAN_PORT))   # fails unless the address is this namespace's own
        for s in (group, uni):
            s.setblocking(False)
            try:
                s.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 8 << 20)
            except OSError:
                pass
        self.group_sock, self.sock = group, uni

    def transmit_to(self, data: bytes, dest_ip: str) -> None:
        try:
            self.sock.sendto(data, (dest_ip, LAN_PORT))
            self.stats["datagrams_sent"] += 1
        except OSError:
            self.stats["send_errors"] += 1

    # ---- timers

    def at(self, delay: float, fn: Callable[[], None]) -> None:
        self.timer_seq += 1
        heapq.heappush(self.timers, (time.monotonic() + delay, self.timer_seq, fn))

    def device_timer(self, d: Device, delay: float, fn: Callable[[], None]) -> None:
        """A timer that lapses when the device stops or restarts meanwhile."""
        epoch = d.epoch
        self.at(delay, lambda: fn() if d.epoch == epoch and d.state == "up" else None)

    # ---- sending

    def encode(self, d: Device, p: Packet, robust: bool = True) -> bytes:
        p.src = d.id
        p.nonce = d.nonce
        p.seq = d.next_seq() if robust else 0
        return p.encode()

    def dest_ip(self, dest: TbId) -> str:
        if self.server_id is not None and dest.mac == self.server_id.mac:
            return self.server_ip
        return LAN_GROUP

    def queue(self, d: Device, p: Packet, robust: bool = True) -> None:
        if d.state != "up":
            return
        data = self.encode(d, p, robust)
        d.txq.append([data, 3 if robust else 1, self.dest_ip(p.dest)])
        self.busy.add(d)
        self.sent_ops[opcode_name(p.opcode)] += 1

    def transmit(self) -> None:
        for d in list(self.busy):
            if not d.txq:
                self.busy.discard(d)
                continue
            slot = d.txq[0]
            if self.drop and self.rng.random() < self.drop:
                self.stats["dropped_out"] += 1
            else:
                self.transmit_to(slot[0], slot[2])
            slot[1] -= 1
            if slot[1] <= 0:
                d.txq.popleft()
                if not d.txq:
                    self.busy.discard(d)

    # ---- building the installation

    def build_devices(self) -> None:
        args, rng = self.args, self.rng
        for i in range(args.devices):
            mac = bytes([0x02, 0x5A, 0x17, (i >> 8) & 0xFF, i & 0xFF, rng.randrange(256)])
            if i % 17 == 16:
                name = f"Amplifier in rack {i:02d} of the basement"      # longer than the list column
            elif i % 29 == 28:
                name = ""                                               # listed by its id text
            else:
                name = f"Amp {i:02d} {ROOM_WORDS[i % len(ROOM_WORDS)]}"
            d = Device(i, mac, name, bytes([1, 4, i % 100, 7]))
            d.exempt = i == 0
            self.devices.append(d)
            self.dev_of[mac] = d

    def build_rooms(self) -> None:
        args = self.args
        counts = [args.services_per_device] * len(self.devices)
        if args.total_services is not None and self.devices:
            base, extra = divmod(args.total_services, len(self.devices))
            counts = [base + (1 if i < extra else 0) for i in range(len(self.devices))]
        for d, count in zip(self.devices, counts):
            for j in range(min(count, 36)):
                d.add_room(self.make_room(d, j))

    def make_room(self, d: Device, j: int) -> Room:
        rng = self.rng
        word = ROOM_WORDS[(d.index * 7 + j) % len(ROOM_WORDS)]
        k = d.index * 36 + j
        name = f"{word} {d.index}.{j}"
        if k % 5 == 0:
            name = f"{j + 1:02d}:{name}"                 # sort prefix, listed in full
        if k % 41 == 7:
            name = f"{word} on the upper floor near the stairs {d.index}.{j}"
        if k % 53 == 11:
            name = ""
        alias = f"{word.split()[0].lower()}_{d.index}_{j}"
        if k % 47 == 3:
            alias = f"{word.lower().replace(' ', '_')}_very_long_alias_{d.index}_{j}"
        if k % 59 == 5:
            alias = ""
        rtype = "AMP.01.room" if k % 3 else "HUB.02.room"
        if k % 61 == 9:
            rtype = ""
        if k % 43 == 13:
            rtype = "AMPLIFIER.03.roomservice"
        zone = "".join(rng.choice("01") for _ in range(10))
        flag = "100000000000000" if k % 31 == 0 else "000000000000000"
        room = Room(d.id.service(CLASS_ROOM, j), rtype, name, alias, "1111111111", zone,
                    f"room.{j + 1}", flag)
        r = rng.random()
        pad = rng.randrange(10, 700) if r < 0.7 else rng.randrange(1000, 3500) if r < 0.95 else rng.randrange(3500, 6000)
        room.settings = {"input": rng.choice(["analog", "coaxial", "optical"]), "bass": rng.randrange(-12, 13),
                         "treble": rng.randrange(-12, 13), "notes": "n" * pad}
        self.publish(room, announce=False)
        return room

    def publish(self, room: Room, announce: bool, d: Optional[Device] = None) -> None:
        doc = json.dumps(room.document(), separators=(",", ":")).encode() + b"\0"
        room.doc = doc
        room.stamp = self.new_stamp(room.stamp)
        self.stats["manifest_versions_published"] += 1
        if announce and d is not None:
            stamp = room.stamp   # a later version announces itself
            self.device_timer(d, 0.1, lambda: self.queue(d, manifest_update(room.id, stamp))
                              if room.stamp == stamp else None)

    def new_stamp(self, previous: int) -> int:
        while True:
            stamp = self.rng.randrange(1, 1 << 32)
            if stamp != previous:
                return stamp

    # ---- device life

    def announce(self, d: Device, dest: TbId = BROADCAST_ID) -> None:
        self.queue(d, device_answer(dest, ip=self.ip, version=d.version, name=d.name,
                                    services=[r.id for r in d.rooms]))
        self.announced_devices.add(d.id.raw)
        self.stats["device_answers_sent"] += 1

    def send_service_answer(self, d: Device, room: Room, dest: TbId = BROADCAST_ID) -> None:
        self.queue(d, service_answer(room.id, joined=room.joined, stamp=room.stamp, dest=dest,
                                     type=room.type, name=room.name, info=room.info, mask=room.mask,
                                     zone=room.zone, alias=room.alias, magic=room.magic, flag=room.flag,
                                     cover=room.cover, stream=room.stream))
        self.announced_services.add(room.id.raw)
        self.stats["service_answers_sent"] += 1

    def periodic_announce(self, d: Device) -> None:
        self.announce(d)
        self.device_timer(d, ANNOUNCE_PERIOD, lambda: self.periodic_announce(d))

    def boot(self, d: Device, new_nonce: bool = True) -> None:
        if new_nonce:
            old = d.nonce
            while d.nonce in (0, old):
                d.nonce = self.rng.randrange(1, 1 << 32)
            d.seq = 0
        d.state = "up"
        d.epoch += 1
        if d.booted_once:
            for room in d.rooms:     # a restart publishes the stored manifest again
                room.stamp = self.new_stamp(room.stamp)
        d.booted_once = True
        self.announce(d)
        for room in d.rooms:
            self.send_service_answer(d, room)
        if d.index == 0 and self.server_id is not None:
            self.panel_sync(d)
        self.device_timer(d, ANNOUNCE_PERIOD * (0.5 + self.rng.random() / 2), lambda: self.periodic_announce(d))

    def stop_device(self, d: Device, state: str) -> None:
        d.state = state
        d.epoch += 1
        d.txq.clear()
        self.busy.discard(d)
        d.fetches.clear()
        d.commits = {k: c for k, c in d.commits.items() if c.served}

    def come_back(self, d: Device) -> None:
        if d.state != "silent":
            return
        d.state = "up"
        d.epoch += 1
        self.stats["silent_returns"] += 1
        self.announce(d)
        self.device_timer(d, ANNOUNCE_PERIOD, lambda: self.periodic_announce(d))

    # ---- churn

    def schedule_churn(self) -> None:
        if not self.churn_on or self.args.churn <= 0:
            return
        self.at(self.rng.expovariate(self.args.churn), self.churn_event)

    def churn_event(self) -> None:
        if not self.churn_on:
            return
        self.schedule_churn()
        up = [d for d in self.devices if d.state == "up"]
        if not up:
            return
        kinds = ["restart", "rename", "join", "leave", "action", "silent", "commit", "status"]
        weights = [2, 3, 2, 1, 3, 1, 1, 1]
        kind = self.rng.choices(kinds, weights)[0]
        d = self.rng.choice(up)
        if kind in ("restart", "silent") and d.exempt:
            kind = "rename"
        users = [TbId(raw) for raw in self.server_services if raw[0] == CLASS_USER]
        if kind in ("join", "action", "commit") and not users:
            kind = "rename"
        if not d.rooms and kind in ("rename", "join", "leave", "action", "status"):
            kind = "restart" if not d.exempt else "commit"
        self.churn[kind] += 1
        room = self.rng.choice(d.rooms) if d.rooms else None
        if kind == "restart":
            self.stop_device(d, "off")
            self.at(self.rng.uniform(0.5, 3.0), lambda: self.boot(d) if d.state == "off" else None)
        elif kind == "silent":
            self.stop_device(d, "silent")
            self.at(self.rng.uniform(5.0, 40.0), lambda: self.come_back(d) if self.churn_on else None)
        elif kind == "rename":
            self.rename_counter += 1
            word = ROOM_WORDS[self.rng.randrange(len(ROOM_WORDS))]
            room.name = f"{word} {d.index}.{room.id.index} r{self.rename_counter}"
            if self.rng.random() < 0.3:
                room.alias = f"{word.split()[0].lower()}_{d.index}_{room.id.index}_{self.rename_counter % 1000}"
            self.publish(room, announce=True, d=d)
            self.send_service_answer(d, room)
            self.send_status(d, room)
        elif kind == "join":
            user = self.rng.choice(users)
            room.joined = user
            self.queue(d, service_join(room.id, user))
        elif kind == "leave":
            room.joined = UNKNOWN_ID
            self.queue(d, service_leave(room.id))
        elif kind == "action":
            user = self.rng.choice(users)
            text = self.rng.choice(["user:volume:plus", "user:volume:minus", "name:get",
                                    "user:volume:set:12", "room:volume:plus", "user:nosuch"])
            self.queue(d, action(user, text, sender=room.id, room=room.id))
            self.stats["actions_sent"] += 1
        elif kind == "commit":
            self.commit_to_user(self.devices[0], self.rng.choice(users))
        elif kind == "status":
            self.send_status(d, room)

    def commit_to_user(self, d: Device, user: TbId) -> None:
        if d.state != "up":
            return
        self.commit_counter += 1
        name = f"Soak U{user.index + 1:02d} n{self.commit_counter}"
        base: dict = {}
        if user.raw in self.server_docs:
            try:
                base = json.loads(self.server_docs[user.raw][1].rstrip(b"\0"))
            except ValueError:
                base = {}
        if not isinstance(base, dict):
            base = {}
        service = base.get("service") if isinstance(base.get("service"), dict) else {}
        service["name"] = name
        base["service"] = service
        doc = json.dumps(base, separators=(",", ":")).encode() + b"\0"
        previous = d.commits.get(user.raw)
        commit = Commit(user, doc, self.new_stamp(previous.stamp if previous else 0), name)
        d.commits[user.raw] = commit
        self.queue(d, manifest_commit(user, commit.stamp))
        self.stats["commits_sent"] += 1

    def send_status(self, d: Device, room: Room, kind: int = KIND_STATUS) -> None:
        head = "$" + (room.alias or room.id.text)
        text = ":".join([head, "status", escape_field(f"name={room.name}"),
                         escape_field(f"volume={room.volume}"),
                         escape_field(f"source=${room.joined.text if room.joined != UNKNOWN_ID else 'unknown'}")])
        self.queue(d, status_answer(room.id, text, kind=kind, volume=room.volume), robust=False)
        self.stats["status_answers_sent"] += 1

    # ---- receiving

    def receive(self, sock: socket.socket) -> None:
        for _ in range(512):
            try:
                data, addr = sock.recvfrom(65536)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                self.stats["receive_errors"] += 1
                return
            self.stats["datagrams_received"] += 1
            if self.drop and self.rng.random() < self.drop:
                self.stats["dropped_in"] += 1
                continue
            try:
                p = decode(data, addr)
            except DecodeError:
                self.stats["undecodable"] += 1
                continue
            if p.src.mac in self.dev_of or (self.hostile and any(p.src.mac == h.mac for h in self.hostile.devices)):
                continue  # our own (group loopback is off, but other peers in the namespace may echo)
            if p.seq:
                key = p.src.mac
                if self.dedup.get(key) == (p.nonce, p.seq):
                    continue
                self.dedup[key] = (p.nonce, p.seq)
            self.recv_ops[p.name] += 1
            try:
                self.handle(p)
            except DecodeError:
                self.stats["malformed_payloads"] += 1

    def targets(self, p: Packet) -> list[Device]:
        if p.dest.mac == BROADCAST_ID.mac:
            return [d for d in self.devices if d.state == "up"]
        d = self.dev_of.get(p.dest.mac)
        return [d] if d is not None and d.state == "up" else []

    def handle(self, p: Packet) -> None:
        op = p.opcode
        if op == OP_SYSLOG:
            e = p.body
            self.syslog[f"{e.level} {e.origin}:{e.message}" if e.level else e.text] += 1
            return
        if op == OP_DEVICE_ANSWER:
            self.on_device_answer(p)
            return
        if op == OP_SERVICE_ANSWER:
            self.on_service_answer(p)
            return
        if self.hostile and op in (OP_MANIFEST_REQUEST, OP_SERVICE_REQUEST):
            h = next((h for h in self.hostile.devices if h.mac == p.dest.mac), None)
            if h is not None:
                if op == OP_MANIFEST_REQUEST:
                    data = self.hostile.answer_request(h, p.body, p.src.device)
                else:
                    data = self.hostile.answer_service_request(h, p.dest, p.src.device)
                self.transmit_to(data, self.dest_ip(p.src))
                return
        for d in self.targets(p):
            self.handle_for(d, p)

    def on_device_answer(self, p: Packet) -> None:
        a = p.body
        if a.ip != self.server_ip:
            return
        first = self.server_id is None
        self.server_id = p.src.device
        if self.server_nonce is not None and p.nonce != self.server_nonce:
            self.stats["server_restarts_seen"] += 1
            for d in self.devices:
                if d.state == "up":
                    self.device_timer(d, self.rng.randrange(10) * 0.1, lambda d=d: self.announce(d))
        self.server_nonce = p.nonce
        panel = self.devices[0] if self.devices else None
        for sid in a.services:
            if sid.raw not in self.server_services:
                self.server_services[sid.raw] = {}
                if panel is not None and panel.state == "up":
                    self.queue(panel, service_request(sid))
        if first:
            log(f"server {self.server_id} at {a.ip}, {len(a.services)} services announced")

    def on_service_answer(self, p: Packet) -> None:
        if self.server_id is None or p.src.mac != self.server_id.mac:
            return
        a = p.body
        info = self.server_services.setdefault(a.service.raw, {})
        info.update(name=a.name, alias=a.alias, type=a.type, stamp=a.stamp)
        panel = self.devices[0] if self.devices else None
        if panel is not None and panel.state == "up" and a.stamp:
            self.fetch_server_doc(panel, a.service, a.stamp, p.src.device)

    def handle_for(self, d: Device, p: Packet) -> None:
        op = p.opcode
        if op == OP_DEVICE_REQUEST:
            self.announce(d, p.src.device)
        elif op == OP_SERVICE_REQUEST:
            room = d.room_of.get(p.dest.raw)
            if room is not None:
                self.send_service_answer(d, room, p.src.device)
        elif op == OP_STATUS_REQUEST:
            self.stats["status_requests"] += 1
            rooms = d.rooms if p.dest.klass in (0, 15) else [r for r in d.rooms if r.id == p.dest]
            for room in rooms:
                self.send_status(d, room)
        elif op == OP_ACTION:
            self.on_action(d, p)
        elif op == OP_SERVICE_JOIN:
            j = p.body
            if j.service.raw in d.room_of:
                d.room_of[j.service.raw].joined = j.joined
        elif op == OP_SERVICE_LEAVE:
            leave = p.body
            for room in d.rooms:
                if room.id == leave.service or room.joined == leave.service or leave.service == BROADCAST_ID:
                    room.joined = UNKNOWN_ID
        elif op == OP_MANIFEST_REQUEST:
            self.on_manifest_request(d, p)
        elif op == OP_MANIFEST_ANSWER:
            self.on_manifest_answer(d, p)
        elif op == OP_MANIFEST_UPDATE:
            u = p.body
            # The panel keeps the published manifests of the server's services.
            if d.index == 0 and self.server_id is not None and u.service.mac == self.server_id.mac:
                self.fetch_server_doc(d, u.service, u.stamp, p.src.device)
        elif op == OP_MANIFEST_COMMIT:
            c = p.body
            if c.service.raw in d.room_of:
                self.start_fetch(d, c.service, KEY_COMMIT, c.stamp, p.src.device,
                                 lambda doc, d=d, sid=c.service: self.apply_commit(d, sid, doc))

    def on_action(self, d: Device, p: Packet) -> None:
        a = p.body
        room = d.room_of.get(a.target.raw)
        if room is None:
            return
        self.stats["actions_received"] += 1
        if not a.text:
            return
        tokens = a.text.split(":")
        if tokens[:3] == ["room", "volume", "relative"]:
            step = tokens[3] if len(tokens) > 3 else ""
            room.volume = max(0, min(40, room.volume + (1 if step == "plus" else -1 if step == "minus" else 0)))
        sender = self.server_services.get(a.sender.raw, {}).get("alias") or a.sender.text
        text = reply_text(room.alias or room.id.text, sender, a.text, "ok")
        self.queue(d, status_answer(room.id, text, kind=KIND_REPLY, volume=room.volume), robust=False)
        self.stats["action_replies"] += 1

    # ---- manifest transfer: owner side

    def on_manifest_request(self, d: Device, p: Packet) -> None:
        r = p.body
        doc = None
        if r.key == KEY_UPDATE:
            room = d.room_of.get(r.service.raw)
            if room is not None and room.stamp == r.stamp:
                doc = room.doc
        elif r.key == KEY_COMMIT:
            commit = d.commits.get(r.service.raw)
            if commit is not None and commit.stamp == r.stamp:
                doc = commit.doc
        if doc is None:
            self.stats["manifest_requests_refused"] += 1
            return
        if r.token >= len(doc):
            self.stats["manifest_requests_refused"] += 1
            return
        chunk = doc[r.token:r.token + CHUNK]
        self.queue(d, manifest_answer(p.src.device, r.service, r.key, r.stamp, r.token, chunk, len(doc)))
        self.stats["manifest_chunks_served"] += 1
        if r.token + len(chunk) == len(doc):
            if r.key == KEY_UPDATE:
                self.stats["manifests_served"] += 1
            else:
                commit = d.commits[r.service.raw]
                if not commit.served:
                    commit.served = True
                    self.stats["commits_served"] += 1
                self.expected_names[r.service.raw] = commit.name

    # ---- manifest transfer: requester side

    def start_fetch(self, d: Device, service: TbId, key: int, stamp: int, source: TbId,
                    done: Callable[[bytes], None]) -> None:
        f = Fetch(service, key, stamp, source, done)
        d.fetches[(service.raw, key)] = f
        self.stats["fetches_started"] += 1
        self.send_fetch_request(d, f)

    def send_fetch_request(self, d: Device, f: Fetch) -> None:
        f.deadline = time.monotonic() + FETCH_TIMEOUT
        self.queue(d, manifest_request(f.source, f.service, f.key, f.stamp, f.token))

    def on_manifest_answer(self, d: Device, p: Packet) -> None:
        a = p.body
        f = d.fetches.get((a.service.raw, a.key))
        if f is None or p.src.mac != f.source.mac or a.stamp != f.stamp or a.token != f.token:
            self.stats["manifest_answers_ignored"] += 1
            return
        if a.total < 1 or a.total > DOC_LIMIT or (f.token and a.total != f.total):
            self.stats["manifest_answers_ignored"] += 1
            return
        if f.token == 0:
            f.total = a.total
            f.buffer = bytearray()
        f.buffer += a.data
        f.token += len(a.data)
        f.tries = FETCH_TRIES
        if f.token < f.total:
            self.send_fetch_request(d, f)
            return
        del d.fetches[(a.service.raw, a.key)]
        self.stats["fetches_completed"] += 1
        f.done(bytes(f.buffer))

    def check_fetch_timeouts(self) -> None:
        now = time.monotonic()
        for d in self.devices:
            for key, f in list(d.fetches.items()):
                if now < f.deadline:
                    continue
                f.tries -= 1
                if f.tries < 1:
                    del d.fetches[key]
                    self.stats["fetches_failed"] += 1
                else:
                    self.stats["fetch_retries"] += 1
                    self.send_fetch_request(d, f)
        self.at(1.0, self.check_fetch_timeouts)

    def fetch_server_doc(self, d: Device, service: TbId, stamp: int, source: TbId) -> None:
        running = d.fetches.get((service.raw, KEY_UPDATE))
        known = self.server_docs.get(service.raw)
        if (running is not None and running.stamp == stamp) or (known is not None and known[0] == stamp):
            return

        def done(doc: bytes) -> None:
            self.server_docs[service.raw] = (stamp, doc)
        self.start_fetch(d, service, KEY_UPDATE, stamp, source, done)

    def panel_sync(self, d: Device) -> None:
        """The panel asks for every service the server announced, to learn
        their stamps and fetch their manifests."""
        for raw in self.server_services:
            self.queue(d, service_request(TbId(raw)))

    def apply_commit(self, d: Device, sid: TbId, doc: bytes) -> None:
        """A document committed to one of our rooms: take name and alias,
        publish the accepted version."""
        room = d.room_of.get(sid.raw)
        if room is None:
            return
        self.stats["commits_received"] += 1
        try:
            obj = json.loads(doc.rstrip(b"\0"))
            service = obj.get("service", {}) if isinstance(obj, dict) else {}
        except ValueError:
            self.stats["commits_unparsable"] += 1
            return
        if isinstance(service, dict):
            room.name = str(service.get("name", room.name))[:63]
            room.alias = str(service.get("alias", room.alias))[:31]
        self.publish(room, announce=True, d=d)
        self.send_service_answer(d, room)

    # ---- event loop

    def step(self, max_wait: float) -> None:
        now = time.monotonic()
        wait = max_wait
        if self.busy or self.hostile is not None:
            wait = min(wait, self.next_tick - now)
        if self.timers:
            wait = min(wait, self.timers[0][0] - now)
        socks: list = [self.group_sock, self.sock]
        socks += [c.sock for c in self.consoles if not c.closed]
        if self.hostile_console is not None:
            socks.append(self.hostile_console)
        try:
            ready, _, _ = select.select(socks, [], [], max(0.0, wait))
        except InterruptedError:
            ready = []
        for s in ready:
            if s is self.group_sock or s is self.sock:
                self.receive(s)
            elif s is self.hostile_console:
                self.read_hostile_console()
            else:
                for c in self.consoles:
                    if c.sock is s and not c.closed:
                        c.readable()
        now = time.monotonic()
        while self.timers and self.timers[0][0] <= now:
            _, _, fn = heapq.heappop(self.timers)
            fn()
        if now >= self.next_tick:
            self.transmit()
            if self.hostile is not None:
                self.hostile_step()
            self.next_tick = max(self.next_tick + TICK, now)

    def run_for(self, seconds: float) -> None:
        end = time.monotonic() + seconds
        while not self.stop_requested and (left := end - time.monotonic()) > 0:
            self.step(min(left, 0.5))

    def run_until(self, condition: Callable[[], bool], timeout: float) -> bool:
        end = time.monotonic() + timeout
        while not self.stop_requested and time.monotonic() < end:
            if condition():
                return True
            self.step(min(0.2, max(0.0, end - time.monotonic())))
        return condition()

    def set_phase(self, name: str) -> None:
        self.phase = name
        self.phases[name] = round(time.monotonic() - self.t0, 3)
        log(f"phase {name} at {self.phases[name]:.1f} s")

    # ---- consoles

    def connect_console(self, index: int, feed: bool) -> Optional[Console]:
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                sock = socket.create_connection((self.server_ip, CONSOLE_PORT), timeout=2)
                sock.setblocking(False)
                c = Console(self, index, sock, feed)
                self.consoles.append(c)
                return c
            except OSError:
                self.run_for(0.2)
        log(f"console {index}: cannot connect to {self.server_ip}:{CONSOLE_PORT}")
        self.stats["console_connect_failures"] += 1
        return None

    # ---- hostile

    def hostile_step(self) -> None:
        assert self.hostile is not None
        self.hostile_credit += self.args.hostile_rate * TICK
        while self.hostile_credit >= 1:
            self.hostile_credit -= 1
            data, dest_ip, _ = self.hostile.make()
            self.transmit_to(data, dest_ip)
            self.stats["hostile_sent"] += 1
        if self.rng.random() < 0.02:
            self.hostile_console_step()
        now = time.monotonic()
        if now >= self.hostile_boot_due:
            # Announced again and again, the hostile devices never age out.
            self.hostile_boot_due = now + 8.0
            for data, dest_ip in self.hostile.boot():
                self.transmit_to(data, dest_ip)

    def hostile_console_step(self) -> None:
        assert self.hostile is not None
        line = self.hostile.console_line()
        if self.rng.random() < 0.3:
            port = self.rng.choice([11244, 11245])
            self.transmit_to_port(line, port)
            self.stats["hostile_console_udp"] += 1
            return
        if self.hostile_console is None:
            try:
                s = socket.create_connection((self.server_ip, CONSOLE_PORT), timeout=1)
                s.setblocking(False)
                self.hostile_console = s
            except OSError:
                return
        try:
            self.hostile_console.send(line)
            self.stats["hostile_console_lines"] += 1
        except OSError:
            self.close_hostile_console()

    def transmit_to_port(self, data: bytes, port: int) -> None:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.sendto(data, (self.server_ip, port))
        except OSError:
            pass
        finally:
            s.close()

    def read_hostile_console(self) -> None:
        try:
            data = self.hostile_console.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self.close_hostile_console()
        elif data.startswith(b"keep_alive") or b"\nkeep_alive" in data:
            try:
                self.hostile_console.send(b"\n")
            except OSError:
                self.close_hostile_console()

    def close_hostile_console(self) -> None:
        if self.hostile_console is not None:
            try:
                self.hostile_console.close()
            except OSError:
                pass
            self.hostile_console = None
            self.stats["hostile_console_reconnects"] += 1

    # ---- checks after settling

    def expected_devices(self) -> dict[str, tuple[str, str, str]]:
        out = {}
        for d in self.devices:
            v = d.version
            out[d.id.text] = (self.ip, (d.name or d.id.text)[:26],
                              f"{v[0]:03d}-{v[1]:02d}.{v[2]:02d}.{v[3]:02d}")
        return out

    def expected_services(self) -> dict[str, tuple[str, str, str]]:
        out = {}
        for d in self.devices:
            for r in d.rooms:
                out[r.id.text] = ((r.alias or r.id.text)[:17], (r.name or r.id.text)[:26],
                                  (r.type or "type not set")[:14])
        return out

    def check_lists(self, console: Console) -> dict:
        result: dict[str, Any] = {}
        for kind in ("devices", "services"):
            console.start_list(kind)
            ok = self.run_until(lambda: kind in console.list_done or console.closed, 120)
            rows = console.list_done.get(kind, [])
            if not ok or console.closed:
                result[kind] = {"ok": False, "error": "list not received", "rows": len(rows)}
                continue
            sim_macs = {d.mac for d in self.devices}
            listed: dict[str, tuple[str, ...]] = {}
            others = 0
            for row in rows:
                ident = row[5:20].strip()
                if kind == "devices":
                    fields = (row[20:38].strip(), row[38:64].rstrip(), row[64:].strip())
                else:
                    fields = (row[21:38].rstrip(), row[38:64].rstrip(), row[64:78].rstrip())
                if TbId.parse(ident).mac in sim_macs:
                    if ident in listed:
                        self.stats["duplicate_rows"] += 1
                    listed[ident] = fields
                else:
                    others += 1
                    if kind == "services" and TbId.parse(ident).raw in self.expected_names:
                        listed[ident] = fields
            expected = self.expected_devices() if kind == "devices" else self.expected_services()
            if kind == "services":
                for raw, name in self.expected_names.items():
                    expected[TbId(raw).text] = None  # only the name is compared
            missing = sorted(set(expected) - set(listed))
            unexpected = sorted(i for i in listed if i not in expected)
            mismatch = []
            for ident, want in expected.items():
                got = listed.get(ident)
                if got is None:
                    continue
                if want is None:
                    name = self.expected_names[TbId.parse(ident).raw][:26]
                    if got[1] != name:
                        mismatch.append([ident, name, got[1]])
                elif tuple(x.rstrip() for x in want) != got:
                    mismatch.append([ident, list(want), list(got)])
            result[kind] = {"ok": not missing and not unexpected and not mismatch,
                            "expected": len(expected), "listed": len(listed), "rows": len(rows),
                            "other_rows": others, "missing": missing[:20], "missing_count": len(missing),
                            "unexpected": unexpected[:20], "mismatch": mismatch[:20],
                            "mismatch_count": len(mismatch)}
        return result

    def check_manifests(self, directory: Path) -> dict:
        listing: dict[str, str] = {}
        try:
            data = json.loads((directory / "FFFFFFFFFFFFFF.kst").read_bytes())
            listing = {e["id"]: e["stamp"] for e in data["service_list"]}
        except (OSError, ValueError, KeyError, TypeError) as e:
            listing_error = str(e)
        else:
            listing_error = ""
        rooms = [(d, r) for d in self.devices for r in d.rooms]
        on_disk, listed, missing, stale, unlisted = 0, 0, [], [], []
        for d, r in rooms:
            try:
                content = (directory / f"{r.id.text}.kst").read_bytes()
            except OSError:
                missing.append(r.id.text)
                continue
            if content == r.doc[:-1]:
                on_disk += 1
            else:
                stale.append(r.id.text)
            if listing.get(r.id.text) == f"{r.stamp:08X}":
                listed += 1
            else:
                unlisted.append([r.id.text, f"{r.stamp:08X}", listing.get(r.id.text)])
        users = {}
        for raw, name in self.expected_names.items():
            sid = TbId(raw)
            try:
                stored = json.loads((directory / f"{sid.text}.kst").read_bytes())
                disk_name = stored.get("service", {}).get("name")
            except (OSError, ValueError, AttributeError):
                disk_name = None
            published = self.server_docs.get(raw)
            pub_name = None
            if published:
                try:
                    pub_name = json.loads(published[1].rstrip(b"\0")).get("service", {}).get("name")
                except (ValueError, AttributeError):
                    pub_name = None
            users[sid.text] = {"committed": name, "on_disk": disk_name, "published": pub_name,
                               "ok": disk_name == name and pub_name == name}
        return {"rooms": len(rooms), "on_disk": on_disk, "listed_with_stamp": listed,
                "missing": missing[:20], "missing_count": len(missing), "stale": stale[:20],
                "stale_count": len(stale), "unlisted": unlisted[:20], "unlisted_count": len(unlisted),
                "listing_error": listing_error,
                "commits": users, "commits_ok": sum(1 for u in users.values() if u["ok"]),
                "ok": on_disk == len(rooms) and listed == len(rooms) and all(u["ok"] for u in users.values())}

    # ---- the run

    def run(self) -> dict:
        args = self.args
        self.set_phase("start")
        self.at(1.0, self.check_fetch_timeouts)
        self.build_devices()
        # The server first: its device id, address and services. The panel
        # (device 0) asks, so that no extra device takes a registry entry.
        if self.devices:
            probe = self.devices[0]
        else:
            probe = Device(-1, bytes([0x02, 0x5A, 0x17, 0xFF, 0xFF, self.rng.randrange(256)]), "probe", bytes(4))
            self.dev_of[probe.mac] = probe
        probe.nonce = self.rng.randrange(1, 1 << 32)
        probe.state = "up"
        self.queue(probe, device_request(BROADCAST_ID))
        if not self.run_until(lambda: self.server_id is not None, args.server_timeout):
            log("no device answer from the server")
            self.report["error"] = "server not found"
        probe.state = "off"
        probe.txq.clear()
        self.busy.discard(probe)
        if args.fill_registry and self.server_id is not None:
            local = len(self.server_services)
            args.total_services = max(0, 1024 - local)
            log(f"filling the registry: server has {local} services, devices get {args.total_services}")
        self.build_rooms()
        self.set_phase("boot")
        for c in range(args.consoles):
            self.connect_console(c, feed=True)
        if args.hostile:
            self.hostile = Hostile(self)
        for i, d in enumerate(self.devices):
            delay = args.ramp * i / max(1, len(self.devices))
            self.at(delay, lambda d=d: self.boot(d) if d.state == "off" else None)
        self.drop = args.drop
        self.set_phase("churn")
        self.churn_on = True
        self.at(min(args.ramp + 2.0, args.duration), self.schedule_churn)
        self.run_for(args.duration)
        self.churn_on = False
        self.drop = 0.0
        hostile = self.hostile
        self.hostile = None
        self.close_hostile_console()
        self.set_phase("settle")
        for d in self.devices:
            if d.state == "silent":
                self.come_back(d)
            elif d.state == "off":
                self.boot(d)
        self.run_for(args.settle)
        if args.check:
            self.set_phase("check")
            console = next((c for c in self.consoles if not c.closed), None)
            if console is None and not args.consoles:
                console = self.connect_console(len(self.consoles), feed=False)
            if console is None:
                self.report["lists"] = {"ok": False, "error": "no console client"}
            else:
                self.report["lists"] = self.check_lists(console)
            if args.manifest_dir:
                self.report["store"] = self.check_manifests(Path(args.manifest_dir))
        self.set_phase("hold")
        self.run_for(args.hold)
        self.set_phase("end")
        return self.summary(hostile)

    def summary(self, hostile: Optional[Hostile]) -> dict:
        consoles = {"clients": len(self.consoles), "open": sum(1 for c in self.consoles if not c.closed),
                    "lines": sum(c.lines for c in self.consoles), "bytes": sum(c.bytes for c in self.consoles),
                    "keep_alive": sum(c.keep_alive for c in self.consoles),
                    "disconnects": self.stats["console_disconnects"]}
        r = {
            "devices": len(self.devices),
            "services": sum(len(d.rooms) for d in self.devices),
            "devices_announced": len(self.announced_devices),
            "services_announced": len(self.announced_services),
            "server": {"id": self.server_id.text if self.server_id else None,
                       "services": len(self.server_services)},
            "manifests": {
                "versions_published": self.stats["manifest_versions_published"],
                "served_to_server": self.stats["manifests_served"],
                "chunks_served": self.stats["manifest_chunks_served"],
                "commits_sent": self.stats["commits_sent"],
                "commits_served": self.stats["commits_served"],
                "fetches_completed": self.stats["fetches_completed"],
                "fetches_failed": self.stats["fetches_failed"],
                "fetch_retries": self.stats["fetch_retries"],
            },
            "packets_sent": dict(self.sent_ops),
            "packets_received": dict(self.recv_ops),
            "datagrams_sent": self.stats["datagrams_sent"],
            "datagrams_received": self.stats["datagrams_received"],
            "dropped_out": self.stats["dropped_out"],
            "dropped_in": self.stats["dropped_in"],
            "churn": dict(self.churn),
            "consoles": consoles,
            "hostile": {"sent": self.stats["hostile_sent"],
                        "by_opcode": dict(hostile.sent) if hostile else {},
                        "console_lines": self.stats["hostile_console_lines"],
                        "console_udp": self.stats["hostile_console_udp"]},
            "server_syslog": {"count": sum(self.syslog.values()),
                              "top": self.syslog.most_common(25)},
            "stats": dict(self.stats),
            "phases": self.phases,
        }
        r.update(self.report)
        return r


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description="Simulated Tamber installation on the virtual LAN.")
    ap.add_argument("--netns", help="network namespace to enter (e.g. tb-TAG-peer)")
    ap.add_argument("--ip", default=PEER_IP_DEFAULT, help="own address in the namespace (default %(default)s)")
    ap.add_argument("--server-ip", default=SERVER_IP_DEFAULT, help="the server's address (default %(default)s)")
    ap.add_argument("--devices", type=int, default=10, help="room devices (default %(default)s)")
    ap.add_argument("--services-per-device", type=int, default=4, help="room services each (at most 36)")
    ap.add_argument("--total-services", type=int, help="spread this many services over the devices instead")
    ap.add_argument("--fill-registry", action="store_true",
                    help="spread 1024 minus the server's own services over the devices (a full registry)")
    ap.add_argument("--churn", type=float, default=0.0,
                    help="churn events per second: restarts, renames, joins, leaves, actions, "
                         "silent devices, commits (default %(default)s)")
    ap.add_argument("--drop", type=float, default=0.0, help="fraction of datagrams dropped on purpose, "
                                                             "both directions, while churning")
    ap.add_argument("--duration", type=float, default=60.0, help="seconds of the main phase")
    ap.add_argument("--ramp", type=float, default=5.0, help="seconds over which the devices boot")
    ap.add_argument("--settle", type=float, default=0.0, help="seconds without churn and loss before the checks")
    ap.add_argument("--hold", type=float, default=0.0, help="seconds to stay on the LAN after the checks")
    ap.add_argument("--consoles", type=int, default=0, help="console clients with the status feed on")
    ap.add_argument("--check", action="store_true", help="compare the console lists (and --manifest-dir) "
                                                         "with the installation after settling")
    ap.add_argument("--manifest-dir", help="the server's manifest directory, for the check")
    ap.add_argument("--hostile", action="store_true", help="also send random and mutated packets of every opcode")
    ap.add_argument("--hostile-rate", type=float, default=500.0, help="hostile datagrams per second")
    ap.add_argument("--seed", type=int, help="random seed")
    ap.add_argument("--server-timeout", type=float, default=20.0)
    ap.add_argument("--report", help="write the JSON summary here")
    args = ap.parse_args(argv)
    if not 0 <= args.drop < 1:
        ap.error("--drop is a fraction below 1")
    if args.services_per_device < 0 or args.services_per_device > 36:
        ap.error("--services-per-device is 0 to 36")
    if args.devices < 0 or args.devices > 4096:
        ap.error("--devices is 0 to 4096")
    if ipaddress.ip_address(args.ip) not in PRIVATE_NET or ipaddress.ip_address(args.server_ip) not in PRIVATE_NET:
        ap.error("--ip and --server-ip must be addresses of the virtual LAN (10.213.0.0/16)")
    return args


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    if args.netns:
        enter_netns(args.netns)
    if not in_private_netns():
        print("tamber_sim: refusing to run in the machine's own network namespace; "
              "use --netns tb-TAG-peer or ip netns exec", file=sys.stderr)
        return 2
    sim = Sim(args)

    def on_signal(signum: int, _frame: Any) -> None:
        sim.stop_requested = True
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    summary = sim.run()
    text = json.dumps(summary, indent=1, default=str)
    if args.report:
        Path(args.report).write_text(text + "\n")
    log(f"devices {summary['devices']}, services {summary['services']}, "
        f"datagrams sent {summary['datagrams_sent']}, received {summary['datagrams_received']}, "
        f"hostile {summary['hostile']['sent']}")
    for key in ("lists", "store"):
        if key in summary:
            log(f"check {key}: " + json.dumps({k: v for k, v in summary[key].items()
                                                if k in ("ok", "devices", "services")} if key == "lists"
                                               else {"ok": summary[key]["ok"]}, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
