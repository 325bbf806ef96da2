"""Provisioning, removal, filter, expiry and purge, seen through the commands
the real binary logs and the stub programs record."""
import os
import re
import time
import unittest

from harness import Daemon, DaemonTest

HEAD = ("start-stop-daemon --start --quiet --background --exec /usr/bin/ssh --startas /usr/bin/ssh "
        "-- -i /tmp/key -o UserKnownHostsFile=/tmp/known_hosts ")


def user_of(answer):
    return re.search(r"(sshtmp_\w{8})@", answer).group(1)


def provisioning(user):
    p = "/tmp/" + user
    return ["mkdir %s/.ssh/" % p, 'ssh-keygen -f %s/key -P "" -q' % p, "cp %s/key %s/key.copy" % (p, p),
            "chown www-data %s/key.copy" % p, "mv -fT %s/key.copy %s.key" % (p, p),
            "cp %s/key.pub %s/.ssh/authorized_keys" % (p, p), "useradd -d %s %s" % (p, user),
            "chmod 600 %s/.ssh/authorized_keys" % p, "chown -R %s %s" % (user, p)]


def removal(user):
    return ["killall -9 -u " + user, "userdel " + user, "rm -rf /tmp/" + user, "rm -rf /tmp/%s.key" % user]


def rules(op, acl, ports):
    out = []
    for p in ports:
        out += ["iptables %s INPUT -s %s -p tcp -j ACCEPT --dport %d" % (op, acl, p),
                "iptables %s INPUT -p tcp -j DROP --dport %d" % (op, p)]
    return out


class Grants(DaemonTest, unittest.TestCase):
    def test_request_filter_and_release_run_exact_commands(self):
        d = self.start()
        answer = d.ask("request:unit7:22,80")
        user = user_of(answer)
        self.assertEqual(answer, HEAD + ' -R 20000:0.0.0.0:22 -R 20001:0.0.0.0:80 %s@192.0.2.10 "sleep 3600"' % user)
        self.assertEqual(d.commands(), provisioning(user))
        self.assertIn("couldn't find |unit7|\n", d.log())
        self.assertIn("adding |unit7| <= %s\n" % user, d.log())
        key = "/tmp/%s.key" % user
        with open(key) as f:
            self.assertEqual(f.read(), "private\n")   # the real cp and mv made it
        self.assertEqual(os.stat(key).st_mode & 0o777, 0o600)

        for bad in ("1.2.3.4.5", "//", "300.1.1.1", "10.1.2.0/33", "gw.example", "10.1.2.3 /8"):
            self.assertEqual(d.ask("acl:unit7:" + bad), "ERROR", bad)
            self.assertIn("acl for unit7 |%s| seems to be invalid\n" % bad, d.log())
        self.assertEqual(d.ask("acl:nobody:10.1.2.3"), "ERROR")
        self.assertEqual(d.ask("acl:unit7:10.1.2.0/24"), "OK")
        self.assertEqual(d.ask("acl:unit7:10.1.2.0/24"), "ERROR")
        self.assertIn("acl for unit7 |10.1.2.0/24| already set\n", d.log())
        self.assertEqual(d.commands()[9:], rules("-A", "10.1.2.0/24", [20000, 20001]))

        self.assertEqual(d.ask("release:unit7"), "OK")
        self.assertEqual(d.commands()[13:], removal(user) + rules("-D", "10.1.2.0/24", [20000, 20001]))
        log = d.log()
        self.assertLess(log.index("killall"), log.index("removing trelvox unit7 with username %s\n" % user))
        self.assertLess(log.index("removing trelvox"), log.index("userdel"))
        self.assertFalse(os.path.exists(key) or os.path.exists("/tmp/" + user))
        # The stubs saw the same commands, in the same order, as the shell
        # passed them on.
        self.assertEqual(d.stubbed(), [c.replace('""', '') for c in d.commands() if c.split()[0] in
                                       ("useradd", "userdel", "killall", "iptables", "chown", "ssh-keygen")])

    def test_pool_rotation_replacement_and_exhaustion(self):
        d = self.start("-r", "100-103")
        first = d.ask("request:a:22,80")
        self.assertIn("-R 100:0.0.0.0:22 -R 101:0.0.0.0:80", first)
        before = len(d.commands())
        self.assertEqual(d.ask("request:b:1,2"), "ERROR")        # only 102 is free
        self.assertEqual(len(d.commands()), before, "nothing may be created for an unservable request")
        again = d.ask("request:a:22")                              # replaces a: old grant first
        self.assertEqual(d.commands()[before:], removal(user_of(first)) + provisioning(user_of(again)))
        self.assertIn("-R 102:0.0.0.0:22 ", again)
        self.assertEqual(d.ask("release:a"), "OK")
        self.assertIn("-R 100:0.0.0.0:1 -R 101:0.0.0.0:2 -R 102:0.0.0.0:3 ", d.ask("request:c:1,2,3"))
        empty = d.ask("request:d:,")                                # no ports at all
        self.assertEqual(empty, HEAD + ' %s@192.0.2.10 "sleep 3600"' % user_of(empty))

    def test_invalid_ports_create_nothing(self):
        d = self.start()
        for bad in ("ssh", "0", "65536", "22x", "-5", "2 2"):
            before = len(d.commands())
            self.assertEqual(d.ask("request:dev:22,%s" % bad), "ERROR", bad)
            self.assertIn("add_temp_user: invalid port |%s| for dev\n" % bad, d.log())
            self.assertEqual(len(d.commands()), before)
        self.assertEqual(d.ask("list"), "")
        self.assertIn("-R 20000:0.0.0.0:22 ", d.ask("request:dev: 22 "))

    def test_failing_host_commands_do_not_change_answers(self):
        d = self.start("-r", "100-102", env={"STUB_FAIL": "1"})
        self.assertTrue(d.ask("request:a:22").startswith(HEAD))
        self.assertEqual(d.ask("acl:a:10.0.0.0/8"), "OK")
        self.assertEqual(d.ask("release:a"), "OK")
        self.assertIn("-R 101:0.0.0.0:1 -R 100:0.0.0.0:2 ", d.ask("request:b:1,2"))

    def test_unusable_mktemp_output_fails_before_any_command(self):
        out = os.path.join(self.scratch(), "out")
        d = self.start(stubs={"mktemp": '#!/bin/sh\ncat "%s"\n' % out})
        for printed in ("", "/", "/tmp/\n", "/var/tmp/sshtmp_AbCd1234\n", "/tmp/sshtmp_a;b\n"):
            with open(out, "w") as f:
                f.write(printed)
            self.assertEqual(d.send("request:dev:22\n"), "\n", printed)
        self.assertEqual(d.log().count("add_temp_user: Failed to run command\n"), 5)
        self.assertEqual(d.commands(), [])


class Expiry(DaemonTest, unittest.TestCase):
    def test_grants_expire_in_name_order(self):
        d = self.start("-t", "2")
        d.ask("request:b:22")
        d.ask("request:a:23")
        started = time.time()
        d.wait_log("Timeout: removing b\n")
        self.assertLess(time.time() - started, 3.5)
        log = d.log()
        self.assertLess(log.index("Timeout: removing a\n"), log.index("Timeout: removing b\n"))
        self.assertEqual(d.ask("list"), "")
        self.assertEqual(d.ask("localports:a"), "ERROR")

    def test_shutdown_removes_live_grants_then_exits(self):
        d = self.start()
        users = [user_of(d.ask("request:%s:22" % n)) for n in ("x", "y")]
        time.sleep(1.5)  # at least one pass of the expiry thread has counted down
        self.assertRegex(d.ask("list"), r"^x => 22 => 20000 => 359[89] => sshtmp_\w+\ny => 22 => 20001 => 359[89] => ")
        self.assertEqual(d.send("shutdown\n"), "")
        self.assertEqual(d.wait_exit(), 0)
        log = d.log()
        self.assertRegex(log, r"run: shutting down took [0-2] seconds\n$")
        for name, user in zip(("x", "y"), users):
            self.assertIn("timer: Timeout: removing %s\n" % name, log)
            self.assertIn("userdel " + user, d.commands())


class Purge(DaemonTest, unittest.TestCase):
    def test_purge_kills_then_deletes_valid_leftovers_only(self):
        canary = "/tmp/tk_purge_canary_%d" % os.getpid()
        passwd = os.path.join(self.scratch(), "passwd")
        names = ["sshtmp_Ab3dE9xQ", "root", "sshtmpother", "sshtmp_x;touch " + canary,
                 "sshtmp_" + "a" * 40, "sshtmp$(touch %s)" % canary]
        with open(passwd, "w") as f:
            f.write("".join("%s:x:1000:1000::/tmp:/bin/sh\n" % n for n in names))
        cat = '#!/bin/sh\n[ "$1" = /etc/passwd ] && exec /bin/cat "%s"\nexec /bin/cat "$@"\n' % passwd
        d = self.start("-c", stubs={"cat": cat})
        self.assertEqual(d.ask("list"), "")
        expected = []
        for n in ("sshtmp_Ab3dE9xQ", "sshtmpother"):
            expected += removal(n)
            self.assertIn("remove_tmp_users_and_connections: Deleting user %s\n" % n, d.log())
        self.assertEqual(d.commands(), expected)
        self.assertEqual(d.log().count("skipping invalid user name"), 3)
        self.assertFalse(os.path.exists(canary))


class HostileInput(DaemonTest, unittest.TestCase):
    def test_client_text_never_reaches_a_shell(self):
        canary = "/tmp/tk_canary_%d" % os.getpid()
        payloads = ["; touch %s" % canary, "| touch %s" % canary, "& touch %s &" % canary,
                    "$(touch %s)" % canary, "`touch %s`" % canary, "'\"; touch %s #" % canary,
                    "\ntouch %s\n" % canary, "x" * 3000]
        d = self.start("-r", "100-110")
        for p in payloads:
            for request in ("request:%s:22" % p, "request:dev:22,%s" % p, "acl:dev:%s" % p,
                            "acl:%s:10.0.0.1" % p, "release:%s" % p, "key:%s" % p):
                answer = d.send(request.encode() + b"\0tail")
                self.assertTrue(answer in ("ERROR\n", "OK\n", "\n") or answer.startswith(HEAD) or
                                answer.startswith("/tmp/sshtmp_"), (request, answer))
        self.assertFalse(os.path.exists(canary))
        for command in d.commands():
            self.assertNotRegex(command, r"[;|&$`'\n]|touch|xxx", command)


if __name__ == "__main__":
    unittest.main()
