"""End to end: manifest transfer, the server's service manifests and the
manifest store, against a peer that hosts a room service.

The peer's room is listed in its device answer and described in a service
answer with stamp 0 (nothing published), so fetches start only when the
peer announces a manifest update. Whatever the server fetches lands in the
store's directory as "<id>.kst"; the server's own user services publish
their manifests the same way, through multicast loopback.
"""

from __future__ import annotations

import json
import os
import time
from pathlib import Path
from typing import Optional

from lanpeer import (CLASS_ROOM, CLASS_USER, OP_MANIFEST_ANSWER, OP_MANIFEST_COMMIT,
                     OP_MANIFEST_REQUEST, OP_MANIFEST_UPDATE, OP_SERVICE_REQUEST, OP_SYSLOG,
                     SERVER_ID, LanTestCase, Peer, TbId, scaled)
from proto_manifest import (KEY_COMMIT, KEY_UPDATE, manifest_answer, manifest_commit,
                            manifest_request, manifest_update)
from proto_service import service_answer

ROOM_TYPE = 'AMP."01'  # a quote, which the service list must escape


def document(size: int) -> bytes:
    """A JSON object of exactly size bytes, its NUL included."""
    head, tail = b'{"pad":"', b'"}'
    return head + b"p" * (size - 1 - len(head) - len(tail)) + tail + b"\0"


class ManifestTest(LanTestCase):
    def setUp(self):
        super().setUp()
        self.lan.wait_ready()
        self.peer = self.lan.peer()
        self.room = self.peer.service_id(CLASS_ROOM, 0)
        self.user = SERVER_ID.service(CLASS_USER, 0)
        self.store = Path(self.lan.manifest_dir)

    # ---- helpers

    def file_of(self, service: TbId) -> Path:
        return self.store / f"{service.text}.kst"

    def read(self, path: Path) -> Optional[bytes]:
        try:
            return path.read_bytes()
        except FileNotFoundError:
            return None

    def wait_file(self, path: Path, predicate, timeout: float = 5.0) -> bytes:
        deadline = time.monotonic() + scaled(timeout)
        content = self.read(path)
        while time.monotonic() < deadline:
            content = self.read(path)
            if content is not None and predicate(content):
                return content
            time.sleep(0.05)
        self.fail(f"{path.name} never matched; last content {content!r}\n{self.lan.output_tail()}")

    def introduce_room(self) -> None:
        self.peer.announce(services=[self.room])
        self.peer.expect(OP_SERVICE_REQUEST, src=SERVER_ID, dest=self.room)
        self.peer.send(service_answer(self.room, type=ROOM_TYPE, name="Kitchen", magic="room.1"))

    def request(self, peer: Optional[Peer] = None, timeout: float = 5.0, service: Optional[TbId] = None):
        peer = peer or self.peer
        service = service or self.room
        return peer.expect(OP_MANIFEST_REQUEST, src=SERVER_ID, timeout=timeout,
                           predicate=lambda p: p.body.service == service).body

    def answer(self, doc: bytes, stamp: int, token: int, *, peer: Optional[Peer] = None,
               key: int = KEY_UPDATE, service: Optional[TbId] = None) -> None:
        peer = peer or self.peer
        peer.send(manifest_answer(SERVER_ID, service or self.room, key, stamp, token,
                                  doc[token:token + 1024], len(doc)))

    def serve(self, doc: bytes, stamp: int, key: int = KEY_UPDATE, service: Optional[TbId] = None) -> list[int]:
        """Answers the server's requests until the document is complete;
        returns the tokens asked for."""
        tokens = []
        while not tokens or tokens[-1] + 1024 < len(doc):
            r = self.request(service=service)
            self.assertEqual((r.key, r.stamp), (key, stamp))
            tokens.append(r.token)
            self.answer(doc, stamp, r.token, key=key, service=service)
        return tokens

    def logs(self, duration: float, message: str) -> list:
        """Syslog entries with message during duration; the peer keeps
        announcing itself meanwhile so that the server does not forget it."""
        found = []
        deadline = time.monotonic() + scaled(duration)
        while time.monotonic() < deadline:
            self.peer.announce(services=[self.room])
            found += [p.body for p in self.peer.recv_all(
                min(3.0, max(0.0, deadline - time.monotonic())), OP_SYSLOG, src=SERVER_ID,
                predicate=lambda p: p.body.message == message)]
        return found

    def expect_log(self, origin: str, message: str, level: str = "W", timeout: float = 5.0):
        entry = self.peer.expect(
            OP_SYSLOG, src=SERVER_ID, timeout=timeout, what=f"syslog {origin}:{message}",
            predicate=lambda p: p.body.origin == origin and p.body.message == message).body
        self.assertEqual(entry.level, level)
        return entry

    def fetch_room(self, doc: bytes, stamp: int) -> None:
        self.peer.send(manifest_update(self.room, stamp))
        self.serve(doc, stamp)
        self.wait_file(self.file_of(self.room), lambda c: c == doc[:-1])

    # ---- transfer

    def test_document_of_2500_bytes_travels_in_three_chunks(self):
        self.introduce_room()
        doc = document(2500)
        self.peer.send(manifest_update(self.room, 0x1234ABCD))
        tokens = self.serve(doc, 0x1234ABCD)
        self.assertEqual(tokens, [0, 1024, 2048])
        self.peer.expect_none(OP_MANIFEST_REQUEST, src=SERVER_ID, duration=1.0)
        self.assertEqual(self.wait_file(self.file_of(self.room), lambda c: c == doc[:-1]), doc[:-1])
        listing = json.loads(self.wait_file(self.store / "FFFFFFFFFFFFFF.kst", lambda c: b"1234ABCD" in c))
        rooms = [e for e in listing["service_list"] if e["id"] == self.room.text]
        self.assertEqual(rooms, [{"id": self.room.text, "type": ROOM_TYPE, "alert": "", "stamp": "1234ABCD"}])

    def test_broken_answers_are_refused_with_warnings(self):
        self.introduce_room()
        other = self.lan.peer()
        doc = document(2500)
        self.peer.send(manifest_update(self.room, 0x51))
        self.assertEqual(self.request().token, 0)
        self.answer(doc, 0x51, 0)
        self.assertEqual(self.request().token, 1024)

        cases = [
            ("answer from another device", dict(peer=other, stamp=0x51, token=1024), "source id mismatch"),
            ("answer with an old stamp", dict(stamp=0x50, token=1024), "stamp mismatch"),
            ("first chunk once more", dict(stamp=0x51, token=0), "token mismatch"),
        ]
        for what, kw, message in cases:
            with self.subTest(what):
                self.answer(doc, **kw)
                self.expect_log("handle_manifest_answer", message)
        # The fetch goes on with the right chunk.
        self.answer(doc, 0x51, 1024)
        self.assertEqual(self.request().token, 2048)
        self.answer(doc, 0x51, 2048)
        self.wait_file(self.file_of(self.room), lambda c: c == doc[:-1])

    def test_answers_beyond_their_limits_are_refused(self):
        self.introduce_room()
        good = document(100)
        self.fetch_room(good, 0x61)
        self.peer.send(manifest_update(self.room, 0x62))
        self.request()
        cases = [
            ("chunk length 0", dict(data=b"x", chunk=0, total=10), "wrong chunk size"),
            ("chunk length 1025", dict(data=b"x" * 1024, chunk=1025, total=2000), "wrong chunk size"),
            ("total above the limit", dict(data=b"x" * 1024, total=70000), "wrong total size"),
        ]
        for what, kw, message in cases:
            with self.subTest(what):
                self.peer.send(manifest_answer(SERVER_ID, self.room, KEY_UPDATE, 0x62, 0, kw["data"], kw["total"],
                                               chunk=kw.get("chunk")))
                self.expect_log("handle_manifest_answer", message)
        # A document without its terminator is refused; the last good one stays.
        self.peer.send(manifest_answer(SERVER_ID, self.room, KEY_UPDATE, 0x62, 0, b"{}}", 3))
        self.expect_log("handle_manifest_answer", "document not terminated")
        time.sleep(0.5)
        self.assertEqual(self.read(self.file_of(self.room)), good[:-1])

    def test_silent_owner_is_asked_five_times_then_the_transfer_fails(self):
        self.introduce_room()
        self.peer.send(manifest_update(self.room, 0x77))
        first = self.request()
        retries = self.logs(45, "transfer timeout, retry...")
        self.assertEqual(len(retries), 4, retries)
        failed = self.expect_log("check_transfer_timeout", "transfer failed", level="E", timeout=15)
        self.assertEqual(failed.about, self.room)
        requests = [first] + [p.body for p in self.peer.recv_all(0.5, OP_MANIFEST_REQUEST, src=SERVER_ID)]
        self.assertEqual(len(requests), 5)
        self.assertEqual({r.token for r in requests}, {0})

    # ---- the server's own services

    def test_user_manifest_is_published_at_first_start(self):
        stored = json.loads(self.wait_file(self.file_of(self.user), lambda c: b"SYN.00.user" in c))
        self.assertEqual(stored["service"], {
            "type": "SYN.00.user", "name": "User 01", "alias": self.user.text, "password": "",
            "mask": "1000000000", "zone": "", "limit": "65536"})
        self.assertIn("state", stored)
        self.assertEqual(stored["setup"]["user"]["reset"], "user:select:@server.?;stream:radio")

    def test_peer_commit_to_a_user_is_fetched_applied_and_published(self):
        self.wait_file(self.file_of(self.user), lambda c: b"SYN.00.user" in c)
        doc = b'{"service":{"name":"Bath"},"setup":{"user":{"reset":""}}}\0'
        self.peer.clear()
        self.peer.send(manifest_commit(self.user, 0xC0FFEE))
        tokens = self.serve(doc, 0xC0FFEE, key=KEY_COMMIT, service=self.user)
        self.assertEqual(tokens, [0])
        update = self.peer.expect(OP_MANIFEST_UPDATE, src=SERVER_ID,
                                  predicate=lambda p: p.body.service == self.user).body
        stored = json.loads(self.wait_file(self.file_of(self.user), lambda c: b"Bath" in c))
        self.assertEqual(stored["service"]["name"], "Bath")
        self.assertEqual(stored["service"]["type"], "SYN.00.user")
        self.assertEqual(stored["setup"]["user"]["reset"], "")
        listing = json.loads(self.wait_file(self.store / "FFFFFFFFFFFFFF.kst",
                                            lambda c: f"{update.stamp:08X}".encode() in c))
        self.assertIn({"id": self.user.text, "type": "SYN.00.user", "alert": "", "stamp": f"{update.stamp:08X}"},
                      listing["service_list"])

    def test_edited_user_file_is_reloaded_and_rewritten(self):
        path = self.file_of(self.user)
        self.wait_file(path, lambda c: b"SYN.00.user" in c)
        time.sleep(0.5)
        path.write_bytes(b'{"service":{"name":"Office","limit":"65536"}}')
        stored = json.loads(self.wait_file(path, lambda c: b"Office" in c and b"SYN.00.user" in c))
        self.assertEqual(stored["service"]["name"], "Office")
        self.assertIn("user", stored["setup"])

    # ---- the store

    def test_edited_remote_file_is_committed_to_its_owner(self):
        self.introduce_room()
        self.fetch_room(b'{"service":{"name":"Kitchen"}}\0', 0x81)
        time.sleep(0.3)
        self.peer.clear()
        edited = b'{"service":{"name":"Pantry"}}'
        self.file_of(self.room).write_bytes(edited)
        commit = self.peer.expect(OP_MANIFEST_COMMIT, src=SERVER_ID, dest=self.room).body
        self.assertEqual(commit.service, self.room)

        ask = lambda stamp, token: self.peer.send(
            manifest_request(SERVER_ID, self.room, KEY_COMMIT, stamp, token))
        ask(commit.stamp ^ 1, 0)
        self.expect_log("handle_manifest_request", "stamp mismatch")
        ask(commit.stamp, len(edited) + 1)
        self.expect_log("send_manifest_answer", "wrong token size")
        self.peer.expect_none(OP_MANIFEST_ANSWER, src=SERVER_ID, duration=0.5)
        ask(commit.stamp, 0)
        answer = self.peer.expect(OP_MANIFEST_ANSWER, src=SERVER_ID).body
        self.assertEqual((answer.key, answer.token, answer.total), (KEY_COMMIT, 0, len(edited) + 1))
        self.assertEqual(answer.data, edited + b"\0")

        # The owner accepts and publishes; the file holds the accepted version.
        accepted = b'{"service":{"name":"Pantry","type":"AMP"}}\0'
        self.fetch_room(accepted, 0x82)

    def test_deleted_and_broken_files_are_restored_and_temporaries_ignored(self):
        self.introduce_room()
        good = b'{"service":{"name":"Kitchen"}}\0'
        self.fetch_room(good, 0x91)
        listing_path = self.store / "FFFFFFFFFFFFFF.kst"
        self.wait_file(listing_path, lambda c: b"00000091" in c)
        time.sleep(0.3)
        self.peer.clear()

        self.file_of(self.room).unlink()
        self.wait_file(self.file_of(self.room), lambda c: c == good[:-1])
        listing_path.unlink()
        self.wait_file(listing_path, lambda c: b"00000091" in c)
        self.assertEqual(json.loads(listing_path.read_bytes())["service_list"][-1]["type"], ROOM_TYPE)

        (self.store / "tmp.kst").write_bytes(b'{"service":{"name":"Nobody"}}')
        self.file_of(self.room).write_bytes(b'{"service":')
        self.wait_file(self.file_of(self.room), lambda c: c == good[:-1])
        backups = [p for p in os.listdir(self.store) if self.room.text in p and p != self.file_of(self.room).name]
        self.assertEqual(len(backups), 1, backups)
        self.assertEqual((self.store / backups[0]).read_bytes(), b'{"service":')
        self.peer.expect(OP_SYSLOG, src=SERVER_ID, predicate=lambda p: p.body.origin == "commit_manifest"
                         and p.body.message == f"unparsable manifest kept as {backups[0]}")
        self.peer.expect_none(OP_MANIFEST_COMMIT, src=SERVER_ID, duration=1.0)


if __name__ == "__main__":
    import unittest
    unittest.main()
