// Control-protocol throughput: the same sequential client against the daemon
// and against a minimal single-threaded loopback server (accept, one read,
// a fixed answer, close). Usage: bench_protocol DAEMON_PORT REQUEST COUNT
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// Requests per second of `count` sequential one-request connections.
double rate(int port, const std::string& request, int count, const std::string& expected)
{
    const sockaddr_in addr = loopback(port);
    char buf[4096];
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            perror("connect");
            exit(1);
        }
        if (write(fd, request.data(), request.size()) < 0)
            exit(1);
        std::string answer;
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            answer.append(buf, static_cast<size_t>(n));
        close(fd);
        if (answer != expected) {
            fprintf(stderr, "unexpected answer |%s|\n", answer.c_str());
            exit(1);
        }
    }
    return count / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: bench_protocol DAEMON_PORT REQUEST EXPECTED_ANSWER COUNT\n");
        return 2;
    }
    const int daemon_port = atoi(argv[1]), count = atoi(argv[4]);
    const std::string request = std::string(argv[2]) + "\n", expected = std::string(argv[3]) + "\n";

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener, 5);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    // The minimal server is a process of its own, as the daemon is: a thread
    // of this client would save an address-space switch per request that no
    // separate server can save.
    pid_t server = fork();
    if (server == 0) {
        char buf[2048];
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (read(fd, buf, sizeof buf) < 0 || write(fd, expected.data(), expected.size()) < 0)
                perror("minimal server");
            close(fd);
        }
    }

    // Alternate the two servers and keep the best round of each.
    double daemon = 0, minimal = 0;
    for (int round = 0; round < 3; ++round) {
        daemon = std::max(daemon, rate(daemon_port, request, count, expected));
        minimal = std::max(minimal, rate(ntohs(addr.sin_port), request, count, expected));
    }
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    printf("protocol throughput: daemon %.0f req/s, minimal server %.0f req/s, ratio %.2f (target >= 0.90)\n",
           daemon, minimal, daemon / minimal);
    return 0;
}
