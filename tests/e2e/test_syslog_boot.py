"""End to end: the syslog store (syslog packets become lines of syslog.log)
and the boot server (boot commands to outdated devices, firmware blocks to
their boot loaders), with a peer that plays a room device."""

from __future__ import annotations

import datetime
import os
import re
import struct
import time
import unittest
from pathlib import Path
from typing import Optional

from lanpeer import (BROADCAST_ID, HEADER_SIZE, LanTestCase, OP_BOOT_ANSWER, OP_BOOT_COMMAND,
                     OP_DEVICE_ANSWER, OP_SYSLOG, SERVER_ID, SERVER_IP, Packet, Peer, VirtualLan,
                     device_answer, scaled, syslog, syslog_text)
from proto_boot import (ANSWER_LENGTH, BLOCK_MAX, COMMAND_LENGTH, ENTER_BOOT_LOADER, IMAGE_SIZE,
                        boot_request, crc16_xmodem, is_direct, make_image, served_image)

ROOM_TYPE = 0x21
OTHER_TYPE = 0x22
IMAGE_VERSION = bytes([ROOM_TYPE, 2, 4, 9])

_LINE_RE = re.compile(r"(\d\d)\.(\d\d)\.(\d\d) (\d\d):(\d\d):(\d\d) (.*)", re.S)


def ready_peer(lan: VirtualLan, **kw) -> Peer:
    """A peer, returned once the server's threads run (its announcement)."""
    lan.wait_ready()
    peer = lan.peer(**kw)
    peer.expect(OP_DEVICE_ANSWER, src=SERVER_ID, timeout=15, what="the server's announcement")
    return peer


# --------------------------------------------------------------------------
# Syslog store

class SyslogStoreTest(LanTestCase):

    @property
    def log_path(self) -> Path:
        return self.lan.syslog_dir / "syslog.log"

    def file_open(self) -> bool:
        """Whether the server holds syslog.log open (seen in /proc)."""
        fd_dir = Path(f"/proc/{self.lan.pid}/fd")
        target = str(self.log_path)
        for fd in fd_dir.iterdir():
            try:
                link = os.readlink(fd)
            except OSError:
                continue
            if link == target or link == target + " (deleted)":
                return True
        return False

    def wait_closed(self, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + scaled(timeout)
        while self.file_open():
            if time.monotonic() > deadline:
                self.fail("syslog.log still open\n" + self.lan.output_tail())
            time.sleep(0.02)

    def lines(self) -> list[str]:
        """The file's lines; every one must end with CR LF."""
        try:
            data = self.log_path.read_bytes()
        except FileNotFoundError:
            return []
        self.assertTrue(data == b"" or data.endswith(b"\r\n"), f"incomplete last line: {data[-80:]!r}")
        return [raw.decode("utf-8", "replace") for raw in data.split(b"\r\n")[:-1]]

    def texts(self) -> list[str]:
        """The lines without their date and time, checking that prefix."""
        result = []
        now = datetime.datetime.now()
        for line in self.lines():
            m = _LINE_RE.fullmatch(line)
            self.assertIsNotNone(m, f"line without date and time: {line!r}")
            day, month, year, hour, minute, second = map(int, m.groups()[:6])
            stamp = datetime.datetime(2000 + year, month, day, hour, minute, second)
            self.assertLess(abs((now - stamp).total_seconds()), 600, line)
            result.append(m[7])
        return result

    def wait_text(self, wanted: str, timeout: float = 5.0) -> list[str]:
        deadline = time.monotonic() + scaled(timeout)
        while True:
            texts = self.texts()
            if wanted in texts:
                return texts
            if time.monotonic() > deadline:
                self.fail(f"no line {wanted!r} in syslog.log; lines:\n"
                          + "\n".join("  " + t for t in texts[-20:]) + "\n" + self.lan.output_tail())
            time.sleep(0.05)

    def test_own_start_message_is_written(self):
        ready_peer(self.lan)
        started = re.compile(r"M #{0} #{0} tb_core_init:Halvo Tamber device started 138-02\.04\.09 "
                             r"[A-Z][a-z]{{2}} [ \d]\d \d{{4}} \d\d:\d\d:\d\d".format(SERVER_ID.text))
        deadline = time.monotonic() + scaled(10)
        while not any(started.fullmatch(t) for t in self.texts()):
            if time.monotonic() > deadline:
                self.fail("start message not in syslog.log:\n" + "\n".join(self.texts()))
            time.sleep(0.05)

    def test_burst_keeps_the_file_open_and_it_closes_a_second_after(self):
        peer = ready_peer(self.lan)
        self.wait_closed()
        sent = [syslog_text("M", peer.id, peer.id, "burst", f"line {i}") for i in range(8)]
        for text in sent:
            peer.send(syslog(text), robust=False)
            time.sleep(0.15)
            self.assertTrue(self.file_open(), f"syslog.log closed during the burst, after {text!r}")
        last = time.monotonic() - 0.15
        time.sleep(0.4)
        self.assertTrue(self.file_open(), "syslog.log closed well before a second had passed")
        self.wait_closed(timeout=3)
        closed_after = time.monotonic() - last
        self.assertGreater(closed_after, 0.7)
        self.assertLess(closed_after, scaled(2.5))
        texts = self.texts()
        self.assertEqual([t for t in texts if " burst:" in t], sent)

    def test_deleted_file_is_recreated_by_the_next_message(self):
        peer = ready_peer(self.lan)
        before = syslog_text("M", peer.id, peer.id, "before", "delete")
        peer.send(syslog(before), robust=False)
        self.wait_text(before)
        self.wait_closed()
        self.log_path.unlink()
        after = syslog_text("W", peer.id, peer.id, "after", "delete")
        peer.send(syslog(after), robust=False)
        texts = self.wait_text(after)
        self.assertNotIn(before, texts)

    def test_hostile_texts_are_written_as_received(self):
        peer = ready_peer(self.lan)
        cases = [
            # (payload bytes, expected line text)
            (b"M #x #y fmt:%s%s%s%n%n%x\0", "M #x #y fmt:%s%s%s%n%n%x"),
            (b"M #x #y unterminated:text ends with the datagram", "M #x #y unterminated:text ends with the datagram"),
            (b"M #x #y split:one\r\nE #forged line\nend\0", "M #x #y split:one  E #forged line end"),
            (b"M #x #y after-nul:kept\0ignored bytes", "M #x #y after-nul:kept"),
        ]
        for payload, _ in cases:
            peer.send(Packet(OP_SYSLOG, BROADCAST_ID, payload), robust=False)
        marker = syslog_text("M", peer.id, peer.id, "marker", "end")
        peer.send(syslog(marker), robust=False)
        texts = self.wait_text(marker)
        self.lan.assert_running()
        for _, expected in cases:
            self.assertIn(expected, texts)
        self.assertNotIn("E #forged line", texts)


# --------------------------------------------------------------------------
# Boot server

class BootServerTest(LanTestCase):
    file_bytes = make_image(IMAGE_VERSION)

    def lan_options(self):
        return {"firmware": self.file_bytes}

    def setUp(self):
        super().setUp()
        self.image = served_image(self.file_bytes)
        self.peer = ready_peer(self.lan)

    def announce(self, version: bytes) -> None:
        self.peer.announce(version=version)

    def expect_command(self, what: str) -> Packet:
        p = self.peer.expect(OP_BOOT_COMMAND, src=SERVER_ID, timeout=3, what=what)
        self.assertTrue(is_direct(p, SERVER_ID), p.summary())
        self.assertEqual(p.length, COMMAND_LENGTH)
        self.assertEqual(p.via, "unicast")
        self.assertEqual(p.addr[0], SERVER_IP)
        self.assertEqual(p.body.command, ENTER_BOOT_LOADER)
        return p

    def expect_no_command(self, what: str) -> None:
        self.peer.expect_none(OP_BOOT_COMMAND, duration=1.0, what=what)

    def request(self, offset: int, length: int, device_type: int = ROOM_TYPE) -> None:
        self.peer.send(boot_request(offset, length, device_type, ip=self.peer.ip), robust=False)

    def expect_block(self, offset: int, length: int):
        p = self.peer.expect(OP_BOOT_ANSWER, src=SERVER_ID, timeout=3,
                             what=f"boot answer for {offset}+{length}")
        self.assertTrue(is_direct(p, SERVER_ID), p.summary())
        self.assertEqual(p.length, ANSWER_LENGTH)
        self.assertEqual(p.via, "unicast")
        answer = p.body
        self.assertEqual((answer.ip, answer.device_type, answer.offset, answer.length),
                         (SERVER_IP, ROOM_TYPE, offset, length))
        self.assertEqual(answer.block, self.image[offset:offset + length])
        return answer

    def test_outdated_device_is_updated_block_by_block(self):
        self.announce(bytes([ROOM_TYPE, 2, 4, 8]))
        self.expect_command("boot command for 2.4.8")
        self.request(1024, 1024)
        self.expect_block(1024, 1024)
        self.request(0, 1024)
        self.expect_block(0, 1024)

    def test_last_block_carries_the_crc_of_the_application_area(self):
        self.request(IMAGE_SIZE - BLOCK_MAX, BLOCK_MAX)
        answer = self.expect_block(IMAGE_SIZE - BLOCK_MAX, BLOCK_MAX)
        crc = crc16_xmodem(self.file_bytes[0x10000:0x7FFFE])
        self.assertEqual(answer.block[-2:], struct.pack(">H", crc))

    def test_short_block_fills_only_its_length(self):
        self.request(5, 3)
        answer = self.expect_block(5, 3)
        self.assertEqual(len(answer.data), BLOCK_MAX)

    def test_device_versions(self):
        cases = [
            (bytes([ROOM_TYPE, 2, 4, 8]), True),    # older patch
            (bytes([ROOM_TYPE, 2, 4, 9]), False),   # the image's version
            (bytes([ROOM_TYPE, 2, 4, 10]), False),  # newer patch
            (bytes([ROOM_TYPE, 2, 3, 200]), True),  # older minor
            (bytes([ROOM_TYPE, 2, 5, 0]), False),   # newer minor
            (bytes([ROOM_TYPE, 3, 0, 0]), True),    # another major, newer
            (bytes([ROOM_TYPE, 1, 9, 9]), True),    # another major, older
        ]
        for version, update in cases:
            with self.subTest(version=".".join(map(str, version))):
                self.announce(version)
                if update:
                    self.expect_command(f"boot command for {list(version)}")
                else:
                    self.expect_no_command(f"boot command for {list(version)}")

    def test_device_of_another_type_is_ignored(self):
        self.announce(bytes([OTHER_TYPE, 1, 0, 0]))
        self.expect_no_command("boot command for a device of another type")
        self.request(1024, 1024, OTHER_TYPE)
        self.peer.expect_none(OP_BOOT_ANSWER, duration=1.0, what="answer to another type")
        self.request(1024, 1024)
        self.expect_block(1024, 1024)

    def test_requests_outside_the_rules_are_not_answered(self):
        for offset, length in [(0, 0), (0, BLOCK_MAX + 1), (0, 0xFFFF), (IMAGE_SIZE - 1023, 1024),
                               (IMAGE_SIZE, 1), (0xFFFFFC00, 1024)]:
            self.request(offset, length)
        short = boot_request(0, 16, ROOM_TYPE, ip=self.peer.ip)
        short.payload = short.payload[:11]
        self.peer.send(short, robust=False)
        old = device_answer(ip=self.peer.ip, version=bytes([ROOM_TYPE, 1, 0, 0]))
        old.payload = old.payload[:7]  # cut inside the version
        self.peer.send(old, robust=False)
        self.peer.expect_none(OP_BOOT_ANSWER, duration=1.0, what="answer to a bad request")
        self.expect_no_command("boot command for a truncated device answer")
        self.lan.assert_running()
        self.request(2048, 512)
        self.expect_block(2048, 512)


class BootImageTest(unittest.TestCase):
    """Each case needs its own image, so its own server."""

    def run_lan(self, file_bytes: bytes, check) -> None:
        with VirtualLan(firmware=file_bytes) as lan:
            peer = ready_peer(lan)
            check(lan, peer)

    def test_image_versions_against_a_2_4_8_device(self):
        device = bytes([ROOM_TYPE, 2, 4, 8])
        for image, update in [((2, 4, 9), True), ((2, 4, 8), False), ((3, 0, 0), True), ((1, 0, 0), True)]:
            with self.subTest(image=".".join(map(str, image))):
                def check(lan, peer):
                    peer.announce(version=device)
                    if update:
                        peer.expect(OP_BOOT_COMMAND, src=SERVER_ID, timeout=3)
                    else:
                        peer.expect_none(OP_BOOT_COMMAND, duration=1.5)
                self.run_lan(make_image(bytes([ROOM_TYPE, *image])), check)

    def test_short_file_is_padded_with_erased_bytes(self):
        file_bytes = make_image(IMAGE_VERSION, size=0x20000)
        image = served_image(file_bytes)

        def check(lan, peer):
            for offset in (0x1FC00, 0x20000, IMAGE_SIZE - BLOCK_MAX):
                peer.send(boot_request(offset, BLOCK_MAX, ROOM_TYPE, ip=peer.ip), robust=False)
                answer = peer.expect(OP_BOOT_ANSWER, src=SERVER_ID, timeout=3).body
                self.assertEqual(answer.offset, offset)
                self.assertEqual(answer.block, image[offset:offset + BLOCK_MAX])
            self.assertEqual(image[0x20000:0x20400], b"\xff" * 1024)

        self.run_lan(file_bytes, check)

    def test_missing_file_updates_nothing(self):
        def check(lan, peer):
            peer.announce(version=bytes([0xFF, 1, 0, 0]))
            peer.send(boot_request(0, BLOCK_MAX, 0xFF, ip=peer.ip), robust=False)
            peer.expect_none(OP_BOOT_COMMAND, duration=1.0)
            peer.expect_none(OP_BOOT_ANSWER, duration=0.5)
            lan.assert_running()

        self.run_lan(None, check)


if __name__ == "__main__":
    unittest.main()
