// Control-protocol throughput: the same sequential client against the daemon
// and against a minimal single-threaded loopback server (accept, one read,
// the daemon's two log lines, a fixed answer, close).
// Usage: bench_protocol DAEMON_PORT REQUEST EXPECTED_ANSWER COUNT LOG_PATH
#include <algorithm>
#include <arpa/inet.h>
#include <vector>
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

#include "log.h"

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
    if (argc != 6) {
        fprintf(stderr, "usage: bench_protocol DAEMON_PORT REQUEST EXPECTED_ANSWER COUNT LOG_PATH\n");
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
        char buf[2049];
        logfile = fopen(argv[5], "a");
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            ssize_t n = read(fd, buf, sizeof buf - 1);
            buf[n > 0 ? n : 0] = '\0';
            log_msg("run", "read %s", buf);
            if (n < 0 || write(fd, expected.data(), expected.size()) < 0)
                perror("minimal server");
            log_msg("run", "answering: %s", expected.c_str());
            close(fd);
        }
    }

    // Alternate the two servers in short rounds, so that both meet the same
    // load of the machine, and take the median of the rounds' ratios.
    std::vector<double> daemon, minimal, ratios;
    for (int round = 0; round < 15; ++round) {
        daemon.push_back(rate(daemon_port, request, count, expected));
        minimal.push_back(rate(ntohs(addr.sin_port), request, count, expected));
        ratios.push_back(daemon.back() / minimal.back());
    }
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    for (std::vector<double>* v : {&daemon, &minimal, &ratios})
        std::sort(v->begin(), v->end());
    printf("protocol throughput: daemon %.0f req/s, minimal server %.0f req/s (medians of 15 rounds of %d), "
           "ratio %.2f (median of the rounds' ratios; %.2f to %.2f; target >= 0.85)\n",
           daemon[7], minimal[7], count, ratios[7], ratios.front(), ratios.back());
    return 0;
}
