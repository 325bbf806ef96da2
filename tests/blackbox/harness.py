# Runs the real daemon on a free loopback port with a temporary log file and
# stub host commands first on its PATH. Each stub notes in record.fds how many
# of its open descriptors are sockets or the log.
import base64, hashlib, os, pathlib, re, shutil, socket, subprocess, sys, tempfile, time, unittest

# Every daemon of the tests, and the tests' own clock, run in a zone east of
# UTC without daylight saving: local time and UTC differ by 5.5 hours.
os.environ["TZ"] = "TKT-5:30"
time.tzset()
BINARY = os.environ.get("TK_BINARY", os.path.join(os.path.dirname(__file__), "../../build/tunnel_keeper"))
SANITIZER_REPORT = r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|runtime error:|ERROR: LeakSanitizer"
HEAD = ("start-stop-daemon --start --quiet --background --exec /usr/bin/ssh --startas /usr/bin/ssh "
        "-- -i /tmp/key -o UserKnownHostsFile=/tmp/known_hosts ")
BLOB = b"\0\0\0\x0bssh-ed25519\0\0\0\x20" + bytes(range(32))
PUBLIC_KEY = "ssh-ed25519 %s root@host" % base64.b64encode(BLOB).decode()
FINGERPRINT = "SHA256:" + base64.b64encode(hashlib.sha256(BLOB).digest()).decode().rstrip("=")
# Each stub notes its descriptors; when record.fail.NAME (or record.once.NAME, which is then removed) holds a pattern
# that its arguments match, it fails with status 10, and when record.hang.NAME does, it renames that to record.hung and
# hangs.
STUB = ('#!/bin/sh\nls -l /proc/$$/fd 2>/dev/null | grep -c -e socket: -e "$STUB_LOG" -e "$STUB_RECORD.state" >> "$STUB_RECORD.fds"\n'
        'for f in fail once hang; do if [ -e "$STUB_RECORD.$f.${0##*/}" ]; then case "$*" in $(cat "$STUB_RECORD.$f.${0##*/}"))\n'
        '  [ $f = hang ] && mv "$STUB_RECORD.hang.${0##*/}" "$STUB_RECORD.hung" && exec sleep 600\n'
        '  rm -f "$STUB_RECORD.once.${0##*/}"; exit 10;; esac; fi; done\n')
# iptables keeps its chain in record.iptables, as -S lists it: -A appends a rule, -D deletes one (status 1 when there is
# none), -S prints them, with what the test put there first; ssh-keygen -t T -f P makes a key pair of mode 600 with the
# public key given; accounts are real (in the namespaces' own /etc); the others run the real program.
KEYGEN = STUB + 'umask 077; echo private > "$4"; echo "%s" > "$4.pub"\n'
REAL = {p: 'exec %s "$@"\n' % shutil.which(p) for p in ("useradd", "userdel", "killall", "chown", "mktemp", "sed", "install", "mv")}
STUBS = dict({p: STUB + REAL[p] for p in REAL}, **{"ssh-keygen": KEYGEN % PUBLIC_KEY},
             iptables=STUB + 'f=$STUB_RECORD.${0##*/}; a=$1; shift; [ $a = -S ] && { cat "$f" 2>/dev/null; exit 0; }; [ "$2" = -s ] && r="-A INPUT -s $3 '
             '-p tcp -m tcp --dport $9 -j $7" || r="-A INPUT -p tcp -m tcp --dport $7 -j $5"\n[ $a = -A ] || grep -qxF -- "$r" "$f" || exit 1\n'
             'cat "$f" 2>/dev/null | awk -v a=$a -v r="$r" \'a == "-D" && !d && $0 == r { d = 1; next } 1; END { if (a == "-A") print r }\' > "$f.t"; mv "$f.t" "$f"\n')
STUBS["ip6tables"] = STUBS["iptables"]


# While this file exists, the namespaces' init reaps no orphan: a killed
# account's processes stay zombies of that uid until the test lets them go.
HOLD_REAPING = "/run/tk_hold_reaping"


def in_namespaces(script):
    """Runs `script` again in private network, mount and pid namespaces with overlays on /etc, /run, /tmp, /var/log and
    /var/lib and a BPF file system of its own, as a systemd host has, so that no account, file, rule, pinned port guard
    or process it makes outlives it or reaches the host. The host's service manager and bus are out of reach (empty
    /run/systemd and /run/dbus), and the host's own tunnel_keeper state and log are not seen. There, the first process
    becomes the namespaces' init and this call returns in its child, which runs the script; the init exits with the
    child's status."""
    if os.getpid() != 1:
        sys.exit(subprocess.call(["unshare", "-n", "-m", "-p", "--fork", "--mount-proc", sys.executable, os.path.abspath(script)] + sys.argv[1:]))
    subprocess.run(["sh", "-ec", "mount -t tmpfs tmpfs /mnt; for d in /etc /run /tmp /var/log /var/lib; do mkdir -p /mnt/u$d /mnt/w$d; "
                    "mount -t overlay overlay -o lowerdir=$d,upperdir=/mnt/u$d,workdir=/mnt/w$d $d; done; mkdir -p /run/sshd; "
                    "mount -t bpf bpf /sys/fs/bpf; for d in /run/systemd /run/dbus; do [ ! -d $d ] || mount -t tmpfs tmpfs $d; done; "
                    "rm -rf /var/lib/tunnel_keeper /var/log/tunnel_keeper.log*; "
                    "ip link set lo up; ip link add tk0 type veth peer name tk1; ip addr add 192.0.2.1/24 dev tk0"], check=True)
    child = os.fork()
    if child == 0:
        return
    while True:
        time.sleep(0.05)
        while (ended := os.waitpid(child if os.path.exists(HOLD_REAPING) else -1, os.WNOHANG))[0]:
            if ended[0] == child:
                sys.exit(os.waitstatus_to_exitcode(ended[1]))


def main(script):
    """Runs the unittest cases of `script` in namespaces of their own (needs root: exit status 77, skipped, outside CI)."""
    if os.geteuid() != 0:
        print("skipped: needs root", file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)   # in CI it must run
    in_namespaces(script)
    # TK_SHARD=i/n: the i-th of every n tests, in name order.
    shard, shards = map(int, os.environ.get("TK_SHARD", "0/1").split("/"))
    loader = unittest.TestLoader()
    names = loader.getTestCaseNames
    loader.getTestCaseNames = lambda case: [n for i, n in enumerate(names(case)) if i % shards == shard]
    unittest.main(module="__main__", argv=[sys.argv[0], "-v"] + sys.argv[1:], testLoader=loader)   # names of tests to run, if any


def wait_for(what, check, timeout=10.0):
    deadline = time.time() + timeout
    while not (result := check()):
        assert time.time() < deadline, "timed out waiting for " + what
        time.sleep(0.02)
    return result


read = lambda path: pathlib.Path(path).read_text(errors="replace") if os.path.exists(path) else ""  # noqa: E731
user_of = lambda answer: re.search(r"(sshtmp_\w{8})@", answer).group(1)  # noqa: E731


class Daemon:
    def __init__(self, test, *args, stubs=None, files=None, port=None, ip="192.0.2.10", wait=True, env=None):
        self.dir = tempfile.mkdtemp(prefix="tk_test_")
        test.addCleanup(self.stop)
        self.log_path, self.record, self.state = self.dir + "/tk.log", self.dir + "/record", self.dir + "/record.state"
        os.mkdir(self.dir + "/bin")
        for path, text in [("/bin/" + n, t) for n, t in dict(STUBS, **(stubs or {})).items()] + \
                          [("/record" + suffix, t) for suffix, t in (files or {}).items()]:
            pathlib.Path(self.dir + path).write_text(text)
            os.chmod(self.dir + path, 0o755)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = port or s.getsockname()[1]
        # TMPDIR elsewhere: the homes must still be made in /tmp.
        env = dict(os.environ, PATH=self.dir + "/bin:" + os.environ["PATH"], STUB_RECORD=self.record,
                   STUB_LOG=self.log_path, TMPDIR=self.dir, **(env or {}))
        argv = [BINARY, "-p", str(self.port), "-l", self.log_path, "-s", self.state] + (["-i", ip] if ip else []) + list(args)
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if wait:
            wait_for("the daemon", lambda: "started tunnel_keeper" in self.log())

    def send(self, data):
        # All the daemon writes back before it closes; unread request bytes turn the close into a reset.
        # Queued changes are answered when made: under a sanitizer beside other tests, 63 grants take a while.
        with socket.create_connection(("127.0.0.1", self.port), timeout=180) as s:
            s.sendall(data.encode() if isinstance(data, str) else data)
            answer = b""
            try:
                while chunk := s.recv(65536):
                    answer += chunk
            except ConnectionResetError:
                pass
            return answer.decode(errors="replace")

    def ask(self, request):
        answer = self.send(request + "\n")
        assert answer.endswith("\n"), repr(answer)
        return answer[:-1]

    def fault(self, kind, program, pattern="*"):
        # The stub of `program` fails ("fail", or "once" for one call) or hangs ("hang") on arguments that match.
        pathlib.Path("%s.%s.%s" % (self.record, kind, program)).write_text(pattern)

    metric = lambda self, series: int(re.search(r"^%s (\d+)$" % re.escape(series), self.ask("metrics"), re.M).group(1))

    def settled(self):
        # Changes are made one at a time in the order asked: once a release of no grant is answered, every change asked
        # before it (and the start's own) is made.
        self.ask("release:settled")

    log = lambda self: read(self.log_path)  # noqa: E731

    def commands(self, start=0):
        # The host commands in the order logged, from the start-th on.
        return re.findall(r"(?:Running: |RUNNING \|)(.*?)\|?\n", self.log())[start:]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:   # a hung command that outlives a killed daemon holds its output open
            self.proc.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        log = self.log()   # the accounts, homes and key copies of grants it did not remove
        made = set(re.findall(r"/tmp/(sshtmp_\w{8})", log)) - {"sshtmp_XXXXXXXX"}
        for user in made:
            subprocess.run(["userdel", user], stderr=subprocess.DEVNULL)
        subprocess.run(["rm", "-rf"] + ["/tmp/" + u + s for u in made for s in ("", ".key")])
        shutil.rmtree(self.dir, ignore_errors=True)
        assert not re.search(SANITIZER_REPORT, log), log   # standard error is the log
