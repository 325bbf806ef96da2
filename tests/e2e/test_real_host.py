"""End to end on a real host: a real ssh server and the real host commands,
inside a private network namespace (the PID namespace stays the machine's,
so reaping of killed processes behaves as on a real host).

Exit status 77 means skipped (not root, outside CI)."""
import glob
import os
import pwd
import re
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BINARY = os.environ.get("TK_BINARY", os.path.join(os.path.dirname(__file__), "../../build/tunnel_keeper"))
IN_NETNS = "TK_E2E_NETNS"
DEVICE_PORT = 2222
SKIP = 77
SANITIZER_REPORT = r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|runtime error:|ERROR: LeakSanitizer"


def wait_for(what, check, timeout=15.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def round_trip(port, timeout=2.0):
    """The device service's reply through 127.0.0.1:port, or None."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"ping\n")
            return s.recv(100)
    except OSError:
        return None


def processes_matching(text):
    pids = []
    for path in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            with open(path, "rb") as f:
                if text.encode() in f.read():
                    pids.append(int(path.split("/")[2]))
        except OSError:
            pass
    return [p for p in pids if p != os.getpid()]


def processes_of(user):
    """Pids whose real, effective or saved user is the account."""
    try:
        uid = pwd.getpwnam(user).pw_uid
    except KeyError:
        return []
    pids = []
    for path in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(path) as f:
                ids = next(line for line in f if line.startswith("Uid:")).split()[1:4]
        except (OSError, StopIteration):
            continue
        if str(uid) in ids:
            pids.append(int(path.split("/")[2]))
    return pids


def account_exists(user):
    return subprocess.run(["getent", "passwd", user], capture_output=True).returncode == 0


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.recv(100)
        self.request.sendall(b"hello from device\n")


class RealHost(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tk_e2e_")
        self.daemons, self.users = [], set()
        self.addCleanup(self.clean_up)
        # The device's key and known hosts live at fixed paths; keep what
        # was there.
        self.saved = {}
        for path in ("/tmp/key", "/tmp/known_hosts"):
            if os.path.lexists(path):
                self.saved[path] = os.path.join(self.dir, os.path.basename(path) + ".saved")
                shutil.move(path, self.saved[path])
        self.start_sshd()
        self.device = socketserver.ThreadingTCPServer(("127.0.0.1", DEVICE_PORT), Echo)
        threading.Thread(target=self.device.serve_forever, daemon=True).start()

    def start_sshd(self):
        self.made_run_sshd = not os.path.isdir("/run/sshd")
        os.makedirs("/run/sshd", exist_ok=True)
        hostkey = os.path.join(self.dir, "hostkey")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", hostkey], check=True)
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w") as f:
            f.write("ListenAddress 127.0.0.1\nPort 22\nHostKey %s\nPidFile %s/sshd.pid\nUsePAM yes\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\nLogLevel VERBOSE\n"
                    % (hostkey, self.dir) + self.extra_sshd_config())
        self.sshd_log = os.path.join(self.dir, "sshd.log")
        self.sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-f", config, "-E", self.sshd_log])
        wait_for("the ssh server", lambda: subprocess.run(
            ["ssh-keyscan", "-p", "22", "127.0.0.1"], capture_output=True, text=True).stdout)
        with open("/tmp/known_hosts", "w") as f:
            f.write(subprocess.run(["ssh-keyscan", "-p", "22", "127.0.0.1"],
                                   capture_output=True, text=True).stdout)

    def extra_sshd_config(self):
        return ""

    def start_daemon(self, *args):
        port = 55444
        log = os.path.join(self.dir, "tk%d.log" % len(self.daemons))
        proc = subprocess.Popen([BINARY, "-i", "127.0.0.1", "-p", str(port), "-l", log, "-r", "20000-20010"]
                                + list(args))
        self.daemons.append((proc, log))
        wait_for("the daemon", lambda: "started tunnel_keeper" in self.read(log))
        return proc, log

    @staticmethod
    def read(path):
        try:
            with open(path) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def ask(self, request):
        with socket.create_connection(("127.0.0.1", 55444), timeout=30) as s:
            s.sendall(request.encode() + b"\n")
            answer = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return answer.decode().rstrip("\n")
                answer += chunk

    def open_tunnel(self, name):
        """Requests a grant and runs its forwarding command as the device would."""
        command = self.ask("request:%s:%d" % (name, DEVICE_PORT))
        user = re.search(r" (sshtmp_\w{8})@127\.0\.0\.1 ", command).group(1)
        self.users.add(user)
        local = int(self.ask("localports:" + name))
        shutil.copy(self.ask("key:" + name), "/tmp/key")
        os.chmod("/tmp/key", 0o600)
        subprocess.run(["/bin/sh", "-c", command], check=True, timeout=30)
        reply = wait_for("a round trip through port %d" % local, lambda: round_trip(local))
        self.assertEqual(reply, b"hello from device\n")
        return user, local

    def assert_gone(self, user, local):
        wait_for("the tunnel's ssh client to end", lambda: not processes_matching(user + "@127.0.0.1"))
        # Expiry removes on the daemon's own time; release has finished already.
        wait_for(user + " to be deleted", lambda: not account_exists(user), timeout=10)
        wait_for("the files of " + user, lambda: not (os.path.lexists("/tmp/" + user) or
                                                       os.path.lexists("/tmp/%s.key" % user)))
        self.assertIsNone(round_trip(local, timeout=1))
        self.assertNotIn("--dport %d" % local, subprocess.run(["iptables", "-S", "INPUT"], capture_output=True,
                                                            text=True).stdout)

    def test_tunnel_filter_release_expiry_and_purge(self):
        started = time.time()
        daemon, log = self.start_daemon()
        user, local = self.open_tunnel("dev1")

        self.assertEqual(self.ask("acl:dev1:10.9.9.0/24"), "OK")
        rules = subprocess.run(["iptables", "-S", "INPUT"], capture_output=True, text=True).stdout
        self.assertIn("-A INPUT -s 10.9.9.0/24 -p tcp -m tcp --dport %d -j ACCEPT" % local, rules)
        self.assertIn("-A INPUT -p tcp -m tcp --dport %d -j DROP" % local, rules)
        self.assertIsNone(round_trip(local, timeout=1))
        self.assertEqual(self.ask("acl:dev1:10.9.9.0/24"), "ERROR")

        self.assertEqual(self.ask("release:dev1"), "OK")
        self.assert_gone(user, local)
        daemon.send_signal(signal.SIGTERM)
        daemon.wait()

        # Expiry with a short lifetime.
        daemon, log = self.start_daemon("-t", "4")
        user, local = self.open_tunnel("dev2")
        wait_for("expiry", lambda: "Timeout: removing dev2" in self.read(log), timeout=10)
        self.assert_gone(user, local)
        daemon.send_signal(signal.SIGTERM)
        daemon.wait()

        # A crash leaves the account; the next start with -c purges it.
        daemon, log = self.start_daemon()
        user, local = self.open_tunnel("dev3")
        daemon.kill()
        daemon.wait()
        self.assertTrue(account_exists(user))
        daemon, log = self.start_daemon("-c")
        wait_for("the purge", lambda: "Running: rm -rf /tmp/%s.key" % user in self.read(log))
        self.assertLess(self.read(log).index("killall -9 -u " + user), self.read(log).index("userdel " + user))
        self.assertEqual([u for u in self.passwd_names() if u.startswith("sshtmp")], [])
        self.assert_gone(user, local)
        self.assertFalse(processes_matching(user) or processes_of(user))
        waits = [line for _, path in self.daemons for line in self.read(path).splitlines(True)
                 if "waited" in line or "still running" in line]
        self.assertFalse([w for w in waits if "still running" in w])
        for _, path in self.daemons:
            self.assertNotIn("currently used by process", self.read(path))
        print("\nend to end: %.1f s; reaping waits:\n%s" % (time.time() - started, "".join(waits)), file=sys.stderr)

    def passwd_names(self):
        with open("/etc/passwd") as f:
            return [line.split(":", 1)[0] for line in f]

    def clean_up(self):
        # Shown by ctest when the test fails.
        for _, log in self.daemons + [(None, self.sshd_log)]:
            print("---- %s\n%s" % (log, "".join(self.read(log).splitlines(True)[-40:])), file=sys.stderr)
        for _, log in self.daemons:
            self.assertNotRegex(self.read(log), SANITIZER_REPORT)
        for proc, _ in self.daemons:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        for _, log in self.daemons:
            if os.path.exists(log):
                self.users.update(re.findall(r"<= (sshtmp_\w+)", self.read(log)))
        for user in self.users:
            # The device-side client (root's) and everything the account runs.
            victims = lambda: processes_matching(user + "@") + processes_of(user)
            for pid in victims():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            if account_exists(user):
                try:
                    wait_for("the processes of " + user + " to be reaped", lambda: not victims(), timeout=10)
                finally:
                    subprocess.run(["userdel", user], capture_output=True)
            shutil.rmtree("/tmp/" + user, ignore_errors=True)
            if os.path.lexists("/tmp/%s.key" % user):
                os.remove("/tmp/%s.key" % user)
        self.device.shutdown()
        self.device.server_close()
        self.sshd.terminate()
        self.sshd.wait()
        if self.made_run_sshd:
            shutil.rmtree("/run/sshd", ignore_errors=True)
        for path in ("/tmp/key", "/tmp/known_hosts"):
            if os.path.lexists(path):
                os.remove(path)
            if path in self.saved:
                shutil.move(self.saved[path], path)
        shutil.rmtree(self.dir, ignore_errors=True)


def main():
    ci = os.environ.get("CI") == "true"
    missing = [tool for tool in ("/usr/sbin/sshd", "ssh", "ssh-keyscan", "iptables", "unshare", "ip",
                                 "start-stop-daemon", "useradd", "killall") if not shutil.which(tool)]
    reason = None
    if os.geteuid() != 0:
        reason = "needs root"
    elif missing:
        reason = "missing: " + " ".join(missing)
    if reason:
        print("end-to-end test skipped: " + reason, file=sys.stderr)
        sys.exit(1 if ci else SKIP)
    if os.environ.get(IN_NETNS) != "1":
        env = dict(os.environ, **{IN_NETNS: "1"})
        sys.exit(subprocess.call(["unshare", "-n", "--", sys.executable, os.path.abspath(__file__)], env=env))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
