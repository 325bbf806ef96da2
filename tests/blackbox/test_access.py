# Provisioning, removal, filter, status, purge and the pool, seen through the
# commands the real binary logs, the stubs record and the files it leaves.
import calendar, os, re, socket, tempfile, time, unittest
from pathlib import Path
from harness import FINGERPRINT, HEAD, STUBS, Daemon, user_of


def provisioning(user, ports, lifetime, end):
    p = "/tmp/" + user
    return ["mkdir %s/.ssh/" % p, 'ssh-keygen -f %s/key -P "" -q' % p, "cp %s/key %s/key.copy" % (p, p),
            "chown www-data %s/key.copy" % p, "mv -fT %s/key.copy %s.key" % (p, p),
            "printf '%%s ' '%s' > %s/.ssh/authorized_keys" % (key_options(ports, lifetime, end), p),
            "cat %s/key.pub >> %s/.ssh/authorized_keys" % (p, p), "chmod 755 %s/.ssh/" % p,
            "chmod 644 %s/.ssh/authorized_keys" % p, "useradd -d %s %s" % (p, user), "chown %s %s" % (user, p)]


def key_options(ports, lifetime, end):
    return "restrict,port-forwarding,%spermitopen=\"255.255.255.255:1\",command=\"sleep %d\",expiry-time=\"%s\"" % (
        "".join('permitlisten="localhost:%d",' % p for p in ports), lifetime, time.strftime("%Y%m%d%H%M%S", time.localtime(end)))


def removal(user, key_copy=True):
    return ["rm -f /tmp/%s/.ssh/authorized_keys" % user, "killall -9 -u " + user, "userdel " + user,
            "rm -rf /tmp/" + user] + ["rm -rf /tmp/%s.key" % user] * key_copy


def rules(op, acl, ports):
    return sum((["iptables %s INPUT -s %s -p tcp -j ACCEPT --dport %d" % (op, acl, p),
                 "iptables %s INPUT -p tcp -j DROP --dport %d" % (op, p),
                 "ip6tables %s INPUT -p tcp -j DROP --dport %d" % (op, p)] for p in ports), [])


class Grants(unittest.TestCase):
    def test_request_status_filter_and_release(self):
        d = Daemon(self)
        started = int(time.time())
        answer = d.ask("request:unit7:22,80")
        user = user_of(answer)
        self.assertEqual(answer, HEAD + ' -R 20000:0.0.0.0:22 -R 20001:0.0.0.0:80 %s@192.0.2.10 "sleep 3600"' % user)
        until = re.search(r"add_temp_user: grant \|unit7\| %s %s until (\S+Z)\n" % (user, re.escape(FINGERPRINT)), d.log())
        end = calendar.timegm(time.strptime(until.group(1), "%Y-%m-%dT%H:%M:%SZ"))
        self.assertIn(end - started, (3600, 3601))
        self.assertEqual(d.commands(), provisioning(user, [20000, 20001], 3600, end))
        self.assertRegex(d.log(), r"couldn't find \|unit7\|\n(.*\n)*.*adding \|unit7\| <= %s\n" % user)
        for path, mode, text in ((".key", 0o100600, "private\n"), ("/.ssh", 0o40755, None),
                                 ("/.ssh/authorized_keys", 0o100644, key_options([20000, 20001], 3600, end) + " public\n")):
            st = os.lstat("/tmp/" + user + path)
            self.assertEqual((st.st_mode, st.st_uid, text and Path("/tmp/" + user + path).read_text()),
                             (mode, 33 if path == ".key" else 0, text), path)
        with socket.create_server(("127.0.0.1", 20001)):
            self.assertEqual([d.ask("status:unit7"), d.ask("status:nobody")], ["waiting,taken", "ERROR"])
        self.assertIn("connection_status: couldn't find |nobody|\n", d.log())
        self.assertEqual([d.ask("acl:unit7:1.2.3.4.5"), d.ask("acl:nobody:10.1.2.3"), d.ask("acl:unit7:10.1.2.0/24"),
                          d.ask("acl:unit7:10.1.2.3")], ["ERROR", "ERROR", "OK", "ERROR"])
        self.assertRegex(d.log(), r"acl for unit7 \|1.2.3.4.5\| seems to be invalid\n(.*\n)+.*couldn't find \|nobody\|\n"
                                  r"(.*\n)+.*acl for unit7 \|10.1.2.0/24\| already set\n")
        self.assertEqual(d.ask("release:unit7"), "OK")
        self.assertEqual(d.commands()[11:], rules("-A", "10.1.2.0/24", [20000, 20001]) + removal(user) +
                         rules("-D", "10.1.2.0/24", [20000, 20001]))
        self.assertRegex(d.log(), r"removing trelvox unit7 with username %s\n.*rm -f " % user)
        self.assertFalse(os.path.lexists("/tmp/%s.key" % user) or os.path.lexists("/tmp/" + user))
        # The stubs saw the same commands as the shell passed them on, with
        # nothing open but the log as standard error: no socket, no log stream.
        self.assertEqual(d.stubbed(), [c.replace('""', '') for c in d.commands()[:11] if c.split()[0] in STUBS] +
                         ["ssh-keygen -lf /tmp/%s/key.pub" % user] +
                         [c for c in d.commands()[11:] if c.split()[0] in STUBS])
        self.assertEqual(set(d.stubbed(".fds")), {"1"})

    def test_pool_skips_busy_ports_rotates_and_refuses_what_it_cannot_serve(self):
        d = Daemon(self, "-r", "100-104")
        v6 = socket.socket(socket.AF_INET6)
        v6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        v6.bind(("::1", 101))
        v6.listen()
        with socket.create_server(("127.0.0.1", 100)), v6:
            first = d.ask("request:a:22,80")
            self.assertIn("-R 102:0.0.0.0:22 -R 103:0.0.0.0:80 ", first)
            self.assertRegex(d.log(), "port 100 is in use, skipped\n.*port 101 is in use, skipped\n")
            self.assertEqual(d.ask("request:b:1"), "ERROR")
        before = len(d.commands())
        self.assertEqual((d.ask("request:b:1,2,3"), d.commands()[before:]), ("ERROR", []))   # two free: nothing made
        self.assertIn("-R 100:0.0.0.0:1 -R 101:0.0.0.0:2 ", d.ask("request:b:1,2"))
        before = len(d.commands())
        again = d.ask("request:a:22")                                  # replaces a: the old grant goes first
        self.assertEqual(d.commands()[before:before + 5], removal(user_of(first)))
        self.assertIn("-R 102:0.0.0.0:22 ", again)
        self.assertEqual(d.ask("release:b"), "OK")
        self.assertIn("-R 103:0.0.0.0:1 -R 100:0.0.0.0:2 -R 101:0.0.0.0:3 ", d.ask("request:c:1,2,3"))
        self.assertEqual(d.ask("release:c"), "OK")
        empty = d.ask("request:d:,")
        self.assertEqual(empty, HEAD + ' %s@192.0.2.10 "sleep 3600"' % user_of(empty))

    def test_refused_requests_leave_nothing(self):
        d = Daemon(self)
        self.assertEqual((d.ask("request:dev:22,0"), d.ask("list"), d.commands()), ("ERROR", "", []))
        self.assertIn("add_temp_user: invalid port |0| for dev\n", d.log())
        self.assertIn("-R 20000:0.0.0.0:65535 ", d.ask("request:dev: 65535 "))

        out = tempfile.mktemp()
        d = Daemon(self, stubs={"mktemp": '#!/bin/sh\ncat "%s"\n' % out})
        for printed in ("", "/", "/tmp/\n", "/var/tmp/sshtmp_AbCd1234\n", "/tmp/sshtmp_a;b\n"):
            Path(out).write_text(printed)
            self.assertEqual(d.send("request:dev:22\n"), "\n", printed)
        os.remove(out)
        self.assertEqual(d.log().count("add_temp_user: Failed to run command\n"), 5)
        self.assertEqual(d.commands(), [])

        # Another local user puts a directory where the key copy goes.
        d = Daemon(self, stubs={"ssh-keygen": STUBS["ssh-keygen"] + '[ ! -e "$STUB_RECORD.squat" ] || mkdir "${2%/key}.key"\n'},
                   files={".squat": ""})
        self.assertEqual(d.ask("request:dev:22"), "ERROR")
        user = re.search(r"<= (\w+)", d.log()).group(1)
        self.assertIn("key copy /tmp/%s.key is not a file of www-data with mode 600\n" % user, d.log())
        self.assertEqual(d.commands()[11:], removal(user, key_copy=False))
        self.assertTrue(os.path.isdir("/tmp/%s.key" % user) and not os.path.lexists("/tmp/" + user))
        os.remove(d.record + ".squat")
        self.assertIn(" -R 20000:", d.ask("request:dev:22"))            # its ports are back in front

    def test_purge_deletes_plain_names_and_own_rules_in_the_range(self):
        canary = "/tmp/tk_purge_canary_%d" % os.getpid()
        names = ["sshtmp_Ab3dE9xQ", "root", "sshtmp_" + "a" * 25, "sshtmp_x;touch " + canary, "sshtmp_" + "a" * 26,
                 "sshtmp$(touch %s)" % canary]
        passwd = tempfile.mktemp()
        Path(passwd).write_text("".join("%s:x:1000:1000::/tmp:/bin/sh\n" % n for n in names))
        self.addCleanup(os.remove, passwd)
        rule = lambda s, p, port, j: "-A INPUT %s-p %s -m %s --dport %d -j %s" % (s, p, p, port, j)
        v4 = [rule(*r) for r in (
            ("-s 10.9.9.0/24 ", "tcp", 20000, "ACCEPT"), ("", "tcp", 20000, "DROP"), ("", "tcp", 20000, "REJECT"),
            ("", "udp", 20001, "DROP"), ("", "tcp", 20999, "DROP"), ("", "tcp", 21000, "DROP"), ("", "tcp", 19999, "DROP"),
            ("-s 10.0.0.1/32 ", "tcp", 20001, "DROP"), ("-s 1.2.3.4/32;touch%s " % canary, "tcp", 20002, "ACCEPT"))]
        stubs = {"cat": '#!/bin/sh\n[ "$1" = /etc/passwd ] && exec /bin/cat "%s"\nexec /bin/cat "$@"\n' % passwd}
        d = Daemon(self, "-c", stubs=stubs, files={".iptables": "-P INPUT ACCEPT\n" + "\n".join(v4), ".ip6tables": "\n".join(
            [rule("", "tcp", 20003, "DROP"), rule("-s ::1/128 ", "tcp", 20003, "ACCEPT")])})
        self.assertEqual(d.ask("list"), "")
        self.assertEqual(d.commands(), removal("sshtmp_Ab3dE9xQ") + removal("sshtmp_" + "a" * 25) + [
            "iptables -D INPUT -s 10.9.9.0/24 -p tcp -j ACCEPT --dport 20000", "iptables -D INPUT -p tcp -j DROP --dport 20000",
            "iptables -D INPUT -p tcp -j DROP --dport 20999", "ip6tables -D INPUT -p tcp -j DROP --dport 20003"])
        self.assertRegex(d.log(), "Deleting user sshtmp_Ab3dE9xQ\n(.*\n){5}.*Deleting user sshtmp_a{25}\n")
        self.assertEqual(d.log().count("skipping invalid user name"), 3)
        self.assertFalse(os.path.exists(canary))

    def test_client_text_never_reaches_a_shell(self):
        canary = "/tmp/tk_canary_%d" % os.getpid()
        d = Daemon(self, "-r", "100-110")
        for p in ("; touch %s" % canary, "| touch %s" % canary, "& touch %s &" % canary, "$(touch %s)" % canary,
                  "`touch %s`" % canary, "'\"; touch %s #" % canary, "\ntouch %s\n" % canary, "x" * 3000):
            for request in ("request:%s:22", "request:dev:22,%s", "acl:dev:%s", "acl:%s:10.0.0.1", "release:%s"):
                answer = d.send((request % p).encode() + b"\0tail")
                self.assertTrue(answer in ("ERROR\n", "OK\n") or answer.startswith(HEAD), (request, answer))
        self.assertFalse(os.path.exists(canary))
        self.assertFalse([c for c in d.commands() if re.search(r"[;|&$`'\n]|touch|xxx", c) and "printf" not in c])


if __name__ == "__main__":
    unittest.main()
