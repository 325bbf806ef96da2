"""Runs every benchmark and prints each figure beside its baseline:
    python3 bench/run.py
Builds what it needs in build/ first, then runs in private namespaces (needs root, and nc from netcat-openbsd).
Takes a few minutes."""
import os
import pathlib
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))
os.environ.setdefault("TK_BINARY", os.path.join(BUILD, "tunnel_keeper"))
from harness import Daemon, in_namespaces  # noqa: E402  (the test harness: stub host commands, temporary log)

class Cleanups:
    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tk_bench_")
        self.calls = [(shutil.rmtree, (self.folder,))]

    def addCleanup(self, call, *args):
        self.calls.append((call, args))

    def run(self):
        for call, args in reversed(self.calls):
            call(*args)


def protocol(c):
    d = Daemon(c, "-r", "20000-20010")
    d.ask("request:bench:22")
    subprocess.run([os.path.join(BUILD, "bench", "bench_protocol"), str(d.port), "localports:bench", "20000", "2000",
                    c.folder + "/minimal.log"],
                   check=True)


def client(c, rounds=300):
    """One command through tunnel_keeper-ctl against the same through nc -N (netcat-openbsd), each a process of its
    own, in alternating rounds: the time from start to exit."""
    d = Daemon(c, "-r", "20000-20010")
    d.ask("request:bench:22")
    ctl = [os.path.join(BUILD, "tunnel_keeper-ctl"), "-p", str(d.port), "localports", "bench"]
    nc = ["nc", "-N", "127.0.0.1", str(d.port)]
    times = {"ctl": [], "nc": []}
    for _ in range(rounds):
        for name, argv, given in (("ctl", ctl, None), ("nc", nc, b"localports:bench\n")):
            start = time.perf_counter()
            out = subprocess.run(argv, input=given, capture_output=True, check=True).stdout
            times[name].append((time.perf_counter() - start) * 1000)
            assert out == b"20000\n", out
    ctl_ms, nc_ms = (statistics.median(times[n]) for n in ("ctl", "nc"))
    print("client: one command with tunnel_keeper-ctl %.2f ms, with nc -N %.2f ms (medians of %d alternating rounds): %.2f" % (
        ctl_ms, nc_ms, rounds, ctl_ms / nc_ms))


def expiry(c, samples=5):
    d = Daemon(c, "-t", "3")
    lifetimes = []
    for i in range(samples):
        start = time.perf_counter()
        d.ask("request:e%d:22" % i)
        while d.ask("localports:e%d" % i) != "ERROR":
            time.sleep(0.01)
        lifetimes.append(time.perf_counter() - start)
    print("expiry: lifetime 3 s, grant gone after %.2f to %.2f s (target 2 to 4 s)" % (min(lifetimes), max(lifetimes)))


def main():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "tunnel_keeper", "tunnel_keeper-ctl", "bench_protocol", "bench_scale"],
                   check=True, stdout=subprocess.DEVNULL)
    # The daemons make real accounts: in namespaces of their own.
    in_namespaces(__file__)
    cpu = re.search(r"model name\s*: (.*)", pathlib.Path("/proc/cpuinfo").read_text())
    print("machine: %s, %d cores, %s" % (cpu.group(1) if cpu else platform.machine(), os.cpu_count(), platform.release()))
    for figure in (protocol, client, expiry):
        c = Cleanups()
        try:
            figure(c)
        finally:
            c.run()
    subprocess.run([os.path.join(BUILD, "bench", "bench_scale")], check=True)
    # A fleet-sized host on real host commands, in namespaces of its own.
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "fleet.py")], check=True)


if __name__ == "__main__":
    main()
