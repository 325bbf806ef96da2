// Feeds arbitrary bytes to the request interpreter of a real telnet_server
// whose host commands are recording stubs. Fails when a command carries
// anything of the input beyond the checked forms (port numbers, a valid
// source filter), or when an answer is not one the protocol knows.
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <set>
#include <string>

#include "access/host.h"
#include "log.h"
#include "telnet_server.h"

struct telnet_server_test_access {
    static std::string answer(telnet_server& s, const std::string& r) { return s.create_answer_for_request(r); }
    static void clear(telnet_server& s)
    {
        lock_hold hold(s.m_lock);
        while (!s.m_trelvox_to_localuser_map.empty())
            s.remove_temp_user(s.m_trelvox_to_localuser_map.begin()->first);
    }
};

namespace {

const std::string user = "sshtmp_FUZZ0001", home = "/tmp/" + user;
std::mutex recorded_lock;  // the expiry thread records too
std::vector<std::string> recorded;

int record(const char* command)
{
    std::lock_guard<std::mutex> hold(recorded_lock);
    recorded.push_back(command);
    return 0;
}

FILE* fake_mktemp(const char* command, const char*)
{
    record(command);
    static const std::string line = home + "\n";
    return fmemopen(const_cast<char*>(line.data()), line.size(), "r");
}

void fail(const std::string& what, const std::string& text)
{
    fprintf(stderr, "%s: |%s|\n", what.c_str(), text.c_str());
    abort();
}

void check_command(const std::string& c)
{
    static const std::set<std::string> fixed = {
        "mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX", "mkdir " + home + "/.ssh/",
        "ssh-keygen -f " + home + "/key -P \"\" -q", "cp " + home + "/key " + home + "/key.copy",
        "chown www-data " + home + "/key.copy", "mv -fT " + home + "/key.copy " + home + ".key",
        "cp " + home + "/key.pub " + home + "/.ssh/authorized_keys", "useradd -d " + home + " " + user,
        "chmod 600 " + home + "/.ssh/authorized_keys", "chown -R " + user + " " + home,
        "killall -9 -u " + user, "userdel " + user, "rm -rf " + home, "rm -rf " + home + ".key"};
    static const std::regex rule("iptables -[AD] INPUT (-s ([0-9./]+) -p tcp -j ACCEPT|-p tcp -j DROP) --dport 1[0-1][0-9]");
    std::smatch m;
    if (fixed.count(c))
        return;
    if (!std::regex_match(c, m, rule) || (m[2].matched && !is_valid_source_filter(m[2].str())))
        fail("unexpected command", c);
}

void check_answer(const std::string& a)
{
    static const std::regex known(
        "OK|ERROR|SHUTDOWN|/tmp/sshtmp_FUZZ0001\\.key|[0-9,]*|"
        "start-stop-daemon --start --quiet --background --exec /usr/bin/ssh --startas /usr/bin/ssh -- -i /tmp/key "
        "-o UserKnownHostsFile=/tmp/known_hosts ( -R 1[0-1][0-9]:0\\.0\\.0\\.0:[0-9]+)* sshtmp_FUZZ0001@192\\.0\\.2\\.1 "
        "\"sleep 3600\"|([^]* => [0-9,]* => [0-9,]* => -?[0-9]+ => sshtmp_FUZZ0001\n)+");
    if (!std::regex_match(a, known))
        fail("unexpected answer", a);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static telnet_server* server = [] {
        host_system = record;
        host_popen = fake_mktemp;
        host_pclose = fclose;
        logfile = fopen("/dev/null", "w");
        return new telnet_server("192.0.2.1", 0, "100-120", 3600);  // any free control port
    }();
    // A request ends at its first NUL byte, so NUL bytes separate the
    // requests of one input: a grant, then a filter for it, and so on.
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0, n = 0; start <= input.size() && n < 8; ++n) {
        size_t end = std::min(input.find('\0', start), input.size());
        check_answer(telnet_server_test_access::answer(*server, input.substr(start, end - start)));
        start = end + 1;
    }
    telnet_server_test_access::clear(*server);
    std::lock_guard<std::mutex> hold(recorded_lock);
    for (const std::string& c : recorded)
        check_command(c);
    recorded.clear();
    return 0;
}
