// Removal: erases a grant's record, returns its ports, then ends and deletes
// its account, files and firewall rules.
#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

void remove_account(const char* function, const std::string& user, bool key_copy)
{
    const char* u = user.c_str();
    // Without its key the account admits no new login, so no session can
    // start between killall and userdel.
    run_command(function, user_command, "rm -f /tmp/%s/.ssh/authorized_keys", u);
    for (int attempt = 1;; ++attempt) {
        run_command(function, user_command, "killall -9 -u %s", u);
        // killall only sends the signals; userdel refuses the account until
        // the killed processes have been reaped.
        wait_until_account_is_idle(function, user, reap_wait_ms);
        run_command(function, user_command, "userdel %s", u);
        unsigned uid;
        if (!account_uid(user, uid))
            break;
        if (attempt == 2) {
            log_msg(function, "account %s is still there\n", u);
            break;
        }
    }
    if (key_copy)
        run_command(function, user_command, "rm -rf /tmp/%s /tmp/%s.key", u, u);
    else
        run_command(function, user_command, "rm -rf /tmp/%s", u);
}

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
        return_free_ports(record.localports);
        m_trelvox_to_localuser_map.erase(it);
        save_grants();
    }
    log_msg("remove_temp_user", "removing trelvox %s with username %s\n", name.c_str(),
            record.username.c_str());
    remove_account("remove_temp_user", record.username, true);
    // A grant has firewall rules only once a filter was set.
    if (!record.acl.empty())
        run_filter_rules("remove_temp_user", "-D", record);
    return 0;
}
