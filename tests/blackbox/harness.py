"""Runs the real daemon on a free loopback port with a temporary log file and
stub host commands first on its PATH; the stubs record their arguments."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time

BINARY = os.environ.get("TK_BINARY", os.path.join(os.path.dirname(__file__), "../../build/tunnel_keeper"))
SANITIZER_REPORT = r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|runtime error:|ERROR: LeakSanitizer"
STUB = '#!/bin/sh\necho "$(basename "$0") $*" >> "$STUB_RECORD"\nsleep "${STUB_SLEEP:-0}"\n[ -z "$STUB_FAIL" ]\n'
KEYGEN = STUB.replace("[ -z", 'umask 077; echo private > "$2"; echo public > "$2.pub"\n[ -z')


def wait_for(what, check, timeout=10.0):
    """Polls `check` until it gives a true value, which it returns."""
    deadline = time.time() + timeout
    while not (result := check()):
        assert time.time() < deadline, "timed out waiting for " + what
        time.sleep(0.02)
    return result


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon:
    def __init__(self, test, *args, env=None, stubs=None, port=None, ip="192.0.2.10", wait=True):
        self.dir = tempfile.mkdtemp(prefix="tk_test_")
        test.addCleanup(self.stop)
        self.log_path, self.record = self.dir + "/tk.log", self.dir + "/record"
        os.mkdir(self.dir + "/bin")
        scripts = dict({n: STUB for n in ("useradd", "userdel", "killall", "iptables", "chown")}, **{"ssh-keygen": KEYGEN})
        scripts.update(stubs or {})
        for name, text in scripts.items():
            with open(self.dir + "/bin/" + name, "w") as f:
                f.write(text)
            os.chmod(self.dir + "/bin/" + name, 0o755)
        env = dict(os.environ, PATH=self.dir + "/bin:" + os.environ["PATH"], STUB_RECORD=self.record, **(env or {}))
        self.port = port or free_port()
        argv = [BINARY, "-p", str(self.port), "-l", self.log_path] + (["-i", ip] if ip else []) + list(args)
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if wait:
            self.wait_log("started tunnel_keeper")

    def wait_log(self, text, timeout=10):
        wait_for("%r in the log" % text, lambda: text in self.log(), timeout)

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=30)

    def send(self, data):
        """Sends one request; returns all the daemon writes back before it closes."""
        with self.connect() as s:
            s.sendall(data.encode() if isinstance(data, str) else data)
            answer = b""
            try:
                while chunk := s.recv(65536):
                    answer += chunk
            except ConnectionResetError:  # unread request bytes turn the close into a reset
                pass
            return answer.decode(errors="replace")

    def ask(self, request):
        answer = self.send(request + "\n")
        assert answer.endswith("\n"), repr(answer)
        return answer[:-1]

    def log(self):
        with open(self.log_path, errors="replace") if os.path.exists(self.log_path) else open(os.devnull) as f:
            return f.read()

    def commands(self):
        """Host commands in the order the daemon logged them."""
        return re.findall(r"(?:Running: |RUNNING \|)(.*?)\|?\n", self.log())

    def stubbed(self):
        with open(self.record) as f:
            return f.read().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()
        log = self.log()
        for user in set(re.findall(r"<= (sshtmp_\w+)", log)):
            shutil.rmtree("/tmp/" + user, ignore_errors=True)
            if os.path.lexists("/tmp/%s.key" % user):
                os.remove("/tmp/%s.key" % user)
        shutil.rmtree(self.dir, ignore_errors=True)
        # Standard error is the log: a sanitizer build reports there.
        assert not re.search(SANITIZER_REPORT, log), log
