// Provisioning: a throw-away account with a fresh key pair, pool ports for
// the device's ports, and the forwarding command the device runs.
#include <cstdio>

#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

namespace {

const char* const forward_head =
    "start-stop-daemon --start --quiet --background --exec /usr/bin/ssh "
    "--startas /usr/bin/ssh -- -i /tmp/key -o UserKnownHostsFile=/tmp/known_hosts ";

} // namespace

int telnet_server::add_temp_user(std::string name, std::vector<std::string> ports,
                                 std::string& forward_string)
{
    // Only checked numbers reach the forwarding command and the record.
    std::vector<int> remote;
    for (const std::string& text : ports) {
        int port;
        if (!parse_port_number(text, port)) {
            log_msg("add_temp_user", "invalid port |%s| for %s\n", text.c_str(), name.c_str());
            forward_string = "ERROR";
            return -1;
        }
        remote.push_back(port);
    }

    // Refuse before anything is made: a request the pool cannot serve must
    // not leave an account behind. Only this thread takes ports, so the pool
    // cannot shrink before the ports are taken below.
    {
        lock_hold hold(m_lock);
        if (m_free_ports.size() < remote.size()) {
            log_msg("add_temp_user", "not enough free ports for |%s|\n", name.c_str());
            forward_string = "ERROR";
            return -1;
        }
    }

    // The directory is pinned to /tmp: "key", removal and the purge rebuild
    // the paths from the user name.
    std::vector<std::string> output;
    if (read_command_output("add_temp_user", "mktemp -d --tmpdir=/tmp sshtmp_XXXXXXXX", output) != 0)
        return -1;
    // The first line must be "/tmp/" and a plain account name.
    const std::string path = output.empty() ? std::string() : output[0];
    const std::string user = path.compare(0, 5, "/tmp/") == 0 ? path.substr(5) : std::string();
    if (!is_safe_account_name(user)) {
        log_msg("add_temp_user", "Failed to run command\n");
        return -1;
    }

    log_msg("add_temp_user", "adding |%s| <= %s\n", name.c_str(), user.c_str());
    const char* p = path.c_str();
    run_command("add_temp_user", user_command, "mkdir %s/.ssh/", p);
    run_command("add_temp_user", user_command, "ssh-keygen -f %s/key -P \"\" -q", p);
    // The key copy for www-data is prepared inside the new home directory
    // (root's, mode 700) and renamed into place: the rename replaces whatever
    // another local user may have put at the path in /tmp and follows no link.
    run_command("add_temp_user", user_command, "cp %s/key %s/key.copy", p, p);
    run_command("add_temp_user", user_command, "chown www-data %s/key.copy", p);
    run_command("add_temp_user", user_command, "mv -fT %s/key.copy %s.key", p, p);
    run_command("add_temp_user", user_command, "cp %s/key.pub %s/.ssh/authorized_keys", p, p);
    run_command("add_temp_user", user_command, "useradd -d %s %s", p, user.c_str());
    run_command("add_temp_user", user_command, "chmod 600 %s/.ssh/authorized_keys", p);
    run_command("add_temp_user", user_command, "chown -R %s %s", user.c_str(), p);

    localuser record;
    record.username = user;
    record.time_left = m_timeout;
    forward_string += forward_head;
    {
        // The check above left enough ports: only this thread takes them.
        lock_hold hold(m_lock);
        for (int port : remote) {
            int freeport = take_free_port();
            record.localports.push_back(freeport);
            record.remoteports.push_back(port);
            forward_string += " -R " + to_string(freeport, std::dec) + ":0.0.0.0:" + to_string(port, std::dec);
        }
        m_trelvox_to_localuser_map[name] = record;
    }
    forward_string += " " + user + "@" + m_sship + " \"sleep " + to_string(m_timeout, std::dec) + "\"";
    return 0;
}
