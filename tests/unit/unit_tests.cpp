#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/accounts.h"
#include "host/commands.h"
#include "host/firewall.h"
#include "host/kernel_tables.h"
#include "metrics.h"
#include "registry/registry.h"
#include "text.h"

// Pure functions at their edges; the black-box tests see the rest.

TEST(Parsing, DevicePortsRangesAndFilters)
{
    int port = 0, start = 0, stop = 0;
    EXPECT_TRUE(parse_port_number(" 1\t", port) && port == 1);
    EXPECT_TRUE(parse_port_number("65535", port) && port == 65535);
    for (const char* bad : {"", " ", "ssh", "0", "65536", "99999", "22x", "-5", "+5", "2 2", "000022"})
        EXPECT_FALSE(parse_port_number(bad, port)) << bad;

    struct { const char* text; int start, stop; } ranges[] = {
        {"20000-21000", 20000, 21000}, {"100-101", 100, 101}, {"1-65534", 1, 65534},
        {"-20000--21000-", 20000, 21000}, {" 20000 - 21000x", 20000, 21000}};
    for (const auto& c : ranges)
        EXPECT_TRUE(parse_port_range(c.text, start, stop) == 0 && start == c.start && stop == c.stop) << c.text;
    for (const char* bad : {"65000-65535", "0-100", "abc-100", "21000-20000", "20000-20000", "20000", "1-2-3"})
        EXPECT_EQ(parse_port_range(bad, start, stop), -1) << bad;

    for (const char* good : {"10.1.2.3", "10.1.2.0/24", "0.0.0.0/0", "192.168.0.0/255.255.0.0", "255.255.255.255/32",
                             "1.2.3.4/255.255.255.255", "1.2.3.4/0.0.0.0", "1.2.3.4/9"})
        EXPECT_TRUE(is_valid_source_filter(good)) << good;
    for (const char* bad : {"1.2.3.4.5", "//", "256.1.1.1", "1.2.3.256", "10.1.2.0/33", "gw.example", "10.1.2.3 /8",
                            "1.2.3", "1..2.3", "01.2.3.4", "1.2.3.4/", "1.2.3.4/255.0.255.0", "1.2.3.4/255.255.255.254.0",
                            "1.2.3.4/24/8", "1.2.3.4/100", "1.2.3.4/-1", "1000.2.3.4", ""})
        EXPECT_FALSE(is_valid_source_filter(bad)) << bad;
    // As the firewall lists them: the rules of a filter are found again whatever form it was given in.
    struct { const char* filter; const char* listed; } canonical[] = {
        {"10.9.9.9", "10.9.9.9/32"}, {"10.1.2.0/255.255.255.0", "10.1.2.0/24"}, {"10.1.2.3/24", "10.1.2.0/24"},
        {"1.2.3.4/0.0.0.0", "0.0.0.0/0"}, {"255.255.255.255/1", "128.0.0.0/1"}, {"1.2.3.4/255.255.255.254", "1.2.3.4/31"}, {"1.2.3", ""}};
    for (const auto& c : canonical)
        EXPECT_EQ(canonical_filter(c.filter), c.listed) << c.filter;
}

TEST(Fingerprint, Sha256AndBase64AsTheSshServerPrintsThem)
{
    // Known digests: one block, two blocks, and many.
    EXPECT_EQ(base64_encode(sha256("abc")), "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0");
    EXPECT_EQ(base64_encode(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "JI1qYdIGOLjlwCaTDD5gOaM85Flk/yFn9uzt1BnbBsE");
    EXPECT_EQ(base64_encode(sha256(std::string(1000, 'a'))), "Qe3s5C1j6Nm/UVqbppMuHCDLyfWl0TRkWttdsblzfqM");
    std::string data;
    EXPECT_TRUE(base64_decode("AAAAC3NzaC1lZDI1NTE5", data) && data == std::string("\0\0\0\x0bssh-ed25519", 15));
    for (const char* bad : {"", "AA*A", "A===", "="})
        EXPECT_FALSE(base64_decode(bad, data)) << bad;
}

TEST(Commands, RunWithoutAShellWithinTheTimeLimit)
{
    // Shell text reaches the program as it is; a program that leaves a child
    // holding its output is not waited for; an overrun is killed with the
    // child it started.
    struct {
        std::vector<std::string> words;
        int status;
        bool timed_out;
        std::string output;
    } table[] = {
        {{"printf", "%s|", "a;b $(id) *", ""}, 0, false, "a;b $(id) *||"},
        {{"sh", "-c", "echo out; exit 3"}, 3, false, "out\n"},
        {{"no-such-program-tk"}, 127, false, ""},
        {{"sh", "-c", "echo $$; sleep 30 & exit 0"}, 0, false, ""},
        {{"sh", "-c", "echo $$; sleep 30 & sleep 30"}, 128 + SIGKILL, true, ""},
    };
    prctl(PR_SET_CHILD_SUBREAPER, 1);  // orphans come back here to be reaped
    for (const auto& row : table) {
        const auto start = std::chrono::steady_clock::now();
        const command_result r = host_spawn(row.words, true, 1);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, row.status) << row.words.back();
        EXPECT_EQ(r.timed_out, row.timed_out) << row.words.back();
        EXPECT_LT(seconds, row.timed_out ? 1.5 : 0.5) << row.words.back();
        if (!row.output.empty()) {
            EXPECT_EQ(r.output, row.output);
        }
        // A group of its own: after an overrun nothing of it is left.
        const pid_t group = atoi(r.output.c_str());
        if (row.words[0] == "sh" && group > 0) {
            for (int i = 0; i < 100 && kill(-group, 0) == 0 && row.timed_out; ++i) {
                usleep(10000);
                while (waitpid(-1, nullptr, WNOHANG) > 0) {
                }
            }
            EXPECT_EQ(kill(-group, row.timed_out ? 0 : SIGKILL) == 0, !row.timed_out) << row.words.back();
        }
    }
}

TEST(Accounts, NoKeyLineWithoutAPort)
{
    // A key line without permitlisten would let the key listen on any port: nothing is made for it.
    const auto saved = host_spawn;
    host_spawn = [](const std::vector<std::string>& words, bool, int) {
        ADD_FAILURE() << command_text(words);
        return command_result();
    };
    std::string user = "x", fingerprint;
    unsigned uid;
    bool key_copy = true;
    EXPECT_EQ(make_account({"dev", {}, 0, "ed25519"}, user, uid, fingerprint, key_copy), -1);
    EXPECT_EQ(user + (key_copy ? "copy" : ""), "");
    host_spawn = saved;
}

TEST(Registry, PortOwnersFollowTheGrants)
{
    // The port guard learns each port's owner in the same step as the registry: the grant's account once it is made
    // or taken back, root alone once it is released or ended.
    static std::vector<std::pair<int, unsigned>> seen;
    registry grants("100-104", "");
    grants.watch_ports([](int port, unsigned uid) { seen.emplace_back(port, uid); });
    localuser a, b, out;
    a.username = "sshtmp_a", a.uid = 1001, a.localports = {100, 101}, a.end = 50;
    b.username = "sshtmp_b", b.uid = 1002, b.localports = {102}, b.end = 10;
    grants.store("a", a);
    EXPECT_TRUE(grants.claim("b", b));
    EXPECT_TRUE(grants.take_out("a", 20, out));
    grants.take_out_ended(20);
    EXPECT_EQ(seen, (std::vector<std::pair<int, unsigned>>{{100, 1001}, {101, 1001}, {102, 1002}, {100, 0}, {101, 0}, {102, 0}}));
}

TEST(Registry, StrayRulesMarkComesBackFromTheStateFile)
{
    // Rules an undo could not delete stay marked across a restart, so that the start's removal deletes them.
    char path[] = "/tmp/tk_unit_state_XXXXXX";
    close(mkstemp(path));
    registry before("100-104", path), after("100-104", path);
    localuser a, back;
    a.username = "sshtmp_Aaaaaaaa", a.localports = {100}, a.remoteports = {22}, a.end = 50;
    before.store("a", a);
    before.mark_stray_rules("a", a.username);
    before.save();
    const grant_list read = after.read_state_file(40, 3600);
    unlink(path);
    ASSERT_EQ(read.size(), 1u);
    after.claim_leaving("a", read[0].second);
    leaving_grant leaving;
    EXPECT_TRUE(after.find_leaving(a.username, leaving) && leaving.record.stray_rules);
}

TEST(CallerCheck, OnlyAConnectionToTheControlPortAnswersForACaller)
{
    // A control port, a client connected to it, and a listener on another
    // address: the lookup of the client's address names its owner; the same
    // lookup for the listener's address (what a reset client leaves behind)
    // names nobody.
    const auto bound = [](int fd) {
        struct sockaddr_in a = {};
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len);
        return a;
    };
    const auto listener = [] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
        listen(fd, 1);
        return fd;
    };
    const int control = listener(), other = listener(), client = socket(AF_INET, SOCK_STREAM, 0);
    const struct sockaddr_in to = bound(control);
    ASSERT_EQ(connect(client, reinterpret_cast<const struct sockaddr*>(&to), sizeof to), 0);
    const int diag = open_sock_diag();
    unsigned uid = 12345;
    EXPECT_TRUE(connection_owner_uid(diag, to, bound(client), uid) && uid == getuid());
    EXPECT_FALSE(connection_owner_uid(diag, to, bound(other), uid));
    for (int fd : {control, other, client, diag})
        close(fd);
}

TEST(Metrics, GrantDurationBucketsAreCumulativeInTheirOrder)
{
    daemon_metrics figures;
    const std::vector<double> seconds = {0.01, 0.07, 0.07, 0.3, 3, 10};
    for (double s : seconds)
        figures.observe_grant(s);
    EXPECT_NE(figures.exposition(metrics_gauges()).find("\ntunnel_keeper_build_info{version=\"" TK_VERSION "\"} 1\n"), std::string::npos);
    std::istringstream lines(figures.exposition(metrics_gauges()));
    std::vector<std::pair<double, unsigned long>> buckets;
    unsigned long count = 0;
    for (std::string line; std::getline(lines, line);) {
        char le[32];
        unsigned long n;
        if (sscanf(line.c_str(), "tunnel_keeper_grant_duration_seconds_bucket{le=\"%31[^\"]\"} %lu", le, &n) == 2)
            buckets.emplace_back(std::string(le) == "+Inf" ? INFINITY : atof(le), n);
        sscanf(line.c_str(), "tunnel_keeper_grant_duration_seconds_count %lu", &count);
    }
    ASSERT_GE(buckets.size(), 2u);
    EXPECT_EQ(buckets.back(), std::make_pair(double(INFINITY), count));
    for (size_t i = 0; i < buckets.size(); ++i) {
        // Each bucket holds every observation up to its bound, and so all of the buckets below it.
        EXPECT_TRUE(i == 0 || buckets[i - 1].first < buckets[i].first) << i;
        EXPECT_EQ(buckets[i].second, std::count_if(seconds.begin(), seconds.end(), [&](double s) { return s <= buckets[i].first; }));
    }
}
