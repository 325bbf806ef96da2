// Feeds arbitrary bytes to the request interpreter of a real telnet_server
// whose host commands are recording stubs. Fails when a command carries
// anything of the input beyond the checked forms (port numbers, a valid
// source filter); the sanitizers catch what breaks on the way.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <regex>
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

std::mutex recorded_lock;  // the expiry thread records too
std::vector<std::string> recorded;

int record(const char* command)
{
    std::lock_guard<std::mutex> hold(recorded_lock);
    recorded.push_back(command);
    return 0;
}

// mktemp names the home directory; ssh-keygen -lf prints a fingerprint.
FILE* fake_output(const char* command, const char*)
{
    static const std::string home = "/tmp/sshtmp_FUZZ0001\n", print = "3072 SHA256:" + std::string(43, 'f') + " root\n";
    record(command);
    const std::string& line = command[0] == 'm' ? home : print;
    return fmemopen(const_cast<char*>(line.data()), line.size(), "r");
}

// With the home directory written P and the account U, every command the
// daemon may run; the ports are pool ports 100 to 119.
const std::regex known_command(
    "mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX|mkdir -m 755 P/\\.ssh/|ssh-keygen -t ed25519 -f P/key -P \"\" -q|"
    "ssh-keygen -lf P/key\\.pub|install -o www-data -m 600 P/key P/key\\.copy|mv -fT P/key\\.copy P\\.key|"
    "sed -n 's/\\^/restrict,port-forwarding,(permitlisten=\"localhost:1[01][0-9]\",)*permitopen=\"255\\.255\\.255\\.255:1\","
    "command=\"sleep 3600\",expiry-time=\"[0-9]{14}\" /w P/\\.ssh/authorized_keys' P/key\\.pub|"
    "chmod 644 P/\\.ssh/authorized_keys|useradd -d P U|chown U P|rm -f P/\\.ssh/authorized_keys|killall -9 -u U|userdel U|"
    "rm -rf P P\\.key|ip6tables -[AD] INPUT -p tcp -j DROP --dport 1[01][0-9]|"
    "iptables -[AD] INPUT (-s ([0-9./]+) -p tcp -j ACCEPT|-p tcp -j DROP) --dport 1[01][0-9]");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static telnet_server* server = [] {
        host_system = record;
        host_popen = fake_output;
        host_pclose = fclose;
        host_lstat = [](const char*, struct stat* st) {  // the key copy as provisioning leaves it
            st->st_mode = S_IFREG | 0600;
            st->st_uid = 33;
            return 0;
        };
        logfile = fopen("/dev/null", "w");
        return new telnet_server("192.0.2.1", 0, "100-120", 3600);  // any free control port
    }();
    // A request ends at its first NUL byte, so NUL bytes separate the
    // requests of one input: a grant, then a filter for it, and so on.
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0, n = 0; start <= input.size() && n < 8; ++n) {
        size_t end = std::min(input.find('\0', start), input.size());
        telnet_server_test_access::answer(*server, input.substr(start, end - start));
        start = end + 1;
    }
    telnet_server_test_access::clear(*server);
    std::lock_guard<std::mutex> hold(recorded_lock);
    for (const std::string& c : recorded) {
        std::string general = std::regex_replace(std::regex_replace(c, std::regex("/tmp/sshtmp_FUZZ0001"), "P"),
                                                 std::regex("sshtmp_FUZZ0001"), "U");
        std::smatch m;
        if (!std::regex_match(general, m, known_command) || (m[3].matched && !is_valid_source_filter(m[3].str()))) {
            fprintf(stderr, "unexpected command: |%s|\n", c.c_str());
            abort();
        }
    }
    recorded.clear();
    return 0;
}
