"""Actions and the status channel as a peer sees them: actions the server
has no procedure for are answered with the error reply "command not found"
(a status answer of kind 1 to every device), actions to the broadcast id get
no reply, replies name the sender by the alias the server learnt from the
peer's service answer, and malformed action and status packets are bounded
or dropped without harm."""

import struct
import time

from lanpeer import (BROADCAST_ID, CLASS_ROOM, CLASS_T, OP_SERVICE_ANSWER, OP_SERVICE_REQUEST,
                     OP_STATUS_ANSWER, SERVER_ID, LanTestCase, Packet, TbId, scaled)
from proto_action import (KIND_REPLY, STATUS_BASE, STATUS_TEXT_MAX, TEXT_MAX, action,
                          reply_text, status_answer, status_request)

# An id of the server's device in a class the server never registers, so
# that no procedure handles actions to it.
NO_PROC_TARGET = SERVER_ID.service(CLASS_T, 0)


def _cfield(text: str, width: int) -> bytes:
    return text.encode()[:width - 1].ljust(width, b"\0")


def service_answer(service: TbId, *, alias: str = "", magic: str = "", zone: str = "",
                   mask: str = "", name: str = "", dest: TbId = BROADCAST_ID) -> Packet:
    """Service answer (opcode 11, 812 bytes): id, joined id, stamp, type,
    name, info, mask, zone, alias, magic, flag, cover, stream."""
    payload = (service.raw + bytes(8) + struct.pack(">I", 0) + _cfield("TST.00.room", 16)
               + _cfield(name, 64) + _cfield("", 256) + _cfield(mask, 36) + _cfield(zone, 32)
               + _cfield(alias, 32) + _cfield(magic, 32) + _cfield("", 16) + _cfield("", 256)
               + _cfield("", 16))
    assert len(payload) == 812 - 36
    return Packet(OP_SERVICE_ANSWER, dest, payload)


class ActionTest(LanTestCase):
    def setUp(self):
        super().setUp()
        self.lan.wait_ready()
        self.peer = self.lan.peer(name="rooms")
        self.room = self.peer.service_id(CLASS_ROOM, 0)
        # The core threads start just after the last INI line: wait until
        # the server answers at all.
        self.wait_for_core()

    def wait_for_core(self):
        deadline = time.monotonic() + scaled(10)
        while time.monotonic() < deadline:
            self.peer.send(action(NO_PROC_TARGET, "ping", sender=self.room))
            if self.peer.recv(0.5, OP_STATUS_ANSWER, src=SERVER_ID,
                              predicate=lambda p: p.body.id == NO_PROC_TARGET) is not None:
                self.peer.clear()
                return
        self.fail("the server never answered an action\n" + self.lan.output_tail())

    def expect_reply(self, about: TbId, what: str = "", timeout: float = 5.0):
        return self.peer.expect(OP_STATUS_ANSWER, src=SERVER_ID, timeout=timeout,
                                predicate=lambda p: p.body.id == about and p.body.kind == KIND_REPLY,
                                what=what or f"action reply about {about}")

    def replies(self, about: TbId, duration: float = 1.0):
        return self.peer.recv_all(scaled(duration), OP_STATUS_ANSWER, src=SERVER_ID,
                                  predicate=lambda p: p.body.id == about and p.body.kind == KIND_REPLY)

    def test_unhandled_action_is_answered_once_with_command_not_found(self):
        # A robust send: three copies, one handling, one reply.
        self.peer.send(action(NO_PROC_TARGET, "room:volume:set:12", sender=self.room), copies=3)
        replies = self.replies(NO_PROC_TARGET, 1.5)
        self.assertEqual(len(replies), 1, replies)
        p = replies[0]
        self.assertEqual(p.dest, BROADCAST_ID)
        self.assertEqual(p.seq, 0)
        self.assertEqual(p.src, SERVER_ID)
        self.assertEqual(p.via, "group")
        self.assertEqual(p.length, STATUS_BASE + len(p.body.text.encode()))
        self.assertEqual(p.body.text, reply_text(NO_PROC_TARGET.text, self.room.text,
                                                 "room:volume:set:12", "error",
                                                 "command not found"))
        self.assertEqual((p.body.volume, p.body.volume_flag), (0, 0))

    def test_action_to_the_broadcast_id_gets_no_reply(self):
        self.peer.send(action(BROADCAST_ID, "nosuch:verb", sender=self.room))
        late = self.peer.recv_all(scaled(1.5), OP_STATUS_ANSWER, src=SERVER_ID,
                                  predicate=lambda p: p.body.kind == KIND_REPLY
                                  and "nosuch" in p.body.text)
        self.assertEqual(late, [])
        # Still answering others.
        self.peer.send(action(NO_PROC_TARGET, "after", sender=self.room))
        self.expect_reply(NO_PROC_TARGET)

    def test_empty_action_gets_no_reply(self):
        self.peer.send(action(NO_PROC_TARGET, "", sender=self.room))
        self.assertEqual(self.replies(NO_PROC_TARGET, 1.0), [])

    def test_reply_names_the_sender_by_its_announced_alias(self):
        self.peer.announce(services=[self.room])
        request = self.peer.expect(OP_SERVICE_REQUEST, src=SERVER_ID, dest=self.room,
                                   timeout=5, what="the service request for the peer's room")
        self.assertIsNotNone(request)
        self.peer.send(service_answer(self.room, alias="porch", magic="room.1", zone="01"))
        deadline = time.monotonic() + scaled(5)
        while True:
            self.peer.send(action(NO_PROC_TARGET, "who", sender=self.room))
            body = self.expect_reply(NO_PROC_TARGET).body
            if body.text == reply_text(NO_PROC_TARGET.text, "porch", "who", "error",
                                       "command not found"):
                break
            self.assertLess(time.monotonic(), deadline, body.text)
            time.sleep(0.1)

    def test_texts_from_the_wire_are_escaped_and_never_formats(self):
        cases = ["x%s%n%x:%99999999d", "a\\:b\\\\c", "\\", "$kitchen:volume:up"]
        for command in cases:
            with self.subTest(command=command):
                self.peer.send(action(NO_PROC_TARGET, command, sender=self.room))
                body = self.expect_reply(NO_PROC_TARGET).body
                self.assertEqual(body.text, reply_text(NO_PROC_TARGET.text, self.room.text, command,
                                                       "error", "command not found"))
                self.assertEqual(body.fields[2], "[" + command + "]")
        self.lan.assert_running()

    def test_malformed_actions_are_bounded_or_dropped(self):
        # Shorter than the four ids and the NUL: dropped.
        for size in (0, 8, 32):
            p = action(NO_PROC_TARGET, "", sender=self.room)
            p.payload = p.payload[:size]
            self.peer.send(p)
        self.assertEqual(self.replies(NO_PROC_TARGET, 1.0), [])

        # No NUL: the text ends with the datagram.
        self.peer.send(action(NO_PROC_TARGET, "abc:def", sender=self.room, terminate=False))
        body = self.expect_reply(NO_PROC_TARGET).body
        self.assertEqual(body.fields[2], "[abc:def]")

        # A text longer than 1023 characters: handled cut; the reply stays
        # within 1022 characters and keeps its result fields.
        self.peer.send(action(NO_PROC_TARGET, "v" * 1200, sender=self.room, terminate=False))
        body = self.expect_reply(NO_PROC_TARGET).body
        self.assertLessEqual(len(body.text), STATUS_TEXT_MAX)
        self.assertEqual(body.fields[-2:], ["error", "command not found"])
        self.assertEqual(body.fields[:2], ["$" + NO_PROC_TARGET.text, "$" + self.room.text])
        self.assertLessEqual(len(body.fields[2]), TEXT_MAX + 2)
        self.lan.assert_running()

    def test_status_requests_and_malformed_status_answers_do_no_harm(self):
        self.peer.send(status_request(BROADCAST_ID))
        self.peer.send(status_request(SERVER_ID.service(CLASS_ROOM, 0)))
        # Short, unterminated and oversize status answers, and a reply about
        # a server id: none of them may be answered or hurt the server.
        short = status_answer(self.room, "")
        short.payload = short.payload[:12]
        self.peer.send(short, robust=False)
        self.peer.send(status_answer(self.room, "$porch:open", terminate=False), robust=False)
        self.peer.send(status_answer(self.room, "z" * 1250, terminate=False, volume=70000),
                       robust=False)
        self.peer.send(status_answer(NO_PROC_TARGET, "$x:$y:[a]:ok", kind=KIND_REPLY), robust=False)
        # Whatever the server publishes in return is a well-formed status
        # answer (the codec rejects a wrong length or a missing NUL).
        answers = self.peer.recv_all(scaled(1.5), OP_STATUS_ANSWER, src=SERVER_ID)
        for p in answers:
            self.assertIsNone(p.error, p.summary())
            self.assertEqual(p.seq, 0)
            self.assertLessEqual(len(p.body.text), STATUS_TEXT_MAX)
        self.assertFalse([p for p in answers if p.body.id == NO_PROC_TARGET])
        self.assertEqual(self.peer.bad, [])
        self.peer.send(action(NO_PROC_TARGET, "after", sender=self.room))
        self.expect_reply(NO_PROC_TARGET)
        self.lan.assert_running()


if __name__ == "__main__":
    import unittest
    unittest.main()
