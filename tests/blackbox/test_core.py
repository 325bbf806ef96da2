"""Start-up options, framing and the control protocol of the real binary."""
import os
import re
import socket
import struct
import subprocess
import time
import unittest

from harness import BINARY, Daemon, DaemonTest, free_port

USAGE = """Usage:
-c: remove existing sshtmp users, home folders and kill all existing inbound sshtmp connections
-p N: listen on port N (default 55444)
-r N: port range of tcp ports for forwarding (default 20000-21000)
-i N: ip to use when generating forwarding request
-t N: time in seconds after which a connection is removed (default 3600)
-l P: path to logfile (default /var/log/tunnel_keeper.log)

Telnet Options:
request:name:port1,port2,...   => generate request for trelvox with given name and comma separated port list
release:name                   => remove trelvox with given name from list and its local user and existing ssh connections
localports:name                => shows local ports for trelvox with given name
remoteports:name               => shows remote ports for trelvox with given name
key:name                       => shows path to corresponding key file
acl:name:filter                => limits access to forwarded ports only by host defined in filter
list                           => list all currently managed trelvoces
"""


class Options(DaemonTest, unittest.TestCase):
    def run_binary(self, *args):
        log = "/tmp/tk_test_options_%d.log" % os.getpid()
        result = subprocess.run([BINARY, "-l", log] + list(args), capture_output=True, text=True, timeout=10)
        self.assertFalse(os.path.exists(log), "option errors must not create the log")
        return result

    def test_help_and_option_errors_print_usage_and_exit_255(self):
        self.assertEqual(self.run_binary("-h").stderr, USAGE)
        for args, first in ((["-x"], "invalid option"), (["-p"], "requires an argument"),
                            (["--p", "1"], "ambiguous"),
                            (["-p", "abc"], "invalid value |abc| for option -p"),
                            (["-p", "70000"], "invalid value |70000| for option -p"),
                            (["-p", "0"], "invalid value |0| for option -p"),
                            (["-t", "0"], "invalid value |0| for option -t"),
                            (["--timeout=abc"], "invalid value |abc| for option -t"),
                            (["-r", "65000-65535"], "invalid value |65000-65535| for option -r"),
                            (["--portrange", "20000"], "invalid value |20000| for option -r")):
            result = self.run_binary(*args)
            self.assertEqual(result.returncode, 255, args)
            message, usage = result.stderr.split("Usage:\n", 1)
            self.assertIn(first, message, args)
            self.assertEqual(message.count("\n"), 1, args)
            self.assertEqual("Usage:\n" + usage, USAGE)

    def test_option_forms(self):
        # -t 12abc reads as 12; the later -p counts; --portr is a prefix of
        # --portrange; extra words are ignored.
        port = free_port()
        d = self.start("-t12abc", "--portr", "300-302", "extra", "-p", "1", "--port=%d" % port, port=1)
        self.assertEqual(d.port, 1)
        d.port = port
        d.wait_log("started tunnel_keeper")
        answer = d.ask("request:dev:22")
        self.assertTrue(answer.endswith(' -R 300:0.0.0.0:22 %s@192.0.2.10 "sleep 12"' % re.search(r"sshtmp_\w+", answer).group()), answer)

    def test_missing_log_directory_logs_to_stdout(self):
        port = free_port()
        proc = subprocess.Popen([BINARY, "-p", str(port), "-i", "127.0.0.1", "-l", "/nonexistent/dir/tk.log"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(0.3)
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(b"shutdown\n")
            self.assertEqual(s.recv(10), b"")
        out, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(err, "couldn't open logfile /nonexistent/dir/tk.log for writing\n")
        self.assertRegex(out, r"^\d\d/\d\d/\d\d-\d\d:\d\d:\d\d => main: started tunnel_keeper\n")
        self.assertIn("=> run: shutting down took 0 seconds\n", out)

    def test_second_instance_on_the_same_port_fails_without_purging(self):
        first = self.start()
        second = self.start("-c", port=first.port, wait=False)
        self.assertEqual(second.wait_exit(), 1)
        self.assertRegex(second.log(), r"^\S+ => init: Error setting up status server!\S+ => main: starting tunnel_keeper failed\n$")
        self.assertEqual(first.ask("list"), "")

    def test_address_discovery_logs_hostname_and_mac(self):
        d = self.start(ip=None)
        d.ask("request:x:22")  # the answer carries the discovered address
        log = d.log()
        ip = re.search(r"=> init: hostname (.*)\n", log).group(1)
        mac = re.search(r"=> init: hostmac (.*)\n", log).group(1)
        self.assertLess(log.index("hostname"), log.index("hostmac"))
        self.assertRegex(ip, r"^(\d{1,3}\.){3}\d{1,3}$|^$")
        self.assertRegex(mac, r"^([0-9a-f]{2}:){5}[0-9a-f]{2}$|^$")
        self.assertIn("@%s \"sleep" % ip, d.log())


class Framing(DaemonTest, unittest.TestCase):
    def test_one_read_is_one_request(self):
        d = self.start()
        d.ask("request:dev1:22")
        self.assertEqual(d.send("localports:dev1"), "20000\n")             # no line end
        self.assertEqual(d.send("localports:dev1\nlist\n"), "ERROR\n")     # two commands, one request
        self.assertEqual(d.send("localports:dev1" + " " * 2033 + "junk"), "20000\n")  # only 2048 bytes count
        self.assertEqual(d.send(b"localports:dev1\0junk"), "20000\n")     # NUL ends the request
        self.assertIn("=> run: read localports:dev1\0".replace("\0", ""), d.log())

    def test_silent_early_closing_and_excess_clients(self):
        d = self.start(env={"STUB_SLEEP": "0.2"})
        silent = d.connect()
        self.addCleanup(silent.close)
        self.assertEqual(d.ask("list"), "")
        d.connect().close()
        d.wait_log("client disconnect")
        # A client that resets its connection while its request is served.
        s = d.connect()
        s.sendall(b"request:gone:22\n")
        d.wait_log("adding |gone|")
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        d.wait_log("answering: start-stop-daemon")
        self.assertIsNone(d.proc.poll())
        # Descriptors from 128 up are closed unanswered.
        extra = [d.connect() for _ in range(130)]
        d.wait_log("NOT ENOUGH FILE DESCRIPTORS: got fd 128")
        self.assertEqual(extra[-1].recv(10), b"")
        for c in extra:
            c.close()
        self.assertEqual(d.ask("localports:gone"), "20000")
        self.assertRegex(d.log(), r"NOT ENOUGH FILE DESCRIPTORS: got fd 128\d\d/")


class Protocol(DaemonTest, unittest.TestCase):
    def test_commands_and_refusals(self):
        d = self.start()
        self.assertEqual(d.send("list\n"), "\n")
        for request in ("", "   ", "bogus", "request:dev1", "request:dev1:22:80", "key:dev1:x", " list",
                        "LIST", "shutdown:now", "release:dev1", "localports:dev1", "remoteports:dev1",
                        "key:dev1", "acl:dev1:10.0.0.1", "list:x"):
            self.assertEqual(d.ask(request), "ERROR", request)
        b = d.ask("request:b:22,,80,")
        a = d.ask("request::a::22")
        user_a, user_b = (re.search(r"(sshtmp_\w+)@", x).group(1) for x in (a, b))
        self.assertEqual(d.send("list \r\n"),
                         "a => 22 => 20002 => 3600 => %s\nb => 22,80 => 20000,20001 => 3600 => %s\n\n" % (user_a, user_b))
        self.assertEqual(d.ask("localports:b"), "20000,20001")
        self.assertEqual(d.ask("remoteports:b"), "22,80")
        self.assertEqual(d.ask("key:a"), "/tmp/%s.key" % user_a)
        self.assertEqual(d.ask("release: a"), "ERROR")
        self.assertEqual(d.ask("release:a"), "OK")
        self.assertEqual(d.ask("release:a"), "ERROR")

    def test_shutdown_with_empty_registry_exits_at_once(self):
        d = self.start()
        self.assertEqual(d.send("shutdown\n"), "")
        self.assertEqual(d.wait_exit(), 0)
        self.assertTrue(d.log().endswith("=> run: shutting down took 0 seconds\n"))


if __name__ == "__main__":
    unittest.main()
