# End to end with a real ssh server, real accounts and real firewall rules,
# in private network, mount and pid namespaces (harness.in_namespaces): when
# the test ends, the kernel ends every process left in the namespace. Exit
# status 77: skipped (not root, outside CI).
import glob, os, pathlib, pwd, re, shutil, signal, socket, socketserver, subprocess, sys, tempfile, threading, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
from harness import BINARY, HOLD_REAPING, SANITIZER_REPORT, in_namespaces, wait_for  # noqa: E402
DEVICE = 2222
DROP_IN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/sshd-tunnel_keeper.conf")
SSH = ["-i", "/tmp/key", "-o", "UserKnownHostsFile=/tmp/known_hosts", "-o", "BatchMode=yes"]


def read(path):
    return pathlib.Path(path).read_text(errors="replace") if os.path.exists(path) else ""


def round_trip(port, host="127.0.0.1"):
    # What the device's service says through the port; None when nothing answers.
    try:
        with socket.create_connection((host, port), timeout=1.5) as s:
            return s.recv(100)
    except OSError:
        return None


def own_rules(port):
    return re.findall(r".*(?:-s \S+ -p tcp -m tcp --dport %d -j ACCEPT|--dport %d -j DROP)" % (port, port), subprocess.run(
        ["sh", "-c", "iptables -S INPUT; ip6tables -S INPUT"], capture_output=True, text=True).stdout)


class RealHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        device = type("Device", (socketserver.BaseRequestHandler,), {"handle": lambda h: h.request.sendall(b"hello from device\n")})
        threading.Thread(target=socketserver.ThreadingTCPServer(("127.0.0.1", DEVICE), device).serve_forever, daemon=True).start()

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(self.check_logs)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.dir + "/hostkey"], check=True)

    def start_daemon(self, *args):
        log = "%s/tk%d.log" % (self.dir, len(os.listdir(self.dir)))
        daemon = subprocess.Popen([BINARY, "-i", "127.0.0.1", "-l", log, "-r", "20000-20010"] + list(args))
        wait_for("the daemon", lambda: "started tunnel_keeper" in read(log))
        self.addCleanup(lambda: daemon.kill() or daemon.wait())
        return daemon, log

    def ask(self, request):
        with socket.create_connection(("127.0.0.1", 55444), timeout=60) as s:
            s.sendall(request.encode() + b"\n")
            return s.makefile().read().rstrip("\n")

    def grant(self, name):
        command = self.ask("request:%s:%d" % (name, DEVICE))
        shutil.copy(self.ask("key:" + name), "/tmp/key")
        return command, re.search(r" (sshtmp_\w{8})@", command).group(1), int(self.ask("localports:" + name))

    def run_device(self, command, local):
        subprocess.run(["/bin/sh", "-c", command], check=True, timeout=30)
        self.assertEqual(wait_for("a round trip through %d" % local, lambda: round_trip(local), 15), b"hello from device\n")

    def attacks(self, user):
        # What the key of grant a must not open, each with what shows that it did: words in its output, or a
        # round trip through the port it asked for (20000 is grant b's). Standard input: "pwd".
        at, ssh = user + "@127.0.0.1", ["ssh"] + SSH
        table = [(ssh + ["-T", at, "id"], "uid="), (["sftp"] + SSH + ["-b", "-", at], "Remote working"),
                 (ssh + ["-W", "127.0.0.1:55444", at], "ERROR"), (ssh + ["-N", "-R", "20000:127.0.0.1:%d" % DEVICE, at], 20000)]
        pathlib.Path(self.dir + "/pwd").write_text("pwd\n")
        running = [subprocess.Popen(argv, stdin=open(self.dir + "/pwd"), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                   for argv, _ in table]
        time.sleep(4)
        opened = [argv for argv, shows in table if isinstance(shows, int) and round_trip(shows)]
        for proc, (argv, shows) in zip(running, table):
            proc.kill()
            opened += [argv] if isinstance(shows, str) and shows in proc.stdout.read().decode(errors="replace") else []
        return opened

    def test_grants_on_a_real_host(self):
        for drop_in in (False, True):
            config, sshd_log = self.dir + "/sshd_config", self.dir + "/sshd%d.log" % drop_in
            pathlib.Path(config).write_text("ListenAddress 127.0.0.1\nHostKey %s/hostkey\nPidFile none\nUsePAM yes\nLogLevel VERBOSE\n%s"
                                            % (self.dir, "Include " + DROP_IN if drop_in else ""))
            sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-f", config, "-E", sshd_log])
            keys = wait_for("sshd", lambda: subprocess.run(["ssh-keyscan", "127.0.0.1"], capture_output=True, text=True).stdout)
            pathlib.Path("/tmp/known_hosts").write_text(keys)
            daemon, log = self.start_daemon()
            _, b_user, _ = self.grant("b")
            command, user, local = self.grant("a")
            self.assertEqual((local, self.ask("status:a")), (20001, "waiting"))
            self.run_device(command, local)
            self.assertEqual(self.ask("status:a"), "connected")
            fingerprint = re.search(r"grant \|a\| %s (SHA256:\S+) until " % user, read(log)).group(1)
            self.assertRegex(read(sshd_log), "Accepted publickey for %s .* %s\n" % (user, re.escape(fingerprint)))
            self.assertEqual(self.attacks(user), [], "drop-in %s" % drop_in)
            self.assertEqual(self.ask("acl:a:10.9.9.0/24"), "OK")
            self.assertEqual([round_trip(local), round_trip(local, "::1")], [None, None])
            # The device's tunnel drops (every process of the namespace is this test's).
            for pid in subprocess.run(["pgrep", "-f", user + "@"], capture_output=True, text=True).stdout.split():
                os.kill(int(pid), signal.SIGKILL)
            wait_for("waiting", lambda: self.ask("status:a") == "waiting")
            squatter = subprocess.Popen(["/usr/bin/python3", "-c", "import socket,time\ns=socket.create_server(('127.0.0.1',%d))\n"
                                         "time.sleep(60)" % local], user="nobody")
            wait_for("taken", lambda: self.ask("status:a") == "taken")
            squatter.kill()
            uid = pwd.getpwnam(user).pw_uid
            self.assertEqual(self.ask("release:a"), "OK")
            # The answer comes once the account's killed processes are reaped, which the slow init delays, and the
            # account and its rules are deleted.
            self.assertEqual((subprocess.run(["pgrep", "-u", str(uid)]).returncode, (user + ":") in read("/etc/passwd"),
                              own_rules(local)), (1, False, []))

            # A crash while b has a filter: -c deletes b's account and its rules, so its port serves the next grant.
            self.assertEqual(self.ask("acl:b:10.9.9.0/24"), "OK")
            daemon.kill()
            daemon, log = self.start_daemon("-c", "-t", "3", "-k", "rsa")
            command, user, local = self.grant("c")
            self.assertEqual((local, (b_user + ":") in read("/etc/passwd"), own_rules(20000)), (20000, False, []))
            self.assertRegex(subprocess.run(["ssh-keygen", "-lf", "/tmp/key"], capture_output=True, text=True).stdout, r"\(RSA\)\n$")
            self.run_device(command, local)
            # The key ends with the grant, even with the daemon gone.
            daemon.kill()
            time.sleep(4)
            login = subprocess.run(["ssh"] + SSH + [user + "@127.0.0.1", "true"], capture_output=True, text=True, timeout=30)
            self.assertEqual((login.returncode, "Permission denied" in login.stderr), (255, True))
            sshd.terminate()
            sshd.wait()

    def test_only_root_and_allowed_users_drive_the_daemon(self):
        subprocess.run(["useradd", "-M", "mallory"], check=True)
        as_user = lambda name, request: subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/55444; echo '%s' >&3; cat <&3"
                                                        % request], user=name, capture_output=True, text=True).stdout.rstrip("\n")
        daemon, log = self.start_daemon()
        _, user, local = self.grant("a")
        self.assertEqual(self.ask("acl:a:10.9.9.0/24"), "OK")
        before = (self.ask("list"), read("/etc/passwd"), own_rules(local))
        table = [("root", "localports:a", str(local)), ("www-data", "key:a", "/tmp/%s.key" % user)] + [
            ("mallory", r, "ERROR") for r in ("list", "key:a", "request:m:22", "acl:a:10.1.1.1", "release:a", "shutdown")]
        self.assertEqual([(who, r, as_user(who, r)) for who, r, _ in table], table)
        self.assertEqual((self.ask("list"), read("/etc/passwd"), own_rules(local)), before)
        self.assertEqual(read(log).count("refused control connection from uid %d\n" % pwd.getpwnam("mallory").pw_uid), 6)
        daemon.kill()
        daemon.wait()
        self.start_daemon("-a", "mallory")
        self.assertEqual([as_user("mallory", "list"), as_user("www-data", "list")], [self.ask("list"), "ERROR"])

    def check_logs(self):
        for log in glob.glob(self.dir + "/*.log"):
            print("---- %s\n%s" % (log, read(log)[-5000:]), file=sys.stderr)   # shown by ctest on failure
            self.assertNotRegex(read(log), SANITIZER_REPORT + "|still running after|still there|currently used by process")


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("end-to-end test skipped: needs root", file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)   # in CI it must run
    in_namespaces(__file__)
    unittest.main(argv=[sys.argv[0], "-v"])
