// Feeds arbitrary bytes to the request interpreter of a real telnet_server
// whose host commands are recording stubs, and runs each change it asks for
// at once. Fails when a command carries anything of the input beyond the
// checked forms (port numbers, a valid source filter); the sanitizers catch
// what breaks on the way.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>

#include "host/accounts.h"
#include "host/commands.h"
#include "host/firewall.h"
#include "host/host.h"
#include "log.h"
#include "server/telnet_server.h"

namespace {

std::vector<std::string> recorded;

// Records each command; mktemp names the home directory, the firewall lists
// nothing.
command_result record(const std::vector<std::string>& words, bool, int)
{
    recorded.push_back(command_text(words));
    command_result result;
    if (words[0] == "mktemp")
        result.output = "/tmp/sshtmp_FUZZ0001\n";
    return result;
}

// With the home directory written P, the account U and the session's
// command S, every command the daemon may run; the ports are pool ports 100
// to 119, the ends ten or fourteen digits.
const std::regex known_command(
    "mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX|mkdir -m 755 P/\\.ssh/|touch -d @[0-9]{10} P/\\.ssh/end|"
    "ssh-keygen -t ed25519 -f P/key -P \"\" -q|install -o www-data -m 600 P/key P/key\\.copy|mv -fT P/key\\.copy P\\.key|"
    "sed -n 's/\\^/restrict,port-forwarding,(permitlisten=\"localhost:1[01][0-9]\",)+permitopen=\"255\\.255\\.255\\.255:1\","
    "command=\"S\",expiry-time=\"[0-9]{14}\" /w P/\\.ssh/authorized_keys' P/key\\.pub|"
    "sed -n 's/expiry-time=\"\\[0-9\\]\\*\"/expiry-time=\"[0-9]{14}\"/w P/\\.ssh/authorized_keys\\.new' P/\\.ssh/authorized_keys|"
    "chmod 644 P/\\.ssh/authorized_keys(?:\\.new)?|mv -fT P/\\.ssh/authorized_keys\\.new P/\\.ssh/authorized_keys|"
    "useradd -d P U|chown U P|rm -f P/\\.ssh/authorized_keys(?:\\.new)?|killall -9 -u U|userdel U|"
    "rm -rf P P\\.key|ip6tables -[AD] INPUT -p tcp -j DROP --dport 1[01][0-9]|"
    "iptables -[AD] INPUT (-s ([0-9./]+) -p tcp -j ACCEPT|-p tcp -j DROP) --dport 1[01][0-9]|(?:ip6|ip)tables -S INPUT");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static registry grants("100-120", "");
    static host changes(grants, host_settings{"192.0.2.1", 3600, 3600, "ed25519"});
    static telnet_server* server = [] {
        host_spawn = record;
        host_lstat = [](const char* path, struct stat* st) {
            // The key copy and the home as provisioning leaves them.
            const std::string p(path);
            const bool copy = p.size() > 4 && p.compare(p.size() - 4, 4, ".key") == 0;
            st->st_mode = copy ? S_IFREG | 0600 : p.find("authorized_keys") != std::string::npos ? S_IFREG | 0644 : S_IFDIR | 0755;
            st->st_uid = copy ? 33 : 0;
            return 0;
        };
        logfile = fopen("/dev/null", "w");
        return new telnet_server(grants, changes, 0, {});  // any free control port
    }();
    // A request ends at its first NUL byte, so NUL bytes separate the
    // requests of one input: a grant, then a filter for it, and so on. A
    // change runs at once; the host's threads are not started.
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0, n = 0; start <= input.size() && n < 8; ++n) {
        size_t end = std::min(input.find('\0', start), input.size());
        const telnet_server::answer answer = server->create_answer_for_request(input.substr(start, end - start));
        const size_t before = recorded.size();
        const std::string text = answer.change ? answer.change() : answer.text;
        start = end + 1;
        // A grant's key listens on exactly the local ports of its "-R"
        // forwards: one permitlisten each, and at least one.
        if (text.compare(0, 17, "start-stop-daemon") != 0)
            continue;
        static const std::regex forward(" -R ([0-9]+):"), listen("permitlisten=\"localhost:([0-9]+)\"");
        std::multiset<std::string> forwarded, listened;
        for (std::sregex_iterator it(text.begin(), text.end(), forward), last; it != last; ++it)
            forwarded.insert((*it)[1]);
        for (size_t i = before; i < recorded.size(); ++i)
            for (std::sregex_iterator it(recorded[i].begin(), recorded[i].end(), listen), last; it != last; ++it)
                listened.insert((*it)[1]);
        if (forwarded.empty() || forwarded != listened) {
            fprintf(stderr, "key line does not listen on exactly the grant's ports: |%s|\n", text.c_str());
            abort();
        }
    }
    for (const auto& grant : grants.grants())
        changes.remove_temp_user(grant.first);
    for (const std::string& c : recorded) {
        std::string general = c;
        for (const auto& known : {std::make_pair(std::string(session_command), "S"),
                                  std::make_pair(std::string("/tmp/sshtmp_FUZZ0001"), "P"),
                                  std::make_pair(std::string("sshtmp_FUZZ0001"), "U")})
            for (size_t at; (at = general.find(known.first)) != std::string::npos;)
                general.replace(at, known.first.size(), known.second);
        std::smatch m;
        if (!std::regex_match(general, m, known_command) || (m[3].matched && !is_valid_source_filter(m[3].str()))) {
            fprintf(stderr, "unexpected command: |%s|\n", c.c_str());
            abort();
        }
    }
    recorded.clear();
    return 0;
}
