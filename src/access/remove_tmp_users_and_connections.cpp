// Start-up purge: deletes the temporary accounts that an earlier run left on
// the host, found by their name prefix in the account file.
#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

int remove_tmp_users_and_connections()
{
    std::vector<std::string> lines;
    if (read_command_output("remove_tmp_users_and_connections",
                            "cat /etc/passwd|grep ^sshtmp|sed 's/:.*//'", lines) != 0)
        return -1;

    for (std::string user : lines) {
        chomp(user);
        if (user.find_first_not_of("\r\n \t") == std::string::npos)
            continue;
        // Whole lines are read; nothing but a plain account name may reach
        // userdel or rm -rf.
        if (!is_safe_account_name(user)) {
            log_msg("remove_tmp_users_and_connections", "skipping invalid user name |%s|\n",
                    user.c_str());
            continue;
        }
        log_msg("remove_tmp_users_and_connections", "Deleting user %s\n", user.c_str());
        // End the account's leftover sessions first: userdel refuses an
        // account that still has processes.
        run_command("remove_tmp_users_and_connections", user_command, "killall -9 -u %s", user.c_str());
        wait_until_account_is_idle("remove_tmp_users_and_connections", user, reap_wait_ms);
        run_command("remove_tmp_users_and_connections", user_command, "userdel %s", user.c_str());
        run_command("remove_tmp_users_and_connections", user_command, "rm -rf /tmp/%s", user.c_str());
        run_command("remove_tmp_users_and_connections", user_command, "rm -rf /tmp/%s.key", user.c_str());
    }
    return 0;
}
