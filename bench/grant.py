"""Grant and release latency on the host's real commands (mktemp, ssh-keygen,
useradd, ...), and the time a start takes with 1,000 grants in the state
file, in private namespaces so that no account reaches the host:
    python3 bench/grant.py [SAMPLES]
The floor is the unavoidable work of a grant in one /bin/sh: a home from
mktemp, an Ed25519 key pair and useradd. Needs root and a built daemon."""
import os, socket, statistics, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))
from harness import in_namespaces, wait_for  # noqa: E402

BINARY = os.environ.get("TK_BINARY", os.path.join(ROOT, "build", "tunnel_keeper"))
FLOOR = 'p=$(mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX) && ssh-keygen -t ed25519 -f $p/key -P "" -q && useradd -d $p ${p##*/}'


def ask(request):
    with socket.create_connection(("127.0.0.1", 55444), timeout=60) as s:
        s.sendall(request.encode() + b"\n")
        return s.makefile().read()


def answer(request):
    try:
        return ask(request)
    except ConnectionRefusedError:
        return None


def timed(call):
    start = time.perf_counter()
    result = call()
    return (time.perf_counter() - start) * 1000, result


def start_time(args, grants=1000, filtered=100):
    # The accounts go straight into the namespace's /etc/passwd; the filtered
    # grants' rules are in place, as a crash leaves them.
    end, state, rules = int(time.time()) + 3600, "/var/lib/tunnel_keeper/grants", []
    os.makedirs(os.path.dirname(state), exist_ok=True)
    with open("/etc/passwd", "a") as passwd, open(state, "w") as lines:
        for i in range(grants):
            user, ports, acl = "sshtmp_B%07d" % i, (20000 + 2 * i, 20001 + 2 * i), "10.1.%d.0/24" % (i % 250) if i < filtered else ""
            passwd.write("%s:x:%d:%d::/tmp/%s:/bin/sh\n" % (user, 10000 + i, 10000 + i, user))
            lines.write("bench%d\t%s\t22,80\t%d,%d\t%d\t%s\n" % (i, user, ports[0], ports[1], end, acl))
            rules += ["-A INPUT -s %s -p tcp -m tcp --dport %d -j ACCEPT\n-A INPUT -p tcp -m tcp --dport %d -j DROP\n" % (acl, p, p)
                      for p in ports] if acl else []
    subprocess.run(["iptables-restore", "-n"], input="*filter\n%sCOMMIT\n" % "".join(rules), text=True, check=True)
    subprocess.run(["ip6tables-restore", "-n"], input="*filter\n%sCOMMIT\n" % "".join(
        r.split("\n")[1] + "\n" for r in rules), text=True, check=True)
    start = time.perf_counter()
    daemon = subprocess.Popen([BINARY, "-i", "127.0.0.1", "-l", "/var/log/tk_start.log"] + args)
    listing = wait_for("the daemon", lambda: answer("list"), 60)
    ms = (time.perf_counter() - start) * 1000
    daemon.kill()
    daemon.wait()
    assert listing.count("\n") == grants + 1, listing[:300]
    return ms


def main(samples):
    log = "/var/log/tk_bench.log"
    daemon = subprocess.Popen([BINARY, "-i", "127.0.0.1", "-l", log])
    wait_for("the daemon", lambda: os.path.exists(log) and "started tunnel_keeper" in open(log).read())
    grant, release, floor = [], [], []
    for i in range(samples):
        ms, answer = timed(lambda: ask("request:bench%d:22,80" % i))
        assert "sshtmp_" in answer, answer
        grant.append(ms)
        release.append(timed(lambda: ask("release:bench%d" % i))[0])
        ms, made = timed(lambda: subprocess.run(["/bin/sh", "-c", FLOOR + " && echo ${p##*/}"], capture_output=True, text=True,
                                                check=True).stdout.strip())
        floor.append(ms)
        subprocess.run(["sh", "-c", "userdel %s && rm -rf /tmp/%s" % (made, made)], check=True)
    daemon.kill()
    daemon.wait()
    empty = start_time(["-r", "20000-22000"], 0, 0)
    full = start_time(["-r", "20000-22000", "-c"])
    print("start: with 1000 grants in the state file (100 with filters, their rules in place) and -c, first answer "
          "after %.0f ms; with an empty file %.0f ms" % (full, empty))
    g, f, r = (statistics.median(x) for x in (grant, floor, release))
    print("grant: daemon request %.1f ms median (%.1f to %.1f), floor %.1f ms median, ratio %.2f (target <= 2); "
          "release %.1f ms median (%.1f to %.1f); %d samples each" % (g, min(grant), max(grant), f, g / f, r, min(release),
                                                                     max(release), samples))


if __name__ == "__main__":
    in_namespaces(__file__)
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 30)
