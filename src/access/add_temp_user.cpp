// Provisioning: a throw-away account with a fresh key pair whose key admits
// only the grant's own tunnel, pool ports for the device's ports, and the
// forwarding command the device runs.
#include <cstdio>
#include <ctime>

#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

namespace {

const char* const forward_head =
    "start-stop-daemon --start --quiet --background --exec /usr/bin/ssh "
    "--startas /usr/bin/ssh -- -i /tmp/key -o UserKnownHostsFile=/tmp/known_hosts ";

std::string format_time(time_t t, bool utc, const char* format)
{
    struct tm parts;
    if (utc)
        gmtime_r(&t, &parts);
    else
        localtime_r(&t, &parts);
    char text[32];
    return std::string(text, strftime(text, sizeof text, format, &parts));
}

// The options in front of the grant's public key. The ssh server lets the
// key open remote forwards on the grant's own ports only (on the address the
// device's "-R port:..." asks for), refuses every local forward (nothing
// listens on 255.255.255.255:1), runs "sleep" whatever the key holder asks
// for, offers no terminal, agent or X11 forwarding, and refuses logins after
// the grant's end. The end is this host's local time: every ssh server that
// knows the option reads it so.
std::string key_options(const port_list& ports, int timeout, time_t end)
{
    std::string options = "restrict,port-forwarding";
    for (int port : ports)
        options += ",permitlisten=\"localhost:" + to_string(port, std::dec) + "\"";
    return options + ",permitopen=\"255.255.255.255:1\",command=\"sleep " + to_string(timeout, std::dec) +
           "\",expiry-time=\"" + format_time(end, false, "%Y%m%d%H%M%S") + "\"";
}

// "SHA256:" and 43 base64 characters, the second word of ssh-keygen -lf.
std::string key_fingerprint(const std::string& path)
{
    std::vector<std::string> lines, words;
    if (read_command_output("add_temp_user", "ssh-keygen -lf " + path + "/key.pub", lines) != 0 || lines.empty())
        return "unknown";
    explode_string(lines[0], " ", words);
    const std::string fingerprint = words.size() > 1 ? words[1] : "";
    if (fingerprint.size() != 50 || fingerprint.compare(0, 7, "SHA256:") != 0 ||
        fingerprint.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", 7) !=
            std::string::npos)
        return "unknown";
    return fingerprint;
}

// The key copy must be what provisioning made: a regular file of www-data,
// mode 600, not something another local user put at its path.
bool key_copy_is_sound(const std::string& path)
{
    struct stat st;
    unsigned www_data;
    return account_uid("www-data", www_data) && host_lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == www_data && (st.st_mode & 07777) == 0600;
}

} // namespace

int telnet_server::add_temp_user(std::string name, std::vector<std::string> ports,
                                 std::string& forward_string)
{
    // Only checked numbers reach the forwarding command and the record.
    localuser record;
    for (const std::string& text : ports) {
        int port;
        if (!parse_port_number(text, port)) {
            log_msg("add_temp_user", "invalid port |%s| for %s\n", escape_text(text).c_str(), name.c_str());
            forward_string = "ERROR";
            return -1;
        }
        record.remoteports.push_back(port);
    }

    // The ports are taken before anything is made, so that the key line can
    // name them, and a request the pool cannot serve leaves nothing behind.
    std::vector<bool> busy(65536);
    for (const listening_socket& s : read_listening_sockets())
        busy[static_cast<size_t>(s.port)] = true;
    {
        lock_hold hold(m_lock);
        if (!take_free_ports(record.remoteports.size(), busy, record.localports)) {
            log_msg("add_temp_user", "not enough free ports for |%s|\n", name.c_str());
            forward_string = "ERROR";
            return -1;
        }
    }
    const time_t end = time(nullptr) + m_timeout;

    // The directory is pinned to /tmp: "key", removal and the purge rebuild
    // the paths from the user name. The first line must be "/tmp/" and a
    // plain account name.
    std::vector<std::string> output;
    int result = read_command_output("add_temp_user", "mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX", output);
    const std::string path = output.empty() ? std::string() : output[0];
    const std::string user = path.compare(0, 5, "/tmp/") == 0 ? path.substr(5) : std::string();
    if (result == 0 && !is_safe_account_name(user)) {
        log_msg("add_temp_user", "Failed to run command\n");
        result = -1;
    }

    if (result == 0) {
        log_msg("add_temp_user", "adding |%s| <= %s\n", name.c_str(), user.c_str());
        const char* p = path.c_str();
        const char* u = user.c_str();
        run_command("add_temp_user", user_command, "mkdir -m 755 %s/.ssh/", p);
        run_command("add_temp_user", user_command, "ssh-keygen -t %s -f %s/key -P \"\" -q", m_key_type.c_str(), p);
        // The key copy for www-data is prepared inside the new home directory
        // (root's, mode 700) and renamed into place: the rename replaces a
        // file or link that another local user put at the path in /tmp.
        run_command("add_temp_user", user_command, "install -o www-data -m 600 %s/key %s/key.copy", p, p);
        run_command("add_temp_user", user_command, "mv -fT %s/key.copy %s.key", p, p);
        // The restricted key line exists before the account does: sed puts
        // the options in front of the public key and writes the line ("w")
        // itself, so no shell is needed. The options hold no "/", "&" or
        // "\\", so they stand in the replacement as they are. .ssh and the
        // key line stay root's: the account cannot change its options.
        run_command("add_temp_user", user_command, "sed -n 's/^/%s /w %s/.ssh/authorized_keys' %s/key.pub",
                    key_options(record.localports, m_timeout, end).c_str(), p, p);
        run_command("add_temp_user", user_command, "chmod 644 %s/.ssh/authorized_keys", p);
        run_command("add_temp_user", user_command, "useradd -d %s %s", p, u);
        run_command("add_temp_user", user_command, "chown %s %s", u, p);
        if (!key_copy_is_sound(path + ".key")) {
            log_msg("add_temp_user", "key copy %s.key is not a file of www-data with mode 600\n", p);
            // A regular file there is the renamed copy; anything else is
            // another user's, and stays.
            struct stat st;
            remove_account("add_temp_user", user, host_lstat((path + ".key").c_str(), &st) == 0 && S_ISREG(st.st_mode));
            forward_string = "ERROR";
            result = -1;
        }
    }
    if (result != 0) {
        lock_hold hold(m_lock);
        m_free_ports.insert(m_free_ports.begin(), record.localports.begin(), record.localports.end());
        return -1;
    }

    // The ssh server logs the same fingerprint for each login with the key.
    log_msg("add_temp_user", "grant |%s| %s %s until %s\n", name.c_str(), user.c_str(),
            key_fingerprint(path).c_str(), format_time(end, true, "%Y-%m-%dT%H:%M:%SZ").c_str());
    forward_string += forward_head;
    std::list<int>::const_iterator local = record.localports.begin();
    for (int port : record.remoteports)
        forward_string += " -R " + to_string(*local++, std::dec) + ":0.0.0.0:" + to_string(port, std::dec);
    forward_string += " " + user + "@" + m_sship + " \"sleep " + to_string(m_timeout, std::dec) + "\"";
    record.username = user;
    record.time_left = m_timeout;
    record.end = end;
    lock_hold hold(m_lock);
    m_trelvox_to_localuser_map[name] = record;
    save_grants();
    return 0;
}
