"""Provisioning, removal, filter, expiry and purge, seen through the commands
the real binary logs and the stubs record."""
import os
import re
import shutil
import tempfile
import time
import unittest

from harness import Daemon

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
    return sum((["iptables %s INPUT -s %s -p tcp -j ACCEPT --dport %d" % (op, acl, p),
                 "iptables %s INPUT -p tcp -j DROP --dport %d" % (op, p)] for p in ports), [])


class Grants(unittest.TestCase):
    def scratch_file(self, text):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        with open(folder + "/f", "w") as f:
            f.write(text)
        return folder + "/f"

    def test_request_filter_and_release_run_exact_commands(self):
        d = Daemon(self)
        answer = d.ask("request:unit7:22,80")
        user = user_of(answer)
        self.assertEqual(answer, HEAD + ' -R 20000:0.0.0.0:22 -R 20001:0.0.0.0:80 %s@192.0.2.10 "sleep 3600"' % user)
        self.assertEqual(d.commands(), provisioning(user))
        self.assertIn("couldn't find |unit7|\n", d.log())
        self.assertIn("adding |unit7| <= %s\n" % user, d.log())
        with open("/tmp/%s.key" % user) as key:    # the real cp and mv put it there
            self.assertEqual((key.read(), os.fstat(key.fileno()).st_mode & 0o777), ("private\n", 0o600))
        for bad in ("1.2.3.4.5", "//", "300.1.1.1", "10.1.2.0/33", "gw.example", "10.1.2.3 /8"):
            self.assertEqual(d.ask("acl:unit7:" + bad), "ERROR", bad)
            self.assertIn("acl for unit7 |%s| seems to be invalid\n" % bad, d.log())
        self.assertEqual([d.ask("acl:nobody:10.1.2.3"), d.ask("acl:unit7:10.1.2.0/24"), d.ask("acl:unit7:10.1.2.3")],
                         ["ERROR", "OK", "ERROR"])
        self.assertIn("acl for unit7 |10.1.2.0/24| already set\n", d.log())
        self.assertEqual(d.ask("release:unit7"), "OK")
        self.assertEqual(d.commands()[9:], rules("-A", "10.1.2.0/24", [20000, 20001]) + removal(user) +
                         rules("-D", "10.1.2.0/24", [20000, 20001]))
        self.assertRegex(d.log(), r"killall.*\n.*removing trelvox unit7 with username %s\n.*userdel" % user)
        self.assertFalse(os.path.exists("/tmp/%s.key" % user) or os.path.exists("/tmp/" + user))
        # The stubs saw the same commands, in the same order, as the shell passed them on.
        self.assertEqual(d.stubbed(), [c.replace('""', '') for c in d.commands() if c.split()[0] in
                                       ("useradd", "userdel", "killall", "iptables", "chown", "ssh-keygen")])

    def test_pool_rotation_replacement_and_exhaustion(self):
        d = Daemon(self, "-r", "100-103")
        first = d.ask("request:a:22,80")
        self.assertIn("-R 100:0.0.0.0:22 -R 101:0.0.0.0:80", first)
        before = len(d.commands())
        self.assertEqual(d.ask("request:b:1,2"), "ERROR")        # only 102 is free: nothing may be created
        again = d.ask("request:a:22")                              # replaces a: the old grant goes first
        self.assertEqual(d.commands()[before:], removal(user_of(first)) + provisioning(user_of(again)))
        self.assertIn("-R 102:0.0.0.0:22 ", again)
        self.assertEqual(d.ask("release:a"), "OK")
        self.assertIn("-R 100:0.0.0.0:1 -R 101:0.0.0.0:2 -R 102:0.0.0.0:3 ", d.ask("request:c:1,2,3"))
        empty = d.ask("request:d:,")
        self.assertEqual(empty, HEAD + ' %s@192.0.2.10 "sleep 3600"' % user_of(empty))

    def test_invalid_ports_create_nothing(self):
        d = Daemon(self)
        for bad in ("ssh", "0", "65536", "22x", "-5", "2 2"):
            self.assertEqual(d.ask("request:dev:22,%s" % bad), "ERROR", bad)
            self.assertIn("add_temp_user: invalid port |%s| for dev\n" % bad, d.log())
        self.assertEqual((d.commands(), d.ask("list")), ([], ""))
        self.assertIn("-R 20000:0.0.0.0:22 ", d.ask("request:dev: 22 "))

    def test_unusable_mktemp_output_fails_before_any_command(self):
        out = self.scratch_file("")
        d = Daemon(self, stubs={"mktemp": '#!/bin/sh\ncat "%s"\n' % out})
        for printed in ("", "/", "/tmp/\n", "/var/tmp/sshtmp_AbCd1234\n", "/tmp/sshtmp_a;b\n"):
            with open(out, "w") as f:
                f.write(printed)
            self.assertEqual(d.send("request:dev:22\n"), "\n", printed)
        self.assertEqual(d.log().count("add_temp_user: Failed to run command\n"), 5)
        self.assertEqual(d.commands(), [])

    def test_purge_kills_then_deletes_plain_names_only(self):
        canary = "/tmp/tk_purge_canary_%d" % os.getpid()
        names = ["sshtmp_Ab3dE9xQ", "root", "sshtmpother", "sshtmp_x;touch " + canary, "sshtmp_" + "a" * 40,
                 "sshtmp$(touch %s)" % canary]
        passwd = self.scratch_file("".join("%s:x:1000:1000::/tmp:/bin/sh\n" % n for n in names))
        cat = '#!/bin/sh\n[ "$1" = /etc/passwd ] && exec /bin/cat "%s"\nexec /bin/cat "$@"\n' % passwd
        d = Daemon(self, "-c", stubs={"cat": cat})
        self.assertEqual(d.ask("list"), "")
        self.assertEqual(d.commands(), removal("sshtmp_Ab3dE9xQ") + removal("sshtmpother"))
        self.assertRegex(d.log(), "Deleting user sshtmp_Ab3dE9xQ\n(.*\n){4}.*Deleting user sshtmpother\n")
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
        self.assertFalse([c for c in d.commands() if re.search(r"[;|&$`'\n]|touch|xxx", c)])


class Expiry(unittest.TestCase):
    def test_grants_expire_in_name_order(self):
        d = Daemon(self, "-t", "2")
        d.ask("request:b:22")
        d.ask("request:a:23")
        started = time.time()
        d.wait_log("Timeout: removing b\n")
        self.assertLess(time.time() - started, 3.5)
        self.assertRegex(d.log(), "Timeout: removing a\n(.*\n)*.*Timeout: removing b\n")
        self.assertEqual([d.ask("list"), d.ask("localports:a")], ["", "ERROR"])

    def test_shutdown_removes_live_grants_then_exits(self):
        d = Daemon(self)
        users = [user_of(d.ask("request:%s:22" % n)) for n in ("x", "y")]
        time.sleep(1.5)  # at least one pass of the expiry thread has counted down
        self.assertRegex(d.ask("list"), r"^x => 22 => 20000 => 359[89] => sshtmp_\w+\ny => 22 => 20001 => 359[89] => ")
        self.assertEqual(d.send("shutdown\n"), "")
        self.assertEqual(d.proc.wait(10), 0)
        self.assertRegex(d.log(), r"timer: Timeout: removing x\n(.*\n)*.*timer: Timeout: removing y\n(.*\n)*"
                                  r".*run: shutting down took [0-2] seconds\n$")
        self.assertEqual(d.commands(), provisioning(users[0]) + provisioning(users[1]) + removal(users[0]) + removal(users[1]))


if __name__ == "__main__":
    unittest.main()
