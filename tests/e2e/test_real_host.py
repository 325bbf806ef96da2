# End to end with a real ssh server, real accounts and real firewall rules,
# in private network, mount and pid namespaces (harness.in_namespaces): when
# the test ends, the kernel ends every process left in the namespace. Exit
# status 77: skipped (not root, outside CI).
import calendar, ctypes, glob, json, os, pathlib, pwd, re, shutil, signal, socket, socketserver, struct, subprocess, sys, tempfile, threading, time, unittest, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
from harness import BINARY, HOLD_REAPING, SANITIZER_REPORT, main, read, wait_for  # noqa: E402
DEVICE = 2222
DROP_IN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/sshd-tunnel_keeper.conf")
STATE = "/var/lib/tunnel_keeper/grants"
PINS = "/sys/fs/bpf/tunnel_keeper"   # the port guard's, kept while the daemon is down
METRICS = [os.path.join(os.path.dirname(DROP_IN), "tunnel_keeper-metrics"), "55444"]
CTL_ON_PATH = dict(os.environ, PATH=os.path.dirname(BINARY) + ":" + os.environ["PATH"])   # the client is built beside the daemon
SSH = ["-i", "/tmp/key", "-o", "UserKnownHostsFile=/tmp/known_hosts", "-o", "BatchMode=yes"]


def unit_limits():
    """The daemon's command prefix that applies the installed unit's limits: a mount namespace of its own with /, /usr
    and /boot read-only and no home directories (ProtectSystem, ProtectHome), then setpriv with the unit's own
    CapabilityBoundingSet and NoNewPrivileges. There no cgroup v2 hierarchy is mounted, as on a cgroup v1 host: the
    port guard mounts its own (the black-box daemons use the host's)."""
    root = tempfile.mkdtemp()
    subprocess.run(["cmake", "--install", os.path.dirname(BINARY)], env=dict(os.environ, DESTDIR=root), check=True, capture_output=True)
    unit = dict(re.findall(r"^(\w+)=(.*)$", read(glob.glob(root + "/**/tunnel_keeper.service", recursive=True)[0]), re.M))
    shutil.rmtree(root)
    caps = ",".join("+" + c.lower()[4:] for c in unit["CapabilityBoundingSet"].split())
    return ["unshare", "-m", "sh", "-ec", "for m in $(findmnt -t cgroup2 -n -o TARGET); do umount $m; done; mount -o remount,bind,ro /; for d in /usr /boot; do [ ! -d $d ] || mount --bind -o ro $d $d; done; "
            "for d in /home /root; do [ ! -d $d ] || mount -t tmpfs -o ro tmpfs $d; done; exec setpriv --bounding-set -all,%s %s -- \"$@\"" % (
                caps, "--no-new-privs" * (unit["NoNewPrivileges"] == "yes")), "daemon"]


LIMITS = unit_limits() if os.geteuid() == 0 else []


def round_trip(port, host="127.0.0.1"):
    # What the device's service says through the port; None when nothing answers.
    try:
        with socket.create_connection((host, port), timeout=1.5) as s:
            return s.recv(100)
    except OSError:
        return None


def binds(user, port, *addresses, keep=None):
    # What a bind() by `user` to each address (127.0.0.1 by default) and the port gives, as a server binds (past the
    # port's time-wait connections; an address that ends in "!" without SO_REUSEADDR): "ok" or the errno. With `keep`, a
    # list, the process stays, its sockets bound but not listening, and is added to the list.
    script = ("import socket,sys,time\nkept=[]\nfor a in sys.argv[3:]:\n  s=socket.socket(socket.AF_INET6 if ':' in a else socket.AF_INET)\n"
              "  s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,a[-1]!='!')\n  kept.append(s)\n  try: s.bind((a.rstrip('!'),int(sys.argv[1]))); print('ok',flush=True)\n"
              "  except OSError as e: print(e.errno,flush=True)\nsys.argv[2]=='keep' and time.sleep(600)")
    run = subprocess.Popen(["/usr/bin/python3", "-c", script, str(port), "keep" if keep is not None else ""] + list(addresses or ["127.0.0.1"]),
                           user=user, stdout=subprocess.PIPE, text=True)
    if keep is None:
        return run.communicate()[0].split()
    keep.append(run)
    return [run.stdout.readline().strip() for _ in addresses]


def plant_old_guard(cgroup):
    # A guard as an earlier run could have left it: attached without a link (it outlives its loader), named as the
    # daemon's program, letting every bind through. Returns a call that detaches it: true when it was still attached.
    libc = ctypes.CDLL(None, use_errno=True)
    bpf = lambda command, attr: libc.syscall(321, command, ctypes.create_string_buffer(attr + bytes(128 - len(attr))), 128)
    code, gpl = ctypes.create_string_buffer(bytes.fromhex("b7000000010000009500000000000000")), ctypes.create_string_buffer(b"GPL")
    program = bpf(5, struct.pack("<IIQQIIQII16sII", 18, 2, ctypes.addressof(code), ctypes.addressof(gpl), 0, 0, 0, 0, 0,
                                 b"tk_port_guard", 0, 8))   # BPF_PROG_LOAD: r0 = 1, exit; for BPF_CGROUP_INET4_BIND
    group = os.open(cgroup, os.O_RDONLY | os.O_DIRECTORY)
    assert program >= 0 and bpf(8, struct.pack("<IIII", group, program, 8, 2)) == 0   # BPF_PROG_ATTACH, BPF_F_ALLOW_MULTI
    return lambda: bpf(9, struct.pack("<IIII", group, program, 8, 0)) == 0   # BPF_PROG_DETACH


def program_exists(program):
    # bpf(BPF_PROG_GET_FD_BY_ID): a program that no link, attachment or descriptor holds is gone.
    attr = ctypes.create_string_buffer(struct.pack("I", program) + bytes(124))
    fd = ctypes.CDLL(None, use_errno=True).syscall(321, 13, attr, 128)
    if fd >= 0:
        os.close(fd)
    return fd >= 0


def connects(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def exporter_page(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as page:
            return page.read().decode()
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
        subprocess.run(["rm", "-rf", STATE, PINS])   # each test starts from nothing, as after a reboot
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.dir + "/hostkey"], check=True)

    def start_daemon(self, *args, path=None):
        # A decoy TMPDIR: the homes must still be made in /tmp.
        log = "%s/tk%d.log" % (self.dir, len(os.listdir(self.dir)))
        env = dict(os.environ, TMPDIR=self.dir, PATH=(path + ":" if path else "") + os.environ["PATH"])
        daemon = subprocess.Popen(LIMITS + [BINARY, "-i", "127.0.0.1", "-l", log, "-r", "20000-20010"] + list(args), env=env)
        wait_for("the daemon", lambda: "port guard o" in read(log))   # the start's last line: the guard on, or off and why
        self.addCleanup(lambda: daemon.kill() or daemon.wait())
        return daemon, log

    def restart(self, daemon, *args, path=None):
        # After a kill -9, as a crash leaves the host.
        daemon.kill()
        daemon.wait()
        return self.start_daemon(*args, path=path)

    def ask(self, request):
        with socket.create_connection(("127.0.0.1", 55444), timeout=60) as s:
            s.sendall(request.encode() + b"\n")
            return s.makefile().read().rstrip("\n")

    def grant(self, name, lifetime=""):
        command = self.ask("request:%s:%d%s" % (name, DEVICE, lifetime and ":%d" % lifetime))
        shutil.copy(self.ask("key:" + name), "/tmp/key")
        return command, re.search(r" (sshtmp_\w{8})@", command).group(1), int(self.ask("localports:" + name))

    def run_device(self, command, local):
        subprocess.run(["/bin/sh", "-c", command], check=True, timeout=30)
        self.assertEqual(wait_for("a round trip through %d" % local, lambda: round_trip(local), 15), b"hello from device\n")

    def attacks(self, user):
        # What the key of grant a must not open, each with what shows that it did: words in its output, or a
        # round trip through the port it asked for (20000 is grant b's, 8080 nobody's). Standard input: "pwd".
        at, ssh = user + "@127.0.0.1", ["ssh"] + SSH
        table = [(ssh + ["-T", at, "id"], "uid="), (["sftp"] + SSH + ["-b", "-", at], "Remote working"),
                 (ssh + ["-W", "127.0.0.1:55444", at], "ERROR")] + [
                     (ssh + ["-N", "-R", "%d:127.0.0.1:%d" % (port, DEVICE), at], port) for port in (20000, 8080)]
        pathlib.Path(self.dir + "/pwd").write_text("pwd\n")
        running = [subprocess.Popen(argv, stdin=open(self.dir + "/pwd"), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                   for argv, _ in table]
        time.sleep(4)
        opened = [argv for argv, shows in table if isinstance(shows, int) and round_trip(shows)]
        for proc, (argv, shows) in zip(running, table):
            proc.kill()
            opened += [argv] if isinstance(shows, str) and shows in proc.stdout.read().decode(errors="replace") else []
        return opened

    def start_sshd(self, drop_in):
        config, sshd_log = self.dir + "/sshd_config", self.dir + "/sshd%d.log" % drop_in
        pathlib.Path(config).write_text("ListenAddress 127.0.0.1\nHostKey %s/hostkey\nPidFile none\nUsePAM yes\nLogLevel VERBOSE\n%s"
                                        % (self.dir, "Include " + DROP_IN if drop_in else ""))
        sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-f", config, "-E", sshd_log])
        self.addCleanup(lambda: sshd.terminate() or sshd.wait())
        keys = wait_for("sshd", lambda: subprocess.run(["ssh-keyscan", "127.0.0.1"], capture_output=True, text=True).stdout)
        pathlib.Path("/tmp/known_hosts").write_text(keys)
        return sshd, sshd_log

    def test_extend_holds_a_session_until_the_new_end_with_or_without_the_daemon(self):
        # A 4-second grant extended to 8 s from a second in: the tunnel carries traffic past the old end and is gone within
        # 2 s of the new one, when the daemon removes the grant and, with the daemon killed, when the session ends itself.
        self.start_sshd(True)
        for killed in (False, True):
            daemon, log = self.start_daemon()
            command, user, local = self.grant("x", 4)
            self.run_device(command, local)
            self.assertEqual(self.ask("extend:x:8"), "OK")
            old_end, new_end = [calendar.timegm(time.strptime(e, "%Y-%m-%dT%H:%M:%SZ"))
                                for e in re.findall(r"grant \|x\| .* until (\S+)\n", read(log))]
            if killed:
                daemon.kill()
            time.sleep(max(0, old_end + 1.5 - time.time()))
            self.assertEqual(round_trip(local), b"hello from device\n", killed)
            self.assertLess(wait_for("the tunnel's end", lambda: round_trip(local) is None and time.time(), 15) - new_end, 2, killed)
            if killed:   # the ssh server reads the expiry time to the second
                time.sleep(max(0, new_end + 1.5 - time.time()))
                login = subprocess.run(["ssh"] + SSH + [user + "@127.0.0.1", "true"], capture_output=True, text=True, timeout=30)
                self.assertEqual((login.returncode, "Permission denied" in login.stderr), (255, True))
            daemon.kill()
            daemon.wait()

    def test_grants_on_a_real_host(self):
        # Without the drop-in the port guard is off (-g): any user may listen on a pool port. With it, the guard is on.
        for drop_in in (False, True):
            sshd, sshd_log = self.start_sshd(drop_in)
            daemon, log = self.start_daemon(*["-g"] * (not drop_in))
            self.assertEqual("port guard off: -g given" in read(log), not drop_in)
            self.grant("b")
            command, user, local = self.grant("a")
            self.assertEqual(self.ask("status:a"), "waiting")
            self.run_device(command, local)
            # Beside the device's tunnel, another user (a system account too) binds neither its port, on any address, nor a
            # free pool port.
            self.assertEqual((self.ask("status:a"), binds("nobody", local, "127.0.0.1", "0.0.0.0", "::1", "::") + binds("nobody", 20009) +
                              binds("www-data", local)), ("connected", ["1"] * 6 if drop_in else ["98"] * 4 + ["ok", "98"]))
            fingerprint = re.search(r"grant \|a\| %s (SHA256:\S+) until " % user, read(log)).group(1)
            self.assertRegex(read(sshd_log), "Accepted publickey for %s .* %s\n" % (user, re.escape(fingerprint)))
            self.assertEqual(self.attacks(user), [], "drop-in %s" % drop_in)
            self.assertEqual(self.ask("acl:a:10.9.9.0/24"), "OK")
            self.assertEqual([round_trip(local), round_trip(local, "::1")], [None, None])
            # The device's tunnel drops (every process of the namespace is this test's).
            for pid in subprocess.run(["pgrep", "-f", user + "@"], capture_output=True, text=True).stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:   # ended meanwhile
                    pass
            wait_for("waiting", lambda: self.ask("status:a") == "waiting")
            squatter = subprocess.Popen(["/usr/bin/python3", "-c", "import socket,time\ns=socket.create_server(('127.0.0.1',%d))\n"
                                         "time.sleep(60)" % local], user="root" if drop_in else "nobody")
            wait_for("taken", lambda: self.ask("status:a") == "taken")
            squatter.kill()
            squatter.wait()
            self.assertEqual(self.release_waits_for_reaping("a", user), ("OK", 1, False))
            # Released, the port is free again: root's alone while the guard is on.
            self.assertEqual((own_rules(local), binds("nobody", local), binds("root", local)), ([], ["1" if drop_in else "ok"], ["ok"]))
            if drop_in:
                self.assertIn("mounted the cgroup v2 hierarchy at /run/tunnel_keeper/cgroup2", read(log))
                self.restarts(daemon, subprocess.run(["findmnt", "-t", "cgroup2", "-n", "-o", "TARGET"], capture_output=True, text=True).stdout.split()[0])
            else:
                self.ask("shutdown")
                daemon.wait(30)
            sshd.terminate()
            sshd.wait()

    def test_rules_that_an_undo_or_a_removal_could_not_delete_go_with_their_grant(self):
        # iptables and ip6tables that fail once (status 4, as while another tool holds the firewall's lock) for the
        # arguments in bin/TOOL.once. An acl whose IPv6 rule fails and whose undo cannot delete its DROP rule at once
        # answers ERROR, and the release deletes that rule; a filtered grant whose DROP rule survives the release's
        # first attempt is answered ERROR, and the retry deletes what is left. Then the port is reachable again.
        os.makedirs(self.dir + "/bin")
        for tool in ("iptables", "ip6tables"):
            pathlib.Path("%s/bin/%s" % (self.dir, tool)).write_text(
                '#!/bin/sh\n[ "$*" = "$(cat $0.once 2>/dev/null)" ] && rm $0.once && exit 4\nexec /usr/sbin/%s "$@"\n' % tool)
            os.chmod("%s/bin/%s" % (self.dir, tool), 0o755)
        once = lambda tool, args: pathlib.Path("%s/bin/%s.once" % (self.dir, tool)).write_text(args)
        daemon, log = self.start_daemon(path=self.dir + "/bin")
        for name, first in (("a", "ip6tables"), ("b", None)):
            local = self.grant(name)[2]
            drop = "-D INPUT -p tcp -j DROP --dport %d" % local
            if first:
                once(first, drop.replace("-D", "-A"))
            once("iptables", drop)   # a: the undo's delete; b: the release's first delete
            self.assertEqual((self.ask("acl:%s:10.9.9.0/24" % name), own_rules(local)[-1:]),
                             ("ERROR" if first else "OK", ["-A INPUT -p tcp -m tcp --dport %d -j DROP" % local]), name)
            if first:
                self.assertEqual(self.ask("release:" + name), "OK")
            else:
                self.assertEqual(self.ask("release:" + name), "ERROR")
                wait_for("the retry", lambda: "retrying the removal of |b|" in read(log) and self.ask("release:settled") and
                         "tunnel_keeper_removals_pending 0" in self.ask("metrics"))
            with socket.create_server(("127.0.0.1", local)):
                self.assertEqual((own_rules(local), connects(local)), ([], True), name)

    def release_waits_for_reaping(self, name, user):
        # A process of the account whose parent is the init, which reaps it only when the test lets it: the answer
        # must wait for that (up to 3 s), and then no process of the account is left, and no account.
        subprocess.run(["sh", "-c", "sleep 60 & exit"], user=user, check=True)
        uid, answer = pwd.getpwnam(user).pw_uid, []
        pathlib.Path(HOLD_REAPING).touch()
        release = threading.Thread(target=lambda: answer.append(self.ask("release:" + name)))
        release.start()
        time.sleep(1)
        # Meanwhile reads are answered.
        self.assertEqual((answer, subprocess.run(["pgrep", "-u", str(uid)], capture_output=True).returncode, self.ask("status:b"),
                          "\nb => " in "\n" + self.ask("list")), ([], 0, "waiting", True))
        os.remove(HOLD_REAPING)
        release.join()
        return answer[0], subprocess.run(["pgrep", "-u", str(uid)]).returncode, (user + ":") in read("/etc/passwd")

    def restarts(self, daemon, cgroup):
        # Three grants, connected, filtered and waiting, a crash, a damaged line, an account and a rule no grant
        # owns, and a start with -c: the three are taken back as they were.
        command, _, local = self.grant("c")
        self.run_device(command, local)
        self.grant("w")
        self.assertEqual(self.ask("acl:w:10.1.2.3/255.255.255.0"), "OK")   # a dotted mask, host bits set
        self.assertEqual(self.ask("acl:b:10.9.9.9"), "OK")   # a bare address, the last change before the crash
        before, killed = self.listing(), time.time()
        b, w = int(before["b"][1]), int(before["w"][1])
        exact = lambda source, port: ["-A INPUT -s %s -p tcp -m tcp --dport %d -j ACCEPT" % (source, port)] + [
            "-A INPUT -p tcp -m tcp --dport %d -j DROP" % port] * 2
        # An orphan account, a stray DROP rule in the range, b's DROP rule lost, and a stray ACCEPT rule on w's port.
        subprocess.run(["sh", "-ec", "useradd -M sshtmp_Orphan01; iptables -A INPUT -p tcp -m tcp --dport 20009 -j DROP; "
                        "iptables -D INPUT -p tcp -m tcp --dport %d -j DROP; iptables -I INPUT -s 10.7.7.7 -p tcp -m tcp "
                        "--dport %d -j ACCEPT" % (b, w)])
        with open(STATE, "a") as state:
            state.write("x\tsshtmp_Damaged1\n")
        for restart in range(3):
            daemon.kill()
            daemon.wait()
            old_guard = plant_old_guard(cgroup) if restart == 0 else None
            daemon, log = self.start_daemon("-c")
            # The first start finds the guard left attached the old way and detaches it (or a daemon of another test
            # running beside this one did: the hierarchy is the host's).
            self.assertFalse(old_guard and old_guard(), "a guard left attached the old way outlived the start")
            after = self.listing()
            self.assertEqual({n: g[:3] for n, g in after.items()}, {n: g[:3] for n, g in before.items()})
            for name, grant in after.items():
                # The same end: what is left is what was left, less the time since.
                self.assertTrue(before[name][3] - (time.time() - killed) - 1 <= grant[3] <= before[name][3], (name, before, after))
            self.ask("release:settled")   # the start's host work is done
            self.assertEqual("line 5 is damaged" in read(log), restart == 0)   # and no damaged line is written again
            # Each filtered port has exactly its three rules, in their order, after every restart.
            self.assertEqual((own_rules(b), own_rules(w), own_rules(20009), "sshtmp_Orphan01:" in read("/etc/passwd")),
                             (exact("10.9.9.9/32", b), exact("10.1.2.0/24", w), [], False), restart)
        self.assertEqual((round_trip(local), self.ask("status:c"), self.ask("acl:b:10.1.1.1")), (b"hello from device\n", "connected", "ERROR"))
        self.assertNotIn(self.grant("n")[2], [int(g[1]) for g in before.values()])
        self.assertEqual((self.ask("release:b"), self.ask("release:w"), own_rules(b), own_rules(w)), ("OK", "OK", [], []))
        # After shutdown nothing comes back. A grant taken back ends at its own end, not a lifetime after the start.
        self.ask("shutdown")
        self.assertEqual(daemon.wait(30), 0)
        daemon, log = self.start_daemon("-t", "12", "-k", "rsa")   # room for an RSA login under a loaded test run
        self.assertEqual(self.ask("list"), "")
        command, _, local = self.grant("x")
        self.assertRegex(subprocess.run(["ssh-keygen", "-lf", "/tmp/key"], capture_output=True, text=True).stdout, r"\(RSA\)\n$")
        self.run_device(command, local)
        end = calendar.timegm(time.strptime(re.search(r"grant \|x\| .* until (\S+)\n", read(log)).group(1), "%Y-%m-%dT%H:%M:%SZ"))
        daemon, log = self.restart(daemon, "-t", "20")
        wait_for("x to expire", lambda: "Timeout: removing x" in read(log), 20)
        self.assertTrue(end - 1 <= time.time() <= end + 1.5, (time.time(), end))
        daemon, log = self.restart(daemon, "-t", "3")
        # The key ends with the grant, even with the daemon gone; the next start, without -c, removes the grant, with
        # a second round of killall and userdel when the first userdel leaves the account.
        _, user, _ = self.grant("y")
        daemon.kill()
        daemon.wait()
        time.sleep(4)
        login = subprocess.run(["ssh"] + SSH + [user + "@127.0.0.1", "true"], capture_output=True, text=True, timeout=30)
        self.assertEqual((login.returncode, "Permission denied" in login.stderr), (255, True))
        os.makedirs(self.dir + "/bin")
        pathlib.Path(self.dir + "/bin/userdel").write_text('#!/bin/sh\n[ -e "$0.$1" ] && exec /usr/sbin/userdel "$@"; touch "$0.$1"\n')
        os.chmod(self.dir + "/bin/userdel", 0o755)
        daemon, log = self.start_daemon(path=self.dir + "/bin")
        self.assertEqual((self.ask("list"), self.ask("release:settled"), (user + ":") in read("/etc/passwd"),
                          read(log).count("Running: userdel " + user)), ("", "ERROR", False, 2))

    def test_no_pool_port_goes_to_another_socket_and_the_guard_outlives_the_daemon(self):
        # Sockets that nobody bound before the start without listening (20100 without SO_REUSEADDR): no grant gets their
        # ports, and the gauge counts them. A closed connection's time-wait remnant on 20103 holds nothing: the ports go
        # out in pool order.
        held, pool = [], ("-r", "20100-20110")
        self.addCleanup(lambda: [p.kill() or p.wait() for p in held])
        for port, address in ((20100, "0.0.0.0!"), (20101, "127.0.0.1"), (20102, "::")):
            self.assertEqual(binds("nobody", port, address, keep=held), ["ok"])
        with socket.create_server(("127.0.0.1", 20103)) as listener, socket.create_connection(("127.0.0.1", 20103)) as client:
            listener.accept()[0].close()   # this end closes first: it is the one left in time-wait
            client.recv(1)
        daemon, log = self.start_daemon(*pool)
        held_ports = lambda: int(re.search(r"^tunnel_keeper_pool_ports_held (\d+)$", self.ask("metrics"), re.M).group(1))
        (_, _, a), (_, b_user, b) = self.grant("a"), self.grant("b")
        self.assertEqual(((a, b), held_ports()), ((20103, 20104), 3))
        # The guard outlives a kill -9: while the daemon is down, nobody binds neither a waiting grant's port nor a free
        # one. The next start takes the pinned guard over; b's account binds b's port again, nobody else.
        program = lambda: int(re.findall(r"\(program (\d+) on ", read(log))[-1])
        for restart in range(2):
            daemon.kill()
            daemon.wait()
            self.assertEqual(binds("nobody", a) + binds("nobody", 20109), ["1", "1"])
            daemon, log = self.start_daemon(*pool)
            self.assertEqual(("took over the port guard that the last run left" in read(log), binds("nobody", b) + binds(b_user, b)),
                             (True, ["1", "ok"]))
        # A start with -g removes it, pins and program; then nobody binds a's port, and a start with the guard takes a
        # back as taken, says so, and counts it.
        first = program()
        daemon, log = self.restart(daemon, "-g", *pool)
        self.assertEqual((os.listdir(PINS), wait_for("the program's end", lambda: not program_exists(first)),
                          binds("nobody", a, "0.0.0.0", keep=held)), ([], True, ["ok"]))
        daemon, log = self.restart(daemon, *pool)
        self.assertEqual((self.ask("status:a"), self.ask("status:b"), held_ports()), ("taken", "waiting", 4))
        self.assertIn("port %d of |a| is held by a socket that is not its grant's: taken until it is gone\n" % a, read(log))
        # A shutdown that leaves the host clean leaves no pin and no program either.
        last = program()
        self.ask("shutdown")
        self.assertEqual((daemon.wait(30), os.listdir(PINS), wait_for("the program's end", lambda: not program_exists(last))), (0, [], True))
        # A start reserves the pool's ports beside the operator's own. A pool that overlaps the kernel's ephemeral range
        # and could not be reserved (here /proc/sys is read-only) is refused.
        sysctl = lambda name, value=None: pathlib.Path("/proc/sys/net/ipv4/" + name).write_text(value) if value is not None else \
            read("/proc/sys/net/ipv4/" + name).strip()
        self.addCleanup(lambda: sysctl("ip_local_port_range", "32768 60999") or sysctl("ip_local_reserved_ports", ""))
        sysctl("ip_local_port_range", "20105 20120")
        sysctl("ip_local_reserved_ports", "30000-30010")
        refused = subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind /proc/sys /proc/sys; mount -o remount,bind,ro /proc/sys; exec "$@"', "ro"] +
                                 LIMITS + [BINARY, "-l", self.dir + "/refused.log", "-r", "20100-20110"], capture_output=True, text=True, timeout=30)
        self.assertEqual((refused.returncode, refused.stderr.split(" lie in ")[0], refused.stderr.endswith(" sysctl -w net.ipv4.ip_local_"
                          "reserved_ports=30000-30010,20105-20109\n"), refused.stderr in read(self.dir + "/refused.log")), (255, "pool ports 20105-20109", True, True))
        # A bind that fails for want of a privilege (ports below 1024 without CAP_NET_BIND_SERVICE) says nothing of a holder.
        # Both starts reserved their pools.
        daemon, log = self.restart(self.start_daemon(*pool)[0], "-r", "1000-1002")
        self.assertEqual((self.grant("p")[2], sysctl("ip_local_reserved_ports")), (1000, "1000-1001,20100-20109,30000-30010"))

    def listing(self):
        # name: (account, local ports, device ports, seconds left)
        return {f[0]: (f[4], f[2], f[1], int(f[3])) for f in (line.split(" => ") for line in self.ask("list").splitlines())}

    def test_only_root_and_allowed_users_drive_the_daemon(self):
        subprocess.run(["useradd", "-M", "mallory"], check=True)
        as_user = lambda name, request: subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/55444; echo '%s' >&3; cat <&3"
                                                        % request], user=name, capture_output=True, text=True).stdout.rstrip("\n")
        daemon, log = self.start_daemon()
        _, user, local = self.grant("a")
        self.assertEqual(self.ask("acl:a:10.9.9.0/24"), "OK")
        # What a caller could change: the grants (their seconds left aside), the accounts and the rules.
        listed = lambda text: re.sub(r" => \d+ => (sshtmp_)", r" => \1", text)
        host = lambda: (listed(self.ask("list")), read("/etc/passwd"), own_rules(local))
        before = host()
        table = [("root", "localports:a", str(local)), ("www-data", "key:a", "/tmp/%s.key" % user)] + [
            ("mallory", r, "ERROR") for r in ("list", "key:a", "request:m:22", "acl:a:10.1.1.1", "release:a", "shutdown")]
        self.assertEqual([(who, r, as_user(who, r)) for who, r, _ in table], table)
        self.assertEqual(host(), before)
        self.assertEqual(read(log).count("refused control connection from uid %d\n" % pwd.getpwnam("mallory").pw_uid), 6)
        # Callers that send and close before they are checked: their sockets have no owner then (the kernel says uid 0).
        daemon.send_signal(signal.SIGSTOP)
        for request in ("shutdown", "release:a"):
            subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/55444; echo %s >&3" % request], user="mallory", check=True)
        daemon.send_signal(signal.SIGCONT)
        wait_for("the refusals", lambda: read(log).count("refused control connection from an unknown uid\n") == 2)
        self.assertEqual((daemon.poll(),) + host(), (None,) + before)
        # A caller that resets its connection before it is checked, and whose address is then held by a connection of
        # root's or by a listener of an allowed account: the kernel names their owner, but the first caller is refused.
        reset = ("import socket,struct\ns=socket.socket()\ns.bind(('127.0.0.1',%d))\ns.connect(('127.0.0.1',55444))\n"
                 "s.sendall(b'release:a\\n')\ns.setsockopt(socket.SOL_SOCKET,socket.SO_LINGER,struct.pack('ii',1,0))\ns.close()")
        for row, holder in enumerate(("root", "www-data")):
            port = 61001 + row   # outside the ephemeral range: no stray connection holds it
            daemon.send_signal(signal.SIGSTOP)
            subprocess.run(["/usr/bin/python3", "-c", reset % port], user="mallory", check=True)
            if holder == "root":
                held = socket.socket()
                held.bind(("127.0.0.1", port))
                held.connect(("127.0.0.1", 55444))
                held.sendall(b"localports:a\n")
            else:
                held = subprocess.Popen(["/usr/bin/python3", "-c", "import socket,time\ns=socket.create_server(('127.0.0.1',%d))\n"
                                         "print(1,flush=True)\ntime.sleep(60)" % port], user="www-data", stdout=subprocess.PIPE)
                held.stdout.readline()
            daemon.send_signal(signal.SIGCONT)
            wait_for("the refusal", lambda: read(log).count("refused control connection from an unknown uid\n") == 3 + row)
            self.assertEqual(held.makefile().read() if holder == "root" else held.kill(), "%d\n" % local if holder == "root" else None)
            self.assertEqual(host(), before, holder)
        daemon.kill()
        daemon.wait()
        self.start_daemon("-a", "mallory")
        self.assertEqual([listed(as_user("mallory", "list")), as_user("www-data", "list")], [listed(self.ask("list")), "ERROR"])

    def test_metrics_reach_the_node_exporter(self):
        subprocess.run(["useradd", "-M", "eve"], check=True)
        daemon, log = self.start_daemon()
        value = lambda text, series: float(re.search(r"^%s (\S+)$" % re.escape(series), text, re.M).group(1))
        series = ["tunnel_keeper_refused_callers_total", 'tunnel_keeper_requests_total{command="request",result="error"}',
                  'tunnel_keeper_requests_total{command="request",result="ok"}', "tunnel_keeper_grants_expired_total",
                  "tunnel_keeper_grants_made_total", "tunnel_keeper_grant_duration_seconds_count", "tunnel_keeper_grants",
                  "tunnel_keeper_grant_failures_total", 'tunnel_keeper_grant_ports{state="waiting"}', "tunnel_keeper_pool_ports_free"]
        before = self.ask("metrics")
        # A refused caller, a refused request, one whose useradd fails while another tool holds the account file's lock
        # (undone whole), a grant that expires after a second and one that stays.
        subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/55444; echo list >&3; cat <&3"], user="eve", capture_output=True)
        self.assertEqual(self.ask("request:f:0"), "ERROR")
        pathlib.Path("/etc/passwd.lock").write_text(str(os.getpid()))
        self.assertEqual(self.ask("request:l:22"), "ERROR")
        os.remove("/etc/passwd.lock")
        failed = re.search(r"<= (sshtmp_\w{8})\n", read(log)).group(1)
        self.assertEqual([os.path.lexists(p) for p in ("/tmp/" + failed, "/tmp/%s.key" % failed)] + [failed + ":" in read("/etc/passwd")],
                         [False] * 3)
        self.assertRegex(read(log), "cannot lock /etc/passwd; try again later.\n.*useradd failed with status 1: useradd")
        self.grant("a")
        self.ask("request:e:22:1")
        wait_for("e to expire", lambda: self.ask("localports:e") == "ERROR")
        self.ask("release:settled")   # e's removal is made: its port is free again
        after = self.ask("metrics")
        self.assertEqual([value(after, s) - value(before, s) for s in series], [1, 2, 2, 1, 2, 2, 1, 1, 1, -1])
        self.assertEqual(subprocess.run(["promtool", "check", "metrics"], input=after + "\n", capture_output=True, text=True).returncode, 0)
        # The timer's service writes the file; the node exporter's textfile collector serves it.
        # As root it writes only in a directory that no other account can write, and replaces a link planted at its
        # output path instead of writing through it.
        textfiles, decoy = self.dir + "/textfile", pathlib.Path(self.dir + "/decoy")
        decoy.write_text("root's file\n")
        for owner, mode, writes in ((65534, 0o755, False), (0, 0o757, False), (0, 0o755, True)):
            shutil.rmtree(textfiles, ignore_errors=True)
            os.mkdir(textfiles)
            os.chown(textfiles, owner, -1)
            os.chmod(textfiles, mode)
            os.symlink(decoy, textfiles + "/tunnel_keeper.prom")
            run = subprocess.run(METRICS + [textfiles], capture_output=True, text=True, env=CTL_ON_PATH)
            self.assertEqual((run.returncode == 0, "writable by root alone" in run.stderr, os.path.islink(textfiles + "/tunnel_keeper.prom"),
                              decoy.read_text()), (writes, not writes, not writes, "root's file\n"), run.stderr)
        if not shutil.which("prometheus-node-exporter"):
            self.skipTest("prometheus-node-exporter is not installed (scripts/test-all.sh installs it)")
        exporter = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:9100", "--collector.disable-defaults",
                                     "--collector.textfile", "--collector.textfile.directory=" + textfiles], stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: exporter.kill() or exporter.wait())
        page = wait_for("the node exporter", lambda: exporter_page("http://127.0.0.1:9100/metrics"))
        self.assertEqual([value(page, s) for s in series[-3:]], [1, 1, value(after, series[-1])])
        self.assertEqual(os.listdir(textfiles), ["tunnel_keeper.prom"])
        # The log holds one line per metrics poll, not its figures.
        self.assertEqual(("# HELP" in read(log), "answering: metrics, %d bytes\n" % (len(after) + 1) in read(log)), (False, True))
        # A real Prometheus server scrapes the exporter with the shipped rules: it follows two grants and a release,
        # and the pool alert fires once a pool of two ports is exhausted.
        if not shutil.which("prometheus"):
            self.skipTest("prometheus is not installed (scripts/test-all.sh installs it)")
        self.assertEqual(self.ask("release:a"), "OK")
        daemon, log = self.restart(daemon, "-r", "20200-20202")   # ports no earlier tunnel left in time-wait
        pathlib.Path(self.dir + "/prometheus.yml").write_text(
            "global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: [%s]\nscrape_configs:\n"
            "  - {job_name: node, static_configs: [{targets: ['127.0.0.1:9100']}]}\n" % os.path.join(os.path.dirname(DROP_IN), "tunnel_keeper.rules.yml"))
        server = subprocess.Popen(["prometheus", "--config.file=%s/prometheus.yml" % self.dir, "--storage.tsdb.path=%s/tsdb" % self.dir,
                                   "--web.listen-address=127.0.0.1:9090"], stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: server.kill() or server.wait())
        api = lambda path: json.loads(exporter_page("http://127.0.0.1:9090/api/v1/" + path) or '{"data": {}}')["data"]
        grants = lambda: [float(r["value"][1]) for r in api("query?query=tunnel_keeper_grants").get("result", [])]
        firing = lambda: "TunnelKeeperPoolExhausted" in [a["labels"]["alertname"] for a in api("alerts").get("alerts", []) if a["state"] == "firing"]
        for step, count in ((None, 0), ("request:p1:22", 1), ("request:p2:22", 2), ("release:p1", 1)):
            self.assertTrue(step is None or self.ask(step) != "ERROR", subprocess.run(["ss", "-ltnp"], capture_output=True, text=True).stdout)
            subprocess.run(METRICS + [textfiles], check=True, env=CTL_ON_PATH)
            wait_for("tunnel_keeper_grants %d" % count, lambda: grants() == [count], 30)
            self.assertEqual(wait_for("the alert", lambda: firing() == (count == 2) and [count == 2], 30), [count == 2], step)

    def check_logs(self):
        for log in glob.glob(self.dir + "/*.log"):
            print("---- %s\n%s" % (log, read(log)[-5000:]), file=sys.stderr)   # shown by ctest on failure
            self.assertNotRegex(read(log), SANITIZER_REPORT + "|still running after|still there|currently used by process")


if __name__ == "__main__":
    main(__file__)
