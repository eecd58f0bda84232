"""User services, room and user action handling and the start-up mask
adaptation, end to end: the server runs with two user slots, an operator
drives it through the text console, and a peer device ("living") hosts two
rooms and two sources that the users and rooms join.

What the server does is observed as a peer sees it (join and leave packets,
forwarded actions, service and status answers) and as the operator sees it
(action replies on the console).
"""

from __future__ import annotations

import json
import re
import time
from pathlib import Path
from typing import Callable, Optional

from lanpeer import (BROADCAST_ID, CLASS_CONSOLE, CLASS_ROOM, CLASS_SOURCE, CLASS_USER,
                     OP_ACTION, OP_MANIFEST_COMMIT, OP_SERVICE_ANSWER, OP_SERVICE_JOIN,
                     OP_SERVICE_LEAVE, OP_SERVICE_REQUEST, OP_STATUS_ANSWER, SERVER_ID,
                     LanTestCase, Packet, TbId, TcpLines, scaled)
import proto_manifest  # noqa: F401  (decodes manifest commits)
from proto_action import KIND_REPLY, KIND_STATUS, escape_field
from proto_service import service_answer, service_join, service_request

USER0 = SERVER_ID.service(CLASS_USER, 0)
USER1 = SERVER_ID.service(CLASS_USER, 1)
RESET = "user:select:@server.?;stream:radio"


class Living:
    """A peer device with two rooms and two sources. It lists them in its
    device answer and answers the server's service requests for them."""

    def __init__(self, lan, *, source_magic: str = "radio") -> None:
        self.peer = lan.peer(name="living")
        self.rooms = [self.peer.service_id(CLASS_ROOM, i) for i in range(2)]
        self.sources = [self.peer.service_id(CLASS_SOURCE, i) for i in range(2)]
        self.texts: dict[TbId, dict[str, str]] = {}
        for i, (room, name) in enumerate(zip(self.rooms, ("Kitchen", "Bath"))):
            self.texts[room] = dict(type="AMP.01.room", name=name, alias=name.lower(),
                                    magic=f"room.{i + 1}", mask="1111111111", zone="1000000000")
        for i, (source, name, info, stream) in enumerate(zip(
                self.sources, ("Radio", "Jazz"), ("Halvo Radio live", "Jazz all night"),
                ("radio", "podcast"))):
            self.texts[source] = dict(type="TST.00.server", name=name, alias=name.lower(),
                                      magic=f"{source_magic}.{i + 1}", mask="1111111111",
                                      info=info, stream=stream)
        self.answered: set[TbId] = set()

    def announce(self) -> None:
        self.peer.announce(services=list(self.texts))

    def describe(self, service: TbId, **texts: str) -> None:
        """Changes texts of a service and sends its service answer."""
        self.texts[service].update(texts)
        self.peer.send(service_answer(service, **self.texts[service]))

    def join(self, service: TbId, joined: TbId) -> None:
        """A join as a room device (or a stray packet) broadcasts it."""
        self.peer.send(service_join(service, joined))

    def serve(self) -> None:
        """Answers the service requests that have come in."""
        while (p := self.peer.recv(0, OP_SERVICE_REQUEST, src=SERVER_ID,
                                   predicate=lambda p: p.dest in self.texts)) is not None:
            self.peer.send(service_answer(p.dest, **self.texts[p.dest]))
            self.answered.add(p.dest)

    def expect(self, opcode: int, predicate: Callable[[Packet], bool], what: str,
               timeout: float = 5.0) -> Packet:
        deadline = time.monotonic() + scaled(timeout)
        start = len(self.peer.history)
        while (left := deadline - time.monotonic()) > 0:
            self.serve()
            p = self.peer.recv(min(left, 0.05), opcode, src=SERVER_ID, predicate=predicate)
            if p is not None:
                return p
        raise AssertionError(f"no {what} within {timeout} s\n" + self.peer.describe(start)
                             + self.peer.lan.output_tail())

    def collect(self, opcode: int, predicate: Callable[[Packet], bool],
                duration: float) -> list[Packet]:
        got = []
        deadline = time.monotonic() + scaled(duration)
        while (left := deadline - time.monotonic()) > 0:
            self.serve()
            p = self.peer.recv(min(left, 0.05), opcode, src=SERVER_ID, predicate=predicate)
            if p is not None:
                got.append(p)
        return got

    def wait_known(self, timeout: float = 10.0) -> None:
        """Announces until the server has fetched every service."""
        deadline = time.monotonic() + scaled(timeout)
        while self.answered != set(self.texts):
            if time.monotonic() > deadline:
                raise AssertionError(f"services never fetched: {set(self.texts) - self.answered}\n"
                                     + self.peer.lan.output_tail())
            self.announce()
            end = time.monotonic() + 0.15
            while time.monotonic() < end:
                self.serve()
                self.peer.pump(0.05)
        time.sleep(0.2)
        self.serve()


def is_action(target: TbId, text: Optional[str] = None) -> Callable[[Packet], bool]:
    return lambda p: p.body.target == target and (text is None or p.body.text == text)


def is_join(service: TbId, joined: Optional[TbId] = None) -> Callable[[Packet], bool]:
    return lambda p: p.body.service == service and (joined is None or p.body.joined == joined)


def status_of(about: TbId, kind: int) -> Callable[[Packet], bool]:
    return lambda p: p.body.id == about and p.body.kind == kind


class UsersTest(LanTestCase):
    def lan_options(self):
        return {"ini": {"synology/arch": "2"}, "start": False}

    # ---- helpers

    def start(self, living_magic: str = "radio") -> Living:
        """Starts the server with a living peer that hears it from the
        first packet on."""
        self.living = Living(self.lan, source_magic=living_magic)
        self.lan.start_server()
        self.started = time.monotonic()
        self.lan.wait_ready()
        return self.living

    def console(self) -> TcpLines:
        client = self.lan.peer_lines(timeout=10)
        client.expect_line(re.compile(r"^9 = status:off$"), timeout=10)
        return client

    def run_action(self, client: TcpLines, target: TbId, command: str) -> str:
        """Sends "#target:command" as an operator line; returns the reply's
        result ("ok", "warning:…", "error:…") shown on the console."""
        client.send_line(f"#{target.text}:{command}", end="\r")
        head = f"${target.text}:${SERVER_ID.service(CLASS_CONSOLE, 0).text[:13]}"
        marker = ":" + escape_field("[" + command + "]") + ":"
        line = client.expect_line(re.compile("^" + re.escape(head) + r".:" + re.escape(marker[1:])))
        return line[line.index(marker) + len(marker):]

    def user_answer(self, user: TbId, predicate: Callable, what: str):
        """The user's service answer that satisfies predicate, asking for it
        while it does not come."""
        deadline = time.monotonic() + scaled(6)
        while time.monotonic() < deadline:
            self.living.peer.send(service_request(user))
            got = self.living.collect(OP_SERVICE_ANSWER,
                                      lambda p: p.body.service == user and predicate(p.body), 0.5)
            if got:
                return got[-1].body
        raise AssertionError(f"no service answer of {user} with {what}\n" + self.lan.output_tail())

    # ---- users and their reset

    def test_two_users_with_their_defaults_send_their_reset_once(self):
        living = self.start()
        for user, name, magic, mask in ((USER0, "User 01", "user.1", "1000000000"),
                                        (USER1, "User 02", "user.2", "0100000000")):
            answer = self.user_answer(user, lambda a: True, "any texts")
            self.assertEqual((answer.name, answer.magic, answer.mask, answer.type, answer.alias),
                             (name, magic, mask, "SYN.00.user", user.text))
            self.assertEqual(answer.info, "Source not selected")

        # No source named "server" exists: the select of the reset fails and
        # the stream action has nowhere to go. Each is answered once per user.
        replies = living.collect(OP_STATUS_ANSWER, lambda p: p.body.kind == KIND_REPLY,
                                 max(0.0, 4.0 - (time.monotonic() - self.started)))
        for user in (USER0, USER1):
            own = [p.body.text for p in replies if p.body.id == user]
            head = f"${user.text}:${user.text}:"
            self.assertEqual(sorted(own), sorted([
                head + escape_field("[user:select:@server.?]") + ":error:service cannot be selected",
                head + escape_field("[stream:radio]") + ":warning:cannot forward action"]), own)
        self.assertEqual(len(living.collect(OP_STATUS_ANSWER, status_of(USER0, KIND_REPLY), 1.5)), 0,
                         "the reset is sent once")

    def test_reset_selects_the_first_matching_server_source(self):
        # Sources named "server.N" on the peer, known to the server before
        # the reset goes out one second after start: it finds the first.
        self.living = living = Living(self.lan, source_magic="server")
        self.lan.start_server()
        living.wait_known()
        self.lan.wait_ready()
        joins = [living.expect(OP_SERVICE_JOIN, is_join(user, living.sources[0]),
                               f"{user} joining the first source") for user in (USER0, USER1)]
        self.assertEqual(len(joins), 2)
        got = living.expect(OP_ACTION, is_action(living.sources[0], "stream:radio"),
                            "the stream action passed on to the source")
        self.assertIn(got.body.user, (USER0, USER1))

    # ---- select, info, status, rename, revert, refer

    def test_select_info_status_revert_and_refer(self):
        living = self.start()
        s1, s2 = living.sources
        kitchen, bath = living.rooms
        living.wait_known()
        client = self.console()

        self.assertEqual(self.run_action(client, USER0, f"user:select:#{kitchen.text}"),
                         "error:service cannot be selected")
        self.assertEqual(self.run_action(client, USER0, f"user:select:#{s1.text}"), "ok")
        living.expect(OP_SERVICE_JOIN, is_join(USER0, s1), "user 1 joining the radio")

        # Info and status follow the joined source.
        self.user_answer(USER0, lambda a: a.info == "User listening to Radio", "the radio's info")
        status = living.expect(OP_STATUS_ANSWER, lambda p: status_of(USER0, KIND_STATUS)(p)
                               and "source=$radio" in p.body.fields, "the user's status")
        self.assertEqual(status.body.fields, [f"${USER0.text}", "status", "name=User 01",
                                              "source=$radio", "stream=radio",
                                              "info=Halvo Radio live"])
        living.describe(s1, name="Radio Two")
        self.user_answer(USER0, lambda a: a.info == "User listening to Radio Two", "the new name")
        living.describe(s1, info="News: at nine", stream="news")
        status = living.expect(OP_STATUS_ANSWER, lambda p: status_of(USER0, KIND_STATUS)(p)
                               and "stream=news" in p.body.fields, "the status with the new info")
        self.assertEqual(status.body.fields[-1], "info=News: at nine")

        # Revert twice switches between the last two sources.
        self.assertEqual(self.run_action(client, USER0, f"user:select:#{s2.text}"), "ok")
        living.expect(OP_SERVICE_JOIN, is_join(USER0, s2), "user 1 joining jazz")
        self.assertEqual(self.run_action(client, USER0, "user:revert"), "ok")
        living.expect(OP_SERVICE_JOIN, is_join(USER0, s1), "the first revert")
        self.assertEqual(self.run_action(client, USER0, f"user:revert:#{s1.text}"), "ok")
        living.expect(OP_SERVICE_JOIN, is_join(USER0, s2), "the second revert")
        self.assertEqual(self.run_action(client, USER0, f"user:revert:#{s1.text}"),
                         "warning:service does not match")
        self.user_answer(USER0, lambda a: a.info == "User listening to Jazz", "jazz's info")

        # Refer: the kitchen plays for user 2, who listens to the radio.
        self.assertEqual(self.run_action(client, USER1, f"user:select:#{s1.text}"), "ok")
        living.join(kitchen, USER1)
        time.sleep(0.3)
        self.assertEqual(self.run_action(client, USER0, f"user:refer:#{kitchen.text}"), "ok")
        living.expect(OP_SERVICE_JOIN, is_join(USER0, s1), "user 1 joining what the kitchen plays")
        self.assertEqual(self.run_action(client, USER0, f"user:refer:#{s2.text}"),
                         "error:service cannot be referenced")

    # ---- volume, off and on, name, stray joins, system off

    def test_volume_off_on_name_stray_join_and_system_off(self):
        living = self.start()
        s1, _ = living.sources
        kitchen, bath = living.rooms
        living.wait_known()
        client = self.console()

        # Volume to two rooms and to none.
        self.assertEqual(self.run_action(client, USER0, f"user:select:#{s1.text}"), "ok")
        living.join(kitchen, USER0)
        living.join(bath, USER0)
        time.sleep(0.3)
        client.send_line(f"#{USER0.text}:user:volume:plus", end="\r")
        for room in (kitchen, bath):
            got = living.expect(OP_ACTION, is_action(room, "room:volume:relative:plus"),
                                f"the volume step to {room}").body
            self.assertEqual((got.user, got.sender.klass), (USER0, CLASS_CONSOLE))
        client.send_line(f"#{USER0.text}:user:volume:set:-5.00", end="\r")
        for room in (kitchen, bath):
            living.expect(OP_ACTION, is_action(room, "room:volume:relative:set:-5.00"),
                          f"the volume change to {room}")
        self.assertEqual(self.run_action(client, USER1, "user:volume:plus"),
                         "warning:no matching room found")

        # Off makes the user's rooms leave; room actions then reach nobody
        # until a room joins again.
        self.assertEqual(self.run_action(client, USER0, f"user:off:#{s1.text}"), "ok")
        living.expect(OP_SERVICE_LEAVE, lambda p: p.body.service == USER0, "the user's leave")
        self.assertEqual(self.run_action(client, USER0, "room:on"), "warning:no matching room found")
        living.join(kitchen, USER0)
        time.sleep(0.3)
        client.send_line(f"#{USER0.text}:room:on", end="\r")
        got = living.expect(OP_ACTION, is_action(kitchen, "room:on"), "room:on for the kitchen").body
        self.assertEqual(got.user, USER0)
        client.send_line(f"#{USER0.text}:source:next", end="\r")
        got = living.expect(OP_ACTION, is_action(s1, "source:next"), "source:next for the radio").body
        self.assertEqual((got.user, got.sender.klass), (USER0, CLASS_CONSOLE))

        # Name get answers with the display name.
        client.send_line(f"#{USER0.text}:name:get", end="\r")
        client.expect_line(f"${USER0.text}:name=User 01")
        self.assertEqual(self.run_action(client, USER0, "name:set:07\\:Anna"), "ok")
        self.user_answer(USER0, lambda a: a.name == "07:Anna", "the new name")
        client.send_line(f"#{USER0.text}:name:get", end="\r")
        client.expect_line(f"${USER0.text}:name=Anna")

        # A stray join puts user 2 on a room: its actions are not bounced
        # around but answered.
        living.join(USER1, bath)
        time.sleep(0.3)
        self.assertEqual(self.run_action(client, USER1, "source:next"), "warning:cannot forward action")
        self.assertEqual(living.collect(OP_ACTION, is_action(bath, "source:next"), 1.0), [])

        # System off: every room leaves.
        self.assertEqual(self.run_action(client, USER1, "system:off"), "ok")
        living.expect(OP_SERVICE_LEAVE, lambda p: p.body.service == BROADCAST_ID, "the leave of all rooms")

    # ---- mask adaptation

    def test_stored_masks_and_zones_follow_the_slot_count(self):
        store = Path(self.lan.manifest_dir)
        zone30 = "1" + "0" * 29
        cases = [
            # slots, stored user 4 / kitchen / bath, expected after the adaptation
            (12, ("0000000000", "1111111111", "1000000000", "1000000000"),
             ("000100000000", "111111111111", zone30, zone30)),
            (8, ("0000000000", "1111111111", "1000000000", zone30),
             ("00000000", "11111111", "1000000000", "1000000000")),
        ]
        for slots, stored, expected in cases:
            with self.subTest(slots=slots):
                if self.lan.running():
                    self.lan.stop()
                for f in store.glob("*.kst"):
                    f.unlink()
                self.lan.write_ini("tamber.ini", {"synology/arch": str(slots)})
                user = SERVER_ID.service(CLASS_USER, 3)
                living = Living(self.lan)
                self.living = living
                kitchen, bath = living.rooms
                user_mask, room_mask, kitchen_zone, bath_zone = stored
                files = {
                    user: {"service": {"mask": user_mask}},
                    kitchen: {"service": {"mask": room_mask, "zone": kitchen_zone}},
                    bath: {"service": {"mask": room_mask, "zone": bath_zone}},
                }
                for service, document in files.items():
                    (store / f"{service.text}.kst").write_text(json.dumps(document, separators=(",", ":")))
                self.lan.start_server()
                started = time.monotonic()
                self.lan.wait_ready()
                living.wait_known()
                self.assertLess(time.monotonic() - started, 9, "too slow to see the state before")
                self.assertEqual(json.loads((store / f"{kitchen.text}.kst").read_text()),
                                 files[kitchen], "nothing changes before ten seconds")

                # The changed room manifests are committed to their owner.
                for room in (kitchen, bath):
                    living.expect(OP_MANIFEST_COMMIT, lambda p, r=room: p.body.service == r,
                                  f"the commit of {room}'s manifest", timeout=20)
                self.assertGreaterEqual(time.monotonic() - started, 9.5)
                user_mask, room_mask, kitchen_zone, bath_zone = expected
                for room, zone in ((kitchen, kitchen_zone), (bath, bath_zone)):
                    service = json.loads((store / f"{room.text}.kst").read_text())["service"]
                    self.assertEqual((service["mask"], service["zone"]), (room_mask, zone))
                # The user reloads its manifest and announces the new mask.
                self.user_answer(user, lambda a: a.mask == user_mask, f"mask {user_mask}")
                service = json.loads((store / f"{user.text}.kst").read_text())["service"]
                self.assertEqual(service["mask"], user_mask)
                self.living.peer.clear()
