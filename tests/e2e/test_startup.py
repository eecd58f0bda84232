"""Start-up of tamber-server: version line, the two passes over each INI
file, the interface line, usage, and ending on SIGTERM / SIGINT."""

import re
import signal
import time
import unittest

from lanpeer import (IFNAME, NETMASK, SERVER_IP, SERVER_MAC, START_LINE, LanTestCase,
                     VirtualLan, scaled)

MAC_LINE = ("MAC:" + ":".join(f"{b:02x}" for b in SERVER_MAC)
            + f" IP:{SERVER_IP} MASK:{NETMASK}")
EXTRA_INI = "[extra]\nunknown = 42\n"


def pass_lines(entries, number):
    return [f"pass_{number}:{s}:{n} = {v}" for s, n, v in entries]


def config_lines(lines):
    """The lines that trace reading configuration files, in order."""
    return [l for l in lines if l.startswith(("pass_", "Reading configuration from "))]


class StartupOutputTest(unittest.TestCase):
    """One server with the default INI plus an unknown key; read-only checks
    of what it prints while starting."""

    @classmethod
    def setUpClass(cls):
        cls.lan = VirtualLan(extra_ini=EXTRA_INI)
        try:
            cls.lan.open()
            cls.lan.wait_ready()
            cls.lan.wait_for_line("pass_2:extra:unknown = 42", stream="stderr")
        except BaseException:
            cls.lan.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lan.close()

    def test_version_is_the_first_stdout_line(self):
        self.assertEqual(self.lan.lines("stdout")[0], START_LINE)

    def test_both_passes_print_every_key_in_file_order(self):
        entries = self.lan.ini_entries + [("extra", "unknown", "42")]
        expected = ([f"Reading configuration from {self.lan.ini_path}"]
                    + pass_lines(entries, 1) + pass_lines(entries, 2))
        self.assertEqual(config_lines(self.lan.lines("stderr")), expected)

    def test_interface_line_while_the_interface_key_is_handled(self):
        lines = self.lan.lines("stderr")
        self.assertIn(MAC_LINE, lines)
        self.assertEqual(lines.count(MAC_LINE), 1, "the address was there at once")
        at = lines.index(MAC_LINE)
        self.assertLess(lines.index(f"pass_2:network:interface = {IFNAME}"), at)
        self.assertGreater(lines.index(f"pass_2:paths:manifest = {self.lan.manifest_dir}"), at)

    def test_server_keeps_running(self):
        self.lan.assert_running()


class StartupTest(LanTestCase):
    def lan_options(self):
        return {"start": False}

    def test_two_ini_files_are_read_in_order(self):
        first = self.lan.ini_path
        second = self.lan.write_ini("second.ini", text="[custom]\nalpha = 1\n"
                                                       "[synology]\nlocale = de\n")
        self.lan.start_server(["-i", first, "-i", second])
        self.lan.wait_for_line("pass_2:synology:locale = de", stream="stderr")
        more = [("custom", "alpha", "1"), ("synology", "locale", "de")]
        expected = ([f"Reading configuration from {first}"]
                    + pass_lines(self.lan.ini_entries, 1) + pass_lines(self.lan.ini_entries, 2)
                    + [f"Reading configuration from {second}"]
                    + pass_lines(more, 1) + pass_lines(more, 2))
        self.assertEqual(config_lines(self.lan.lines("stderr")), expected)
        self.assertEqual(self.lan.stop(), 0)

    def test_unknown_option_prints_usage_and_exits_0(self):
        for args in (["-x"], ["-h"], ["-v", "-i", str(self.lan.ini_path)]):
            with self.subTest(args=args):
                self.lan.start_server(args)
                self.assertEqual(self.lan.wait_exit(10), 0)
                self.assertEqual(self.lan.lines("stdout")[:1], [START_LINE])
                usage = f"Usage: {self.lan.server} [-i ini-file] "
                self.assertIn(usage, self.lan.lines("stderr"))
                self.assertIsNone(self.lan.find_line("Reading configuration", "stderr"))

    def test_signal_ends_with_status_0(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum.name):
                self.lan.start_server()
                self.lan.wait_ready()
                self.lan.wait_for_line(MAC_LINE, stream="stderr")
                # The signal arrives during the 10-second wait before the
                # mask adaptation; it must cut that wait short.
                sent = time.monotonic()
                self.assertEqual(self.lan.stop(timeout=15, signum=signum), 0)
                self.assertLess(time.monotonic() - sent, scaled(6),
                                "the 10-second start-up wait ignored the signal")
                self.assertIn(f"Signal catched: {int(signum)}", self.lan.lines("stderr"))

    def test_without_usable_configuration_it_idles_until_sigterm(self):
        missing = self.lan.dir / "missing.ini"
        no_interface = self.lan.write_ini(
            "no-interface.ini", text="[webserver]\nhome = /web\n[synology]\nlocale = en\n"
                                     "[other]\nkey = value\n")
        cases = {"no options": [], "missing file": ["-i", missing],
                 "no interface key": ["-i", no_interface]}
        for name, args in cases.items():
            with self.subTest(name):
                self.lan.start_server(args)
                self.lan.wait_for_line(START_LINE, stream="stdout")
                if args:
                    self.lan.wait_for_line(f"Reading configuration from {args[1]}",
                                           stream="stderr")
                if name == "no interface key":
                    self.lan.wait_for_line("pass_2:other:key = value", stream="stderr")
                time.sleep(0.5)  # let it settle into its idle loop
                self.lan.assert_running()
                self.assertEqual(self.lan.stop(), 0)
                self.assertIsNone(self.lan.find_line(re.compile(r"^MAC:"), "stderr"))
                self.assertIn("Signal catched: 15", self.lan.lines("stderr"))


if __name__ == "__main__":
    unittest.main()
