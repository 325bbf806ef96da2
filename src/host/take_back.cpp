// The start's take-back: the grants of the state file come back into the
// registry when their account and home are still as provisioning left them,
// or when only the home is gone (a reboot emptied /tmp) and it can be built
// again; the others are removed from the host.
#include <algorithm>
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
    std::vector<size_t> rebuilt;  // positions in `kept` whose home is built again
    std::set<std::string> named;  // each account is taken back or removed once
    for (auto& grant : m_grants.read_state_file(now, m_settings.max_lifetime)) {
        const std::string& name = grant.first;
        localuser& record = grant.second;
        const char* user = record.username.c_str();
        const unsigned recorded_uid = record.uid;
        const bool exists = account_uid(record.username, record.uid);
        // Only the account the grant made, with the key it had, gets its
        // home back.
        const bool rebuild = exists && recorded_uid == record.uid && !record.public_key.empty() &&
                             home_is_missing(record.username);
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
        } else if (!rebuild && !home_is_as_made(record.username, record.uid)) {
            log_msg("take_back_grants", "removing |%s| %s: its home is not as provisioning made it\n", name.c_str(),
                    user);
        } else if (m_grants.claim(name, record)) {
            log_msg("take_back_grants", "taking back |%s| %s on %s, %lld seconds left%s\n", name.c_str(), user,
                    port_list_to_string(record.localports).c_str(), static_cast<long long>(record.end - now),
                    rebuild ? "; its home is gone and is built again" : "");
            if (rebuild)
                rebuilt.push_back(kept.size());
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
    submit([this, kept, removed, rebuilt] {
        for (const std::string& user : removed)
            remove_grant("take_back_grants", user, false);
        const auto give_up = [this](const std::pair<std::string, localuser>& grant, const char* why) {
            log_msg("take_back_grants", "removing |%s| %s: %s\n", grant.first.c_str(), grant.second.username.c_str(), why);
            localuser record;
            if (m_grants.take_out(grant.first, wall_clock_seconds(), record))
                remove_grant("take_back_grants", record.username, false);
        };
        // A home built again as provisioning made it, with the key line its
        // device's key still matches; a grant whose home cannot be is removed.
        std::vector<std::pair<std::string, port_list>> held;
        std::vector<size_t> positions;
        for (size_t i = 0; i < kept.size(); ++i) {
            const localuser& record = kept[i].second;
            const account_request request{kept[i].first, record.localports, record.end, m_settings.key_type};
            if (std::find(rebuilt.begin(), rebuilt.end(), i) != rebuilt.end() &&
                !rebuild_home(request, record.username, record.uid, record.public_key)) {
                give_up(kept[i], "its home could not be built again");
                continue;
            }
            held.emplace_back(record.acl, record.localports);
            positions.push_back(i);
        }
        for (size_t i : restore_filter_rules("take_back_grants", held)) {
            // Its ports' rules are in no known state: all of them go.
            m_grants.mark_stray_rules(kept[positions[i]].first, kept[positions[i]].second.username);
            give_up(kept[positions[i]], "its filter rules could not be put right");
        }
        m_grants.save();
    });
    return kept;
}
