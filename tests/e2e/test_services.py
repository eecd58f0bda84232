"""End to end: the service registry against a peer that hosts room services.

The peer lists its rooms in its device answer; the server fetches each one
with a service request and takes its texts from the answer. What the server
learnt shows in its action replies: a reply names the target and the sender
by their aliases ("$" + alias, the id text while none is known).
Joins and leaves from the peer are applied silently; a join naming a
service the server does not know is reported in a syslog warning.
"""

from __future__ import annotations

import random
from typing import Optional

from lanpeer import (BROADCAST_ID, CLASS_BROADCAST, CLASS_NONE, CLASS_PROXY, CLASS_ROOM,
                     CLASS_SOURCE, CLASS_USER, OP_DEVICE_ANSWER, OP_DEVICE_REQUEST,
                     OP_SERVICE_REQUEST, OP_STATUS_ANSWER, OP_SYSLOG, SERVER_ID, LanTestCase,
                     Peer, TbId, device_answer, device_request, random_mac)
from proto_action import KIND_REPLY, action
from proto_service import service_answer, service_join, service_leave

ROOM_TEXTS = {
    0: dict(type="AMP.01.room", name="02:Kitchen", alias="kitchen", mask="0011",
            zone="0100", magic="room.1", flag="000000000000000", cover="img/kitchen.png",
            stream="radio"),
    1: dict(type="AMP.01.room", name="01:Hall", alias="hall", magic="room.2"),
}


class ServiceRegistryTest(LanTestCase):
    def setUp(self):
        super().setUp()
        self.lan.wait_ready()
        self.peer = self.lan.peer()
        self.rooms = [self.peer.service_id(CLASS_ROOM, i) for i in range(2)]

    # ---- helpers

    def announce(self, services=None, peer: Optional[Peer] = None) -> None:
        peer = peer or self.peer
        peer.announce(services=self.rooms if services is None else services)

    def requests(self, duration: float = 1.5) -> list[TbId]:
        """Destinations of the service requests the server sent meanwhile,
        one per request: the copies of a repeated packet share its sequence
        number (the peer's own duplicate filter only remembers the last
        packet, which copies arriving on its two sockets can interleave)."""
        got = self.peer.recv_all(duration, OP_SERVICE_REQUEST, src=SERVER_ID)
        seen = {}
        for p in got:
            self.assertEqual(p.length, 36)
            self.assertIsNone(p.error, p.summary())
            self.assertNotEqual(p.seq, 0, "service requests are repeated")
            seen[(p.nonce, p.seq)] = p.dest
        return list(seen.values())

    def answer(self, index: int, **kw) -> None:
        texts = dict(ROOM_TEXTS[index])
        texts.update(kw)
        self.peer.send(service_answer(self.rooms[index], dest=SERVER_ID, **texts))

    def reply_heads(self, target: TbId, sender: TbId) -> tuple[str, str]:
        """Sends an action that nothing on the server handles and returns the
        two alias fields of the "command not found" reply."""
        self.peer.send(action(target, "room:volume:up", sender=sender, dest=SERVER_ID))
        p = self.peer.expect(OP_STATUS_ANSWER, src=SERVER_ID, timeout=3,
                             predicate=lambda p: p.body.kind == KIND_REPLY and p.body.id == target,
                             what=f"the reply about {target}")
        fields = p.body.fields
        self.assertEqual(fields[-2:], ["error", "command not found"], p.body.text)
        return fields[0], fields[1]

    def assert_alive(self) -> None:
        self.peer.send(device_request(SERVER_ID))
        self.peer.expect(OP_DEVICE_ANSWER, src=SERVER_ID, dest=self.peer.id, timeout=3,
                         what="an answer showing that the server still runs")
        self.lan.assert_running()

    def join_warnings(self, duration: float = 1.0) -> list:
        return [p.body for p in self.peer.recv_all(
            duration, OP_SYSLOG, src=SERVER_ID,
            predicate=lambda p: p.body.origin == "handle_service_join")]

    # ---- tests

    def test_listed_rooms_are_fetched_once_and_appear_with_their_texts(self):
        self.announce()
        self.assertCountEqual(self.requests(), self.rooms)
        self.assertEqual(self.reply_heads(self.rooms[0], self.rooms[1]),
                         ("$" + self.rooms[0].text, "$" + self.rooms[1].text))

        self.answer(0)
        self.answer(1)
        self.assertEqual(self.reply_heads(self.rooms[0], self.rooms[1]), ("$kitchen", "$hall"))

        self.announce()
        self.assertEqual(self.requests(), [], "answered rooms are not fetched again")

        self.answer(0, alias="cuisine")
        self.assertEqual(self.reply_heads(self.rooms[0], self.rooms[1]), ("$cuisine", "$hall"))

    def test_unanswered_rooms_are_asked_again_on_the_next_announcement(self):
        self.announce()
        self.assertCountEqual(self.requests(), self.rooms)
        self.announce()
        self.assertCountEqual(self.requests(), self.rooms)

    def test_restarted_peer_is_fetched_again(self):
        self.announce()
        self.assertCountEqual(self.requests(), self.rooms)
        self.answer(0)
        self.answer(1)
        self.announce()
        self.assertEqual(self.requests(), [])

        self.peer.nonce = random.randrange(1, 1 << 32)  # the peer restarts
        self.announce()
        self.assertCountEqual(self.requests(), self.rooms)
        self.answer(0, alias="kitchen2")
        self.assertEqual(self.reply_heads(self.rooms[0], self.rooms[1])[0], "$kitchen2")

    def test_received_texts_are_cut_to_their_field_and_short_answers_dropped(self):
        self.announce()
        self.requests()
        self.peer.send(service_answer(self.rooms[0], dest=SERVER_ID, size=811, alias="short"))
        self.assertEqual(self.reply_heads(self.rooms[0], self.rooms[1])[0], "$" + self.rooms[0].text)

        self.answer(0, alias="a" * 32, unterminated=("alias", "stream"), stream="s" * 16)
        self.assertEqual(self.reply_heads(self.rooms[0], self.rooms[1])[0], "$" + "a" * 31)
        self.assert_alive()

    def test_only_the_senders_own_service_ids_are_taken_from_its_list(self):
        other = TbId.make(random_mac(), CLASS_ROOM, 0)
        bogus = [other, self.peer.service_id(CLASS_NONE, 3), self.peer.service_id(CLASS_BROADCAST, 4)]
        self.announce(services=[self.rooms[0], *bogus])
        self.assertEqual(self.requests(), [self.rooms[0]])
        # Answers about services that were never listed are ignored.
        self.peer.send(service_answer(other, dest=SERVER_ID, alias="intruder"))
        self.assertEqual(self.reply_heads(other, self.rooms[0])[0], "$" + other.text)

    def test_lying_list_counts_do_not_disturb_the_server(self):
        for count in (5, 300, 0xFFFFFFFF):
            self.peer.send(self._device_answer_with_count(count))
        self.assertEqual(self.requests(), [self.rooms[0]], "the one id present is read")
        self.assert_alive()

    def _device_answer_with_count(self, count: int):
        return device_answer(ip=self.peer.ip, name=self.peer.name, services=[self.rooms[0]], count=count)

    def test_joins_need_both_services(self):
        user = self.peer.service_id(CLASS_USER, 0)
        self.announce(services=[*self.rooms, user])
        self.requests()
        self.peer.recv_all(0.2)

        self.peer.send(service_join(self.rooms[0], user))
        self.assertEqual(self.join_warnings(), [], "both known: joined silently")

        unknown = self.peer.service_id(CLASS_USER, 7)
        self.peer.send(service_join(self.rooms[1], unknown))
        warnings = self.join_warnings()
        self.assertEqual(len(warnings), 1, warnings)
        self.assertEqual((warnings[0].level, warnings[0].about, warnings[0].message),
                         ("W", self.rooms[1], "trying to join with unknown service"))

        self.peer.send(service_join(self.rooms[1], unknown, size=51))
        self.assertEqual(self.join_warnings(), [], "a truncated join is dropped")

    def test_leaves_of_every_class_and_truncated_ones_are_handled(self):
        user = self.peer.service_id(CLASS_USER, 0)
        source = self.peer.service_id(CLASS_SOURCE, 0)
        self.announce(services=[*self.rooms, user, source])
        self.requests()
        for room in self.rooms:
            self.peer.send(service_join(room, user))
        self.peer.send(service_join(user, source))
        for leaving in (self.rooms[0], user, source, BROADCAST_ID,
                        self.peer.service_id(CLASS_PROXY, 0)):
            self.peer.send(service_leave(leaving))
            self.peer.send(service_leave(leaving, size=43))
        self.assertEqual(self.join_warnings(0.5), [])
        self.assert_alive()


if __name__ == "__main__":
    import unittest
    unittest.main()
