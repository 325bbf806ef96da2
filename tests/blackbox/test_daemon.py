# Options, framing, the control protocol and expiry of the real binary.
import os, re, socket, subprocess, time, unittest
from harness import BINARY, Daemon, free_port, user_of

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
status:name                    => shows for each local port whether trelvox is connected, waiting or port is taken
acl:name:filter                => limits access to forwarded ports only by host defined in filter
list                           => list all currently managed trelvoces
"""
STAMP = r"\d\d/\d\d/\d\d-\d\d:\d\d:\d\d"


class Startup(unittest.TestCase):
    def test_help_and_option_errors(self):
        log = "/tmp/tk_options_%d.log" % os.getpid()
        for args, message in ((["-h"], ""), (["-x"], "invalid option"), (["-p"], "requires an argument"),
                              (["--p", "1"], "ambiguous"), (["-p", "abc"], "invalid value |abc| for option -p"),
                              (["-p", "65536"], "|65536| for option -p"), (["-p", "0"], "|0| for option -p"),
                              (["-t", "0"], "|0| for option -t"), (["--timeout=x"], "|x| for option -t"),
                              (["-r", "1-65535"], "|1-65535| for option -r"), (["--portrange", "20000"], "|20000| for option -r")):
            result = subprocess.run([BINARY, "-l", log] + args, capture_output=True, text=True, timeout=10)
            first, _, rest = result.stderr.partition("\n")
            self.assertEqual((result.returncode, rest if message else result.stderr), (255, USAGE), args)
            self.assertIn(message, first)
            self.assertFalse(os.path.exists(log), "an option error must not create the log")

    def test_option_forms(self):
        # -t 12abc reads as 12, the later -p counts, --portr abbreviates --portrange; the edges are accepted.
        d = Daemon(self, "-t12abc", "--portr", "300-302", "extra", "-p", "1", "--port=65535", port=65535)
        self.assertRegex(d.ask("request:dev:22"), r' -R 300:0\.0\.0\.0:22 sshtmp_\w+@192\.0\.2\.10 "sleep 12"$')

    def test_missing_log_directory_logs_to_stdout(self):
        port = free_port()
        proc = subprocess.Popen([BINARY, "-p", str(port), "-t", "1", "-l", "/nonexistent/tk.log"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(proc.stderr.readline(), "couldn't open logfile /nonexistent/tk.log for writing\n")
        while subprocess.run(["bash", "-c", "echo shutdown > /dev/tcp/127.0.0.1/%d" % port], stderr=subprocess.DEVNULL).returncode:
            time.sleep(0.05)
        out, _ = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(out, r"^%s => init: hostname ((\d{1,3}\.){3}\d{1,3})?\n%s => init: hostmac (([0-9a-f]{2}:){5}"
                              r"[0-9a-f]{2})?\n%s => main: started tunnel_keeper\n(.*\n)*.*run: shutting down took 0 seconds\n$"
                              % (STAMP, STAMP, STAMP))
        ip = re.search(r"init: hostname (.*)\n", out).group(1)
        self.assertIn('@%s "sleep' % ip, Daemon(self, ip=None).ask("request:x:22"))

    def test_second_instance_fails_without_purging(self):
        first = Daemon(self)
        second = Daemon(self, "-c", port=first.port, wait=False)
        self.assertEqual(second.proc.wait(10), 1)
        self.assertRegex(second.log(), "^%s => init: Error setting up status server!%s => main: starting "
                                       "tunnel_keeper failed\n$" % (STAMP, STAMP))
        self.assertEqual(first.ask("list"), "")


class Protocol(unittest.TestCase):
    def test_framing_commands_and_refusals(self):
        d = Daemon(self)
        self.assertEqual(d.send("list\n"), "\n")
        for request in ("", "   ", "bogus", "request:dev1", "request:dev1:22:80", "key:dev1:x", " list", "LIST", "list\nlist",
                        "shutdown:now", "release:dev1", "localports:dev1", "remoteports:dev1", "key:dev1", "list:x",
                        "status:dev1", "status", "status:dev1:x"):
            self.assertEqual(d.ask(request), "ERROR", request)
        user_b, user_a = user_of(d.ask("request:b:22,,80,")), user_of(d.ask("request::a::22"))
        self.assertEqual(d.send("list \r\n"), "a => 22 => 20002 => 3600 => %s\nb => 22,80 => 20000,20001 => 3600 => %s\n\n"
                         % (user_a, user_b))
        self.assertEqual([d.ask(r) for r in ("localports:b", "remoteports:b", "key:a", "status:b", "release: a",
                                             "release:a", "release:a")],
                         ["20000,20001", "22,80", "/tmp/%s.key" % user_a, "waiting,waiting", "ERROR", "OK", "ERROR"])
        name = "n" * (2048 - len("request::22"))    # the 2049th byte is not read
        self.assertIn(" -R 20003:0.0.0.0:22 ", d.send("request:%s:229" % name))
        self.assertEqual(d.send(b"localports:" + name.encode() + b"\0junk"), "20003\n")


class Expiry(unittest.TestCase):
    def test_lifetime_counts_down_to_removal_in_name_order(self):
        d = Daemon(self, "-t", "2")
        d.ask("request:b:22")
        d.ask("request:a:23")
        seen = set()
        while listing := d.ask("list"):
            seen.update(re.findall(r" => (-?\d+) => sshtmp_", listing))
        self.assertEqual(seen, {"2", "1"})
        self.assertRegex(d.log(), "Timeout: removing a\n(.*\n)*.*Timeout: removing b\n")

    def test_shutdown_removes_live_grants_then_exits(self):
        d = Daemon(self)
        d.ask("request:x:22")
        d.ask("request:y:22")
        time.sleep(1.1)  # at least one pass of the expiry thread has counted down
        self.assertRegex(d.ask("list"), r"^x => 22 => 20000 => 359[89] => sshtmp_\w+\ny => 22 => 20001 => 359[89] => ")
        self.assertEqual((d.send("shutdown\n"), d.proc.wait(10)), ("", 0))
        self.assertRegex(d.log(), r"timer: Timeout: removing x\n(.*\n)*.*timer: Timeout: removing y\n(.*\n)*"
                                  r".*run: shutting down took [0-2] seconds\n$")


if __name__ == "__main__":
    unittest.main()
