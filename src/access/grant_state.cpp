// The state file: the registry on disk, rewritten after every change, so that
// a restart keeps every live grant. One line per grant, six fields separated
// by tabs: the device name (escaped), the account, the device ports, the
// local ports, the grant's end in seconds since the epoch, and the filter
// (empty without one). Lines starting with "#" are comments.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

namespace {

const char* const header = "# tunnel_keeper grants: name, account, device ports, local ports, end, filter\n";

std::string directory_of(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A port list exactly as port_list_to_string writes it.
bool parse_ports(const std::string& text, port_list& ports)
{
    std::vector<std::string> pieces;
    explode_string(text, ",", pieces);
    for (const std::string& piece : pieces) {
        int port;
        if (!parse_port_number(piece, port))
            return false;
        ports.push_back(port);
    }
    return port_list_to_string(ports) == text;
}

// One line into a name and a record. Everything that reaches a command later
// is checked as strictly as a client's input: a plain "sshtmp_" account, port
// numbers, a valid filter.
bool parse_grant(const std::string& line, std::string& name, localuser& record)
{
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() != 6 || fields[4].empty() || fields[4].size() > 12 ||
        fields[4].find_first_not_of("0123456789") != std::string::npos)
        return false;
    name = unescape_text(fields[0]);
    record.username = fields[1];
    record.end = static_cast<time_t>(std::stoll(fields[4]));
    record.acl = fields[5];
    return !name.empty() && !has_control_byte(name) && name.find(':') == std::string::npos &&
           escape_text(name) == fields[0] && record.username.compare(0, 7, "sshtmp_") == 0 &&
           is_safe_account_name(record.username) && parse_ports(fields[2], record.remoteports) &&
           parse_ports(fields[3], record.localports) && record.remoteports.size() == record.localports.size() &&
           (record.acl.empty() || is_valid_source_filter(record.acl));
}

bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

void telnet_server::set_state_file(std::string path)
{
    m_state_path = path;
}

int telnet_server::save_grants()
{
    if (m_state_path.empty())
        return 0;
    std::string text = header;
    for (const auto& entry : m_trelvox_to_localuser_map) {
        const localuser& u = entry.second;
        text += escape_text(entry.first) + "\t" + u.username + "\t" + port_list_to_string(u.remoteports) + "\t" +
                port_list_to_string(u.localports) + "\t" + to_string(static_cast<long long>(u.end), std::dec) + "\t" +
                u.acl + "\n";
    }
    // A new file in the same directory, on disk before it replaces the old
    // one: a crash leaves the old file or the new one, never a part.
    const std::string temporary = m_state_path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write_all(fd, text) && fsync(fd) == 0;
    if (fd >= 0)
        written = close(fd) == 0 && written;
    written = written && rename(temporary.c_str(), m_state_path.c_str()) == 0;
    if (!written) {
        log_msg("save_grants", "couldn't write state file %s: %s\n", m_state_path.c_str(), strerror(errno));
        unlink(temporary.c_str());
        return -1;
    }
    const int directory = open(directory_of(m_state_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return 0;
}

std::vector<localuser> telnet_server::take_back_grants()
{
    std::vector<localuser> kept;
    if (m_state_path.empty())
        return kept;
    mkdir(directory_of(m_state_path).c_str(), 0700);
    std::ifstream file(m_state_path);
    std::string line;
    const time_t now = time(nullptr);
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::string name;
        localuser record;
        lock_hold hold(m_lock);
        bool sound = parse_grant(line, name, record) && !m_trelvox_to_localuser_map.count(name);
        for (int port : record.localports)
            sound = sound && std::find(m_free_ports.begin(), m_free_ports.end(), port) != m_free_ports.end();
        if (!sound) {
            log_msg("take_back_grants", "state file %s line %d is damaged, skipped: %s\n", m_state_path.c_str(), number,
                    escape_text(line).c_str());
            continue;
        }
        unsigned uid;
        if (record.end > now && account_uid(record.username, uid)) {
            record.time_left = static_cast<int>(record.end - now);
            for (int port : record.localports)
                m_free_ports.remove(port);
            m_trelvox_to_localuser_map[name] = record;
            kept.push_back(record);
            log_msg("take_back_grants", "taking back |%s| %s on %s, %d seconds left\n", name.c_str(),
                    record.username.c_str(), port_list_to_string(record.localports).c_str(), record.time_left);
            continue;
        }
        // Ended while the daemon was down, or its account is gone: removed
        // as on expiry, rules included.
        log_msg("take_back_grants", record.end > now ? "dropping |%s|: account %s is gone\n"
                                                       : "removing |%s| %s: it ended while the daemon was down\n",
                name.c_str(), record.username.c_str());
        remove_account("take_back_grants", record.username, true);
        if (!record.acl.empty())
            run_filter_rules("take_back_grants", "-D", record);
    }
    restore_filter_rules("take_back_grants", kept);
    lock_hold hold(m_lock);
    save_grants();
    return kept;
}
