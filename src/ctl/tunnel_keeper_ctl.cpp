// tunnel_keeper-ctl: the control client. It sends one command per
// connection and keeps the connection open until the whole answer is read
// (the daemon checks the caller's socket while it stands). Exit status: 0 an
// answer, 1 ERROR or no answer (in time), 2 a usage error or no daemon.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "../text.h"

namespace {

const char* const usage_text =
    "Usage: tunnel_keeper-ctl [-p PORT] [-w SECONDS] COMMAND [ARGUMENT...]\n"
    "       tunnel_keeper-ctl --version\n"
    "  request NAME PORTS [SECONDS]  grant NAME the comma-separated device PORTS; prints the forwarding command\n"
    "  extend NAME SECONDS           let the grant end SECONDS from now; the device keeps its tunnel\n"
    "  release NAME                  end the grant now\n"
    "  acl NAME FILTER               let only FILTER (a.b.c.d, a.b.c.d/len or a.b.c.d/m.m.m.m) reach its ports\n"
    "  status NAME [--json]          connected, waiting or taken, for each local port\n"
    "  list [--json]                 every grant: name, device ports, local ports, seconds left, account\n"
    "  localports NAME, remoteports NAME, key NAME\n"
    "  metrics                       the daemon's figures in the Prometheus text format\n"
    "  shutdown                      remove every grant and end the daemon (it sends no answer)\n"
    "  -p PORT     the control port on 127.0.0.1 (default 55444)\n"
    "  -w SECONDS  give up when no whole answer has come SECONDS after the start, connecting included (default: wait)\n"
    "Exit status: 0 an answer, 1 ERROR or no answer (within -w), 2 a usage error or no daemon listening.\n";

struct command {
    const char* name;
    size_t least, most;  // arguments
    bool json;
};
const command commands[] = {{"request", 2, 3, false},    {"extend", 2, 2, false},      {"release", 1, 1, false},
                            {"acl", 2, 2, false},        {"status", 1, 1, true},       {"list", 0, 0, true},
                            {"localports", 1, 1, false}, {"remoteports", 1, 1, false}, {"key", 1, 1, false},
                            {"metrics", 0, 0, false},    {"shutdown", 0, 0, false}};

int fail(int status, const std::string& message)
{
    fprintf(stderr, "tunnel_keeper-ctl: %s\n", message.c_str());
    return status;
}

// Sends one request. 1 with the answer (its line feed cut), 0 when the
// daemon closed without one, -1 (errno set) when nothing listens, -2 when
// no whole answer came within `wait_seconds` (0: no limit), connecting
// included: a daemon that does not accept leaves a connect waiting in its
// backlog.
int ask(int port, int wait_seconds, const std::string& request, std::string& answer)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(wait_seconds);
    // Waits for `events` on fd until the deadline: false when it passed.
    const auto ready = [&](int fd, short events) {
        for (;;) {
            const long left = wait_seconds ? duration_cast<milliseconds>(deadline - steady_clock::now()).count() : -1;
            if (wait_seconds && left <= 0)
                return false;
            struct pollfd p = {fd, events, 0};
            const int n = poll(&p, 1, static_cast<int>(left));
            if (n > 0)
                return true;
            if (n < 0 && errno != EINTR)
                return true;  // the next call reports the error
        }
    };
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = -2, error = 0;
    socklen_t len = sizeof error;
    const std::string line = request + "\n";
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        result = -1;
    } else if (ready(fd, POLLOUT)) {
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0 ||
            send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
            result = -1;
        } else {
            char buf[65536];
            ssize_t n = 1;
            while (ready(fd, POLLIN) && ((n = recv(fd, buf, sizeof buf, 0)) > 0 || (n < 0 && errno == EINTR)))
                answer.append(buf, static_cast<size_t>(n > 0 ? n : 0));
            // A reset after the whole answer is no failure: the daemon
            // closes at once.
            const bool whole = !answer.empty() && answer.back() == '\n';
            if (whole) {
                answer.pop_back();
                result = 1;
            } else if (n <= 0) {
                result = 0;
            }
        }
    }
    error = error ? error : errno;
    close(fd);
    errno = error;
    return result;
}

// A JSON string of the bytes of `text`. Valid UTF-8 stays as it is; any
// other byte (a name in Latin-1, say) becomes the character of that code
// point, \u00XX, so that the output is valid UTF-8 and valid JSON whatever
// bytes a name holds.
std::string json_string(const std::string& text)
{
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        unsigned long point = n == 1 ? c : n ? c & (0x7f >> n) : 0;
        for (size_t k = 1; k < n; ++k) {
            const unsigned char next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
            if ((next >> 6) != 2) {
                n = 0;
                break;
            }
            point = point << 6 | (next & 0x3f);
        }
        // No overlong form, no surrogate, nothing beyond U+10FFFF.
        static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (n > 1 && (point < least[n] || (point >= 0xd800 && point < 0xe000) || point > 0x10ffff))
            n = 0;
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (n == 0 || c < 0x20 || c == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json.append(text, i, n);
        }
        i += n ? n : 1;
    }
    return json + "\"";
}

// "20000,20001" as [20000,20001]; false for anything else.
bool json_ports(const std::string& text, std::string& json, std::vector<std::string>& ports)
{
    explode_string(text, ",", ports);
    json = "[";
    for (const std::string& port : ports) {
        int number;
        if (!parse_port_number(port, number))
            return false;
        json += (json.size() > 1 ? "," : "") + to_string(number, std::dec);
    }
    json += "]";
    return true;
}

// The lines of "list" as a JSON array. A name may hold " => ", so a line is
// split from its end.
bool list_json(const std::string& answer, std::string& json)
{
    std::vector<std::string> lines;
    explode_string(answer, "\n", lines);
    json = "[";
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        std::string rest = line;
        for (int i = 0; i < 4; ++i) {
            const std::string::size_type at = rest.rfind(" => ");
            if (at == std::string::npos)
                return false;
            fields.insert(fields.begin(), rest.substr(at + 4));
            rest.erase(at);
        }
        std::string device, local;
        std::vector<std::string> devices, locals;
        if (!json_ports(fields[0], device, devices) || !json_ports(fields[1], local, locals) || fields[2].empty() ||
            fields[2].find_first_not_of("0123456789") != std::string::npos)
            return false;
        json += std::string(json.size() > 1 ? "," : "") + "{\"name\":" + json_string(rest) + ",\"device_ports\":" + device +
                ",\"local_ports\":" + local + ",\"seconds_left\":" + fields[2] + ",\"account\":" + json_string(fields[3]) +
                "}";
    }
    json += "]";
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int port = 55444, wait_seconds = 0;
    bool json = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            fputs(usage_text, stdout);
            return 0;
        }
        if (word == "--version") {
            puts("tunnel_keeper-ctl " TK_VERSION);
            return 0;
        }
        if (word == "--json") {
            json = true;
        } else if ((word == "-p" || word == "-w") && i + 1 < argc) {
            int& value = word == "-p" ? port : wait_seconds;
            value = atoi(argv[++i]);
            if (value < 1 || value > 65535)
                return fail(2, "invalid value |" + std::string(argv[i]) + "| for " + word + " (see --help)");
        } else if (word.size() > 1 && word[0] == '-') {
            return fail(2, "unknown option " + word + " (see --help)");
        } else {
            words.push_back(word);
        }
    }
    const command* chosen = nullptr;
    for (const command& c : commands)
        if (!words.empty() && words[0] == c.name)
            chosen = &c;
    if (!chosen || words.size() - 1 < chosen->least || words.size() - 1 > chosen->most || (json && !chosen->json))
        return fail(2, (words.empty() ? std::string("no command") : "wrong use of |" + escape_text(words[0]) + "|") +
                           " (see --help)");
    // Fields are separated by ":" and a request ends at its line: neither
    // may stand in an argument.
    std::string request = chosen->name;
    for (size_t i = 1; i < words.size(); ++i) {
        if (words[i].empty() || words[i].find(':') != std::string::npos || has_control_byte(words[i]))
            return fail(2, "an argument may not be empty or hold \":\" or a control character: |" + escape_text(words[i]) + "|");
        request += ":" + words[i];
    }

    std::string answer;
    const int got = ask(port, wait_seconds, request, answer);
    const std::string daemon = "the daemon on 127.0.0.1:" + to_string(port, std::dec);
    if (got == -1)
        return fail(2, "no connection to " + daemon + ": " + strerror(errno));
    if (got == -2)
        return fail(1, "no answer from " + daemon + " within " + to_string(wait_seconds, std::dec) + " seconds");
    if (got == 0)
        // The daemon ends without answering a shutdown.
        return chosen->name == std::string("shutdown") ? 0 : fail(1, "the daemon closed the connection without an answer");
    if (answer == "ERROR")
        return fail(1, "the daemon answered ERROR (its log says why)");
    if (json && chosen->name == std::string("list")) {
        if (!list_json(answer, answer))
            return fail(1, "unexpected answer to list: " + escape_text(answer));
    } else if (json) {
        // The states, and the ports they belong to: three reads.
        std::string local, remote, local_json, remote_json;
        std::vector<std::string> states, locals, remotes;
        explode_string(answer, ",", states);
        if (ask(port, wait_seconds, "localports:" + words[1], local) != 1 || ask(port, wait_seconds, "remoteports:" + words[1], remote) != 1 ||
            !json_ports(local, local_json, locals) || !json_ports(remote, remote_json, remotes) || locals.size() != states.size() ||
            remotes.size() != states.size())
            return fail(1, "the grant of " + escape_text(words[1]) + " changed or ended meanwhile");
        answer = "{\"name\":" + json_string(words[1]) + ",\"ports\":[";
        for (size_t i = 0; i < states.size(); ++i)
            answer += std::string(i ? "," : "") + "{\"local_port\":" + locals[i] + ",\"device_port\":" + remotes[i] +
                      ",\"state\":" + json_string(states[i]) + "}";
        answer += "]}";
    }
    printf("%s\n", answer.c_str());
    return 0;
}
