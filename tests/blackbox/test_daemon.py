# The real binary: options, framing, the control protocol, expiry, load and
# misbehaving clients; provisioning, removal, filter, status, purge and the
# pool, seen through the commands it logs, the stubs record and the files it
# leaves.
import calendar, math, os, pwd, re, signal, socket, struct, subprocess, sys, threading, time, unittest
from pathlib import Path
from harness import BINARY, FINGERPRINT, HEAD, PUBLIC_KEY, KEYGEN, REAL, STUB, STUBS, Daemon, main, user_of, wait_for

# The operations guide shows the usage text as the binary prints it.
USAGE = re.search(r"```text\n(Usage:\n.*?)```", (Path(__file__).parents[2] / "docs" / "operations.md").read_text(), re.S).group(1)
STAMP = r"\d\d/\d\d/\d\d-\d\d:\d\d:\d\d"
# Reads the state file over and over until its standard input closes; prints how often it was missing or not whole.
READER = """import os, select, sys
torn = reads = 0
while not select.select([0], [], [], 0)[0]:
    try:
        with open(sys.argv[1]) as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    torn, reads = torn + (not (text.startswith("# tunnel_keeper grants") and text.endswith("\\n"))), reads + 1
print(torn, reads)"""


def provisioning(user, ports, end, key_type="ed25519"):
    p = "/tmp/" + user
    return [MKTEMP, "mkdir -m 755 %s/.ssh/" % p, "touch -d @%d %s/.ssh/end" % (end, p), 'ssh-keygen -t %s -f %s/key -P "" -q' % (key_type, p),
            "install -o www-data -m 600 %s/key %s/key.copy" % (p, p), "mv -fT %s/key.copy %s.key" % (p, p),
            "sed -n 's/^/%s /w %s/.ssh/authorized_keys' %s/key.pub" % (key_options(ports, end), p, p),
            "chmod 644 %s/.ssh/authorized_keys" % p, "useradd -d %s %s" % (p, user), "chown %s %s" % (user, p)]


MKTEMP = "mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX"
GRANT = 10   # commands of one grant
# The session waits for the end that .ssh/end holds as its time of change.
SESSION = "cd .ssh; while t=$(($(date -r end +%s) - $(date +%s))); [ $t -gt 0 ]; do sleep $((t < 60 ? t : 60)); done"


expiry = lambda end: 'expiry-time="%s"' % time.strftime("%Y%m%d%H%M%S", time.localtime(end))  # noqa: E731


def key_options(ports, end):
    return "restrict,port-forwarding,%spermitopen=\"255.255.255.255:1\",command=\"%s\",%s" % (
        "".join('permitlisten="localhost:%d",' % p for p in ports), SESSION, expiry(end))


def removal(user, key_copy=True, home=True, account=True):
    # Without a home of the daemon's own, the key line is not touched; without an account, no process is ended.
    return ["rm -f /tmp/%s/.ssh/authorized_keys" % user] * home + ["killall -9 -u " + user, "userdel " + user] * account + [
            "rm -rf /tmp/%s /tmp/%s.key" % (user, user) if key_copy else "rm -rf /tmp/" + user]


def rules(op, acl, ports):
    return [c % (op, p) for p in ports for c in ("iptables %%s INPUT -s %s -p tcp -j ACCEPT --dport %%d" % acl,
                                                 "iptables %s INPUT -p tcp -j DROP --dport %d",
                                                 "ip6tables %s INPUT -p tcp -j DROP --dport %d")]


class Daemons(unittest.TestCase):
    def test_option_errors_print_the_usage_and_open_no_log(self):
        log = "/tmp/tk_options_%d.log" % os.getpid()
        self.addCleanup(lambda: os.path.exists(log) and os.remove(log))   # made only when the test fails
        for args, message in ((["-h"], ""), (["-y"], "invalid option"), (["-p"], "requires an argument"),
                              (["--p", "1"], "ambiguous"), (["-p", "abc"], "invalid value |abc| for option -p"),
                              (["-p", "65536"], "|65536| for option -p"), (["-p", "0"], "|0| for option -p"),
                              (["-t", "0"], "|0| for option -t"), (["-m", "0"], "|0| for option -m"),
                              (["-t", "100", "--max-lifetime=50"], "|100| for option -t"), (["--timeout=x"], "|x| for option -t"), (["-k", "dsa"], "|dsa| for option -k"), (["-a", "root,nobody_tk"], "|root,nobody_tk| for option -a"),
                              (["-r", "1-65535"], "|1-65535| for option -r"), (["--portrange", "20000"], "|20000| for option -r")):
            result = subprocess.run([BINARY, "-l", log] + args, capture_output=True, text=True, timeout=10)
            first, _, rest = result.stderr.partition("\n")
            self.assertEqual((result.returncode, rest if message else result.stderr, message in first, os.path.exists(log)),
                             (255, USAGE, True, False), args)

    def test_option_forms_an_unreadable_fingerprint_and_the_lifetime_counting_down(self):
        # -t 2abc reads as 2, the later -p counts, --portr abbreviates --portrange; the edges are accepted.
        d = Daemon(self, "-t2abc", "--portr", "300-302", "extra", "-p", "1", "--port=65535", "--key-type=ecdsa", port=65535,
                   stubs={"ssh-keygen": KEYGEN % "ssh-ed25519 AAAA* root@host"})
        self.assertRegex(d.ask("request:b:22"), r' -R 300:0\.0\.0\.0:22 sshtmp_\w+@192\.0\.2\.10 "sleep 2"$')
        self.assertIn("Running: ssh-keygen -t ecdsa -f ", d.log())
        d.ask("request:a:23")
        # The listings until none is left: each grant counts down from 2 (less the time its making took), then goes.
        listings = "".join(iter(lambda: time.sleep(0.05) or d.ask("list"), ""))
        d.settled()
        seen = [int(v) for v in re.findall(r"^a => 23 => 301 => (-?\d+) => ", listings, re.M)]
        self.assertTrue(seen == sorted(seen, reverse=True) and 1 in seen and set(seen) <= {0, 1, 2}, seen)
        for name in "ba":
            self.assertRegex(d.log(), r"grant \|b\| sshtmp_\w{8} unknown until (.*\n)+.*Timeout: removing %s\n(.*\n)*.*removing trelvox %s " % (name, name))
        # A grant leaves in its end second (or, made after it under a loaded sanitizer, at the next pass); a shutdown
        # with none left ends at once.
        made = (d.ask("request:z:22:1"), time.time())[1]
        end = calendar.timegm(time.strptime(re.search(r"grant \|z\| .* until (\S+)\n", d.log()).group(1), "%Y-%m-%dT%H:%M:%SZ"))
        self.assertLess(wait_for("z to end", lambda: d.ask("localports:z") == "ERROR" and time.time()) - max(end, math.ceil(made)), 0.5)
        d.settled()
        self.assertEqual((d.send("shutdown\n"), d.proc.wait(5), d.log().endswith("=> run: shutting down took 0 seconds\n")), ("", 0, True))
        # The longest lifetime is -m, or else -t; -m alone lowers the default lifetime to it.
        for args, longest, default in ((["-t", "100", "-m", "600"], 600, 100), (["-t", "900"], 900, 900), (["-m", "600"], 600, 600)):
            d = Daemon(self, *args)
            self.assertEqual([d.ask(r)[-12:] for r in ("request:a:22:%d" % longest, "request:b:22:%d" % (longest + 1), "request:c:22")],
                             [' "sleep %d"' % longest, "ERROR", ' "sleep %d"' % default], args)

    def test_without_log_file_or_address_it_logs_to_stdout_and_finds_its_own(self):
        d = Daemon(self, "-t", "1", "-l", "/nonexistent/tk.log", ip=None, wait=False)
        self.assertEqual(d.proc.stderr.readline(), "couldn't open logfile /nonexistent/tk.log for writing\n")
        answer = wait_for("an answer", lambda: subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/%d && echo request:x:22 >&3 "
                                                                "&& cat <&3" % d.port], capture_output=True, text=True).stdout)
        self.assertEqual((d.send("shutdown\n"), d.proc.wait(10)), ("", 0))
        started = re.match(r"%s => init: hostname ((\d{1,3}\.){3}\d{1,3})?\n%s => init: hostmac (([0-9a-f]{2}:){5}[0-9a-f]{2})?\n"
                           r"%s => main: started tunnel_keeper\n" % ((STAMP,) * 3), d.proc.stdout.read())
        self.assertIn('@%s "sleep 1"\n' % started.group(1), answer)

    def test_framing_commands_refusals_a_second_instance_and_shutdown(self):
        d, before = Daemon(self), time.strftime("%y/%m/%d-%H:%M:%S")
        self.assertEqual(d.send("list\n"), "\n")
        for request in ("", "   ", "bogus", "request:dev1", "request:dev1:22:80:1", "request:dev1:22:0", "request:dev1:22:3601",
                        "request:dev1:22:1x", "request:dev1:22:-5", "key:dev1:x", " list", "LIST", "list\nlist",
                        "shutdown:now", "release:dev1", "localports:dev1", "remoteports:dev1", "key:dev1", "list:x",
                        "status:dev1", "status", "status:dev1:x", "request:a\ngrant |a|:22", "key:a\x7fb", "request:a\x1fb:22", "request:x:,", "request:x:,,"):
            self.assertEqual(d.ask(request), "ERROR", request)
        self.assertEqual((d.commands(), d.log().count("add_temp_user: invalid lifetime |"), d.log().count("no device port in |,")),
                         ([], 4, 2))   # nothing made
        # A control byte in a name is refused; no request writes a log line of its own.
        self.assertRegex(d.log(), r"run: read request:a\\ngrant \|a\|:22\n.*create_answer_for_request: refused device name "
                                  r"\|a\\ngrant \|a\|\|\n(.*\n)+.*refused device name \|a\\x7fb\|\n")
        user_b, user_a = user_of(d.ask("request:b:22,,80,")), user_of(d.ask("request::a::22"))
        self.assertEqual(re.sub(" => 35[5-9][0-9] => ", " => 3600 => ", d.send("list \r\n")), "a => 22 => 20002 => 3600 => %s\nb => 22,80 => 20000,20001 => 3600 => %s\n\n"
                         % (user_a, user_b))
        self.assertEqual([d.ask(r) for r in ("localports:b\0:x", "remoteports:b", "key:a", "status:b", "release: a", "release:a:x",
                                             "localports:a:x", "release:a", "release:a")],
                         ["20000,20001", "22,80", "/tmp/%s.key" % user_a, "waiting,waiting", "ERROR", "ERROR", "ERROR", "OK", "ERROR"])
        # A request sent and half-closed while the daemon is stopped: the kernel acknowledges the client's FIN, and the
        # caller check finds the client's end in FIN_WAIT2, ours in CLOSE_WAIT. It is served.
        d.proc.send_signal(signal.SIGSTOP)
        with socket.create_connection(("127.0.0.1", d.port)) as s:
            s.sendall(b"remoteports:b\n")
            s.shutdown(socket.SHUT_WR)
            wait_for("FIN_WAIT2", lambda: "127.0.0.1:%d" % d.port in subprocess.run(["ss", "-tn", "state", "fin-wait-2"], capture_output=True, text=True).stdout)
            d.proc.send_signal(signal.SIGCONT)
            self.assertEqual(s.recv(100), b"22,80\n")
        name = "n" * (2048 - len("request::22"))    # the 2049th byte is not read
        self.assertIn(" -R 20003:0.0.0.0:22 ", d.send("request:%s:229" % name))
        self.assertEqual(d.send(b"localports:" + name.encode() + b"junk"), "20003\n")
        self.assertEqual(len(re.search(r"=> run: (read request:n+)\d\d/", d.log()).group(1)), 1022)   # a log message is cut
        second = Daemon(self, "-c", port=d.port, wait=False)      # fails, and purges nothing
        self.assertEqual((second.proc.wait(10), os.path.exists(second.record + ".fds")), (1, False))
        self.assertTrue(before <= second.log()[:17] <= time.strftime("%y/%m/%d-%H:%M:%S"), second.log())   # local time
        self.assertRegex(second.log(), "^%s => init: Error setting up status server!%s => main: starting tunnel_keeper failed\n$"
                         % (STAMP, STAMP))
        self.assertEqual((d.send("shutdown\n"), d.proc.wait(10)), ("", 0))
        self.assertRegex(d.log(), r"timer: Timeout: removing b\n(.*\n)*.*timer: Timeout: removing n+(.*\n)*"
                                  r".*run: shutting down took [0-2] seconds\n$")

    def test_load_a_reset_during_a_slow_request_and_excess_clients(self):
        d = Daemon(self, "-r", "100-110", stubs={"useradd": STUB + "sleep 1\n" + REAL["useradd"]})
        fds, connect = lambda: len(os.listdir("/proc/%d/fd" % d.proc.pid)), lambda: socket.create_connection(("127.0.0.1", d.port), 30)
        before = (d.ask("list"), fds())[1]   # once it serves: the start-up has closed the state file
        # Half-closed, then reset while its slow request is served: the answer meets a dead peer.
        s = connect()
        s.sendall(b"request:dev:22\n")
        s.shutdown(socket.SHUT_WR)
        wait_for("the slow request", lambda: "adding |dev|" in d.log())
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        silent = [connect() for _ in range(100)]
        wait_for("the grant", lambda: "grant |dev|" in d.log())
        for _ in range(2000):
            self.assertEqual(d.ask("localports:dev"), "100")
        excess = [connect() for _ in range(40)]
        wait_for("the excess clients", lambda: "NOT ENOUGH FILE DESCRIPTORS: got fd 128" in d.log())
        self.assertEqual(excess[-1].recv(10), b"")   # closed unanswered
        for c in silent + excess:
            c.close()
        wait_for("the disconnects", lambda: fds() == before)
        self.assertEqual([d.ask("release:dev"), d.ask("list")], ["OK", ""])
        # The message has no line end: the next log line follows directly.
        self.assertRegex(d.log(), r"NOT ENOUGH FILE DESCRIPTORS: got fd 128\d\d/\d\d/\d\d-")
        self.assertNotIn("got fd 127", d.log())

    def test_reads_answered_during_a_slow_change_and_changes_answered_in_order_to_their_own_callers(self):
        # useradd waits until the test opens its gate: every change queued behind it waits too, the reads do not.
        gate = "/tmp/tk_gate_%d" % os.getpid()
        d = Daemon(self, "-r", "20000-20020", stubs={"useradd": STUB + 'while [ ! -e %s ]; do sleep 0.02; done\n' % gate + REAL["useradd"]})
        Path(gate).touch()
        self.addCleanup(lambda: os.path.exists(gate) and os.remove(gate))
        user = user_of(d.ask("request:a:22"))
        os.remove(gate)
        answers = {}
        callers = [threading.Thread(target=lambda n=n: answers.__setitem__(n, d.ask("request:d%d:%d" % (n, 100 + n)))) for n in range(8)]
        for caller in callers:
            caller.start()
        wait_for("a grant waiting in useradd", lambda: any(c.startswith("useradd") for c in d.commands(GRANT)))
        callers.append(threading.Thread(target=lambda: answers.__setitem__("release", d.ask("release:a"))))   # queued behind it
        callers[-1].start()
        self.assertEqual([re.sub(" => 35[5-9][0-9] => ", " => 3600 => ", d.ask(r)) for r in ("list", "status:a", "localports:a", "remoteports:a", "key:a")],
                         ["a => 22 => 20000 => 3600 => %s\n" % user, "waiting", "20000", "22", "/tmp/%s.key" % user])
        self.assertEqual(answers, {})
        Path(gate).touch()
        for caller in callers:
            caller.join()
        # Each caller has the grant of its own device port; each change's commands stand together in the log.
        self.assertEqual(sorted(re.search(r" -R \d+:0\.0\.0\.0:(\d+) ", a).group(1) for n, a in answers.items() if n != "release"),
                         [str(100 + n) for n in range(8)])
        self.assertEqual(answers["release"], "OK")
        blocks, rest = [], d.commands(GRANT)
        while rest:
            size = len(removal(user)) if rest[0].startswith("rm -f") else GRANT
            blocks.append({u for c in rest[:size] for u in re.findall(r"sshtmp_(?!X{8})\w{8}", c)})
            rest = rest[size:]
        self.assertEqual([len(b) for b in blocks], [1] * 9)

    def test_hung_and_failing_commands_bounded_queue_and_shutdown(self):
        # userdel as in the service's own mount namespace, where it does not see the sessions' processes: forced.
        d = Daemon(self, "-x", "4", "-r", "20000-20100", stubs={"userdel": STUB + 'exec /usr/sbin/userdel -f "$@"\n'})
        asked, answers = lambda key, request: answers.__setitem__(key, d.ask(request)), {}
        # A hung useradd is killed at the limit; meanwhile reads are answered, and a grant that ends then is taken out on
        # time and removed right after.
        d.ask("request:e:22:3")
        e_end = calendar.timegm(time.strptime(re.search(r"grant \|e\| .* until (\S+)\n", d.log()).group(1), "%Y-%m-%dT%H:%M:%SZ"))
        for phase, flood in ((0, 0), (1, 70)):
            d.fault("hang", "useradd")
            hung = threading.Thread(target=asked, args=("h%d" % phase, "request:h%d:22" % phase))
            hung.start()
            wait_for("the hang", lambda: os.path.exists(d.record + ".hung"))
            os.remove(d.record + ".hung")
            callers = [threading.Thread(target=asked, args=(n, "request:f%d:%d" % (n, n + 1))) for n in range(flood)]
            for c in callers:
                c.start()
            if phase == 0:
                self.assertEqual((d.ask("status:e"), wait_for("e to end", lambda: d.ask("list") == ""), hung.is_alive()),
                                 ("waiting", True, True))
            else:
                # 64 changes wait at most (the hung one among them), the others are refused at once; reads are answered,
                # and a reader never finds the state file missing or half-written.
                self.assertEqual(wait_for("the refusals", lambda: [answers.get(n) for n in range(flood)].count("ERROR") == 7 and
                                          [d.ask("localports:e"), hung.is_alive()]), ["ERROR", True])
                reader = subprocess.Popen([sys.executable, "-c", READER, d.state], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            for c in [hung] + callers:
                c.join()
            self.assertEqual(answers["h%d" % phase], "ERROR")
            if phase == 0:
                wait_for("e's removal", lambda: "removing trelvox e " in d.log())
                self.assertLess(time.time() - e_end, 4 + 1.5)
        torn, reads = reader.communicate("")[0].split()
        self.assertEqual((torn, int(reads) > 1000, [answers[n].startswith(HEAD) for n in range(70)].count(True),
                          d.metric("tunnel_keeper_changes_refused_total")), ("0", True, 63, 7))
        self.assertEqual(d.log().count("useradd ran longer than 4 seconds and was killed: useradd -d"), 2)
        # A removal whose userdel fails is answered ERROR and retried until it is made.
        user = user_of(answers[0])
        # The pauses between attempts are 1 s, then 2 s (each ends at the expiry pass of its second): the third attempt
        # comes 1 to 3 s after the first, and a little later under load (pauses of 2 and 4 s: 6 s at least).
        d.fault("fail", "userdel")
        self.assertEqual(d.ask("release:f0"), "ERROR")
        released = time.time()
        third = wait_for("the third attempt", lambda: "retrying the removal of |f0| %s, attempt 3\n" % user in d.log() and time.time())
        os.remove(d.record + ".fail.userdel")
        self.assertTrue(1 < third - released < 5, third - released)
        wait_for("the retry", lambda: d.settled() is None and d.metric("tunnel_keeper_removals_pending") == 0)
        self.assertNotIn(user + ":", Path("/etc/passwd").read_text())
        # A process of the account that killall cannot end keeps the account: ERROR, and a retry ends it.
        user = user_of(answers[1])
        subprocess.run(["sh", "-c", "sleep 60 & exit"], user=user, check=True)
        d.fault("fail", "killall")
        self.assertEqual((d.ask("release:f1"), user + ":" in Path("/etc/passwd").read_text()), ("ERROR", True))
        os.remove(d.record + ".fail.killall")
        wait_for("the retry", lambda: d.settled() is None and d.metric("tunnel_keeper_removals_pending") == 0)
        self.assertNotIn(user + ":", Path("/etc/passwd").read_text())
        # A shutdown whose removals cannot be made gives up, and the state file keeps every grant, ended, for the next start.
        d.fault("fail", "userdel")
        self.assertEqual((d.send("shutdown\n"), d.proc.wait(20)), ("", 2))
        kept = [line.split("\t") for line in Path(d.state).read_text().splitlines()[1:]]
        self.assertEqual((len(kept), all(int(f[4]) <= time.time() for f in kept)), (61, True))
        self.assertRegex(d.log(), r"shutting down gave up after \d+ seconds: 61 grants are still on the host\n")

    def test_shutdown_behind_slow_or_hung_changes_exits_with_the_host_clean(self):
        # -x 2, so a shutdown gives up after 5 s without progress: twelve grants whose useradd takes 0.4 s each (the
        # changes move on); a grant whose chown hangs, and then the first two commands of its undo, each until killed at
        # the limit, with a shutdown right behind it (6 s without progress, but its clock starts once the undo is done);
        # a grant whose removal's first command is killed at the limit and whose other commands take 1.2 s each (5.6 s
        # in one change, whose commands move on). Each ends with status 0, no account or home left, and an empty state
        # file.
        for hangs, slow, count, last in (({}, 0.15, 12, "useradd"), ({"chown": "*", "rm": "-f *", "killall": "*"}, 0.15, 1, "chown"),
                                         ({"rm": "-f *"}, 1.2, 1, "useradd")):
            d = Daemon(self, "-x", "2", stubs=dict({p: STUB + "sleep %s\n" % slow + REAL.get(p, 'exec /bin/rm "$@"\n') for p in ("rm", "killall", "userdel")},
                                                   useradd=STUB + "sleep 0.4\n" + REAL["useradd"]))
            for program, pattern in hangs.items():
                d.fault("hang", program, pattern)
            callers = [threading.Thread(target=d.send, args=("request:d%d:22\n" % n,)) for n in range(count)]
            for c in callers:
                c.start()
            wait_for("the requests", lambda: d.log().count("run: read request:") == count and "Running: " + last in d.log())
            self.assertEqual((d.send("shutdown\n"), d.proc.wait(60), bool(re.search(r"shutting down took \d+ seconds\n$", d.log()))), ("", 0, True), hangs)
            users = re.findall(r"<= (sshtmp_\w{8})", d.log())
            self.assertEqual(([u for u in users if os.path.lexists("/tmp/" + u) or u + ":" in Path("/etc/passwd").read_text()], len(users),
                              Path(d.state).read_text().count("\n")), ([], count, 1), hangs)

    def test_request_status_filter_and_release(self):
        d, started = Daemon(self), int(time.time())
        answer, finished = d.ask("request:unit7:22,80"), int(time.time())
        user = user_of(answer)
        self.assertEqual(answer, HEAD + ' -R 20000:0.0.0.0:22 -R 20001:0.0.0.0:80 %s@192.0.2.10 "sleep 3600"' % user)
        until = re.search(r"add_temp_user: grant \|unit7\| %s %s until (\S+Z)\n" % (user, re.escape(FINGERPRINT)), d.log())
        end = calendar.timegm(time.strptime(until.group(1), "%Y-%m-%dT%H:%M:%SZ"))
        self.assertTrue(started <= end - 3600 <= finished)
        self.assertEqual(d.commands(), provisioning(user, [20000, 20001], end))
        self.assertEqual(Path(d.state).read_text().split("\n")[1:], ["unit7\t%s\t22,80\t20000,20001\t%d\t\tuid=%d\tkey=%s" % (user, end, pwd.getpwnam(user).pw_uid, PUBLIC_KEY), ""])
        with socket.create_server(("127.0.0.1", 20001)):
            self.assertEqual([d.ask("status:unit7"), d.ask("status:nobody")], ["waiting,taken", "ERROR"])
        # A filter whose fifth rule fails is undone whole and not recorded: the next one is made.
        d.fault("once", "iptables", "-A INPUT -p tcp -j DROP --dport 20001")
        self.assertEqual([d.ask("acl:unit7:1.2.3.4.5"), d.ask("acl:nobody:10.1.2.3"), d.ask("acl:unit7:10.1.2.0/24"), d.ask("acl:unit7:10.1.2.0/24"),
                          d.ask("acl:unit7:10.1.2.3"), d.ask("release:unit7")], ["ERROR", "ERROR", "ERROR", "OK", "ERROR", "OK"])
        added = rules("-A", "10.1.2.0/24", [20000, 20001])
        self.assertEqual(d.commands(GRANT), added[:5] + [c.replace(" -A ", " -D ") for c in added[3::-1]] + added + removal(user) +
                         rules("-D", "10.1.2.0/24", [20000, 20001]))
        self.assertRegex(d.log(), r"remove_temp_user: couldn't find \|unit7\|\n.*Running: mktemp .*\n.*adding \|unit7\| <= {0}\n(.*\n)+.*connection_status: "
                                  r"couldn't find \|nobody\|\n(.*\n)+.*acl for unit7 \|1\.2\.3\.4\.5\| seems to be invalid\n(.*\n)+"
                                  r".*filter_ports: couldn't find \|nobody\|\n(.*\n)+.*filter_ports: RUNNING \|iptables -A (.*\n)+"
                                  r".*already set\n(.*\n)+.*removing trelvox unit7 with username {0}\n.*Running: rm -f ".format(user))
        self.assertFalse(os.path.lexists("/tmp/%s.key" % user) or os.path.lexists("/tmp/" + user))
        self.assertEqual(Path(d.state).read_text().count("\n"), 1)   # the comment line alone
        # A lifetime of its own: the key line, the forwarding command, the listing and the state file's end.
        asked = int(time.time())
        answer, commands = d.ask("request:dev:,22,:120"), len(d.commands())   # one port: one permitlisten
        user = user_of(answer)
        end = calendar.timegm(time.strptime(re.search(r"grant \|dev\| \S+ \S+ until (\S+Z)\n", d.log()).group(1), "%Y-%m-%dT%H:%M:%SZ"))
        self.assertEqual((answer, d.commands(commands - GRANT), re.sub(r" => 1(20|19) => ", " => 120 => ", d.ask("list"))),
                         (HEAD + ' -R 20002:0.0.0.0:22 %s@192.0.2.10 "sleep 120"' % user, provisioning(user, [20002], end),
                          "dev => 22 => 20002 => 120 => %s\n" % user))
        self.assertTrue(asked <= end - 120 <= time.time() and "\t%d\t" % end in Path(d.state).read_text())
        # extend, longer then shorter (refusals change nothing): the end its session waits for, then its key line
        # through a new file, the state line, the listing and the audit line follow, and a start takes it back so.
        asked, commands = int(time.time()), len(d.commands())
        self.assertEqual([d.ask("extend:" + r) for r in ("dev:900", "nobody:60", "dev:0", "dev:3601", "dev:6x", "dev", "dev:60")],
                         ["OK"] + ["ERROR"] * 5 + ["OK"])
        d.fault("once", "mv", "-fT *")   # the next extend fails at its last step, and is undone
        self.assertEqual(d.ask("extend:dev:300"), "ERROR")
        ends = [calendar.timegm(time.strptime(e, "%Y-%m-%dT%H:%M:%SZ")) for e in re.findall(r"extend_grant: grant \|dev\| %s %s until (\S+Z)\n"
                                                                                            % (user, re.escape(FINGERPRINT)), d.log())]
        ssh = "/tmp/%s/.ssh/" % user
        end, failed = ends[-1], int(re.search(r"touch -d @(\d+) ", d.commands(commands)[4 * len(ends)]).group(1))
        self.assertEqual(d.commands(commands), [c for e in ends + [failed] for c in (
            "touch -d @%d %send" % (e, ssh), "sed -n 's/expiry-time=\"[0-9]*\"/%s/w %sauthorized_keys.new' %sauthorized_keys" % (expiry(e), ssh, ssh),
            "chmod 644 %sauthorized_keys.new" % ssh, "mv -fT %sauthorized_keys.new %sauthorized_keys" % (ssh, ssh))] + [
            "rm -f %sauthorized_keys.new" % ssh, "touch -d @%d %send" % (end, ssh)])
        self.assertEqual((asked <= end - 60 <= time.time(), expiry(end) in Path(ssh + "authorized_keys").read_text(), os.stat(ssh + "end").st_mtime,
                          "\t%d\t" % end in Path(d.state).read_text(), os.path.exists(ssh + "authorized_keys.new"),
                          d.metric("tunnel_keeper_extended_total")), (True, True, end, True, False, 2))
        d.proc.kill()
        again = Daemon(self, files={".state": Path(d.state).read_text()})
        self.assertEqual(re.sub(" => (60|59|58) => ", " => 60 => ", again.ask("list")), "dev => 22 => 20002 => 60 => %s\n" % user)
        # The commands had nothing open but the log as standard error: no socket, no log stream.
        self.assertEqual(set(Path(d.record + ".fds").read_text().split()), {"1"})
        # A grant that ends while its filter's rules are made (2 s each): ERROR, and its removal deletes them.
        d = Daemon(self, stubs={"iptables": STUBS["iptables"] + "sleep 2\n"})
        d.ask("request:short:22:3")
        self.assertEqual((d.ask("acl:short:10.1.2.0/24"), d.settled(), d.commands()[-3:], "|short| ended while its filter was set" in d.log()),
                         ("ERROR", None, rules("-D", "10.1.2.0/24", [20000]), True))

    def test_pool_skips_busy_ports_rotates_and_refuses_what_it_cannot_serve(self):
        d = Daemon(self, "-r", "100-104")
        with socket.create_server(("127.0.0.1", 100)), socket.create_server(("::1", 101), family=socket.AF_INET6):
            first = d.ask("request:a:22,80")
            self.assertEqual([d.ask("request:b:1"), d.commands(GRANT)], ["ERROR", []])
        self.assertIn("-R 102:0.0.0.0:22 -R 103:0.0.0.0:80 ", first)
        self.assertRegex(d.log(), r"port 100 is in use, skipped\n.*port 101 is in use, skipped\n(.*\n)+.*not enough free ports "
                                  r"for \|b\|\n")
        self.assertEqual((d.ask("request:b:1,2,3"), d.commands(GRANT)), ("ERROR", []))   # two free: nothing made
        self.assertIn("-R 100:0.0.0.0:1 -R 101:0.0.0.0:2 ", d.ask("request:b:1,2"))
        again = d.ask("request:a:22")              # replaces a: the old grant, which had no filter, goes first
        self.assertEqual((d.commands(2 * GRANT)[:5], again[len(HEAD):len(HEAD) + 18]),
                         (removal(user_of(first)) + [MKTEMP], " -R 102:0.0.0.0:22"))
        self.assertEqual(d.ask("release:b"), "OK")
        self.assertIn("-R 103:0.0.0.0:1 -R 100:0.0.0.0:2 -R 101:0.0.0.0:3 ", d.ask("request:c:1,2,3"))
        self.assertEqual(d.ask("release:c"), "OK")
        with socket.create_server(("127.0.0.1", 103)):   # a held port goes to the back: tried again after every other one
            self.assertIn("-R 100:0.0.0.0:1 ", d.ask("request:x:1"))
        self.assertIn("-R 101:0.0.0.0:1 ", d.ask("request:y:1"))

    def test_refused_requests_leave_nothing_and_keep_the_pool_order(self):
        # mktemp prints what the test put in record.mktemp: not a plain account name in /tmp
        d = Daemon(self, stubs={"mktemp": STUB + '[ -e "$STUB_RECORD.mktemp" ] && exec cat "$STUB_RECORD.mktemp"\n' + REAL["mktemp"]})
        self.assertEqual((d.ask("request:dev:22,0"), d.ask("list")), ("ERROR", ""))
        for printed in ("", "/", "/tmp/\n", "/var/tmp/sshtmp_AbCd1234\n", "/tmp/sshtmp_a;b\n", "/tmp/-sshtmp_A\n"):
            Path(d.record + ".mktemp").write_text(printed)
            self.assertEqual(d.ask("request:dev:22"), "ERROR", printed)
        os.remove(d.record + ".mktemp")
        self.assertEqual((d.log().count("add_temp_user: Failed to run command\n"), d.commands(),
                          "add_temp_user: invalid port |0| for dev\n" in d.log()), (6, [MKTEMP] * 6, True))
        # A step that fails, the first, one in the middle and the last: the grant is undone, and nothing is saved.
        made = [c.split()[0] for c in provisioning("u", [1], 0)]
        for step, undo in (("mktemp", []), ("sed", ["rm", "rm"]), ("chown", ["rm", "killall", "userdel", "rm"])):
            d.fault("fail", step)
            before = len(d.commands())
            self.assertEqual(d.ask("request:dev:22"), "ERROR", step)
            os.remove(d.record + ".fail." + step)
            self.assertEqual([c.split()[0] for c in d.commands(before)], made[:made.index(step) + 1] + undo, step)
            self.assertIn("add_temp_user: %s failed with status 10: " % step, d.log())
        users = re.findall(r"<= (sshtmp_\w+)", d.log())
        self.assertEqual(([u for u in users if os.path.lexists("/tmp/" + u) or os.path.lexists("/tmp/%s.key" % u) or u in
                           Path("/etc/passwd").read_text()], Path(d.state).read_text().count("\n")), ([], 1))
        self.assertIn(" -R 20000:0.0.0.0:65535 ", d.ask("request:dev: 65535 "))   # the ports went back in front
        self.assertEqual([d.metric(s) for s in ('tunnel_keeper_requests_total{command="request",result="error"}',
                                                "tunnel_keeper_grant_failures_total", "tunnel_keeper_command_failures_total")], [10, 9, 3])
        # A key copy that is not a file of www-data with mode 600: another user's directory of www-data, mode 600, at
        # its path (the rename fails); a copy that install gave to someone else, or with mode 644.
        squat = 'mkdir -m 600 "${4%/key}.key" && /bin/chown www-data "${4%/key}.key"\n'
        install = STUB + 'exec /usr/bin/install %s "$5" "$6"\n'
        for stubs, squat in (({"ssh-keygen": STUBS["ssh-keygen"] + squat}, True), ({"install": install % "-o nobody -m 600"}, False),
                             ({"install": install % "-o www-data -m 644"}, False)):
            d = Daemon(self, stubs=stubs)
            self.assertEqual(d.ask("request:dev:22"), "ERROR")
            user = re.search(r"<= (\w+)", d.log()).group(1)
            self.assertIn("mv failed with status 1" if squat else "key copy /tmp/%s.key is not a file of www-data with mode 600\n" % user, d.log())
            self.assertEqual(d.commands()[-4 + 2 * squat:], removal(user, key_copy=not squat, account=not squat))
            self.assertEqual((os.path.isdir("/tmp/%s.key" % user), os.path.lexists("/tmp/" + user)), (squat, False))

    def test_purge_deletes_plain_names_and_own_rules_in_the_range(self):
        names = ["sshtmp_Ab3dE9xQ", "root", "sshtmp_" + "a" * 25, "sshtmp_x;touch /tmp/x", "sshtmp_" + "a" * 26, "sshtmp$(id)"]
        rule = lambda s, p, port, j: "-A INPUT %s-p %s -m %s --dport %d -j %s" % (s, p, p, port, j)
        v4 = [rule(*r) for r in (
            ("-s 10.9.9.0/24 ", "tcp", 20000, "ACCEPT"), ("", "tcp", 20000, "DROP"), ("", "tcp", 20000, "REJECT"),
            ("", "udp", 20001, "DROP"), ("", "tcp", 20999, "DROP"), ("", "tcp", 21000, "DROP"), ("", "tcp", 19999, "DROP"),
            ("-s 10.0.0.1/32 ", "tcp", 20001, "DROP"), ("-s 1.2.3.4/32;id ", "tcp", 20002, "ACCEPT"))]
        with open("/etc/passwd", "a") as passwd:
            passwd.write("".join("%s:x:%d:%d::/tmp:/bin/sh\n" % (n, 6000 + i, 6000 + i) for i, n in enumerate(names) if n != "root"))
        d = Daemon(self, "-c",
                   files={".iptables": "-P INPUT ACCEPT\n" + "\n".join(v4),
                          ".ip6tables": rule("", "tcp", 20003, "DROP") + "\n" + rule("-s ::1/128 ", "tcp", 20003, "ACCEPT")})
        self.assertEqual((d.ask("list"), d.settled()), ("", None))
        self.assertEqual(d.commands(), removal("sshtmp_Ab3dE9xQ", home=False) + removal("sshtmp_" + "a" * 25, home=False) + [
            "iptables -D INPUT -s 10.9.9.0/24 -p tcp -j ACCEPT --dport 20000", "iptables -D INPUT -p tcp -j DROP --dport 20000",
            "iptables -D INPUT -p tcp -j DROP --dport 20999", "ip6tables -D INPUT -p tcp -j DROP --dport 20003"])
        self.assertRegex(d.log(), r"Deleting user sshtmp_Ab3dE9xQ\n(.*\n)+.*Deleting user sshtmp_a{25}\n")
        self.assertEqual(d.log().count("skipping invalid user name"), 3)

    def test_state_file_lines_that_are_damaged_hostile_ended_or_without_account_and_its_writes(self):
        end, line = int(time.time()) + 600, lambda *fields: "\t".join(map(str, fields)) + "\n"
        d = Daemon(self, "-r", "20000-20010", files={".state": "# comment\ngarbage\n" + "".join(line(*f) for f in (
            ("a", "sshtmp_a;id", 22, 20000, end, ""), ("b", "sshtmp_Bbbbbbbb", 22, 20001, end, "1.2.3.4;id"),
            ("c", "sshtmp_Cccccccc", 22, 20002, end, "10.0.0.0/8"), ("d\\\\x", "sshtmp_Dddddddd", 22, 20003, end - 900, ""),
            ("e", "sshtmp_Eeeeeeee", 22, 20005, 999999999999, ""), ("f", "sshtmp_Ffffffff", "22,80", 20004, end, ""),
            ("g" * 2039, "sshtmp_Gggggggg", 22, 20006, end, ""), ("h", "sshtmp_Hhhhhhhh", 22, 20007, end + 3600, "")))})
        self.assertEqual((d.ask("list"), d.settled(), Path(d.state).read_text().count("\n")), ("", None, 1))
        self.assertEqual(d.commands(), removal("sshtmp_Cccccccc", home=False, account=False) +
                         removal("sshtmp_Dddddddd", home=False, account=False))
        # An end beyond the longest lifetime, and a name longer than a request can carry, are damaged.
        self.assertRegex(d.log(), r"line 2 is damaged(.*\n)+.*line 3 is damaged, skipped: a\\tsshtmp_a;id(.*\n)+.*line 4 is "
                                  r"damaged(.*\n)+.*line 7 is damaged(.*\n)+.*line 8 is damaged(.*\n)+.*line 9 is damaged(.*\n)+.*line 10 "
                                  r"is damaged(.*\n)+.*dropping \|c\|: account sshtmp_Cccccccc is gone\n(.*\n)*.*removing \|d\\x\| "
                                  r"sshtmp_Dddddddd: it ended while the daemon was down\n")
        # Each write is a new file renamed over the old one: a planted temporary file is replaced, not used, and a
        # hard link keeps the old content.
        planted, old = Path(d.state + ".new"), Path(d.state + ".old")
        planted.write_text("planted")
        os.chmod(planted, 0o666)
        os.chown(planted, 65534, 65534)
        os.link(d.state, old)
        d.ask("request:a:22")
        state = os.stat(d.state)
        self.assertEqual((old.read_text().count("\n"), Path(d.state).read_text().count("\n"), state.st_uid, oct(state.st_mode)),
                         (1, 2, 0, "0o100600"))
        # A state file that cannot be written costs nothing but the log line.
        d = Daemon(self, "-s", "/proc/tk/grants")
        self.assertEqual((d.ask("request:a:22")[:len(HEAD)], d.ask("release:a")), (HEAD, "OK"))
        self.assertEqual(d.log().count("save_grants: couldn't write state file /proc/tk/grants: No such file or directory\n"), 4)

    def test_take_back_keeps_exact_rules_and_removes_what_another_user_could_have_planted(self):
        # Accounts as provisioning leaves them, or with a home that is missing (n's, whose line keeps its uid and key, is
        # built again; m's, a line of an older version, is not) or has .ssh as a link; the firewall lists
        # k's rules as they should be (its bare address as /32), k2's doubled and beside another source's, and slowly,
        # so that x ends during the start.
        now, target = int(time.time()), Path("/tmp/tk_target/authorized_keys")
        target.parent.mkdir()
        target.write_text("root's key\n")
        grants = (("k", "sshtmp_Kkkkkkkk", 20000, now + 600, "10.9.9.9", "made"), ("k2", "sshtmp_K2k2k2k2", 20001, now + 600,
                  "10.1.2.3/255.255.255.0", "made"), ("x", "sshtmp_Xxxxxxxx", 20002, now + 2, "10.1.1.1/32", "made"),
                  ("r", "sshtmp_Rrrrrrrr", 30000, now + 600, "10.2.2.2", "made"), ("m", "sshtmp_Mmmmmmmm", 20003, now + 600, "", None),
                  ("l", "sshtmp_Llllllll", 20004, now + 600, "", "link"), ("d", "sshtmp_Dddddddd", "20005,20005", now + 600, "", "made"),
                  ("o", "sshtmp_Oooooooo", 20006, now + 600, "", "own .ssh"), ("h", "sshtmp_Hhhhhhhh", 20007, now + 600, "", "home link"),
                  ("n", "sshtmp_Nnnnnnnn", 20008, now + 600, "", None))
        with open("/etc/passwd", "a") as passwd:
            for i, (_, user, _, _, _, home) in enumerate(grants):
                passwd.write("%s:x:%d:%d::/tmp/%s:/bin/sh\n" % (user, 5000 + i, 5000 + i, user))
                real = "/tmp/tk_target_" + user if home == "home link" else "/tmp/" + user
                if home:
                    os.makedirs(real)
                    os.chown(real, 5000 + i, 5000 + i)
                    if home == "home link":
                        os.symlink(real, "/tmp/" + user)
                    if home == "link":
                        os.symlink(target.parent, real + "/.ssh")
                    else:
                        os.mkdir(real + "/.ssh")
                        Path(real + "/.ssh/authorized_keys").write_text("key\n")
                    if home == "own .ssh":
                        os.chown(real + "/.ssh", 5000 + i, 5000 + i)
        rule = "-A INPUT -s %s -p tcp -m tcp --dport %d -j ACCEPT\n"
        drop = "-A INPUT -p tcp -m tcp --dport %d -j DROP\n"
        d = Daemon(self, "-r", "20000-20010", stubs={"iptables": STUBS["iptables"].replace("[ $a = -S ] &&", "[ $a = -S ] && sleep 3 &&"),
                                                     "userdel": STUB + 'sed -i "/^$1:/d" /etc/passwd\n'},
                   files={".state": "".join("%s\t%s\t%s\t%s\t%d\t%s%s\n" % ((n, u, ",".join(["22"] * len(str(p).split(","))), p) + tuple(g) + (
                                            "\tuid=%d\tkey=%s" % (5000 + i, PUBLIC_KEY) if n != "m" else "",)) for i, (n, u, p, *g, _) in enumerate(grants)),
                          ".iptables": rule % ("10.9.9.9/32", 20000) + drop % 20000 + (rule % ("10.1.2.0/24", 20001)) * 2 +
                          rule % ("10.7.7.7/32", 20001) + drop % 20001, ".ip6tables": drop % 20000 + drop % 20001})
        self.assertEqual(d.ask("list").count("\n"), 4)   # k, k2, n and x; x ends on its own
        wait_for("x to expire", lambda: "removing trelvox x" in d.log())
        d.settled()
        n = "sshtmp_Nnnnnnnn"
        self.assertEqual(d.commands(), removal("sshtmp_Rrrrrrrr") + removal("sshtmp_Mmmmmmmm", home=False) +
                         removal("sshtmp_Llllllll", home=False) + removal("sshtmp_Oooooooo", home=False) + removal("sshtmp_Hhhhhhhh", home=False) + [
                             "mkdir -m 700 /tmp/" + n, "mkdir -m 755 /tmp/%s/.ssh/" % n, "touch -d @%d /tmp/%s/.ssh/end" % (now + 600, n),
                             "sed -n 's/^%s:.*/%s %s/w /tmp/%s/.ssh/authorized_keys' /etc/passwd" % (n, key_options([20008], now + 600),
                             PUBLIC_KEY.replace("/", "\\/"), n), "chmod 644 /tmp/%s/.ssh/authorized_keys" % n, "chown %s /tmp/%s" % (n, n)] + [
                             "iptables -D INPUT -s 10.1.2.0/24 -p tcp -j ACCEPT --dport 20001"] * 2 + [
                             "iptables -D INPUT -s 10.7.7.7/32 -p tcp -j ACCEPT --dport 20001", "iptables -D INPUT -p tcp -j DROP --dport 20001",
                             "ip6tables -D INPUT -p tcp -j DROP --dport 20001"] + rules("-A", "10.1.2.3/255.255.255.0", [20001]) +
                         rules("-A", "10.1.1.1/32", [20002]) + removal("sshtmp_Xxxxxxxx") + rules("-D", "10.1.1.1/32", [20002]))
        self.assertRegex(d.log(), r"removing \|r\| sshtmp_Rrrrrrrr: its ports 30000 lie outside the range\n.*removing \|m\| "
                                  r"sshtmp_Mmmmmmmm: its home is not as provisioning made it\n.*removing \|l\| sshtmp_Llllllll: its home is not "
                                  r"as provisioning made it\n.*skipping \|d\| sshtmp_Dddddddd: its name, account or ports are taken(.*\n)+.*removing \|o\| sshtmp_Oooooooo: its "
                                  r"home is not as provisioning made it\n.*removing \|h\| sshtmp_Hhhhhhhh: its home is not as provisioning made it\n"
                                  r"(.*\n)+.*not removing the key line of sshtmp_Mmmmmmmm(.*\n)+.*not removing the key line of sshtmp_Llllllll"
                                  r"(.*\n)+.*not removing the key line of sshtmp_Oooooooo(.*\n)+.*not removing the key line of sshtmp_Hhhhhhhh")
        self.assertEqual((target.read_text(), Path("/tmp/tk_target_sshtmp_Hhhhhhhh/.ssh/authorized_keys").read_text(),
                          os.path.lexists("/tmp/sshtmp_Hhhhhhhh"), d.ask("localports:k2"), set(Path(d.record + ".fds").read_text().split())),
                         ("root's key\n", "key\n", False, "20001", {"1"}))   # the start's commands inherited neither socket nor state file


if __name__ == "__main__":
    main(__file__)
