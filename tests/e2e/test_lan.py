"""The device registry and the packet network as a peer on the LAN sees
them: announcements, device requests and answers, ageing of a silent
device, duplicate suppression, unicast versus group delivery, the shape of
syslog packets, and robustness against broken datagrams."""

import random
import socket
import struct
import time

from lanpeer import (BROADCAST_ID, CLASS_BROADCAST, CLASS_NONE, CLASS_ROOM, DEFAULT_HOME,
                     HEADER_SIZE, MAGIC, OP_DEVICE_ANSWER, OP_DEVICE_REQUEST, OP_SERVICE_ANSWER,
                     OP_SERVICE_REQUEST, OP_SYSLOG, PEER_IP, SERVER_ID, SERVER_IP, VERSION,
                     LanTestCase, Packet, TbId, device_answer, device_request, random_mac, scaled)

# Payload sizes of every opcode as a conforming device sends them (0: header
# only; None: variable, a small payload is used).
OPCODE_LENGTHS = {
    1: 38, 2: 48, 3: 1072, 5: 60, 6: 1248, 7: 1248, 8: 52, 9: 44, 10: 36, 11: 812, 12: 36,
    13: 356 + 8 * 4, 14: 69 + 20, 15: 36, 16: 53 + 20, 17: 50, 18: 100, 19: 48, 20: 48,
    21: 56, 22: 1088, 23: 37 + 20,
}


def _cfield(text: str, width: int) -> bytes:
    return text.encode()[:width - 1].ljust(width, b"\0")


def service_answer(service: TbId, name: str = "Kitchen") -> Packet:
    """Service answer (opcode 11, 812 bytes) for one of the peer's rooms."""
    payload = (service.raw + bytes(8) + struct.pack(">I", 0) + _cfield("TST.00.room", 16)
               + _cfield(name, 64) + _cfield("", 256) + _cfield("1", 36) + _cfield("1", 32)
               + _cfield("kitchen", 32) + _cfield("room.1", 32) + _cfield("", 16)
               + _cfield("", 256) + _cfield("", 16))
    return Packet(OP_SERVICE_ANSWER, BROADCAST_ID, payload)


def raw_packet(opcode: int, *, src: TbId, dest: TbId = SERVER_ID, size: int = HEADER_SIZE,
               length: int | None = None, seq: int = 0, nonce: int = 1, fill: int = 0,
               body: bytes | None = None) -> bytes:
    header = struct.pack(">8s8s8sIIHH", MAGIC, dest.raw, src.raw, nonce, seq,
                         (size if length is None else length) & 0xFFFF, opcode & 0xFFFF)
    data = bytearray((header + (bytes([fill]) * size if body is None else body))[:size])
    if opcode == OP_DEVICE_ANSWER and size >= HEADER_SIZE + 4:
        # The server would later send to the address a device answer claims:
        # keep it inside the test LAN.
        data[HEADER_SIZE:HEADER_SIZE + 4] = socket.inet_aton(PEER_IP)
    return bytes(data)


class LanTestCaseBase(LanTestCase):
    def lan_options(self):
        return {"start": False}

    def start(self, **peer_options):
        """The peer is created first so that it hears the server's first
        packets; returns once the server has announced itself."""
        self.peer = self.lan.peer(**peer_options)
        self.lan.start_server()
        self.first = self.peer.expect(OP_DEVICE_ANSWER, src=SERVER_ID, dest=BROADCAST_ID, timeout=15,
                                      what="the server's first announcement")
        return self.peer

    def ask(self, robust=False, dest=SERVER_ID):
        """Sends a device request and returns the server's answer to it."""
        self.peer.send(device_request(dest), robust=robust)
        return self.peer.expect(OP_DEVICE_ANSWER, src=SERVER_ID, dest=self.peer.id,
                                what="device answer to the peer")


class AnnouncementTest(LanTestCaseBase):
    def test_announces_itself_at_start_and_every_ten_seconds(self):
        peer = self.start()
        a = self.first.body
        self.assertEqual(a.ip, SERVER_IP)
        self.assertEqual(a.version, VERSION)
        self.assertEqual(a.name, socket.gethostname().encode()[:31].decode(errors="replace"))
        self.assertEqual(a.url, f"http://{SERVER_IP}{DEFAULT_HOME}/")
        self.assertEqual(a.locale, "en")
        self.assertEqual(a.time.valid, 1)
        self.assertNotEqual(self.first.seq, 0)
        self.assertLessEqual(self.first.size, 1316)

        times = [self.first.time]
        for _ in range(2):
            p = peer.expect(OP_DEVICE_ANSWER, src=SERVER_ID, dest=BROADCAST_ID, timeout=15,
                            what="the next periodic announcement")
            times.append(p.time)
        for earlier, later in zip(times, times[1:]):
            self.assertAlmostEqual(later - earlier, 10.0, delta=scaled(0.5))

    def test_new_boot_nonce_brings_the_announcement_forward(self):
        peer = self.start()
        time.sleep(1.5)
        for restart in range(3):
            with self.subTest(restart=restart):
                peer.clear()
                peer.nonce = random.randrange(1, 1 << 32)
                sent = time.time()
                peer.announce()
                p = peer.expect(OP_DEVICE_ANSWER, src=SERVER_ID, dest=BROADCAST_ID, timeout=3)
                self.assertLess(p.time - sent, 0.9 + scaled(0.2))
                # The same nonce again: the regular period goes on.
                time.sleep(0.5)
                peer.announce()
                peer.expect_none(OP_DEVICE_ANSWER, src=SERVER_ID, dest=BROADCAST_ID, duration=2.0,
                                 what="announcement for a known boot nonce")


class DeviceRequestTest(LanTestCaseBase):
    def test_unknown_device_is_answered_through_the_group_then_by_unicast(self):
        self.start()
        # A repeated request registers the peer, but without an address yet.
        self.assertEqual(self.ask(robust=True).via, "group")
        self.peer.announce()
        answer = self.ask()
        self.assertEqual(answer.via, "unicast")
        self.assertEqual(answer.addr[0], SERVER_IP)
        self.assertEqual(answer.body.ip, SERVER_IP)

    def test_repeated_request_is_handled_once_unrepeated_each_time(self):
        peer = self.start()
        peer.announce()
        time.sleep(0.5)
        peer.clear()
        cases = [("three copies of one robust request", dict(robust=True, copies=3), 1),
                 ("one unrepeated request sent twice", dict(robust=False, copies=2), 2)]
        for what, options, answers in cases:
            with self.subTest(what):
                peer.send(device_request(SERVER_ID), **options)
                got = peer.recv_all(1.5, OP_DEVICE_ANSWER, src=SERVER_ID, dest=peer.id)
                self.assertEqual(len(got), answers, [p.summary() for p in got])
                # Every answer is itself a robust packet of three copies.
                for p in got:
                    copies = [h for h in peer.history if h.seq == p.seq and h.src == SERVER_ID]
                    self.assertEqual(len(copies), 3)

    def test_own_packets_coming_back_do_not_make_it_answer_itself(self):
        peer = self.start()
        # A request that claims to come from the server itself.
        peer.send(Packet(OP_DEVICE_REQUEST, BROADCAST_ID, src=SERVER_ID), robust=False)
        peer.expect_none(OP_DEVICE_ANSWER, src=SERVER_ID, dest=SERVER_ID, duration=1.0)


class AgeingTest(LanTestCaseBase):
    def test_silent_device_is_asked_three_times_then_forgotten_with_its_services(self):
        peer = self.start()
        room = peer.service_id(CLASS_ROOM, 0)
        peer.announce(services=[room])
        peer.expect(OP_SERVICE_REQUEST, src=SERVER_ID, dest=room)
        peer.send(service_answer(room))
        # Known and fetched: a further announcement fetches nothing.
        time.sleep(1.0)
        peer.clear()
        last_answer = time.time()
        peer.announce(services=[room])
        peer.expect_none(OP_SERVICE_REQUEST, src=SERVER_ID, dest=room, duration=1.5)
        self.assertEqual(self.ask().via, "unicast")

        requests = []
        while len(requests) < 3:
            p = peer.expect(OP_DEVICE_REQUEST, src=SERVER_ID, dest=peer.id, timeout=18,
                            what=f"device request {len(requests) + 1}")
            requests.append(p)
        after = [p.time - last_answer for p in requests]
        for n, seconds in enumerate(after):
            self.assertGreaterEqual(seconds, 12.0 + n, after)
            self.assertLessEqual(seconds, 13.0 + n + scaled(0.3), after)
        for p in requests:
            self.assertEqual(p.via, "unicast")
        # Still known until the last request has gone unanswered.
        self.assertEqual(self.ask().via, "unicast")

        time.sleep(max(0.0, last_answer + 16.0 + scaled(0.5) - time.time()))
        self.assertEqual(self.ask().via, "group", "the device should have been forgotten")
        peer.expect_none(OP_DEVICE_REQUEST, src=SERVER_ID, dest=peer.id, duration=1.0)

        # Its room was forgotten too: a new announcement registers both again.
        peer.announce(services=[room])
        peer.expect(OP_SERVICE_REQUEST, src=SERVER_ID, dest=room, what="fetch of the re-learnt room")
        self.assertEqual(self.ask().via, "unicast")


class ServiceListTest(LanTestCaseBase):
    def test_service_list_is_read_only_as_far_as_received_and_only_own_services(self):
        peer = self.start()
        other = TbId.make(random_mac())
        present = [peer.service_id(CLASS_ROOM, 0), peer.service_id(CLASS_ROOM, 1)]
        refused = [other.service(CLASS_ROOM, 0), peer.service_id(CLASS_NONE, 2),
                   peer.service_id(CLASS_BROADCAST, 3)]
        # First a long list of rooms sent under another device's id, so that
        # stale ids would follow in a receive buffer.
        stale = [peer.service_id(CLASS_ROOM, i) for i in range(2, 30)]
        stale_answer = device_answer(ip=peer.ip, services=present + stale)
        stale_answer.src = other
        peer.send(stale_answer)
        peer.send(device_answer(ip=peer.ip, services=present, count=len(present) + len(stale)))
        peer.send(device_answer(ip=peer.ip, services=refused))
        got = peer.recv_all(2.0, OP_SERVICE_REQUEST, src=SERVER_ID)
        fetched = {p.dest for p in got}
        self.assertEqual(fetched, set(present), [p.summary() for p in got])

    def test_oversize_counts_are_harmless(self):
        peer = self.start()
        room = peer.service_id(CLASS_ROOM, 0)
        for count in (121, 257, 0xFFFF, 0xFFFFFFFF):
            peer.send(device_answer(ip=peer.ip, services=[room], count=count), robust=False)
        self.lan.assert_running()
        self.assertEqual(self.ask().body.ip, SERVER_IP)


class SyslogTest(LanTestCaseBase):
    def test_log_calls_become_syslog_packets(self):
        """A full device table makes the server log: a warning for a packet
        of a device it cannot track and an error for its device answer."""
        peer = self.start()
        devices = [TbId.make(bytes([0x06, 0, 0, 0, 0, i])) for i in range(1, 64)]
        for device in devices:
            peer.send(Packet(OP_DEVICE_ANSWER, BROADCAST_ID, device_answer(ip=peer.ip).payload,
                             src=device))
            time.sleep(0.002)
        time.sleep(0.5)
        peer.clear()
        extra = TbId.make(bytes([0x06, 0, 0, 0, 1, 0]))
        peer.send(Packet(OP_DEVICE_ANSWER, BROADCAST_ID, device_answer(ip=peer.ip).payload, src=extra))
        got = {}
        for origin in ("update_sequence", "handle_device_answer"):
            p = peer.expect(OP_SYSLOG, src=SERVER_ID, predicate=lambda p, o=origin: p.body.origin == o,
                            what=f"syslog from {origin}")
            self.assertEqual(p.dest, BROADCAST_ID)
            self.assertEqual(p.seq, 0)
            got[origin] = p.body.text
        own = SERVER_ID.text
        self.assertEqual(got["update_sequence"],
                         f"W #{own} #{extra.text} update_sequence:packet received from unknown device")
        self.assertEqual(got["handle_device_answer"],
                         f"E #{own} #{own} handle_device_answer:unable to add new device")

    def test_warning_about_a_long_configuration_value(self):
        """The architecture name reaches a warning's message, which is cut
        at 255 characters; the INI reader may already have shortened the
        value, so the message is compared with the value as start-up read it."""
        self.lan.ini_path = self.lan.write_ini("tamber.ini", {"synology/arch": "a" * 400})
        peer = self.start()
        p = peer.expect(OP_SYSLOG, src=SERVER_ID, timeout=10,
                        predicate=lambda p: p.body.origin == "start_services")
        line = self.lan.find_line("pass_2:synology:arch = ", stream="stderr")
        self.assertIsNotNone(line)
        value = line.split(" = ", 1)[1].rstrip("\n")
        full = f'unknown architecture "{value}"'
        self.assertEqual(p.body.message, full[:255])
        self.assertEqual(p.body.text, f"W #{SERVER_ID.text} #{SERVER_ID.text} start_services:{full[:255]}")
        self.assertEqual(p.length, HEADER_SIZE + len(p.body.text) + 1)


class BrokenDatagramTest(LanTestCaseBase):
    def test_broken_datagrams_do_not_disturb_the_server(self):
        peer = self.start()
        src = peer.id
        rng = random.Random(11246)
        datagrams = [b"", b"K", MAGIC, MAGIC + bytes(27), b"XESTOR01" + bytes(40),
                     bytes(1316), bytes(rng.randrange(256) for _ in range(2000))]
        datagrams += [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 1400)))
                      for _ in range(100)]
        # Every opcode cut short, with a length field that matches the cut,
        # overstates it, or understates the header.
        for opcode in list(range(0, 25)) + [0xFFFF]:
            full = OPCODE_LENGTHS.get(opcode, 100)
            for size in sorted({HEADER_SIZE, HEADER_SIZE + 1, full // 2, full - 1}):
                if size < HEADER_SIZE:
                    continue
                fill = rng.randrange(256)
                datagrams.append(raw_packet(opcode, src=src, size=size, fill=fill))
                datagrams.append(raw_packet(opcode, src=src, size=size, length=full, fill=fill))
                datagrams.append(raw_packet(opcode, src=src, size=size, length=12, fill=fill))
                datagrams.append(raw_packet(opcode, src=src, dest=BROADCAST_ID, size=size, fill=fill))
        # Header fine, the rest random, to the server and to everyone.
        for _ in range(200):
            size = rng.randrange(HEADER_SIZE, 1317)
            body = bytes(rng.randrange(256) for _ in range(size - HEADER_SIZE))
            dest = rng.choice([SERVER_ID, BROADCAST_ID, SERVER_ID.service(CLASS_ROOM, 1)])
            opcode = rng.randrange(0, 26)
            datagrams.append(raw_packet(opcode, src=src, dest=dest, size=size, body=body))
        for i, data in enumerate(datagrams):
            peer.send_raw(data, SERVER_IP if i % 2 else "236.13.8.66")
            if i % 20 == 0:
                time.sleep(0.01)
        time.sleep(1.0)
        self.lan.assert_running()
        peer.clear()
        peer.announce()
        answer = self.ask()
        self.assertEqual(answer.body.ip, SERVER_IP)
        self.assertEqual(answer.body.version, VERSION)
