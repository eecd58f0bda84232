"""End to end, CI-sized: the server against a simulated installation
(tools/tamber_sim.py) with churn and console clients, and against a run of
random and mutated packets of every opcode.

The simulator runs as its own process in the peer namespace; it reports in
JSON what it announced, what the console lists showed after a settle period
without churn, and whether its manifests reached the store. The ten-minute
version with the figures is bench/soak.sh.
"""

from __future__ import annotations

import json
import subprocess
import sys
import time

from lanpeer import (CLASS_ROOM, CONSOLE_PORT, OP_DEVICE_ANSWER, OP_MANIFEST_REQUEST, OP_SERVICE_REQUEST,
                     REPO, SERVER_ID, SERVER_IP, LanTestCase, device_request, scaled)
from proto_manifest import KEY_UPDATE, manifest_answer, manifest_update
from proto_service import service_answer

SIM = REPO / "tools" / "tamber_sim.py"
DEVICE_HEADER = f"{'':4}{'id':16}{'ip address':18}{'name':26}{'version':16}"


class SoakTest(LanTestCase):
    def lan_options(self):
        return {"ini": {"synology/arch": "max"}}

    def run_sim(self, *args, seconds: float) -> dict:
        report = self.lan.dir / "sim.json"
        cmd = [sys.executable, str(SIM), "--netns", self.lan.peer_ns, "--report", str(report),
               *map(str, args)]
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=scaled(seconds + 120))
        self.assertEqual(done.returncode, 0, f"simulator failed:\n{done.stdout}{done.stderr}")
        return json.loads(report.read_text())

    def syslog(self) -> str:
        try:
            return (self.lan.syslog_dir / "syslog.log").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def assert_stops_cleanly(self) -> None:
        self.lan.assert_running()
        self.assertEqual(self.lan.stop(timeout=10), 0, self.lan.output_tail())

    def test_churn_with_console_clients_keeps_registry_lists_and_store_in_step(self):
        self.lan.wait_ready()
        # Ten seconds after start the server adapts the stored masks and
        # commits the rewritten files to their services; a commit from the
        # simulator racing with that is legitimately overtaken by it.
        time.sleep(11)
        devices, services = 20, 15
        r = self.run_sim("--devices", devices, "--services-per-device", services, "--consoles", 4,
                         "--churn", 2, "--drop", 0.02, "--duration", 40, "--ramp", 5, "--settle", scaled(20),
                         "--check", "--manifest-dir", self.lan.manifest_dir, seconds=40 + scaled(30))
        self.assertEqual((r["devices_announced"], r["services_announced"]), (devices, devices * services))
        self.assertGreater(sum(r["churn"].values()), 20, r["churn"])
        for kind in ("devices", "services"):
            with self.subTest(list=kind):
                self.assertTrue(r["lists"][kind]["ok"], json.dumps(r["lists"][kind], indent=1))
        store = r["store"]
        with self.subTest("manifests on disk and listed"):
            self.assertTrue(store["ok"], json.dumps(store, indent=1))
            self.assertEqual(store["on_disk"], devices * services)
        consoles = r["consoles"]
        self.assertEqual((consoles["open"], consoles["disconnects"]), (4, 0))
        self.assertGreater(consoles["lines"], 0)
        self.assertNotIn("transmit ring full", self.syslog())
        self.assert_stops_cleanly()

    def test_server_survives_hostile_packets_and_still_answers(self):
        self.lan.wait_ready()
        r = self.run_sim("--devices", 4, "--services-per-device", 3, "--hostile", "--hostile-rate", 400,
                         "--churn", 1, "--duration", 30, "--ramp", 1, seconds=40)
        hostile = r["hostile"]
        self.assertGreater(hostile["sent"], 5000)
        self.assertGreater(hostile["console_lines"] + hostile["console_udp"], 0)
        self.assertGreaterEqual(len([k for k in hostile["by_opcode"] if k != "other opcode"]), 24,
                                sorted(hostile["by_opcode"]))
        self.lan.assert_running()

        peer = self.lan.peer()
        deadline = time.monotonic() + scaled(10)
        answer = None
        while answer is None and time.monotonic() < deadline:
            peer.send(device_request(SERVER_ID))
            answer = peer.recv(1.0, OP_DEVICE_ANSWER, src=SERVER_ID, dest=peer.id)
        self.assertIsNotNone(answer, "no device answer after the hostile run\n" + self.lan.output_tail())
        self.assertEqual(answer.body.ip, SERVER_IP)

        console = self.lan.peer_lines(SERVER_IP, CONSOLE_PORT)
        console.expect_line(f"Welcome to Halvo Tamber device #{SERVER_ID.text}")
        console.send_line("1", end="\r")
        console.expect_line(DEVICE_HEADER.rstrip(), timeout=10)
        self.assert_stops_cleanly()

    def test_published_documents_that_are_not_json_are_stored_once(self):
        # Whatever a device publishes is its manifest; the store keeps it and
        # must not take its own write for an edit to undo (over and over).
        self.lan.wait_ready()
        peer = self.lan.peer()
        cases = [("not JSON", b"not json\0"), ("empty", b"\0"), ("JSON array", b"[1,2]\0")]
        for index, (what, doc) in enumerate(cases):
            with self.subTest(what):
                room = peer.service_id(CLASS_ROOM, index)
                peer.announce(services=[room])
                peer.expect(OP_SERVICE_REQUEST, src=SERVER_ID, dest=room)
                peer.send(service_answer(room, type="AMP", name=what, magic=f"room.{index + 1}"))
                stamp = 0x5100 + index
                peer.send(manifest_update(room, stamp))
                request = peer.expect(OP_MANIFEST_REQUEST, src=SERVER_ID,
                                      predicate=lambda p, room=room: p.body.service == room).body
                self.assertEqual((request.stamp, request.token), (stamp, 0))
                peer.send(manifest_answer(SERVER_ID, room, KEY_UPDATE, stamp, 0, doc, len(doc)))
                path = self.lan.manifest_dir / f"{room.text}.kst"
                deadline = time.monotonic() + scaled(5)
                while not path.exists() and time.monotonic() < deadline:
                    time.sleep(0.05)
                time.sleep(2)
                self.assertEqual(path.read_bytes(), doc[:-1])
                backups = [f for f in self.lan.manifest_dir.iterdir() if room.text in f.name and f != path]
                self.assertEqual(backups, [])
        self.assert_stops_cleanly()


if __name__ == "__main__":
    import unittest
    unittest.main()
