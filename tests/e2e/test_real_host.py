# End to end with a real ssh server, real accounts and real firewall rules,
# in private network, mount and pid namespaces: overlays on /etc, /run, /tmp and
# /var/log keep every account, file and rule it makes from the host, and this
# script's first process is the namespaces' init, which reaps orphans only once
# a second, as a slow init would. Exit status 77: skipped (not root, outside CI).
import os, pwd, re, shutil, signal, socket, socketserver, subprocess, sys, tempfile, threading, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
from harness import BINARY, SANITIZER_REPORT, wait_for  # noqa: E402
DEVICE = 2222
DROP_IN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/sshd-tunnel_keeper.conf")


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def round_trip(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=1.5) as s:
            s.sendall(b"ping\n")
            return s.recv(100)
    except OSError:
        return None


def rules():
    return "".join(subprocess.run([t, "-S", "INPUT"], capture_output=True, text=True).stdout for t in ("iptables", "ip6tables"))


def own_rules(port):
    return r"-s \S+ -p tcp -m tcp --dport %d -j ACCEPT|--dport %d -j DROP" % (port, port)


def pids_of(text):
    # Processes whose command line holds `text`; all are this namespace's.
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if text.encode() in open("/proc/%s/cmdline" % pid, "rb").read():
                found.append(int(pid))
        except OSError:
            pass
    return found


def account_exists(user):
    try:
        return pwd.getpwnam(user)
    except KeyError:
        return None


class Device(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.recv(100)
        self.request.sendall(b"hello from device\n")


class RealHost(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.logs = []
        self.addCleanup(self.check_logs)
        os.makedirs("/run/sshd", exist_ok=True)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.dir + "/hostkey"], check=True)
        device = socketserver.ThreadingTCPServer(("127.0.0.1", DEVICE), Device)
        threading.Thread(target=device.serve_forever, daemon=True).start()

    def start(self, argv, log):
        proc = subprocess.Popen(argv)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.logs.append(log)
        return proc

    def start_sshd(self, drop_in):
        with open(self.dir + "/sshd_config", "w") as f:
            f.write("ListenAddress 127.0.0.1\nHostKey {0}/hostkey\nPidFile none\nUsePAM yes\nPasswordAuthentication no\n"
                    "KbdInteractiveAuthentication no\nLogLevel VERBOSE\n{1}".format(self.dir, "Include " + DROP_IN if drop_in else ""))
        sshd = self.start(["/usr/sbin/sshd", "-D", "-f", self.dir + "/sshd_config", "-E", self.dir + "/sshd%d.log" % drop_in],
                          self.dir + "/sshd%d.log" % drop_in)
        keys = wait_for("the ssh server", lambda: subprocess.run(["ssh-keyscan", "127.0.0.1"], capture_output=True, text=True).stdout)
        with open("/tmp/known_hosts", "w") as f:
            f.write(keys)
        return sshd

    def start_daemon(self, *args):
        log = "%s/tk%d.log" % (self.dir, len(self.logs))
        daemon = self.start([BINARY, "-i", "127.0.0.1", "-l", log, "-r", "20000-20010"] + list(args), log)
        wait_for("the daemon", lambda: os.path.exists(log) and "started tunnel_keeper" in read(log))
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

    def assert_gone(self, user, local):
        wait_for(user + " to be deleted", lambda: not (account_exists(user) or os.path.lexists("/tmp/" + user) or
                                                       os.path.lexists("/tmp/%s.key" % user) or pids_of(user + "@")))
        self.assertIsNone(round_trip(local))
        self.assertNotRegex(rules(), own_rules(local))

    def attacks(self, user):
        # What the key of a grant that holds port 20003 must not open, each with what shows that it did.
        ssh = ["ssh", "-i", "/tmp/key", "-o", "UserKnownHostsFile=/tmp/known_hosts", "-o", "BatchMode=yes"]
        return {"command": (ssh + ["-T", user + "@127.0.0.1", "id"], "", lambda out: "uid=" in out),
                "sftp": (["sftp"] + ssh[1:] + ["-b", "-", user + "@127.0.0.1"], "pwd\n", lambda out: "Remote working" in out),
                "-W control port": (ssh + ["-W", "127.0.0.1:55444", user + "@127.0.0.1"], "list\n", lambda out: " => " in out),
                "-R other grant": (ssh + ["-N", "-R", "20002:127.0.0.1:%d" % DEVICE, user + "@127.0.0.1"], "",
                                   lambda out: round_trip(20002)),
                "-R outside grant": (ssh + ["-N", "-R", "8080:127.0.0.1:%d" % DEVICE, user + "@127.0.0.1"], "",
                                     lambda out: round_trip(8080))}

    def try_attacks(self, user):
        running = {}
        for name, (argv, stdin, _) in self.attacks(user).items():
            with open(self.dir + "/in", "w") as f:
                f.write(stdin)
            running[name] = subprocess.Popen(argv, stdin=open(self.dir + "/in"), stdout=open(self.dir + "/" + name, "w"),
                                             stderr=subprocess.STDOUT)
        time.sleep(4)
        opened = [name for name, (_, _, shows) in self.attacks(user).items() if shows(read(self.dir + "/" + name))]
        for proc in running.values():
            proc.kill()
            proc.wait()
        return opened

    def test_grants_on_a_real_host(self):
        v6 = socket.socket(socket.AF_INET6)
        v6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        v6.bind(("::1", 20001))
        v6.listen()
        busy = [socket.create_server(("127.0.0.1", 20000)), v6]   # skipped by every request
        for drop_in in (False, True):
            sshd = self.start_sshd(drop_in)
            daemon, log = self.start_daemon()
            self.assertEqual(self.ask("status:nobody"), "ERROR")
            _, b_user, b_local = self.grant("b")
            command, user, local = self.grant("a")
            self.assertEqual((b_local, local, self.ask("status:a")), (20002, 20003, "waiting"))
            self.run_device(command, local)
            self.assertEqual(self.ask("status:a"), "connected")
            fingerprint = re.search(r"grant \|a\| %s (SHA256:\S+) until " % user, read(log)).group(1)
            self.assertRegex(read(self.dir + "/sshd%d.log" % drop_in), "Accepted publickey for %s .* %s\n" % (user, re.escape(fingerprint)))
            self.assertEqual(self.try_attacks(user), [], "drop-in %s" % drop_in)
            self.assertEqual(self.ask("acl:a:10.9.9.0/24"), "OK")
            self.assertEqual([round_trip(local), round_trip(local, "::1")], [None, None])
            for pid in pids_of(user + "@"):        # the device's tunnel drops
                os.kill(pid, signal.SIGKILL)
            wait_for("waiting", lambda: self.ask("status:a") == "waiting")
            squatter = subprocess.Popen(["/usr/bin/python3", "-c", "import socket,time\ns=socket.create_server(('127.0.0.1',%d))\n"
                                         "time.sleep(60)" % local], user="nobody")
            wait_for("taken", lambda: self.ask("status:a") == "taken")
            squatter.kill()
            squatter.wait()
            self.assertEqual(self.ask("release:a"), "OK")
            self.assert_gone(user, local)

            # A crash while b has a filter: -c deletes the account and the rules that name b's port, and only those.
            self.assertEqual(self.ask("acl:b:10.9.9.0/24"), "OK")
            daemon.kill()
            daemon.wait()
            others = ["-A INPUT -p tcp -m tcp --dport 20002 -j ACCEPT",
                      "-A INPUT -p tcp -m tcp --dport 20050 -j DROP"]
            for rule in others:
                subprocess.run(["iptables"] + rule.split(), check=True)
            daemon, log = self.start_daemon("-c", "-t", "3")
            command, user, local = self.grant("c")
            self.assertEqual(local, 20002)
            self.assertFalse(account_exists(b_user))
            self.assertNotRegex(rules(), own_rules(20002))
            self.assertEqual([rule in rules() for rule in others], [True, True])
            self.run_device(command, local)
            # The key ends with the grant, even with the daemon gone.
            daemon.kill()
            daemon.wait()
            time.sleep(4)
            login = subprocess.run(["ssh", "-i", "/tmp/key", "-o", "UserKnownHostsFile=/tmp/known_hosts", "-o", "BatchMode=yes",
                                    user + "@127.0.0.1", "true"], capture_output=True, text=True, timeout=30)
            self.assertEqual((login.returncode, "Permission denied" in login.stderr), (255, True))
            daemon, log = self.start_daemon("-c")
            self.assertEqual(self.ask("list"), "")
            self.assert_gone(user, local)
            self.assertNotIn("sshtmp", read("/etc/passwd"))
            for rule in others:
                subprocess.run(["iptables", "-D"] + rule.split()[1:], check=True)
            self.ask("shutdown")
            self.assertEqual(daemon.wait(10), 0)
            sshd.terminate()
            sshd.wait()
        for s in busy:
            s.close()

    def check_logs(self):
        for log in self.logs:
            text = read(log) if os.path.exists(log) else ""
            print("---- %s\n%s" % (log, text[-5000:]), file=sys.stderr)   # shown by ctest on failure
            self.assertNotRegex(text, SANITIZER_REPORT + "|still running after|still there|currently used by process")


if __name__ == "__main__":
    missing = [t for t in ("/usr/sbin/sshd", "ssh", "sftp", "ssh-keyscan", "iptables", "ip6tables", "unshare", "ip",
                           "start-stop-daemon", "useradd", "killall") if not shutil.which(t)]
    if os.geteuid() != 0 or missing:
        print("end-to-end test skipped: " + ("needs root" if os.geteuid() else "missing " + " ".join(missing)), file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)   # in CI a missing prerequisite fails
    if os.getpid() != 1:
        sys.exit(subprocess.call(["unshare", "-n", "-m", "-p", "--fork", "--mount-proc", sys.executable, os.path.abspath(__file__)]))
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/mnt"], check=True)
    for folder in ("/etc", "/run", "/tmp", "/var/log"):
        upper, work = "/mnt/upper" + folder.replace("/", "_"), "/mnt/work" + folder.replace("/", "_")
        os.makedirs(upper)
        os.makedirs(work)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s,workdir=%s" % (folder, upper, work),
                        folder], check=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    test = os.fork()
    if test == 0:
        unittest.main(argv=[sys.argv[0], "-v"])
    # The namespaces' init: orphans wait up to a second to be reaped, so a
    # killed account's processes linger as zombies.
    while True:
        time.sleep(1)
        while (ended := os.waitpid(-1, os.WNOHANG))[0]:
            if ended[0] == test:
                sys.exit(os.waitstatus_to_exitcode(ended[1]))
