"""Options, framing and the control protocol of the real binary."""
import os
import re
import socket
import subprocess
import unittest

from harness import BINARY, Daemon, free_port

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
STAMP = r"\d\d/\d\d/\d\d-\d\d:\d\d:\d\d"


class Startup(unittest.TestCase):
    def test_help_and_option_errors(self):
        log = "/tmp/tk_options_%d.log" % os.getpid()
        for args, message in ((["-h"], ""), (["-x"], "invalid option"), (["-p"], "requires an argument"),
                              (["--p", "1"], "ambiguous"), (["-p", "abc"], "invalid value |abc| for option -p"),
                              (["-p", "70000"], "|70000| for option -p"), (["-t", "0"], "|0| for option -t"),
                              (["--timeout=x"], "|x| for option -t"), (["-r", "65000-65535"], "|65000-65535| for option -r"),
                              (["--portrange", "20000"], "|20000| for option -r")):
            result = subprocess.run([BINARY, "-l", log] + args, capture_output=True, text=True, timeout=10)
            self.assertEqual(result.returncode, 255, args)
            first, _, rest = result.stderr.partition("\n")
            self.assertEqual(rest if message else result.stderr, USAGE, args)  # one line, then the usage
            self.assertIn(message, first)
            self.assertFalse(os.path.exists(log), "an option error must not create the log")

    def test_option_forms(self):
        # -t 12abc reads as 12, the later -p counts, --portr abbreviates --portrange.
        port = free_port()
        d = Daemon(self, "-t12abc", "--portr", "300-302", "extra", "-p", "1", "--port=%d" % port, port=port)
        self.assertRegex(d.ask("request:dev:22"), r' -R 300:0\.0\.0\.0:22 sshtmp_\w+@192\.0\.2\.10 "sleep 12"$')

    def test_missing_log_directory_logs_to_stdout(self):
        port = free_port()
        proc = subprocess.Popen([BINARY, "-p", str(port), "-i", "1.2.3.4", "-l", "/nonexistent/tk.log"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(proc.stderr.readline(), "couldn't open logfile /nonexistent/tk.log for writing\n")
        for _ in range(200):
            try:
                with socket.create_connection(("127.0.0.1", port)) as s:
                    s.sendall(b"shutdown")
                    break
            except ConnectionRefusedError:
                subprocess.run(["sleep", "0.05"])
        out, _ = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(out, "^%s => main: started tunnel_keeper\n.*run: shutting down took 0 seconds\n$" % STAMP)

    def test_second_instance_fails_without_purging(self):
        first = Daemon(self)
        second = Daemon(self, "-c", port=first.port, wait=False)
        self.assertEqual(second.proc.wait(10), 1)
        self.assertRegex(second.log(), "^%s => init: Error setting up status server!%s => main: starting "
                                       "tunnel_keeper failed\n$" % (STAMP, STAMP))
        self.assertEqual(first.ask("list"), "")

    def test_address_discovery(self):
        d = Daemon(self, ip=None)
        ip, mac = re.search(r"init: hostname (.*)\n.*init: hostmac (.*)\n", d.log()).groups()
        self.assertRegex(ip + " " + mac, r"^((\d{1,3}\.){3}\d{1,3} ([0-9a-f]{2}:){5}[0-9a-f]{2}| )$")
        self.assertIn('@%s "sleep' % ip, d.ask("request:x:22"))


class Connections(unittest.TestCase):
    def test_one_read_is_one_request(self):
        d = Daemon(self)
        d.ask("request:dev1:22")
        for request in ("localports:dev1", "localports:dev1" + " " * 2033 + "junk", b"localports:dev1\0junk"):
            self.assertEqual(d.send(request), "20000\n")
        self.assertEqual(d.send("localports:dev1\nlist\n"), "ERROR\n")


class Protocol(unittest.TestCase):
    def test_commands_and_refusals(self):
        d = Daemon(self)
        self.assertEqual(d.send("list\n"), "\n")
        for request in ("", "   ", "bogus", "request:dev1", "request:dev1:22:80", "key:dev1:x", " list", "LIST",
                        "shutdown:now", "release:dev1", "localports:dev1", "remoteports:dev1", "key:dev1", "list:x"):
            self.assertEqual(d.ask(request), "ERROR", request)
        user_b = re.search(r"sshtmp_\w+", d.ask("request:b:22,,80,")).group()
        user_a = re.search(r"sshtmp_\w+", d.ask("request::a::22")).group()
        self.assertEqual(d.send("list \r\n"), "a => 22 => 20002 => 3600 => %s\nb => 22,80 => 20000,20001 => 3600 => %s\n\n"
                         % (user_a, user_b))
        self.assertEqual([d.ask(r) for r in ("localports:b", "remoteports:b", "key:a", "release: a", "release:a",
                                             "release:a")], ["20000,20001", "22,80", "/tmp/%s.key" % user_a,
                                                             "ERROR", "OK", "ERROR"])

    def test_shutdown_with_no_grant_exits_at_once(self):
        d = Daemon(self)
        self.assertEqual(d.send("shutdown\n"), "")
        self.assertEqual(d.proc.wait(10), 0)
        self.assertTrue(d.log().endswith("=> run: shutting down took 0 seconds\n"))


if __name__ == "__main__":
    unittest.main()
