# The Debian package under a booted systemd: the package is built from this tree and installed, upgraded, removed
# and purged in a systemd-nspawn container over a throw-away overlay of this machine's root, with a network of its
# own, all inside the test's private namespaces (harness.in_namespaces). Exit status 77: skipped (not root, or no
# systemd-nspawn that can boot here).
import glob, os, re, shutil, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
from harness import main, wait_for  # noqa: E402
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../..")
DEVICE = "import socketserver\nclass H(socketserver.BaseRequestHandler):\n  def handle(self): self.request.sendall(b'hello')\nsocketserver.TCPServer(('127.0.0.1',2222),H).serve_forever()"
BINDS = ("import socket,sys\ns=socket.socket()\ns.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
         "try: s.bind(('127.0.0.1',int(sys.argv[1]))); print('ok')\nexcept OSError as e: print(e.errno)")
ROUND_TRIP = "import socket,sys\ntry: print(socket.create_connection(('127.0.0.1',int(sys.argv[1])),timeout=2).recv(9).decode())\nexcept OSError: print('none')"


class Boot(unittest.TestCase):
    def setUp(self):
        if not shutil.which("dpkg-buildpackage"):
            self.skipTest("skipped: dpkg-buildpackage is missing (scripts/test-all.sh installs it)")
        work = tempfile.mkdtemp()
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", work], check=True)   # an overlay's upper layer cannot be on /tmp's overlay
        # The package, checked by lintian.
        shutil.copytree(SOURCE, work + "/src", ignore=shutil.ignore_patterns(".git", "build*"))
        built = subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=work + "/src", capture_output=True, text=True,
                               env=dict(os.environ, DEB_BUILD_OPTIONS="nocheck noddebs parallel=2"))
        self.assertEqual(built.returncode, 0, built.stdout[-3000:] + built.stderr[-3000:])
        lint = subprocess.run(["lintian", "--fail-on", "error,warning"] + glob.glob(work + "/*.changes"), capture_output=True, text=True)
        self.assertEqual((lint.returncode, lint.stdout), (0, ""))
        if not shutil.which("systemd-nspawn"):
            self.skipTest("skipped: systemd-nspawn is missing (scripts/test-all.sh installs systemd-container)")
        # The same files as a higher version, for the upgrade; the container's root: this machine's, with a writable
        # layer that goes with the test, and the packages. A container image's policy-rc.d forbids maintainer scripts to
        # start services; a Debian host has none. Nothing of this machine's own tunnel_keeper is seen there: a package
        # installed here is purged in the layer (its prerm finds no daemon in the test's network), and what a run or
        # cmake --install left goes.
        self.root, self.first = work + "/root", "/root/" + os.path.basename(glob.glob(work + "/tunnel-keeper_*.deb")[0])
        subprocess.run(["sh", "-ec", "cd %s; dpkg-deb -R tunnel-keeper_*.deb next; sed -i 's/^Version: .*/&+1/' next/DEBIAN/control; "
                        "dpkg-deb -b next tunnel-keeper_next.deb >/dev/null; mkdir upper work root; mount -t overlay overlay -o lowerdir=/,"
                        "upperdir=upper,workdir=work root; rm -f root/usr/sbin/policy-rc.d; cp tunnel-keeper_*.deb root/root/; "
                        "[ ! -e root/var/lib/dpkg/info/tunnel-keeper.list ] || chroot root dpkg --purge --force-depends tunnel-keeper >/dev/null; "
                        "rm -rf root/var/lib/tunnel_keeper root/var/log/tunnel_keeper.log* root/etc/*/tunnel_keeper.conf root/usr/share/pam-configs/tk-sshtmp "
                        "root/usr/lib/systemd/system/tunnel_keeper* root/etc/systemd/system/*/tunnel_keeper*; chroot root pam-auth-update --package" % work],
                       check=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        # The container runs in a cgroup of the test's own in each hierarchy that systemd-nspawn uses (the unified one,
        # and name=systemd on a hybrid host), removed with it; bpf allowed, so that the port guard is on; the BPF file
        # system that a systemd host mounts at boot.
        mine = dict(line.split(":", 2)[1:] for line in open("/proc/self/cgroup").read().splitlines())
        self.groups = groups = [m[4] + mine[k].rstrip("/") + "/tk_boot_%d" % os.getpid() for m in map(str.split, open("/proc/self/mountinfo"))
                  for k in [{"cgroup2": ""}.get(m[m.index("-") + 1], "name=systemd" if "name=systemd" in m[-1].split(",") else None)] if k in mine]
        self.addCleanup(lambda: subprocess.run(["sh", "-c", "for g; do find $g -depth -type d -exec rmdir {} +; done", "sh"] + groups))
        self.addCleanup(lambda: subprocess.run(["kill", "-9", self.init]) and self.boot.wait())
        if self.boot_container() not in ("running", "degraded"):
            self.skipTest("skipped: systemd-nspawn cannot boot a container here")

    def boot_container(self):
        # Boots the container's root; its state once booted. Its network is new at each boot.
        self.boot = subprocess.Popen(["sh", "-ec", 'for g in %s; do mkdir -p $g; echo $$ > $g/cgroup.procs; done; exec "$@"' % " ".join(self.groups),
                                      "sh", "systemd-nspawn", "-D", self.root, "--boot", "--private-network", "--register=no", "--keep-unit",
                                      "--link-journal=no", "--system-call-filter=bpf", "--bind=/sys/fs/bpf", "--quiet"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        init = lambda: subprocess.run(["pgrep", "-x", "-P", str(self.boot.pid), "systemd"], capture_output=True, text=True).stdout.split()
        self.init = wait_for("the container's init", lambda: self.boot.poll() is not None and ["ended"] or init(), 30)[0]
        booted = lambda state: (state not in ("", "offline", "initializing", "starting") or self.boot.poll() is not None) and state
        return self.boot.poll() is None and wait_for("the boot", lambda: booted(self.run_in("systemctl", "is-system-running", check=False)), 60)

    def run_in(self, *argv, check=True, user=None):
        # A command in the container, as root or as `user`; its standard output. As `user` it runs in a unit of the
        # container's, where the port guard sees it.
        done = subprocess.run(["nsenter", "-t", self.init, "-a"] + (["systemd-run", "-q", "-P", "--wait", "-p", "User=" + user] if user else []) + list(argv),
                              capture_output=True, text=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.assertTrue(done.returncode == 0 or not check, (argv, done.stdout, done.stderr))
        return done.stdout.strip()

    def test_install_upgrade_reboot_remove_and_purge_under_systemd(self):
        py = lambda script, *args, user=None: self.run_in("/usr/bin/python3", "-c", script, *map(str, args), user=user)
        # At each boot: an address the forwarding command names, and the device. A system call the unit's filter refuses
        # kills the daemon or the program it runs, instead of failing it quietly. The operator reserves ports of its own;
        # systemd-sysctl does not run in a container (its /proc/sys is read-only), so a unit applies /etc/sysctl.conf in
        # its place, before the daemon, as at a host's boot.
        network = lambda: self.run_in("sh", "-ec", "ip link add tk0 type veth peer name tk1; ip addr add 192.0.2.1/24 dev tk0; ip link set tk0 up") \
            or subprocess.Popen(["nsenter", "-t", self.init, "-a", "/usr/bin/python3", "-c", DEVICE])
        device = network()
        self.run_in("sh", "-ec", "mkdir -p /etc/systemd/system/tunnel_keeper.service.d; printf '[Service]\\nSystemCallErrorNumber=\\n' "
                    "> /etc/systemd/system/tunnel_keeper.service.d/refusals.conf; echo net.ipv4.ip_local_reserved_ports=30000-30010 >> /etc/sysctl.conf; "
                    "printf '[Unit]\\nBefore=tunnel_keeper.service\\n[Service]\\nType=oneshot\\nExecStart=sysctl -p /etc/sysctl.conf\\n[Install]\\n"
                    "WantedBy=multi-user.target\\n' > /etc/systemd/system/tk-sysctl.service; systemctl enable --now tk-sysctl")
        pam_before = (pam := lambda: self.run_in("sh", "-c", "cat /etc/pam.d/common-* /var/lib/pam/*"))()
        self.run_in("apt-get", "install", "-y", self.first)
        log = lambda: self.run_in("cat", "/var/log/tunnel_keeper.log")
        reserved = lambda: self.run_in("sysctl", "-n", "net.ipv4.ip_local_reserved_ports")
        self.assertEqual((self.run_in("systemctl", "is-active", "tunnel_keeper"), "port guard on:" in log(), py(BINDS, 20999, user="nobody"), reserved()),
                         ("active", True, "1", "20000-20999,30000-30010"))
        # A grant whose device connects through the container's ssh server, and a filter. The ssh server was reloaded:
        # the drop-in refuses the key a forward to a Unix socket.
        command = self.run_in("tunnel_keeper-ctl", "request", "dev", "2222")
        port, user = int(re.search(r" -R (\d+):", command).group(1)), re.search(r"(sshtmp_\w{8})@", command).group(1)
        self.run_in("sh", "-ec", "cp %s /tmp/key; cp /tmp/key /root/key; ssh-keyscan 192.0.2.1 > /root/known_hosts 2>/dev/null; "
                    "cp /root/known_hosts /tmp/; %s" % (self.run_in("tunnel_keeper-ctl", "key", "dev"), command))
        self.assertEqual((wait_for("the tunnel", lambda: py(ROUND_TRIP, port) == "hello" and "hello", 30), self.run_in("tunnel_keeper-ctl", "status", "dev"),
                          self.run_in("tunnel_keeper-ctl", "acl", "dev", "127.0.0.0/8"), self.run_in("sh", "-c", "timeout 10 ssh -i /tmp/key -o "
                          "UserKnownHostsFile=/tmp/known_hosts -o ExitOnForwardFailure=yes -R /tmp/tk.sock:127.0.0.1:2222 %s@192.0.2.1; echo $?" % user)),
                         ("hello", "connected", "OK", "255"))
        # The device's login has no login session, service manager or runtime directory; an ordinary account's has.
        self.run_in("sh", "-ec", "useradd -m alice; mkdir ~alice/.ssh; ssh-keygen -q -t ed25519 -N '' -f /tmp/alice; cp /tmp/alice.pub ~alice/.ssh/authorized_keys")
        session = "loginctl list-sessions --no-legend | grep -cw {0}; systemctl is-active user@$(id -u {0}).service; ls -d /run/user/$(id -u {0}) | wc -l"
        self.assertEqual((self.run_in("sh", "-c", session.format(user), check=False), self.run_in("ssh", "-i", "/tmp/alice", "-o", "UserKnownHostsFile=/tmp/known_hosts",
                          "alice@192.0.2.1", session.format("alice"), check=False)), ("0\ninactive\n0", "1\nactive\n1"))
        rules = lambda: re.findall(r".*--dport %d .*" % port, self.run_in("iptables", "-S", "INPUT"))
        listing = lambda: re.sub(r" => \d+ => (sshtmp_)", r" => \1", self.run_in("tunnel_keeper-ctl", "list"))
        kept = (rules(), listing())
        # An upgrade restarts the service once; the grant, its rules, its guard and its tunnel stay.
        self.run_in("apt-get", "install", "-y", "/root/tunnel-keeper_next.deb")
        self.assertEqual((self.run_in("dpkg-query", "-W", "-f", "${Version}", "tunnel-keeper"), log().count("main: started tunnel_keeper"),
                          "took over the port guard" in log(), (rules(), listing()), py(ROUND_TRIP, port),
                          py(BINDS, port, user="nobody")), (self.first.split("_")[1] + "+1", 2, True, kept, "hello", "1"))
        # A reboot: the same disk, a fresh kernel (no rule, no pinned guard, an empty /tmp), and a filtered grant that ends
        # while the host is down. The live grant's home is built again: its device logs in with the key it holds, on the
        # same port, behind the same rules; the other grant is removed; no command fails.
        brief = re.search(r"(sshtmp_\w{8})@", self.run_in("tunnel_keeper-ctl", "request", "brief", "22", "6")).group(1)
        self.run_in("tunnel_keeper-ctl", "acl", "brief", "10.0.0.1")
        device.kill() or device.wait()   # a process of its that the test started would keep the container from ending
        self.run_in("systemctl", "poweroff", check=False)
        self.boot.wait(60)
        subprocess.run(["sh", "-ec", "umount /sys/fs/bpf; mount -t bpf bpf /sys/fs/bpf; sleep 6"], check=True)
        self.assertIn(self.boot_container(), ("running", "degraded"))
        network()
        self.run_in("sh", "-ec", "cp /root/key /root/known_hosts /tmp/; %s" % command)
        self.assertEqual((wait_for("the tunnel", lambda: py(ROUND_TRIP, port) == "hello" and "hello", 30), self.run_in("tunnel_keeper-ctl", "status", "dev"),
                          (rules(), listing()), self.run_in("tunnel_keeper-ctl", "key", "dev", check=False), py(BINDS, port, user="nobody"), reserved(),
                          "its home is gone and is built again" in log(), "removing |brief| %s: it ended while the daemon was down" % brief in log()), ("hello", "connected", kept, "", "1",
                          "20000-20999,30000-30010", True, True))
        exposure = re.search(r"Overall exposure level for tunnel_keeper.service: (\S+)", self.run_in("systemd-analyze", "security", "tunnel_keeper.service"))
        # Removal ends every grant first: no account, home, key copy, rule or guard is left; purge takes the state and log.
        self.run_in("apt-get", "remove", "-y", "tunnel-keeper")
        self.assertEqual((self.run_in("sh", "-c", "grep -c sshtmp_ /etc/passwd; ls /tmp | grep -c sshtmp_; ls /sys/fs/bpf/tunnel_keeper", check=False),
                          rules(), py(BINDS, port, user="nobody"), self.run_in("systemctl", "is-active", "tunnel_keeper", check=False), pam()),
                         ("0\n0", [], "ok", "inactive", pam_before))
        commands_refused = re.findall(r".*(?:Operation not permitted|failed with status|ran longer|gave up).*", log())
        self.run_in("apt-get", "purge", "-y", "tunnel-keeper")
        journal = self.run_in("journalctl", "-b", "-o", "cat")
        self.assertEqual((self.run_in("sh", "-c", "ls -d /var/lib/tunnel_keeper /var/log/tunnel_keeper.log; grep -rl sshtmp /etc/pam.d /var/lib/pam /usr/share/pam-configs", check=False),
                          self.run_in("systemctl", "--failed", "--no-legend"), commands_refused,
                          re.findall(r".*(?:tunnel_keeper.*(?:Scheduled restart|Failed with result)|status=31/SYS).*", journal), float(exposure.group(1)) <= 4.5),
                         ("", "", [], [], True), exposure.group(0))


if __name__ == "__main__":
    main(__file__)
