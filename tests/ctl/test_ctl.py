# The control client against a stand-in daemon that answers as each row says: what it sends, its exit status, its
# output and its JSON.
import json, os, socket, subprocess, threading, time, unittest

CTL = os.environ.get("TK_CTL", os.path.join(os.path.dirname(__file__), "../../build/tunnel_keeper-ctl"))
LISTING = "a => 22,80 => 20000,20001 => 59 => sshtmp_Aaaaaaaa\nx => y => 1 => 20002 => 0 => sshtmp_Bbbbbbbb\n"
GRANTS = [{"name": "a", "device_ports": [22, 80], "local_ports": [20000, 20001], "seconds_left": 59, "account": "sshtmp_Aaaaaaaa"},
          {"name": "x => y", "device_ports": [1], "local_ports": [20002], "seconds_left": 0, "account": "sshtmp_Bbbbbbbb"}]
STATUS = {"status:a": "connected,waiting", "localports:a": "20000,20001", "remoteports:a": "22,80"}


class Client(unittest.TestCase):
    def test_requests_exit_statuses_output_and_json(self):
        server, asked, answers = socket.create_server(("127.0.0.1", 0)), [], {}

        def serve():
            while True:
                conn, _ = server.accept()
                with conn:
                    request = b""
                    while not request.endswith(b"\n"):
                        request += conn.recv(100)
                    asked.append(request.decode()[:-1])
                    answer = answers.get(asked[-1], False)   # False: closed without an answer; None: held open, silent
                    while answer is None and conn.recv(100):
                        pass
                    if answer is not False and answer is not None:
                        conn.sendall((answer if isinstance(answer, bytes) else answer.encode()) + b"\n")
        threading.Thread(target=serve, daemon=True).start()
        # A daemon that never accepts and whose backlog is full: the kernel drops further connection attempts.
        full, waiting = socket.create_server(("127.0.0.1", 0), backlog=0), [socket.socket() for _ in range(2)]
        [(s.setblocking(False), s.connect_ex(full.getsockname())) for s in waiting]
        table = [  # arguments, the answers, exit status, standard output (parsed when JSON), the requests sent
            (["request", "a", "22,80", "600"], {"request:a:22,80:600": "ssh -R x"}, 0, "ssh -R x\n", ["request:a:22,80:600"]),
            (["extend", "a", "60"], {"extend:a:60": "ERROR"}, 1, "", ["extend:a:60"]),
            (["list"], {"list": ""}, 0, "\n", ["list"]),
            (["key", "a"], {}, 1, "", ["key:a"]),
            (["shutdown"], {}, 0, "", ["shutdown"]),
            (["list", "--json"], {"list": LISTING}, 0, GRANTS, ["list"]),
            (["list", "--json"], {"list": b"caf\xe9 => 22 => 20000 => 5 => sshtmp_Aaaaaaaa"}, 0,   # Latin-1: valid UTF-8 JSON
             [dict(GRANTS[0], name="caf\u00e9", device_ports=[22], local_ports=[20000], seconds_left=5)], ["list"]),
            (["-w", "1", "list"], {"list": None}, 1, "", ["list"]),   # a silent daemon: no answer within a second
            (["-p", str(full.getsockname()[1]), "-w", "1", "list"], {}, 1, "", []),   # nor a connection within a second
            (["--json", "list"], {"list": ""}, 0, [], ["list"]),
            (["status", "a", "--json"], STATUS, 0, {"name": "a", "ports": [{"local_port": 20000, "device_port": 22, "state": "connected"},
                                                                          {"local_port": 20001, "device_port": 80, "state": "waiting"}]},
             ["status:a", "localports:a", "remoteports:a"]),
            (["status", "a", "--json"], dict(STATUS, **{"localports:a": "20000"}), 1, "", ["status:a", "localports:a", "remoteports:a"]),
            (["acl", "a:b", "10.0.0.1"], {}, 2, "", []), (["request", "a"], {}, 2, "", []), (["metrics", "--json"], {}, 2, "", []),
            (["-x", "list"], {}, 2, "", []), (["bogus"], {}, 2, "", []), (["-p", "1", "list"], {}, 2, "", []),
        ]
        for argv, answers_of_row, status, output, sent in table:
            asked.clear()
            answers.clear()
            answers.update(answers_of_row)
            start = time.time()
            run = subprocess.run([CTL, "-p", str(server.getsockname()[1])] + argv, capture_output=True, text=True, timeout=10)
            got = json.loads(run.stdout) if "--json" in argv and run.returncode == 0 else run.stdout
            self.assertEqual((run.returncode, got, asked, len(run.stderr.splitlines()), time.time() - start < 2.5),
                             (status, output, sent, int(status != 0), True), argv)


if __name__ == "__main__":
    unittest.main(argv=["test_ctl", "-v"])
