"""Load, misbehaving clients and failing host commands, against the real binary."""
import os
import re
import socket
import struct
import sys
import time
import unittest

from harness import Daemon, wait_for


class Load(unittest.TestCase):
    def test_requests_silent_resetting_and_excess_clients(self):
        d = Daemon(self, "-r", "100-110", env={"STUB_SLEEP": "0.1"})
        fds = lambda: len(os.listdir("/proc/%d/fd" % d.proc.pid))
        before = fds()
        d.ask("request:dev:22")
        silent = [d.connect() for _ in range(100)]
        started = time.time()
        for _ in range(3000):
            self.assertEqual(d.ask("localports:dev"), "100")
        rate = 3000 / (time.time() - started)
        for i in range(51):   # gone before their answer; the first half-closed, then reset while its request is slow
            s = d.connect()
            s.sendall(b"request:gone:22\n" if i == 0 else b"key:dev\n")
            if i == 0:
                s.shutdown(socket.SHUT_WR)
                d.wait_log("adding |gone|")
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        excess = [d.connect() for _ in range(40)]
        d.wait_log("NOT ENOUGH FILE DESCRIPTORS: got fd 128")
        self.assertEqual(excess[-1].recv(10), b"")   # closed unanswered
        peak = fds()
        for c in silent + excess:
            c.close()
        wait_for("the disconnects", lambda: fds() == before)
        self.assertEqual([d.ask("release:dev"), d.ask("release:gone"), d.ask("list")], ["OK", "OK", ""])
        # The message has no line end: the next log line follows directly.
        self.assertRegex(d.log(), r"NOT ENOUGH FILE DESCRIPTORS: got fd 128\d\d/\d\d/\d\d-")
        print("\nload: 3000 requests at %.0f/s beside 100 silent clients; 51 resets; descriptors %d, peak %d"
              % (rate, before, peak), file=sys.stderr)


class Faults(unittest.TestCase):
    def test_failing_host_commands_keep_answers_and_the_pool(self):
        failing = "useradd userdel killall iptables ip6tables"
        d = Daemon(self, "-r", "100-110", "-t", "3", env={"STUB_FAIL": failing})

        def pool_is_whole():
            """Every port of the range is free or held by exactly one grant."""
            held = [int(p) for line in d.ask("list").splitlines() for p in line.split(" => ")[2].split(",") if p]
            taken = [int(p) for p in re.findall(r"-R (\d+):", d.ask("request:probe:" + ",".join(["1"] * (10 - len(held)))))]
            self.assertEqual(sorted(held + taken), list(range(100, 110)))
            self.assertEqual(d.ask("request:probe2:1"), "ERROR")
            d.ask("release:probe")

        self.assertIn("-R 100:0.0.0.0:1 -R 101:0.0.0.0:2 ", d.ask("request:a:1,2"))
        self.assertEqual([d.ask("acl:a:10.0.0.0/8"), d.ask("request:b:3")[:5], d.ask("release:b")], ["OK", "start", "OK"])
        d.ask("request:c:4,5,6")
        d.ask("request:a:7")
        pool_is_whole()
        d.wait_log("Timeout: removing c\n")
        d.wait_log("Timeout: removing a\n")
        self.assertEqual(d.ask("list"), "")
        pool_is_whole()
        # A key copy that chown could not hand over refuses the request.
        d = Daemon(self, "-r", "100-110", env={"STUB_FAIL": failing + " chown"})
        self.assertEqual([d.ask("request:z:9"), d.ask("list")], ["ERROR", ""])
        self.assertRegex(d.commands()[-1], r"^rm -rf /tmp/sshtmp_\w{8}\.key$")   # the copy the rename put there
        self.assertEqual((d.send("shutdown\n"), d.proc.wait(10)), ("", 0))


if __name__ == "__main__":
    unittest.main()
