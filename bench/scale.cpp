// Scale, in process: the real registry and host with a stub shell that runs
// nothing. "list" time and resident memory at 100, 1,000 and 10,000 grants,
// "status" time beside 1,000 listening sockets, and the expiry thread's pass
// at 10,000 grants (none ending): the time it holds the registry's lock.
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

#include "host/commands.h"
#include "host/host.h"
#include "log.h"
#include "server/telnet_server.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Runs nothing; mktemp names a new home each time.
command_result fake_command(const std::vector<std::string>& words, bool, int)
{
    static int counter = 0;
    command_result result;
    if (words[0] == "mktemp") {
        char line[64];
        snprintf(line, sizeof line, "/tmp/sshtmp_%08d\n", counter++);
        result.output = line;
    }
    return result;
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
    host_spawn = fake_command;
    host_lstat = fake_lstat;
    logfile = fopen("/dev/null", "w");
    registry grants("1000-61000", "");
    host changes(grants, host_settings{"192.0.2.1", 1000000, 1000000, "ed25519"});
    telnet_server server(grants, changes, 0, {});
    // Changes run here, one after another, as the host queue would run them.
    auto answer = [&server](const std::string& request) {
        const telnet_server::answer a = server.create_answer_for_request(request);
        return a.change ? a.change() : a.text;
    };
    long rss_before = rss_kib();
    int grants_made = 0;
    for (int target : {100, 1000, 10000}) {
        const int added = target - grants_made;
        for (; grants_made < target; ++grants_made)
            answer("request:device" + std::to_string(grants_made) + ":22,80");
        std::vector<double> times;
        for (int i = 0; i < 21; ++i) {
            auto start = clock_type::now();
            answer("list");
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
        answer("status:device" + std::to_string(i * 40));
        times.push_back(ms_since(start));
    }
    std::nth_element(times.begin(), times.begin() + 10, times.end());
    printf("scale: status of one grant among %d, %zu extra listening sockets: %.2f ms\n", grants_made, sockets.size(),
           times[10]);
    for (int fd : sockets)
        close(fd);

    // A pass of the expiry thread holds the lock while it looks for ended
    // grants: the median of 21 passes.
    times.clear();
    for (int i = 0; i < 21; ++i) {
        auto start = clock_type::now();
        grants.take_out_ended(time(nullptr));
        times.push_back(ms_since(start));
    }
    std::nth_element(times.begin(), times.begin() + 10, times.end());
    printf("scale: expiry pass over %d grants: %.2f ms (target < 5 ms)\n", grants_made, times[10]);
    return 0;
}
