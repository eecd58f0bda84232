"""The action console as an operator and a script use it: greeting,
shortcuts, help, device and service lists, the status feed, line endings,
over-long lines, UDP clients answered at their record's port, the ninth TCP
client with its keep-alive probe, and clients that misbehave."""

import os
import random
import select
import socket
import time

from lanpeer import (CLASS_ROOM, CONSOLE_PORT, OP_ACTION, OP_STATUS_REQUEST, PEER_IP, SERVER_ID,
                     SERVER_IP, BROADCAST_ID, LanTestCase, TcpLines, scaled)
from proto_action import KIND_REPLY, KIND_STATUS, status_answer

DASHES = "-" * 79
GREETING = [
    f"Welcome to Halvo Tamber device #{SERVER_ID.text}",
    DASHES,
    "? = help",
    "1 = list:devices",
    "2 = list:services",
    "8 = status:on",
    "9 = status:off",
    "",
]
OVERFLOW = "buffer overflow! limit is 1024 characters."
DEVICE_HEADER = f"{'':4}{'id':16}{'ip address':18}{'name':26}{'version':16}"
SERVICE_HEADER = f"{'':4}{'id':16}{'alias':18}{'name':26}{'type':14}"


def next_line(client: TcpLines, timeout: float = 5.0):
    """The next line that is not from the status feed: the server's own
    services publish events ("$" lines) to every client at any time."""
    deadline = time.monotonic() + timeout
    while True:
        line = client.read_line(max(0.0, deadline - time.monotonic()))
        if line is None or not line.startswith("$"):
            return line


def read_lines(client: TcpLines, count: int, timeout: float = 5.0) -> list[str]:
    lines = []
    for _ in range(count):
        line = next_line(client, timeout)
        if line is None:
            raise AssertionError(f"only {len(lines)} of {count} lines: {lines}")
        lines.append(line)
    return lines


def nothing_within(client: TcpLines, seconds: float) -> bool:
    return next_line(client, seconds) is None


def wait_closed(sock: socket.socket, timeout: float = 6.0) -> tuple[bool, bytes]:
    """Whether the server closes the connection within timeout, and what
    arrived before the end."""
    data = b""
    deadline = time.monotonic() + scaled(timeout)
    while (left := deadline - time.monotonic()) > 0:
        ready, _, _ = select.select([sock], [], [], left)
        if not ready:
            break
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            return True, data
        if not chunk:
            return True, data
        data += chunk
    return False, data


class ConsoleTest(LanTestCase):
    def setUp(self):
        super().setUp()
        self.lan.wait_ready()

    def connect(self) -> TcpLines:
        client = self.lan.peer_lines(timeout=10)
        self.assertEqual(read_lines(client, len(GREETING)), GREETING)
        return client

    def read_until(self, client: TcpLines, predicate, timeout: float = 5.0) -> list[str]:
        """Lines up to and including the first one the predicate accepts."""
        seen = []
        deadline = time.monotonic() + scaled(timeout)
        while time.monotonic() < deadline:
            line = client.read_line(max(0.05, deadline - time.monotonic()))
            if line is None:
                break
            seen.append(line)
            if predicate(line):
                return seen
        raise AssertionError("no matching line; read:\n" + "\n".join(seen[-30:]))

    def read_list(self, client: TcpLines, header: str) -> list[str]:
        """The rows of one list: header, dashes, rows, empty line."""
        self.read_until(client, lambda l: l == header)
        self.assertEqual(next_line(client), DASHES)
        rows = [r for r in self.read_until(client, lambda l: l == "")[:-1] if not r.startswith("$")]
        for n, row in enumerate(rows, 1):
            self.assertTrue(row.startswith(f"{n:<4}#"), row)
        return rows

    # ---- greeting, line ends, help

    def test_greeting_line_ends_and_help(self):
        client = self.connect()
        client.send_line("", end="\r")
        self.assertEqual(read_lines(client, len(GREETING)), GREETING)
        client.send_line("", end="\r\n")
        self.assertEqual(read_lines(client, len(GREETING)), GREETING)
        self.assertTrue(nothing_within(client, 0.5), "CR LF ran the line twice")

        # LF alone ends nothing: the text waits for its CR.
        client.send_line("help:e", end="\n")
        self.assertTrue(nothing_within(client, 1.0))
        client.send_line("go", end="\r\n")
        credit = next_line(client)
        self.assertTrue(credit, "an author credit line")
        self.assertEqual(next_line(client), "")

        client.send_line("?", end="\r")
        page = read_lines(client, 62)
        self.assertEqual(page[-1], "")
        self.assertTrue(page[0].startswith("Tamber actions (please read the Halvo Tamber manual"))
        self.assertEqual(page[1], DASHES)
        for n, line in enumerate(page[:61], 1):
            self.assertEqual(len(line), 79, f"help line {n}: {line!r}")
        client.send_line("help", end="\r")
        self.assertEqual(read_lines(client, 62), page)

    def test_overlong_line(self):
        peer = self.lan.peer(name="rooms")
        room = peer.service_id(CLASS_ROOM, 0)
        peer.announce(services=[room])
        client = self.connect()
        prefix = f"#{room.text}:"
        line = prefix + "".join(random.choice("abcdefghij") for _ in range(1500 - len(prefix)))
        client.send_line(line, end="\r")
        self.assertEqual(next_line(client), OVERFLOW)
        got = peer.expect(OP_ACTION, src=SERVER_ID,
                          predicate=lambda p: p.body.target == room, what="the cut action").body
        self.assertEqual(got.text, line[len(prefix):1023])
        self.assertEqual(got.sender.klass, 6)
        # Reported once per line: nothing more came for it.
        client.send_line("help:ego", end="\r")
        self.assertNotEqual(next_line(client), OVERFLOW)

    # ---- lists

    def test_device_and_service_lists(self):
        peer = self.lan.peer(name="kitchen amp")
        room = peer.service_id(CLASS_ROOM, 0)
        peer.announce(services=[room], version=bytes([2, 1, 0, 7]))
        client = self.connect()
        for shortcut in ("1", "12"):
            client.send_line(shortcut, end="\r")
            rows = self.read_list(client, DEVICE_HEADER)
            own = [r for r in rows if r[5:19] == SERVER_ID.text]
            self.assertEqual(len(own), 1, rows)
            self.assertEqual(own[0][20:38].rstrip(), SERVER_IP)
            self.assertTrue(own[0].endswith("138-02.04.09"), own[0])
            other = [r for r in rows if r[5:19] == peer.id.text]
            self.assertEqual(len(other), 1, rows)
            self.assertEqual(other[0][20:38].rstrip(), PEER_IP)
            self.assertEqual(other[0][38:64].rstrip(), "kitchen amp")
            self.assertTrue(other[0].endswith("002-01.00.07"), other[0])

        client.send_line("2", end="\r")
        rows = self.read_list(client, SERVICE_HEADER)
        ids = [r[5:19] for r in rows]
        self.assertIn(room.text, ids)
        users = [r for r in rows if r[4] == "#" and r[5] == "U" and r[5:19].startswith("U" + SERVER_ID.text[1:13])]
        self.assertTrue(users, rows)
        self.assertIn("User 01", [r[38:64].rstrip() for r in users])

    # ---- status feed

    def test_status_feed_on_and_off(self):
        peer = self.lan.peer(name="rooms")
        room = peer.service_id(CLASS_ROOM, 0)
        peer.announce(services=[room])
        watcher = self.connect()
        bystander = self.connect()

        def status(text, kind):
            peer.send(status_answer(room, text, kind=kind), robust=False)

        status("$kitchen:hidden 1", KIND_STATUS)
        status("$kitchen:marker 1", KIND_REPLY)
        for client in (watcher, bystander):
            seen = self.read_until(client, lambda l: l == "$kitchen:marker 1")
            self.assertNotIn("$kitchen:hidden 1", seen)

        peer.clear()
        watcher.send_line("8", end="\r")
        peer.expect(OP_STATUS_REQUEST, src=SERVER_ID, dest=BROADCAST_ID)
        status("$kitchen:shown", KIND_STATUS)
        self.read_until(watcher, lambda l: l == "$kitchen:shown")
        status("$kitchen:marker 2", KIND_REPLY)
        seen = self.read_until(bystander, lambda l: l == "$kitchen:marker 2")
        self.assertNotIn("$kitchen:shown", seen)

        watcher.send_line("9", end="\r")
        ok = self.read_until(watcher, lambda l: "[status\\:off]:ok" in l)[-1]
        self.read_until(bystander, lambda l: l == ok)
        status("$kitchen:hidden 2", KIND_STATUS)
        status("$kitchen:marker 3", KIND_REPLY)
        seen = self.read_until(watcher, lambda l: l == "$kitchen:marker 3")
        self.assertNotIn("$kitchen:hidden 2", seen)

    # ---- UDP

    def test_udp_client_is_answered_at_the_record_port(self):
        for port in (11244, 11245):
            with self.subTest(port=port):
                sender = self.lan.peer_udp(40000 + port - 11244, bind=PEER_IP)
                receiver = self.lan.peer_udp(port, bind=PEER_IP)
                sender.sendto(b"2\r", (SERVER_IP, port))
                lines = []
                deadline = time.monotonic() + scaled(5)
                while not lines or lines[-1] != "\n":
                    left = deadline - time.monotonic()
                    ready, _, _ = select.select([receiver], [], [], max(0.0, left))
                    if not ready:
                        break
                    line = receiver.recv(2048).decode()
                    if not line.startswith("$"):
                        lines.append(line)
                self.assertGreaterEqual(len(lines), 3, lines)
                self.assertEqual(lines[0], SERVICE_HEADER + "\n")
                self.assertEqual(lines[1], DASHES + "\n")
                self.assertEqual(lines[-1], "\n")
                ready, _, _ = select.select([sender], [], [], 0.2)
                self.assertFalse(ready, "nothing goes back to the source port")
                sender.close()
                receiver.close()

    # ---- the ninth client

    def connect_eight(self) -> list[TcpLines]:
        return [self.connect() for _ in range(8)]

    def test_ninth_client_drops_silent_clients(self):
        clients = self.connect_eight()
        ninth = self.lan.peer_lines()
        for client in clients:
            self.assertEqual(next_line(client), "keep_alive")
        for client in clients[:3]:
            client.send_line("", end="\r")
        for client in clients[:3]:
            self.assertEqual(read_lines(client, len(GREETING)), GREETING)
        self.assertEqual(read_lines(ninth, len(GREETING), timeout=8), GREETING)
        for client in clients[3:]:
            self.assertTrue(wait_closed(client.sock, 2)[0], "a silent client stays open")
        for client in clients[:3]:
            self.assertTrue(nothing_within(client, 0.2))
        # Four records are free again: new clients come in at once.
        for _ in range(4):
            self.connect()

    def test_ninth_client_is_closed_when_everybody_answers(self):
        clients = self.connect_eight()
        ninth = self.lan.peer_lines()
        for client in clients:
            self.assertEqual(next_line(client), "keep_alive")
            client.send_line("", end="\r")
        closed, data = wait_closed(ninth.sock, 8)
        self.assertTrue(closed, "the ninth client was not closed")
        self.assertEqual(data, b"", "the ninth client got a message")
        for client in clients:
            self.assertEqual(read_lines(client, len(GREETING)), GREETING)
            client.send_line("help:ego", end="\r")
            self.assertTrue(next_line(client))

    # ---- misbehaving clients

    def test_misbehaving_clients_do_not_disturb_the_others(self):
        good = self.connect()
        # Connect and vanish, politely and with a reset.
        for i in range(12):
            sock = self.lan.peer_tcp_connect()
            if i % 2:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            sock.close()
        # A client that asks for a lot and never reads.
        sleeper = self.lan.peer_tcp_connect()
        sleeper.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sleeper.setblocking(False)
        # A client that sends garbage of every kind.
        noisy = self.lan.peer_tcp_connect()
        noisy.setblocking(False)
        junk = os.urandom(300_000)
        requests = b"?\r" * 3000
        sent_junk = sent_requests = 0
        deadline = time.monotonic() + scaled(20)
        while (sent_junk < len(junk) or sent_requests < len(requests)) and time.monotonic() < deadline:
            try:
                sent_junk += noisy.send(junk[sent_junk:sent_junk + 65536])
            except BlockingIOError:
                pass
            try:
                sent_requests += sleeper.send(requests[sent_requests:sent_requests + 4096])
            except BlockingIOError:
                pass
            # The well-behaved client is served all the while.
            good.send_line("help:ego", end="\r")
            self.read_until(good, lambda l: l == "", timeout=5)
            time.sleep(0.01)
        self.lan.assert_running()
        good.send_line("1", end="\r")
        self.read_list(good, DEVICE_HEADER)

        # What the sleeper finally reads is whole help lines, some dropped.
        sleeper.setblocking(True)
        sleeper.settimeout(scaled(2))
        data = b""
        try:
            while chunk := sleeper.recv(65536):
                data += chunk
        except (socket.timeout, BlockingIOError):
            pass
        text = data.decode("utf-8", "replace")
        lines = text.split("\n")[len(GREETING):-1]
        self.assertTrue(lines)
        for line in lines:
            if not line.startswith("$"):
                self.assertIn(len(line), (0, 79), f"spliced line {line!r}")
        self.lan.assert_running()
