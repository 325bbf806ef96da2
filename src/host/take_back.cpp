// The start's take-back: the grants of the state file come back into the
// registry when their account and home are still as provisioning left them;
// the others are removed from the host.
#include <set>

#include "../log.h"
#include "accounts.h"
#include "firewall.h"
#include "host.h"
#include "kernel_tables.h"

grant_list host::take_back_grants()
{
    const time_t now = wall_clock_seconds();
    grant_list kept;
    std::vector<std::string> removed;
    std::set<std::string> named;  // each account is taken back or removed once
    for (auto& grant : m_grants.read_state_file(now, m_settings.max_lifetime)) {
        const std::string& name = grant.first;
        localuser& record = grant.second;
        const char* user = record.username.c_str();
        const bool exists = account_uid(record.username, record.uid);
        bool remove = true;
        if (!named.insert(record.username).second) {
            remove = false;
        } else if (record.end <= now) {
            log_msg("take_back_grants", "removing |%s| %s: it ended while the daemon was down\n", name.c_str(), user);
        } else if (!m_grants.in_range(record.localports)) {
            log_msg("take_back_grants", "removing |%s| %s: its ports %s lie outside the range\n", name.c_str(), user,
                    port_list_to_string(record.localports).c_str());
        } else if (!exists) {
            log_msg("take_back_grants", "dropping |%s|: account %s is gone\n", name.c_str(), user);
        } else if (!home_is_as_made(record.username, record.uid)) {
            log_msg("take_back_grants", "removing |%s| %s: its home is not as provisioning made it\n", name.c_str(),
                    user);
        } else if (m_grants.claim(name, record)) {
            log_msg("take_back_grants", "taking back |%s| %s on %s, %lld seconds left\n", name.c_str(), user,
                    port_list_to_string(record.localports).c_str(), static_cast<long long>(record.end - now));
            kept.push_back(grant);
            continue;
        } else {
            remove = false;
        }
        if (!remove) {
            log_msg("take_back_grants", "skipping |%s| %s: its name, account or ports are taken by another line\n",
                    name.c_str(), user);
            continue;
        }
        // Its ports are held until it is gone, so that no new grant gets a
        // port whose old rules are still there.
        m_grants.claim_leaving(name, record);
        removed.push_back(record.username);
    }
    metrics.grants_taken_back += kept.size();
    // A socket that another account bound to a kept grant's port while no
    // guard was on stays: the device's command names the port, so the
    // grant cannot move. "status" says taken until that socket is gone.
    socket_tables sockets;
    for (const auto& grant : kept)
        for (int port : grant.second.localports)
            if (port_is_held(port, grant.second.uid, sockets))
                log_msg("take_back_grants", "port %d of |%s| is held by a socket that is not its grant's: taken until it "
                        "is gone\n", port, grant.first.c_str());
    // The host work comes first in the queue: a kept grant that ends
    // meanwhile is removed after its rules were put right, never before. A
    // kept grant whose filter cannot be put right is removed: its port might
    // be open to every source.
    submit([this, kept, removed] {
        for (const std::string& user : removed)
            remove_grant("take_back_grants", user, false);
        std::vector<std::pair<std::string, port_list>> held;
        for (const auto& grant : kept)
            held.emplace_back(grant.second.acl, grant.second.localports);
        for (size_t i : restore_filter_rules("take_back_grants", held)) {
            const auto& grant = kept[i];
            log_msg("take_back_grants", "removing |%s| %s: its filter rules could not be put right\n", grant.first.c_str(),
                    grant.second.username.c_str());
            // Its ports' rules are in no known state: all of them go.
            m_grants.mark_stray_rules(grant.first, grant.second.username);
            localuser record;
            if (m_grants.take_out(grant.first, wall_clock_seconds(), record))
                remove_grant("take_back_grants", record.username, false);
        }
        m_grants.save();
    });
    return kept;
}
