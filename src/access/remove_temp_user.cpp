// Removal: ends a grant's processes, returns its ports, erases its record,
// then deletes its account, files and firewall rules.
#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

int telnet_server::remove_temp_user(std::string name)
{
    localuser record;
    {
        // Recursive: the expiry thread already holds m_lock when it calls
        // this, and then keeps it through all the commands below.
        lock_hold hold(m_lock);
        std::map<std::string, localuser>::iterator it = m_trelvox_to_localuser_map.find(name);
        if (it == m_trelvox_to_localuser_map.end()) {
            log_msg("remove_temp_user", "couldn't find |%s|\n", name.c_str());
            return -1;
        }
        record = it->second;
        run_command("remove_temp_user", user_command, "killall -9 -u %s", record.username.c_str());
        return_free_ports(record.localports);
        m_trelvox_to_localuser_map.erase(it);
    }
    const std::string& user = record.username;
    if (user.empty())
        return -1;

    log_msg("remove_temp_user", "removing trelvox %s with username %s\n", name.c_str(), user.c_str());
    // killall only sends the signals; userdel refuses the account until the
    // killed processes have been reaped.
    wait_until_account_is_idle("remove_temp_user", user, reap_wait_ms);
    run_command("remove_temp_user", user_command, "userdel %s", user.c_str());
    run_command("remove_temp_user", user_command, "rm -rf /tmp/%s", user.c_str());
    run_command("remove_temp_user", user_command, "rm -rf /tmp/%s.key", user.c_str());

    // A grant has firewall rules only once a filter was set.
    if (!record.acl.empty())
        run_filter_rules("remove_temp_user", "-D", record);
    return 0;
}
