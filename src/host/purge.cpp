// Start-up purge: deletes the temporary accounts that an earlier run left on
// the host, found by their name prefix in the account file, and the filter
// rules it left in the pool range, except what the grants taken back from
// the state file own.
#include <set>

#include "../log.h"
#include "accounts.h"
#include "firewall.h"
#include "host.h"

int remove_tmp_users_and_connections(const std::string& portrange, const grant_list& kept)
{
    std::set<std::string> owned;
    std::set<int> held;
    for (const auto& grant : kept) {
        owned.insert(grant.second.username);
        held.insert(grant.second.localports.begin(), grant.second.localports.end());
    }

    // The account file is read here, not through a pipeline of commands:
    // every line that begins with "sshtmp", up to its first ":".
    std::string accounts;
    if (!read_whole_file("/etc/passwd", accounts)) {
        log_msg("remove_tmp_users_and_connections", "Failed to run command\n");
        return -1;
    }
    std::vector<std::string> lines;
    explode_string(accounts, "\n", lines);
    for (const std::string& line : lines) {
        if (line.compare(0, 6, "sshtmp") != 0)
            continue;
        std::string user = line.substr(0, line.find(':'));
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
        if (owned.count(user))
            continue;
        log_msg("remove_tmp_users_and_connections", "Deleting user %s\n", user.c_str());
        remove_account("remove_tmp_users_and_connections", user, true);
    }

    // The pool starts again at its first port: a stale DROP rule there would
    // shut the next grant's device out. The rules on held ports are the
    // take-back's to put right.
    int start, stop;
    std::vector<filter_rule> rules;
    if (parse_port_range(portrange, start, stop) == 0)
        list_filter_rules("remove_tmp_users_and_connections", rules);
    for (const filter_rule& rule : rules)
        if (rule.port >= start && rule.port < stop && !held.count(rule.port))
            delete_filter_rule("remove_tmp_users_and_connections", rule);
    return 0;
}
