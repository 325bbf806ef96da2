// A grant's changes to the host: provisioning, removal and the source
// filter, each with its part of the registry; and the status of a grant's
// ports.
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

// The ssh server opens a device's listeners with the account's uid. A
// listener of anyone else on the port, on any address, may receive the
// connections meant for the device.
const char* port_state(const localuser& record, int port, const std::vector<listening_socket>& sockets)
{
    const char* word = "waiting";
    for (const listening_socket& s : sockets) {
        if (s.port != port)
            continue;
        if (record.uid == 0 || s.uid != record.uid)
            return "taken";
        word = "connected";
    }
    return word;
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
    std::vector<bool> busy(65536);
    for (const listening_socket& s : read_listening_sockets())
        busy[static_cast<size_t>(s.port)] = true;
    if (!m_grants.take_free_ports(record.remoteports.size(), busy, record.localports)) {
        log_msg("add_temp_user", "not enough free ports for |%s|\n", name.c_str());
        forward_string = "ERROR";
        return -1;
    }
    // The end is cut to the second, as the key line carries it: the key
    // admits no login after it, and the grant expires at it.
    account_request request{name, record.localports, lifetime, wall_clock_seconds() + lifetime, m_settings.key_type};
    std::string fingerprint;
    if (make_account(request, record.username, record.uid, fingerprint) != 0) {
        m_grants.return_free_ports(record.localports, true);
        // A home that mktemp did not make: no answer text, as ever.
        forward_string = record.username.empty() ? "" : "ERROR";
        return -1;
    }
    record.end = request.end;

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
    if (!m_grants.take_out(name, record)) {
        log_msg("remove_temp_user", "couldn't find |%s|\n", name.c_str());
        return -1;
    }
    remove_grant("remove_temp_user", name, record);
    ++metrics.grants_released;
    return 0;
}

void host::remove_grant(const char* function, const std::string& name, const localuser& record)
{
    m_grants.save();
    log_msg(function, "removing trelvox %s with username %s\n", name.c_str(), record.username.c_str());
    remove_account(function, record.username, true);
    // A grant has firewall rules only once a filter was set.
    if (!record.acl.empty())
        run_filter_rules(function, "-D", record.acl, record.localports);
    // Only now may another grant have the ports: their rules are gone.
    m_grants.return_free_ports(record.localports, false);
}

std::string host::filter_ports(const std::string& name, const std::string& acl)
{
    if (!is_valid_source_filter(acl)) {
        log_msg("filter_ports", "acl for %s |%s| seems to be invalid\n", name.c_str(), escape_text(acl).c_str());
        return "ERROR";
    }
    localuser record;
    switch (m_grants.set_acl(name, acl, record)) {
    case 1:
        log_msg("filter_ports", "couldn't find |%s|\n", name.c_str());
        return "ERROR";
    case 2:
        log_msg("filter_ports", "acl for %s |%s| already set\n", name.c_str(), record.acl.c_str());
        return "ERROR";
    }
    run_filter_rules("filter_ports", "-A", acl, record.localports);
    m_grants.save();
    return "OK";
}

std::string host::connection_status(const std::string& name) const
{
    localuser record;
    if (!m_grants.find(name, record)) {
        log_msg("connection_status", "couldn't find |%s|\n", name.c_str());
        return "ERROR";
    }
    const std::vector<listening_socket> sockets = read_listening_sockets();
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
    g.free_ports = m_grants.free_port_count();
    const std::vector<listening_socket> sockets = read_listening_sockets();
    for (const auto& grant : all)
        for (int port : grant.second.localports) {
            const std::string state = port_state(grant.second, port, sockets);
            ++(state == "connected" ? g.connected : state == "waiting" ? g.waiting : g.taken);
        }
    return g;
}
