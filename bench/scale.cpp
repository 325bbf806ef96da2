// Scale, in process: the real telnet_server with a recording-free stub shell.
// "list" time and resident memory at 100, 1,000 and 10,000 grants, "status"
// time beside 1,000 listening sockets, and the
// expiry thread's pass time at 10,000 grants (none expiring), measured as the
// longest stretch in which the thread holds the lock.
#include <algorithm>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "access/host.h"
#include "log.h"
#include "telnet_server.h"

struct telnet_server_test_access {
    static std::string answer(telnet_server& s, const std::string& r) { return s.create_answer_for_request(r); }
    static pthread_mutex_t& lock(telnet_server& s) { return s.m_lock; }
};

namespace {

using clock_type = std::chrono::steady_clock;

int no_command(const char*) { return 0; }

FILE* fake_mktemp(const char*, const char*)
{
    static int counter = 0;
    static char line[64];
    int n = snprintf(line, sizeof line, "/tmp/sshtmp_%08d\n", counter++);
    return fmemopen(line, static_cast<size_t>(n), "r");
}

int fake_lstat(const char*, struct stat* st)
{
    st->st_mode = S_IFREG | 0600;
    st->st_uid = 33;
    return 0;
}

long rss_kib()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key && key != "VmRSS:")
        status.ignore(4096, '\n');
    status >> value;
    return value;
}

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

} // namespace

int main()
{
    host_system = no_command;
    host_popen = fake_mktemp;
    host_pclose = fclose;
    host_lstat = fake_lstat;
    logfile = fopen("/dev/null", "w");
    telnet_server server("192.0.2.1", 0, "1000-61000", 1000000);
    long rss_before = rss_kib();
    int grants = 0;
    for (int target : {100, 1000, 10000}) {
        const int added = target - grants;
        for (; grants < target; ++grants)
            telnet_server_test_access::answer(server, "request:device" + std::to_string(grants) + ":22,80");
        std::vector<double> times;
        for (int i = 0; i < 21; ++i) {
            auto start = clock_type::now();
            telnet_server_test_access::answer(server, "list");
            times.push_back(ms_since(start));
        }
        std::nth_element(times.begin(), times.begin() + 10, times.end());
        // Memory is counted in pages: the larger steps give the truer figure.
        long rss = rss_kib();
        printf("scale: %5d grants: list %.2f ms (target < 20 ms at 10000), resident %ld KiB, %.0f bytes for each of "
               "the %d grants added (target < 1024)\n", target, times[10], rss, (rss - rss_before) * 1024.0 / added, added);
        rss_before = rss;
    }

    // "status" reads the kernel's socket tables: time it with 1,000 more
    // listening sockets in them.
    std::vector<int> sockets;
    for (int i = 0; i < 1000; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0)
            break;
        sockets.push_back(fd);
    }
    std::vector<double> times;
    for (int i = 0; i < 21; ++i) {
        auto start = clock_type::now();
        telnet_server_test_access::answer(server, "status:device" + std::to_string(i * 40));
        times.push_back(ms_since(start));
    }
    std::nth_element(times.begin(), times.begin() + 10, times.end());
    printf("scale: status of one grant among %d, %zu extra listening sockets: %.2f ms\n", grants, sockets.size(),
           times[10]);
    for (int fd : sockets)
        close(fd);

    // Poll the lock for a few seconds; the longest busy stretch is a pass.
    pthread_mutex_t& lock = telnet_server_test_access::lock(server);
    double longest = 0;
    auto end = clock_type::now() + std::chrono::milliseconds(3500);
    while (clock_type::now() < end) {
        auto busy_since = clock_type::now();
        bool was_busy = false;
        while (pthread_mutex_trylock(&lock) != 0)
            was_busy = true;
        pthread_mutex_unlock(&lock);
        if (was_busy)
            longest = std::max(longest, ms_since(busy_since));
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    printf("scale: expiry pass over %d grants: %.2f ms (target < 5 ms)\n", grants, longest);
    return 0;
}
