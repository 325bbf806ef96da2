"""Starts the real daemon on a free loopback port with a temporary log file
and stub host commands, talks to it over TCP and reads its log."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time

BINARY = os.environ.get("TK_BINARY", os.path.join(os.path.dirname(__file__), "../../build/tunnel_keeper"))
SANITIZER_REPORT = r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|runtime error:|ERROR: LeakSanitizer"
STUBBED = ("useradd", "userdel", "killall", "iptables", "chown")

# Records its name and arguments; exits 1 when STUB_FAIL is set.
STUB = """#!/bin/sh
printf '%s\\n' "$(basename "$0") $*" >> "$STUB_RECORD"
[ -n "$STUB_SLEEP" ] && sleep "$STUB_SLEEP"
[ -n "$STUB_FAIL" ] && exit 1
exit 0
"""
# A fast key generator: writes KEY and KEY.pub for "-f KEY".
KEYGEN = """#!/bin/sh
printf '%s\\n' "ssh-keygen $*" >> "$STUB_RECORD"
[ -n "$STUB_FAIL" ] && exit 1
umask 077; echo private > "$2" && echo public > "$2.pub"
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


class Daemon:
    def __init__(self, *args, env=None, stubs=None, port=None, ip="192.0.2.10", wait=True):
        self.dir = tempfile.mkdtemp(prefix="tk_test_")
        self.log_path = os.path.join(self.dir, "tk.log")
        self.record = os.path.join(self.dir, "commands")
        bindir = os.path.join(self.dir, "bin")
        os.mkdir(bindir)
        for name in STUBBED:
            write_script(os.path.join(bindir, name), STUB)
        write_script(os.path.join(bindir, "ssh-keygen"), KEYGEN)
        for name, text in (stubs or {}).items():
            write_script(os.path.join(bindir, name), text)
        full_env = dict(os.environ, PATH=bindir + ":" + os.environ["PATH"], STUB_RECORD=self.record)
        full_env.update(env or {})
        self.port = port or free_port()
        argv = [BINARY, "-p", str(self.port), "-l", self.log_path] + (["-i", ip] if ip else []) + list(args)
        self.proc = subprocess.Popen(argv, env=full_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if wait:
            self.wait_log("started tunnel_keeper")

    def wait_log(self, text, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.log():
                return
            time.sleep(0.02)
        raise AssertionError("log never showed %r:\n%s" % (text, self.log()))

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        return s

    def send(self, data):
        """Sends one request and returns everything the daemon writes back."""
        if isinstance(data, str):
            data = data.encode()
        with self.connect() as s:
            s.sendall(data)
            chunks = []
            while True:
                try:
                    chunk = s.recv(65536)
                except ConnectionResetError:  # unread request bytes make the close a reset
                    chunk = b""
                if not chunk:
                    return b"".join(chunks).decode(errors="replace")
                chunks.append(chunk)

    def ask(self, request):
        """The answer text without the line feed the daemon appends."""
        answer = self.send(request + "\n")
        assert answer.endswith("\n"), repr(answer)
        return answer[:-1]

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def commands(self):
        """Commands the daemon logged, in order, without their log prefix."""
        return re.findall(r"(?:Running: |RUNNING \|)(.*?)\|?\n", self.log())

    def stubbed(self):
        try:
            with open(self.record) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_exit(self, timeout=30):
        return self.proc.wait(timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        log = self.log()
        for user in set(re.findall(r"<= (sshtmp_\w+)", log)):
            shutil.rmtree("/tmp/" + user, ignore_errors=True)
            if os.path.lexists("/tmp/" + user + ".key"):
                os.remove("/tmp/" + user + ".key")
        shutil.rmtree(self.dir, ignore_errors=True)
        # Standard error is the log: a sanitizer build reports there.
        assert not re.search(SANITIZER_REPORT, log), log


class DaemonTest:
    """Mixin: self.start() starts a daemon that is stopped after the test."""

    def start(self, *args, **kwargs):
        daemon = Daemon(*args, **kwargs)
        self.addCleanup(daemon.stop)
        return daemon

    def scratch(self):
        """A temporary folder removed after the test."""
        path = tempfile.mkdtemp(prefix="tk_test_")
        self.addCleanup(shutil.rmtree, path, True)
        return path
