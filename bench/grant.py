"""Grant and release latency on the host's real commands (mktemp, ssh-keygen,
useradd, ...), in private namespaces so that no account reaches the host:
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


def timed(call):
    start = time.perf_counter()
    result = call()
    return (time.perf_counter() - start) * 1000, result


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
    g, f, r = (statistics.median(x) for x in (grant, floor, release))
    print("grant: daemon request %.1f ms median (%.1f to %.1f), floor %.1f ms median, ratio %.2f (target <= 2); "
          "release %.1f ms median (%.1f to %.1f); %d samples each" % (g, min(grant), max(grant), f, g / f, r, min(release),
                                                                     max(release), samples))


if __name__ == "__main__":
    in_namespaces(__file__)
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 30)
