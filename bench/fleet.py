"""A fleet-sized host, on the host's real commands (mktemp, ssh-keygen, useradd, ...) in private namespaces so that no
account reaches the host:
    python3 bench/fleet.py [SAMPLES]
For 0, 1,000 and 5,000 live grants (taken back from the state file at start), on a quiet host and with 9,000
established loopback connections held open (18,000 sockets), it measures grant and release, the floor (a home from
mktemp, an Ed25519 key pair and useradd in one /bin/sh, in the same run), list and status, status asked during a
burst of 16 grants, and status asked during a release that waits for a process to be reaped. Last, the time a start
takes with 1,000 grants in the state file (100 filtered, their rules in place) and -c. Needs root and a built daemon."""
import os, socket, statistics, subprocess, sys, threading, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))
from harness import HOLD_REAPING, in_namespaces, wait_for  # noqa: E402

BINARY = os.environ.get("TK_BINARY", os.path.join(ROOT, "build", "tunnel_keeper"))
STATE = "/var/lib/tunnel_keeper/grants"
FLOOR = 'p=$(mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX) && ssh-keygen -t ed25519 -f $p/key -P "" -q && useradd -d $p ${p##*/}'


def ask(request):
    with socket.create_connection(("127.0.0.1", 55444), timeout=60) as s:
        s.sendall(request.encode() + b"\n")
        return s.makefile().read()


def timed(request):
    start = time.perf_counter()
    answer = ask(request)
    return (time.perf_counter() - start) * 1000, answer


def spread(values):
    values = sorted(values)
    return statistics.median(values), values[int(0.9 * (len(values) - 1))], values[-1]


def plant_grants(count, first=0, filtered=0):
    """`count` live grants as a crash leaves them: accounts, homes as provisioning makes them, state lines, and the
    rules of the first `filtered` ones."""
    end, rules = int(time.time()) + 36000, []
    os.makedirs(os.path.dirname(STATE), exist_ok=True)
    with open("/etc/passwd", "a") as passwd, open(STATE, "w") as lines:
        for i in range(first, first + count):
            user, port = "sshtmp_B%07d" % i, 20000 + i - first
            acl = "10.1.%d.0/24" % (i % 250) if i - first < filtered else ""
            passwd.write("%s:x:%d:%d::/tmp/%s:/bin/sh\n" % (user, 100000 + i, 100000 + i, user))
            os.makedirs("/tmp/%s/.ssh" % user, exist_ok=True)
            os.chown("/tmp/" + user, 100000 + i, 100000 + i)
            with open("/tmp/%s/.ssh/authorized_keys" % user, "w") as key:
                key.write("ssh-ed25519 AAAA\n")
            lines.write("g%d\t%s\t22\t%d\t%d\t%s\n" % (i, user, port, end, acl))
            rules += ["-A INPUT -s %s -p tcp -m tcp --dport %d -j ACCEPT\n-A INPUT -p tcp -m tcp --dport %d -j DROP\n" % (
                acl, port, port)] if acl else []
    if rules:
        subprocess.run(["iptables-restore", "-n"], input="*filter\n%sCOMMIT\n" % "".join(rules), text=True, check=True)
        subprocess.run(["ip6tables-restore", "-n"], input="*filter\n%sCOMMIT\n" % "".join(
            r.split("\n")[1] + "\n" for r in rules), text=True, check=True)


def start_daemon(*args):
    # The pool reaches into the kernel's ephemeral range: reserved, as the daemon asks of the operator.
    with open("/proc/sys/net/ipv4/ip_local_reserved_ports", "w") as reserved:
        reserved.write("20000-39999")
    start = time.perf_counter()
    daemon = subprocess.Popen([BINARY, "-i", "127.0.0.1", "-l", "/var/log/tk_bench.log", "-r", "20000-40000", "-t", "36000"]
                              + list(args))
    wait_for("the daemon", lambda: answer_or_none("list") is not None, 60)
    return daemon, (time.perf_counter() - start) * 1000


def answer_or_none(request):
    try:
        return ask(request)
    except ConnectionRefusedError:
        return None


def stop(daemon):
    daemon.kill()
    daemon.wait()


HOLDER = """
import resource, socket, sys
count = int(sys.argv[1])
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
server = socket.create_server(("127.0.0.1", 0), backlog=4096)
held = []
for batch in range(0, count, 1000):
    clients = [socket.create_connection(server.getsockname()) for _ in range(min(1000, count - batch))]
    held += clients + [server.accept()[0] for _ in clients]
print(len(held), flush=True)
sys.stdin.read()
"""


def hold_connections(count):
    """`count` established loopback connections, both ends held by a process of their own (so that the floor's
    processes, started from here, do not inherit 18,000 descriptors): 2 * count sockets until stdin closes."""
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(count)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert int(holder.stdout.readline()) == 2 * count
    return holder


def status_while(busy, name):
    """Latencies of status:name asked over and over while busy() is running."""
    worker = threading.Thread(target=busy)
    worker.start()
    times = []
    while worker.is_alive() or not times:
        times.append(timed("status:" + name)[0])
    worker.join()
    return times


def measure(samples, grants):
    status_name = "g0" if grants else "bench_status"
    if not grants:
        ask("request:bench_status:22")
    grant, release, floor = [], [], []
    for i in range(samples):
        ms, answer = timed("request:bench%d:22,80" % i)
        assert "sshtmp_" in answer, answer
        grant.append(ms)
        release.append(timed("release:bench%d" % i)[0])
        start = time.perf_counter()
        made = subprocess.run(["/bin/sh", "-c", FLOOR + " && echo ${p##*/}"], capture_output=True, text=True,
                              check=True).stdout.strip()
        floor.append((time.perf_counter() - start) * 1000)
        subprocess.run(["sh", "-c", "userdel %s && rm -rf /tmp/%s" % (made, made)], check=True)
    listing = [timed("list")[0] for _ in range(15)]
    status = [timed("status:" + status_name)[0] for _ in range(50)]

    def burst():
        threads = [threading.Thread(target=ask, args=("request:burst%d:22" % i,)) for i in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    during_burst = status_while(burst, status_name)
    for i in range(16):
        ask("release:burst%d" % i)

    # A process of the grant's account whose parent is the namespaces' init, which reaps it only when let.
    user = ask("request:reaped:22").split("@")[0].split()[-1]
    subprocess.run(["sh", "-c", "sleep 60 & exit"], user=user, check=True)
    open(HOLD_REAPING, "w").close()
    threading.Timer(1.0, os.remove, (HOLD_REAPING,)).start()
    during_release = status_while(lambda: ask("release:reaped"), status_name)
    if not grants:
        ask("release:bench_status")
    g, f = statistics.median(grant), statistics.median(floor)
    return {"grant": g, "floor": f, "ratio": g / f, "release": statistics.median(release), "list": statistics.median(listing),
            "status": statistics.median(status), "burst": spread(during_burst), "reaping": spread(during_release)}


def main(samples):
    # First, while the account file holds no other temporary account for -c to purge.
    daemon, empty = start_daemon()
    stop(daemon)
    plant_grants(1000, first=20000, filtered=100)
    daemon, full = start_daemon("-c")
    settled = timed("release:settled")[0]
    ask("shutdown")   # the next start begins without grants
    daemon.wait()
    print("start: 1000 grants in the state file (100 filtered, rules in place) and -c: first answer after %.0f ms, "
          "its host work (rule check, purge) done %.0f ms later; with an empty file %.0f ms" % (full, settled, empty))

    rows = []
    for load in ("quiet", "9,000 connections"):
        held = hold_connections(9000) if load != "quiet" else None
        for grants in (0, 1000, 5000):
            plant_grants(grants, first=grants + (10000 if held else 0))  # new accounts for each run
            daemon, _ = start_daemon()
            assert ask("list").count("\n") == grants + 1
            rows.append((load, grants, measure(samples, grants)))
            stop(daemon)
        if held:
            held.stdin.close()
            held.wait()
    print("| host | live grants | grant ms | floor ms | grant/floor | release ms | list ms | status ms | status during "
          "16 grants: median / p90 / max ms | status during a release waiting for reaping: median / p90 / max ms |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for load, grants, m in rows:
        print("| %s | %d | %.1f | %.1f | %.2f | %.1f | %.2f | %.2f | %.2f / %.2f / %.2f | %.2f / %.2f / %.2f |" % (
            load, grants, m["grant"], m["floor"], m["ratio"], m["release"], m["list"], m["status"], *m["burst"], *m["reaping"]))


if __name__ == "__main__":
    in_namespaces(__file__)
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10)
