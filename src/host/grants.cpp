// A grant's changes to the host: provisioning, removal and the source
// filter, each with its part of the registry; and the status of a grant's
// ports.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "../log.h"
#include "accounts.h"
#include "firewall.h"
#include "host.h"
#include "kernel_tables.h"

namespace {

const char* const forward_head =
    "start-stop-daemon --start --quiet --background --exec /usr/bin/ssh "
    "--startas /usr/bin/ssh -- -i /tmp/key -o UserKnownHostsFile=/tmp/known_hosts ";

// The ssh server opens a device's listeners with the account's uid. Any
// other socket on the port, on any address, listening or only bound, may
// receive the connections meant for the device.
const char* port_state(const localuser& record, int port, socket_tables& sockets)
{
    if (port_is_held(port, record.uid, sockets))
        return "taken";
    for (const tcp_socket& s : sockets.listeners)
        if (s.port == port)
            return "connected";
    return "waiting";
}

// Takes `count` pool ports that no socket holds, in pool order: one that a
// socket holds (bound before the port guard, say) is logged and goes to the
// back of the pool. Remnants of closed connections (time-wait) hold no port:
// the ssh server's listener binds past them. False, with the pool's ports as
// they were, when too few are free.
bool take_unheld_ports(registry& grants, size_t count, port_list& taken)
{
    socket_tables sockets;
    port_list skipped;
    for (size_t left = grants.free_port_count(); taken.size() < count && left >= count - taken.size();) {
        port_list batch;
        if (!grants.take_free_ports(count - taken.size(), batch))
            break;
        left -= batch.size();
        for (int port : batch)
            (port_is_held(port, 0, sockets) ? skipped : taken).push_back(port);
    }
    for (int port : skipped)
        log_msg("add_temp_user", "port %d is in use, skipped\n", port);
    grants.return_free_ports(skipped, false);
    if (taken.size() == count)
        return true;
    grants.return_free_ports(taken, true);
    taken.clear();
    return false;
}

} // namespace

host::host(registry& grants, host_settings settings) : m_grants(grants), m_settings(std::move(settings)) {}

std::string host::request(const std::string& name, const std::string& ports, const std::string* lifetime)
{
    int seconds = m_settings.timeout;
    if (lifetime && !parse_seconds(*lifetime, m_settings.max_lifetime, seconds)) {
        log_msg("add_temp_user", "invalid lifetime |%s| for %s\n", escape_text(*lifetime).c_str(), name.c_str());
        return "ERROR";
    }
    // Only checked numbers reach the forwarding command and the record. A
    // request is refused before anything is removed or made.
    port_list device_ports;
    std::vector<std::string> pieces;
    explode_string(ports, ",", pieces);
    for (const std::string& text : pieces) {
        int port;
        if (!parse_port_number(text, port)) {
            log_msg("add_temp_user", "invalid port |%s| for %s\n", escape_text(text).c_str(), name.c_str());
            return "ERROR";
        }
        device_ports.push_back(port);
    }
    // Without a port the key could not be limited to one: it would listen
    // wherever its holder asked.
    if (device_ports.empty()) {
        log_msg("add_temp_user", "no device port in |%s| for %s\n", escape_text(ports).c_str(), name.c_str());
        return "ERROR";
    }
    remove_temp_user(name);
    std::string answer;
    add_temp_user(name, device_ports, seconds, answer);
    return answer;
}

int host::add_temp_user(const std::string& name, const port_list& device_ports, int lifetime,
                        std::string& forward_string)
{
    const auto started = std::chrono::steady_clock::now();
    localuser record;
    record.remoteports = device_ports;

    // The ports are taken before anything is made, so that the key line can
    // name them, and a request the pool cannot serve leaves nothing behind.
    if (!take_unheld_ports(m_grants, record.remoteports.size(), record.localports)) {
        log_msg("add_temp_user", "not enough free ports for |%s|\n", name.c_str());
        forward_string = "ERROR";
        return -1;
    }
    // The end is cut to the second, as the key line carries it: the key
    // admits no login after it, and the grant expires at it.
    account_request request{name, record.localports, wall_clock_seconds() + lifetime, m_settings.key_type};
    std::string fingerprint;
    bool key_copy;
    if (make_account(request, record.username, record.uid, fingerprint, key_copy) != 0) {
        // Made whole or not at all: what was made goes again, and the ports
        // go back in front. Nothing was stored; only an undo that cannot
        // finish is kept (and saved) to be retried.
        ++metrics.grant_failures;
        if (record.username.empty()) {
            m_grants.return_free_ports(record.localports, true);
        } else {
            record.end = wall_clock_seconds();
            m_grants.add_leaving(name, record, key_copy);
            remove_grant("add_temp_user", record.username, false);
        }
        forward_string = "ERROR";
        return -1;
    }
    record.end = request.end;
    record.public_key = public_key_of(record.username);

    // The ssh server logs the same fingerprint for each login with the key.
    log_msg("add_temp_user", "grant |%s| %s %s until %s\n", name.c_str(), record.username.c_str(),
            fingerprint.c_str(), format_time(record.end, true, "%Y-%m-%dT%H:%M:%SZ").c_str());
    forward_string += forward_head;
    port_list::const_iterator local = record.localports.begin();
    for (int port : record.remoteports)
        forward_string += " -R " + to_string(*local++, std::dec) + ":0.0.0.0:" + to_string(port, std::dec);
    forward_string += " " + record.username + "@" + m_settings.sship + " \"sleep " + to_string(lifetime, std::dec) + "\"";
    m_grants.store(name, record);
    m_grants.save();
    ++metrics.grants_made;
    metrics.observe_grant(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return 0;
}

int host::remove_temp_user(const std::string& name)
{
    localuser record;
    if (!m_grants.take_out(name, wall_clock_seconds(), record)) {
        log_msg("remove_temp_user", "couldn't find |%s|\n", name.c_str());
        return -1;
    }
    ++metrics.grants_released;
    return remove_grant("remove_temp_user", record.username) ? 0 : -2;
}

bool host::remove_grant(const char* function, const std::string& user, bool save)
{
    leaving_grant grant;
    int attempt;
    {
        std::lock_guard<std::mutex> hold(m_queue_lock);
        const auto it = m_retries.find(user);
        attempt = it == m_retries.end() ? 1 : it->second.attempts + 1;
        if (!m_grants.find_leaving(user, grant)) {
            if (it != m_retries.end())
                m_retries.erase(it);
            return true;  // removed meanwhile
        }
    }
    // The grant is on disk as ended before any of it goes: a crash meanwhile
    // leaves it for the next start to remove.
    if (save)
        m_grants.save();
    const localuser& record = grant.record;
    if (attempt == 1) {
        log_msg(function, "removing trelvox %s with username %s\n", grant.name.c_str(), user.c_str());
    } else {
        log_msg(function, "retrying the removal of |%s| %s, attempt %d\n", grant.name.c_str(), user.c_str(), attempt);
        ++metrics.removal_retries;
    }
    bool done = remove_account(function, user, grant.key_copy);
    // A grant has firewall rules only once a filter was set, or an undo left
    // some. A retry, and a grant with stray rules, delete what is listed on
    // its ports: some rules may have gone already, others were never its
    // filter's.
    if (record.stray_rules || (attempt > 1 && !record.acl.empty()))
        done = delete_listed_filter_rules(function, record.localports) && done;
    else if (!record.acl.empty())
        done = delete_filter_rules(function, record.acl, record.localports) && done;
    if (!done) {
        // Its ports stay held, and it stays on disk as ended, until it is
        // gone. The pause doubles with each attempt, up to a minute.
        const int pause = std::min(1 << std::min(attempt - 1, 6), 60);
        log_msg(function, "removal of |%s| %s is unfinished; retrying in %d seconds\n", grant.name.c_str(), user.c_str(),
                pause);
        {
            std::lock_guard<std::mutex> hold(m_queue_lock);
            m_retries[user] = {attempt, wall_clock_seconds() + pause, false};
        }
        m_grants.save();
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(m_queue_lock);
        m_retries.erase(user);
    }
    // Only now may another grant have the ports: their rules are gone.
    m_grants.finish_removal(user);
    ++m_progress;
    if (save)
        m_grants.save();
    return true;
}

std::string host::filter_ports(const std::string& name, const std::string& acl)
{
    if (!is_valid_source_filter(acl)) {
        log_msg("filter_ports", "acl for %s |%s| seems to be invalid\n", name.c_str(), escape_text(acl).c_str());
        return "ERROR";
    }
    localuser record;
    switch (m_grants.check_acl(name, record)) {
    case 1:
        log_msg("filter_ports", "couldn't find |%s|\n", name.c_str());
        return "ERROR";
    case 2:
        log_msg("filter_ports", "acl for %s |%s| already set\n", name.c_str(), record.acl.c_str());
        return "ERROR";
    }
    // The filter is recorded only once all its rules are in place. Rules
    // that its undo could not delete stay marked with the grant, and go
    // with it. If the grant ended meanwhile, its removal (queued behind this
    // change) deletes the filter's rules with the rest.
    bool undone;
    if (!add_filter_rules("filter_ports", acl, record.localports, undone)) {
        if (!undone) {
            log_msg("filter_ports", "rules of |%s| that could not be deleted go with the grant\n", name.c_str());
            m_grants.mark_stray_rules(name, record.username);
            m_grants.save();  // so that a start after a crash deletes them too
        }
        return "ERROR";
    }
    if (!m_grants.set_acl(name, record, acl)) {
        log_msg("filter_ports", "|%s| ended while its filter was set\n", name.c_str());
        m_grants.save();
        return "ERROR";
    }
    m_grants.save();
    return "OK";
}

std::string host::extend(const std::string& name, const std::string& seconds)
{
    int lifetime;
    if (!parse_seconds(seconds, m_settings.max_lifetime, lifetime)) {
        log_msg("extend_grant", "invalid lifetime |%s| for %s\n", escape_text(seconds).c_str(), name.c_str());
        return "ERROR";
    }
    localuser record;
    if (!m_grants.find(name, record)) {
        log_msg("extend_grant", "couldn't find |%s|\n", name.c_str());
        return "ERROR";
    }
    const time_t end = wall_clock_seconds() + lifetime;
    std::string fingerprint;
    if (!set_account_end(record.username, record.uid, record.end, end, fingerprint))
        return "ERROR";
    // A grant that ended meanwhile is on its way out: its key goes with it.
    if (!m_grants.set_end(name, record.username, end)) {
        log_msg("extend_grant", "|%s| ended before it could be extended\n", name.c_str());
        return "ERROR";
    }
    m_grants.save();
    ++metrics.grants_extended;
    // The grant's audit line again, with the new end.
    log_msg("extend_grant", "grant |%s| %s %s until %s\n", name.c_str(), record.username.c_str(), fingerprint.c_str(),
            format_time(end, true, "%Y-%m-%dT%H:%M:%SZ").c_str());
    return "OK";
}

std::string host::connection_status(const std::string& name) const
{
    localuser record;
    if (!m_grants.find(name, record)) {
        log_msg("connection_status", "couldn't find |%s|\n", name.c_str());
        return "ERROR";
    }
    socket_tables sockets;
    std::string answer;
    for (int port : record.localports) {
        const char* word = port_state(record, port, sockets);
        answer += answer.empty() ? word : std::string(",") + word;
    }
    return answer;
}

metrics_gauges host::gauges() const
{
    metrics_gauges g;
    const grant_list all = m_grants.grants();
    g.grants = all.size();
    g.pool_ports = m_grants.pool_size();
    g.leaving = m_grants.leaving_count();
    socket_tables sockets;
    for (const auto& grant : all)
        for (int port : grant.second.localports) {
            const std::string state = port_state(grant.second, port, sockets);
            ++(state == "connected" ? g.connected : state == "waiting" ? g.waiting : g.taken);
        }
    const port_list free = m_grants.free_ports();
    g.free_ports = free.size();
    g.held = g.taken;
    for (int port : free)
        g.held += port_is_held(port, 0, sockets) ? 1 : 0;
    return g;
}
