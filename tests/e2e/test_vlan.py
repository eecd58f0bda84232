"""The virtual LAN itself: both namespaces reach each other by multicast
and unicast the way the server and its peers use them, nothing leaks into
the root namespace, and teardown leaves nothing behind."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import unittest

from lanpeer import (IFNAME, LAN_GROUP, PEER_IP, PEER_MAC, SERVER_IP, SERVER_MAC,
                     VLAN_SH, VirtualLan, device_request, ip_bytes, recv_datagram,
                     scaled, OP_DEVICE_REQUEST)

PORT = 12999  # any free port; no server runs in these tests


def netns_names() -> set[str]:
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.split()}


def root_links() -> str:
    return subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout


def recv_one(sock: socket.socket, timeout: float = 2.0):
    sock.settimeout(scaled(timeout))
    try:
        data, addr, _ = recv_datagram(sock)
        return data, addr
    except socket.timeout:
        return None, None


class VlanTest(unittest.TestCase):
    def setUp(self):
        self.lan = VirtualLan(start=False)
        self.addCleanup(self.lan.close)
        self.lan.open()

    def test_addresses_and_routes(self):
        for ns, ip, mac in ((self.lan.srv_ns, SERVER_IP, SERVER_MAC),
                            (self.lan.peer_ns, PEER_IP, PEER_MAC)):
            with self.subTest(ns=ns):
                addr = subprocess.run(["ip", "-n", ns, "-o", "-4", "addr", "show", IFNAME],
                                      capture_output=True, text=True, check=True).stdout
                self.assertIn(f"inet {ip}/24", addr)
                link = subprocess.run(["ip", "-n", ns, "-o", "link", "show", IFNAME],
                                      capture_output=True, text=True, check=True).stdout
                self.assertIn("state UP", link)
                self.assertIn(":".join(f"{b:02x}" for b in mac), link)
                routes = subprocess.run(["ip", "-n", ns, "route"], capture_output=True,
                                        text=True, check=True).stdout
                self.assertRegex(routes, rf"224\.0\.0\.0/4 dev {IFNAME}")
                lo = subprocess.run(["ip", "-n", ns, "-o", "link", "show", "lo"],
                                    capture_output=True, text=True, check=True).stdout
                self.assertIn("UP", lo)

    def test_nothing_in_root_namespace(self):
        links = root_links()
        self.assertNotIn(IFNAME, links)
        self.assertNotIn(self.lan.tag, links)
        addrs = subprocess.run(["ip", "-o", "addr"], capture_output=True, text=True).stdout
        self.assertNotIn("10.213.", addrs)

    def test_multicast_peer_to_server(self):
        srv = self.lan.server_udp(PORT, LAN_GROUP)
        peer = self.lan.peer_udp(PORT)
        peer.sendto(b"hello server", (LAN_GROUP, PORT))
        data, addr = recv_one(srv)
        self.assertEqual(data, b"hello server")
        self.assertEqual(addr[0], PEER_IP)

    def test_multicast_server_to_peer(self):
        peer = self.lan.peer_udp(PORT, LAN_GROUP)
        srv = self.lan.server_udp(PORT)
        srv.sendto(b"hello peer", (LAN_GROUP, PORT))
        data, addr = recv_one(peer)
        self.assertEqual(data, b"hello peer")
        self.assertEqual(addr[0], SERVER_IP)

    def test_default_multicast_choices_use_the_veth(self):
        # Like the server: joined with interface INADDR_ANY, sending without
        # choosing an interface, multicast loopback on.
        def plain():
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("", PORT))
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         ip_bytes(LAN_GROUP) + bytes(4))
            return s
        srv = self.lan.in_server_ns(plain)
        self.addCleanup(srv.close)
        peer = self.lan.peer_udp(PORT, LAN_GROUP)
        srv.sendto(b"from server", (LAN_GROUP, PORT))
        self.assertEqual(recv_one(peer)[0], b"from server")
        self.assertEqual(recv_one(srv)[0], b"from server", "multicast loopback")
        peer.sendto(b"from peer", (LAN_GROUP, PORT))
        data, addr = recv_one(srv)
        self.assertEqual((data, addr[0]), (b"from peer", PEER_IP))
        # The peer's loop is off: it does not hear itself.
        self.assertEqual(recv_one(peer, 0.3)[0], None)

    def test_unicast_both_ways(self):
        srv = self.lan.server_udp(PORT)
        peer = self.lan.peer_udp(PORT)
        peer.sendto(b"ping", (SERVER_IP, PORT))
        data, addr = recv_one(srv)
        self.assertEqual(data, b"ping")
        srv.sendto(b"pong", addr)
        self.assertEqual(recv_one(peer)[0], b"pong")

    def test_peers_with_own_addresses(self):
        first = self.lan.peer()
        second = self.lan.peer()
        self.assertEqual(first.ip, PEER_IP)
        self.assertNotEqual(first.ip, second.ip)
        self.assertNotEqual(first.id, second.id)
        srv = self.lan.server_udp(11246, LAN_GROUP)
        for p in (first, second):
            p.send(device_request(p.id))
        got = {recv_one(srv)[1][0], recv_one(srv)[1][0]}
        self.assertEqual(got, {first.ip, second.ip})
        # Unicast reaches exactly the device it is addressed to; multicast both.
        srv.sendto(device_request(second.id).encode(), (second.ip, 11246))
        self.assertIsNotNone(second.recv(scaled(2), OP_DEVICE_REQUEST))
        self.assertIsNone(first.recv(0.3, OP_DEVICE_REQUEST))
        srv.sendto(device_request().encode(), (LAN_GROUP, 11246))
        for p in (first, second):
            self.assertEqual(p.recv(scaled(2), OP_DEVICE_REQUEST).via, "group")

    def test_two_lans_are_separate(self):
        with VirtualLan(start=False) as other:
            here = self.lan.server_udp(PORT, LAN_GROUP)
            there = other.server_udp(PORT, LAN_GROUP)
            other.peer_udp(PORT).sendto(b"other lan", (LAN_GROUP, PORT))
            self.assertEqual(recv_one(there)[0], b"other lan")
            self.assertEqual(recv_one(here, 0.3)[0], None)


class TeardownTest(unittest.TestCase):
    def assertGone(self, lan):
        names = netns_names()
        self.assertNotIn(lan.srv_ns, names)
        self.assertNotIn(lan.peer_ns, names)
        self.assertNotIn(lan.tag, root_links())
        self.assertFalse(lan.dir.exists())

    def test_with_block_tears_down_on_exception(self):
        with self.assertRaises(ZeroDivisionError):
            with VirtualLan(start=False) as lan:
                self.assertIn(lan.srv_ns, netns_names())
                lan.peer()
                1 / 0
        self.assertGone(lan)

    def test_close_ends_a_leftover_process(self):
        with VirtualLan(start=False) as lan:
            proc = lan.start_server(["600"], server="/bin/sleep")
            self.assertTrue(lan.running())
        self.assertIsNotNone(proc.poll())
        self.assertGone(lan)

    def test_stop_returns_exit_status(self):
        with VirtualLan(start=False) as lan:
            lan.start_server(["-c", "trap 'exit 7' TERM; while :; do sleep 0.05; done"],
                             server="/bin/sh")
            time.sleep(0.3)
            self.assertEqual(lan.stop(), 7)
            self.assertFalse(lan.killed)

    def test_vlan_down_is_idempotent(self):
        tag = f"t{os.getpid()}"
        subprocess.run([str(VLAN_SH), "up", tag], check=True, capture_output=True)
        try:
            self.assertIn(f"tb-{tag}-srv", netns_names())
            # A second "up" of a live tag refuses and leaves it intact.
            r = subprocess.run([str(VLAN_SH), "up", tag], capture_output=True)
            self.assertNotEqual(r.returncode, 0)
            self.assertIn(f"tb-{tag}-peer", netns_names())
        finally:
            for _ in range(2):
                r = subprocess.run([str(VLAN_SH), "down", tag], capture_output=True)
                self.assertEqual(r.returncode, 0)
        self.assertFalse({f"tb-{tag}-srv", f"tb-{tag}-peer"} & netns_names())

    def test_sigterm_to_the_test_process_tears_down(self):
        here = os.path.dirname(os.path.abspath(__file__))
        child = textwrap.dedent(f"""
            import sys, time
            sys.path.insert(0, {here!r})
            from lanpeer import VirtualLan
            lan = VirtualLan(start=False).open()
            lan.start_server(["600"], server="/bin/sleep")
            print(lan.tag, lan.pid, flush=True)
            time.sleep(600)
        """)
        proc = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, text=True)
        try:
            tag, pid = proc.stdout.readline().split()
            self.assertIn(f"tb-{tag}-srv", netns_names())
            proc.send_signal(signal.SIGTERM)
            proc.wait(scaled(15))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdout.close()
        self.assertNotIn(f"tb-{tag}-srv", netns_names())
        self.assertNotIn(f"tb-{tag}-peer", netns_names())
        with self.assertRaises(ProcessLookupError):
            os.kill(int(pid), 0)


if __name__ == "__main__":
    unittest.main()
