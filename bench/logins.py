"""What a connected device costs the host stack operators run: systemd booted in a container over a throw-away overlay
of this machine's root (as the boot test does it), the package built from this tree and installed, and N devices
connected through the container's ssh server, each with its grant's key and the forwarding command's options:
    python3 bench/logins.py [N ...]        (default: 20 100)
For each N it measures with the package's PAM profile applied, and again with it taken out (pam-auth-update --remove),
as a host without it runs. Per device it prints: memory (PSS) of the ssh server's processes, of the session command,
and of anything else of the account's (a service manager); processes; CPU of one login: the ssh server's (its
listener's share included), anything else of the account's, and what the container's init, login manager and journal
spent on it; journal lines per login, by program; login sessions and runtime directories left; and the time until all
N devices are `connected`. Needs root and the packages that scripts/test-all.sh installs."""
import collections, json, os, shlex, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tests", "boot"), os.path.join(ROOT, "tests", "blackbox")]
from harness import in_namespaces, wait_for  # noqa: E402
from test_boot import Boot  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
SERVICE_MANAGER = ("systemd", "(sd-pam)")


def proc(pid, name):
    try:
        with open("/proc/%d/%s" % (pid, name), "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def uid_of(pid):
    line = [l for l in proc(pid, "status").splitlines() if l.startswith("Uid:")]
    return int(line[0].split()[1]) if line else -1


def cpu_ms(pid):
    fields = proc(pid, "stat").rsplit(")", 1)[-1].split()
    return sum(map(int, fields[11:15])) * 1000 / TICK if len(fields) > 15 else 0.0   # utime, stime, cutime, cstime


def pss_kb(pid):
    return sum(int(l.split()[1]) for l in proc(pid, "smaps_rollup").splitlines() if l.startswith("Pss:"))


def processes():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def by_role(uids):
    """Each process of the devices' logins, by role: the ssh server's (`sshd: ACCOUNT [priv]`, root's, and its child
    of the account's), the service manager (the account's systemd and (sd-pam)) and the session command."""
    roles = collections.defaultdict(list)
    names = set(uids.values())
    for pid in processes():
        comm, cmdline = proc(pid, "comm").strip(), proc(pid, "cmdline").replace("\0", " ")
        if comm == "sshd" and any(cmdline.startswith("sshd: %s" % n) for n in names):
            roles["ssh server"].append(pid)
        elif uid_of(pid) in uids:
            roles["service manager" if comm in SERVICE_MANAGER else "session command"].append(pid)
    return roles


class Host:
    def __init__(self, boot):
        self.boot, self.run_in = boot, boot.run_in
        self.stack = {}
        for pid in processes():   # the container's init, login manager and journal
            comm = proc(pid, "comm").strip()
            if comm in ("systemd", "systemd-logind", "systemd-journal") and uid_of(pid) == 0 and \
                    (pid == int(boot.init) or proc(pid, "stat").rsplit(")", 1)[-1].split()[1] == boot.init):
                self.stack[comm] = pid
        self.listener = [p for p in processes() if proc(p, "cmdline").startswith("sshd: /usr/sbin/sshd")][0]

    def stack_cpu(self):
        """CPU so far: the container's init and login manager, its journal, and the ssh server's listener."""
        return (sum(cpu_ms(p) for c, p in self.stack.items() if c != "systemd-journal"), cpu_ms(self.stack["systemd-journal"]),
                cpu_ms(self.listener))

    def wave(self, n):
        """Grants for n devices, their logins all at once (a device whose connection the server drops tries again),
        and the figures."""
        grants = []
        for i in range(n):
            command = self.run_in("tunnel_keeper-ctl", "request", "dev%d" % i, "2222")
            self.run_in("install", "-m", "600", self.run_in("tunnel_keeper-ctl", "key", "dev%d" % i), "/tmp/dev%d" % i)
            argv = ["/tmp/dev%d" % i if a == "/tmp/key" else a for a in shlex.split(command.split(" -- ", 1)[1])]
            grants.append((argv, argv[-2].split("@")[0]))
        uids = {int(self.run_in("id", "-u", user)): user for _, user in grants}
        cursor = json.loads(self.run_in("journalctl", "-n", "1", "-o", "json"))["__CURSOR"]
        before, started = self.stack_cpu(), time.monotonic()
        clients = [None] * n
        connected = lambda i: self.run_in("tunnel_keeper-ctl", "status", "dev%d" % i, check=False) == "connected"
        pending = set(range(n))
        while pending:
            for i in list(pending):
                if clients[i] is None or clients[i].poll() is not None:
                    clients[i] = subprocess.Popen(["nsenter", "-t", self.boot.init, "-a", "ssh", "-o", "BatchMode=yes"] + grants[i][0],
                                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.2)
            pending = {i for i in pending if not connected(i)}
            assert time.monotonic() - started < 300, "devices still not connected: %d" % len(pending)
        elapsed = time.monotonic() - started
        time.sleep(3)   # the logins' last work (a service manager's start) settles
        roles = by_role(uids)
        after = self.stack_cpu()
        lines = collections.Counter(json.loads(l).get("SYSLOG_IDENTIFIER", "?") for l in
                                    self.run_in("journalctl", "--after-cursor", cursor, "-o", "json").splitlines())
        sessions = self.run_in("sh", "-c", "loginctl list-sessions --no-legend | grep -c sshtmp_; ls /run/user | wc -l", check=False).split()
        figures = {"seconds until all connected": elapsed,
                   "processes": sum(map(len, roles.values())) / n,
                   "pss": {r: sum(map(pss_kb, pids)) / n / 1024 for r, pids in roles.items()},
                   "cpu": {r: sum(map(cpu_ms, pids)) / n for r, pids in roles.items()},
                   "init and login manager cpu": (after[0] - before[0]) / n, "journal cpu": (after[1] - before[1]) / n,
                   "listener cpu": (after[2] - before[2]) / n,
                   "journal": {k: v / n for k, v in lines.most_common()}, "sessions": sessions}
        for client in clients:
            client.kill()
            client.wait()
        for i in range(n):
            self.run_in("tunnel_keeper-ctl", "-w", "60", "release", "dev%d" % i)
        return figures


def report(mode, n, f):
    pss, cpu = f["pss"], f["cpu"]
    own = pss.get("ssh server", 0) + pss.get("session command", 0)
    sshd = cpu.get("ssh server", 0) + f["listener cpu"]
    manager = cpu.get("service manager", 0) + f["init and login manager cpu"]
    print("| %s | %d | %.2f MB: ssh server %.2f, session %.2f, other %.2f (%.3fx) | %.1f | ssh server %.1f ms, service and login "
          "manager %.1f ms (%.2fx); session %.1f ms, journal %.1f ms | %.1f: %s | %s / %s | %.1f s |" % (
              mode, n, own + pss.get("service manager", 0), pss.get("ssh server", 0), pss.get("session command", 0),
              pss.get("service manager", 0), (own + pss.get("service manager", 0)) / own, f["processes"], sshd, manager,
              (sshd + manager) / sshd, cpu.get("session command", 0), f["journal cpu"], sum(f["journal"].values()),
              ", ".join("%s %.1f" % kv for kv in f["journal"].items()),
              f["sessions"][0], f["sessions"][1], f["seconds until all connected"]))
    sys.stdout.flush()


def main(sizes):
    boot = Boot("test_install_upgrade_reboot_remove_and_purge_under_systemd")
    try:
        boot.setUp()
        boot.run_in("sh", "-ec", "ip link add tk0 type veth peer name tk1; ip addr add 192.0.2.1/24 dev tk0; ip link set tk0 up")
        boot.run_in("apt-get", "install", "-y", boot.first)
        boot.run_in("sh", "-ec", "ssh-keyscan 192.0.2.1 > /tmp/known_hosts 2>/dev/null")
        host = Host(boot)
        print("| PAM profile | devices | memory per device (PSS) | processes per device | CPU per login | journal lines per "
              "login | login sessions / runtime directories | until all connected |")
        print("|---|---|---|---|---|---|---|---|")
        for mode in ("applied", "taken out"):
            boot.run_in("pam-auth-update", "--package", *(["--remove", "tk-sshtmp"] if mode == "taken out" else []))
            for n in sizes:
                report(mode, n, host.wave(n))
    finally:
        boot.doCleanups()


if __name__ == "__main__":
    in_namespaces(__file__)
    main([int(a) for a in sys.argv[1:]] or [20, 100])
