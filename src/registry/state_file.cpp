// The state file: the registry on disk, rewritten after every change, so that
// a restart keeps every live grant. One line per grant, six fields separated
// by tabs: the device name (escaped), the account, the device ports, the
// local ports, the grant's end in seconds since the epoch, and the filter
// (empty without one); then, each in a field of its own, "uid=" and the
// account's uid, "key=" and the public key of its key line (so that a start
// after a reboot can build its home again), and "stray" when an undo left
// rules of the daemon's shape on its ports. Lines of older versions lack
// uid= and key=. Lines starting with "#" are comments.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../log.h"
#include "../metrics.h"
#include "registry.h"

namespace {

const char* const header = "# tunnel_keeper grants: name, account, device ports, local ports, end, filter, uid=, key=, stray\n";

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
// is checked as strictly as a client's input: a name a request can carry, a
// plain "sshtmp_" account, port numbers, a valid filter, and an end that
// lies no further ahead than the longest lifetime.
bool parse_grant(const std::string& line, time_t latest_end, std::string& name, localuser& record)
{
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    // The tagged fields after the sixth, each at most once and in this order.
    if (fields.size() > 6 && fields[6].compare(0, 4, "uid=") == 0) {
        const std::string digits = fields[6].substr(4);
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        record.uid = static_cast<unsigned>(std::stoul(digits));
        fields.erase(fields.begin() + 6);
    }
    if (fields.size() > 6 && fields[6].compare(0, 4, "key=") == 0) {
        record.public_key = fields[6].substr(4);
        if (!is_plain_public_key(record.public_key))
            return false;
        fields.erase(fields.begin() + 6);
    }
    if (fields.size() == 7 && fields[6] == "stray") {
        record.stray_rules = true;
        fields.pop_back();
    }
    if (fields.size() != 6 || fields[4].empty() || fields[4].size() > 12 ||
        fields[4].find_first_not_of("0123456789") != std::string::npos)
        return false;
    name = unescape_text(fields[0]);
    record.username = fields[1];
    record.end = static_cast<time_t>(std::stoll(fields[4]));
    record.acl = fields[5];
    return !name.empty() && name.size() <= max_name_length && !has_control_byte(name) &&
           name.find(':') == std::string::npos && escape_text(name) == fields[0] && record.end <= latest_end &&
           record.username.compare(0, 7, "sshtmp_") == 0 && is_safe_account_name(record.username) &&
           parse_ports(fields[2], record.remoteports) && parse_ports(fields[3], record.localports) &&
           !record.localports.empty() && record.remoteports.size() == record.localports.size() &&
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

int registry::save()
{
    if (m_state_path.empty())
        return 0;
    // A copy under the lock; the text, the write and the syncs outside it.
    grant_list copy;
    unsigned long version;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        copy.assign(m_trelvox_to_localuser_map.begin(), m_trelvox_to_localuser_map.end());
        for (const auto& leaving : m_leaving)
            copy.emplace_back(leaving.second.name, leaving.second.record);
        version = m_version;
    }
    std::string text = header;
    for (const auto& entry : copy) {
        const localuser& u = entry.second;
        text += escape_text(entry.first) + "\t" + u.username + "\t" + port_list_to_string(u.remoteports) + "\t" +
                port_list_to_string(u.localports) + "\t" + to_string(static_cast<long long>(u.end), std::dec) + "\t" +
                u.acl + (u.uid ? "\tuid=" + to_string(u.uid, std::dec) : "") +
                (u.public_key.empty() ? "" : "\tkey=" + u.public_key) + (u.stray_rules ? "\tstray\n" : "\n");
    }
    std::lock_guard<std::mutex> writing(m_save_lock);
    // A newer copy is on disk already: this one must not replace it.
    if (version <= m_saved_version)
        return 0;
    // A new file in the same directory, on disk before it replaces the old
    // one: a crash leaves the old file or the new one, never a part. It is
    // made anew each time (a leftover, or whatever another user put there,
    // is removed, never followed), root's and mode 600.
    const std::string temporary = m_state_path + ".new";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0 && fchmod(fd, 0600) == 0 && write_all(fd, text) && fsync(fd) == 0;
    if (fd >= 0)
        written = close(fd) == 0 && written;
    written = written && rename(temporary.c_str(), m_state_path.c_str()) == 0;
    if (!written) {
        log_msg("save_grants", "couldn't write state file %s: %s\n", m_state_path.c_str(), strerror(errno));
        ++metrics.state_write_failures;
        if (fd >= 0)
            unlink(temporary.c_str());
        return -1;
    }
    const int directory = open(directory_of(m_state_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    m_saved_version = version;
    return 0;
}

grant_list registry::read_state_file(time_t now, int max_lifetime) const
{
    grant_list found;
    if (m_state_path.empty())
        return found;
    mkdir(directory_of(m_state_path).c_str(), 0700);
    std::string text;
    read_whole_file(m_state_path, text);
    const time_t latest_end = now + max_lifetime;
    std::string::size_type begin = 0;
    for (int number = 1; begin < text.size(); ++number) {
        std::string::size_type end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        std::string name;
        localuser record;
        if (parse_grant(line, latest_end, name, record)) {
            found.emplace_back(name, record);
            continue;
        }
        log_msg("take_back_grants", "state file %s line %d is damaged, skipped: %s\n", m_state_path.c_str(), number,
                escape_text(line.substr(0, 200)).c_str());
    }
    return found;
}
