"""End to end with a real ssh server, real accounts and real firewall rules,
inside a private network namespace. Only the network is private: the PID
namespace stays the machine's, so killed processes are reaped as on a real
host. Exit status 77: skipped (not root, outside CI)."""
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
from harness import BINARY, SANITIZER_REPORT, wait_for  # noqa: E402
DEVICE_PORT = 2222
DROP_IN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/sshd-tunnel_keeper.conf")


def read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:   # also a process that ended while it was looked at
        return b"" if "b" in mode else ""


def round_trip(port, timeout=2.0):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"ping\n")
            return s.recv(100)
    except OSError:
        return None


def processes_of(user):
    """The account's processes (by real, effective or saved uid) and the device-side client."""
    try:
        uid = str(pwd.getpwnam(user).pw_uid)
    except KeyError:
        uid = None
    pids = []
    for pid in (p.split("/")[2] for p in glob.glob("/proc/[0-9]*")):
        try:
            status, cmdline = read("/proc/%s/status" % pid), read("/proc/%s/cmdline" % pid, "rb")
        except OSError:
            continue
        if uid in (re.findall(r"Uid:(.*)", status) or [""])[0].split()[:3] or (user + "@").encode() in cmdline:
            pids.append(int(pid))
    return pids


def account_exists(user):
    return subprocess.run(["getent", "passwd", user], capture_output=True).returncode == 0


class Device(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.recv(100)
        self.request.sendall(b"hello from device\n")


class RealHost(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tk_e2e_")
        self.daemons, self.users, self.saved, self.made_run_sshd = [], set(), {}, False
        self.addCleanup(self.clean_up)
        for path in ("/tmp/key", "/tmp/known_hosts"):  # the device's fixed paths: keep what was there
            if os.path.lexists(path):
                self.saved[path] = shutil.move(path, self.dir + "/" + os.path.basename(path) + ".saved")
        self.made_run_sshd = not os.path.isdir("/run/sshd")
        os.makedirs("/run/sshd", exist_ok=True)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.dir + "/hostkey"], check=True)
        with open(self.dir + "/sshd_config", "w") as f:
            f.write("ListenAddress 127.0.0.1\nHostKey {0}/hostkey\nPidFile {0}/sshd.pid\nUsePAM yes\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\nLogLevel VERBOSE\nInclude {1}\n".format(self.dir, DROP_IN))
        self.sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-f", self.dir + "/sshd_config", "-E", self.dir + "/sshd.log"])
        keys = wait_for("the ssh server", lambda: subprocess.run(["ssh-keyscan", "127.0.0.1"], capture_output=True,
                                                                 text=True).stdout)
        with open("/tmp/known_hosts", "w") as f:
            f.write(keys)
        self.device = socketserver.ThreadingTCPServer(("127.0.0.1", DEVICE_PORT), Device)
        threading.Thread(target=self.device.serve_forever, daemon=True).start()

    def start_daemon(self, *args):
        log = "%s/tk%d.log" % (self.dir, len(self.daemons))
        self.daemons.append((subprocess.Popen([BINARY, "-i", "127.0.0.1", "-l", log, "-r", "20000-20010"] + list(args)), log))
        wait_for("the daemon", lambda: "started tunnel_keeper" in read(log), timeout=15)
        return self.daemons[-1]

    def ask(self, request):
        with socket.create_connection(("127.0.0.1", 55444), timeout=30) as s:
            s.sendall(request.encode() + b"\n")
            return s.makefile().read().rstrip("\n")

    def open_tunnel(self, name):
        """Requests a grant and runs its forwarding command as the device would."""
        command = self.ask("request:%s:%d" % (name, DEVICE_PORT))
        user = re.search(r" (sshtmp_\w{8})@127\.0\.0\.1 ", command).group(1)
        self.users.add(user)
        local = int(self.ask("localports:" + name))
        shutil.copy(self.ask("key:" + name), "/tmp/key")
        os.chmod("/tmp/key", 0o600)
        subprocess.run(["/bin/sh", "-c", command], check=True, timeout=30)
        self.assertEqual(wait_for("a round trip through port %d" % local, lambda: round_trip(local), timeout=15),
                         b"hello from device\n")
        return user, local

    def assert_gone(self, user, local):
        wait_for(user + " and its files to be deleted", lambda: not (account_exists(user) or processes_of(user) or
                 os.path.lexists("/tmp/" + user) or os.path.lexists("/tmp/%s.key" % user)), timeout=10)
        self.assertIsNone(round_trip(local, timeout=1))
        self.assertNotIn("--dport %d " % local, subprocess.run(["iptables", "-S", "INPUT"], capture_output=True, text=True).stdout)

    def test_tunnel_filter_release_expiry_and_purge(self):
        started = time.time()
        daemon, log = self.start_daemon()
        user, local = self.open_tunnel("dev1")
        # The ssh server drop-in: the tunnel works, but no terminal and no -L pivot.
        ssh = ["ssh", "-i", "/tmp/key", "-o", "UserKnownHostsFile=/tmp/known_hosts", "-o", "BatchMode=yes", user + "@127.0.0.1"]
        self.assertIn("PTY allocation request failed", subprocess.run(ssh + ["-tt", "true"], capture_output=True, text=True,
                                                                      timeout=30).stderr)
        pivot = subprocess.Popen(ssh + ["-N", "-L", "3333:127.0.0.1:%d" % DEVICE_PORT], stderr=subprocess.PIPE, text=True)
        wait_for("the server to refuse -L", lambda: round_trip(3333) is None and "refused local port forward" in
                 read(self.dir + "/sshd.log"))
        pivot.kill()
        self.assertIn("administratively prohibited", pivot.communicate()[1])
        self.assertEqual(self.ask("acl:dev1:10.9.9.0/24"), "OK")
        rules = subprocess.run(["iptables", "-S", "INPUT"], capture_output=True, text=True).stdout
        self.assertIn("-A INPUT -s 10.9.9.0/24 -p tcp -m tcp --dport %d -j ACCEPT\n-A INPUT -p tcp -m tcp --dport %d -j DROP"
                      % (local, local), rules)
        self.assertIsNone(round_trip(local, timeout=1))
        self.assertEqual(self.ask("acl:dev1:10.9.9.0/24"), "ERROR")
        self.assertEqual(self.ask("release:dev1"), "OK")
        self.assert_gone(user, local)
        daemon.terminate()
        daemon.wait()   # the next daemon needs the control port

        daemon, log = self.start_daemon("-t", "4")   # expiry
        user, local = self.open_tunnel("dev2")
        wait_for("expiry", lambda: "Timeout: removing dev2" in read(log), timeout=10)
        self.assert_gone(user, local)
        daemon.terminate()
        daemon.wait()   # the next daemon needs the control port

        daemon, log = self.start_daemon()            # a crash leaves the account; -c purges it
        user, local = self.open_tunnel("dev3")
        daemon.kill()
        daemon.wait()
        self.assertTrue(account_exists(user))
        daemon, log = self.start_daemon("-c")
        wait_for("the purge", lambda: "Running: rm -rf /tmp/%s.key" % user in read(log))
        self.assertRegex(read(log), "killall -9 -u %s\n(.*\n)*.*userdel %s\n" % (user, user))
        self.assertNotRegex(read("/etc/passwd"), "(^|\n)sshtmp")
        self.assert_gone(user, local)

        logs = "".join(read(path) for _, path in self.daemons)
        self.assertNotRegex(logs, "still running after|currently used by process")
        print("\nend to end: %.1f s; reaping waits:\n%s" % (time.time() - started, "".join(
            re.findall(r".*waited \d+ ms.*\n", logs))), file=sys.stderr)

    def clean_up(self):
        for proc, log in self.daemons:
            proc.kill()
            proc.wait()
            self.users.update(re.findall(r"<= (sshtmp_\w+)", read(log)))
            print("---- %s\n%s" % (log, read(log)[-6000:]), file=sys.stderr)  # shown by ctest on failure
        for user in self.users:
            for pid in processes_of(user):
                os.kill(pid, signal.SIGKILL)
            if account_exists(user):
                try:
                    wait_for("the processes of %s to be reaped" % user, lambda: not processes_of(user), timeout=10)
                finally:
                    subprocess.run(["userdel", user], capture_output=True)
            shutil.rmtree("/tmp/" + user, ignore_errors=True)
            if os.path.lexists("/tmp/%s.key" % user):
                os.remove("/tmp/%s.key" % user)
        if hasattr(self, "device"):   # set-up may have stopped early
            self.device.shutdown()
            self.device.server_close()
        if hasattr(self, "sshd"):
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
        for _, log in self.daemons:
            self.assertNotRegex(read(log), SANITIZER_REPORT)


if __name__ == "__main__":
    missing = [t for t in ("/usr/sbin/sshd", "ssh", "ssh-keyscan", "iptables", "unshare", "ip", "start-stop-daemon",
                           "useradd", "killall") if not shutil.which(t)]
    if os.geteuid() != 0 or missing:
        print("end-to-end test skipped: " + ("needs root" if os.geteuid() else "missing " + " ".join(missing)), file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)   # in CI a missing prerequisite fails
    if os.environ.get("TK_E2E_NETNS") != "1":
        sys.exit(subprocess.call(["unshare", "-n", "--", sys.executable, os.path.abspath(__file__)],
                                 env=dict(os.environ, TK_E2E_NETNS="1")))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    unittest.main(argv=[sys.argv[0], "-v"])
