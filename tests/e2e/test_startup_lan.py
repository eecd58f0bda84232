"""Start-up as the LAN sees it: the start message, the first announcement
carrying the device record built from the INI, and the warning about an
unknown architecture."""

import re
import socket

from lanpeer import (BROADCAST_ID, OP_DEVICE_ANSWER, OP_SYSLOG, SERVER_ID, SERVER_IP, VERSION,
                     VERSION_TEXT, LanTestCase, DEFAULT_HOME)

START_MESSAGE = re.compile(r"Halvo Tamber device started " + re.escape(VERSION_TEXT)
                           + r" [A-Z][a-z]{2} [ \d]?\d \d{4} \d\d:\d\d:\d\d")


class StartupLanTest(LanTestCase):
    def lan_options(self):
        return {"start": False}

    def start(self, ini=None):
        """Peer first, so that it hears the server's first packets."""
        self.lan.ini_path = self.lan.write_ini("tamber.ini", ini)
        if not hasattr(self, "peer"):
            self.peer = self.lan.peer()
        self.peer.clear()
        self.lan.start_server()
        return self.peer

    def test_start_message(self):
        peer = self.start()
        entry = peer.expect(OP_SYSLOG, src=SERVER_ID, timeout=10,
                            predicate=lambda p: p.body.origin == "tb_core_init").body
        self.assertEqual((entry.level, entry.own, entry.about), ("M", SERVER_ID, SERVER_ID))
        self.assertRegex(entry.message, START_MESSAGE)

    def test_first_announcement_carries_the_device_record(self):
        host = socket.gethostname().encode()[:31].decode(errors="replace")
        cases = [
            ({}, f"http://{SERVER_IP}{DEFAULT_HOME}/", "en"),
            ({"webserver/home": None, "synology/locale": None}, f"http://{SERVER_IP}/", ""),
            ({"webserver/home": "/web", "synology/locale": "de"}, f"http://{SERVER_IP}/web/", "de"),
        ]
        for ini, url, locale in cases:
            with self.subTest(ini=ini):
                self.lan.stop()
                peer = self.start(ini)
                p = peer.expect(OP_DEVICE_ANSWER, src=SERVER_ID, dest=BROADCAST_ID, timeout=10,
                                what="the server's first announcement")
                a = p.body
                self.assertEqual(p.src, SERVER_ID)
                self.assertNotEqual(p.nonce, 0)
                self.assertEqual(a.ip, SERVER_IP)
                self.assertEqual(a.version, VERSION)
                self.assertEqual(a.name, host)
                self.assertEqual(a.url, url)
                self.assertEqual(a.locale, locale)
                self.assertEqual(a.time.valid, 1)

    def test_unknown_architecture_is_reported(self):
        for arch in ("noarch", "sparc"):
            with self.subTest(arch=arch):
                self.lan.stop()
                peer = self.start({"synology/arch": arch})
                entry = peer.expect(OP_SYSLOG, src=SERVER_ID, timeout=10,
                                    predicate=lambda p: p.body.origin == "start_services").body
                self.assertEqual((entry.level, entry.own, entry.about), ("W", SERVER_ID, SERVER_ID))
                self.assertEqual(entry.message, f'unknown architecture "{arch}"')
