// The grants in memory and the free-port pool. The pool is used as a
// first-in, first-out queue so that returned ports are reused in rotation.
#include "registry.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "../log.h"

int parse_port_range(const std::string& portrange, int& start, int& stop)
{
    std::vector<std::string> pieces;
    explode_string(portrange, "-", pieces);
    if (pieces.size() != 2)
        return -1;
    int first = atoi(pieces[0].c_str());
    int last = atoi(pieces[1].c_str());
    if (first <= 0 || last > 65534 || first >= last)
        return -1;
    start = first;
    stop = last;
    return 0;
}

registry::registry(const std::string& portrange, std::string state_path) : m_state_path(std::move(state_path))
{
    if (parse_port_range(portrange, m_range_start, m_range_stop) != 0)
        return;
    for (int port = m_range_start; port < m_range_stop; ++port)
        m_free_ports.push_back(port);
}

bool registry::take_free_ports(size_t count, port_list& taken)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_free_ports.size() < count)
        return false;
    for (size_t i = 0; i < count; ++i) {
        taken.push_back(m_free_ports.front());
        m_free_ports.pop_front();
    }
    return true;
}

void registry::return_free_ports(const port_list& ports, bool front)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_free_ports.insert(front ? m_free_ports.begin() : m_free_ports.end(), ports.begin(), ports.end());
}

size_t registry::free_port_count() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_free_ports.size();
}

port_list registry::free_ports() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_free_ports;
}

bool registry::find(const std::string& name, localuser& record) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_trelvox_to_localuser_map.find(name);
    if (it == m_trelvox_to_localuser_map.end())
        return false;
    record = it->second;
    return true;
}

void registry::set_owner(const port_list& ports, unsigned uid) const
{
    if (m_port_owner)
        for (int port : ports)
            m_port_owner(port, uid);
}

void registry::store(const std::string& name, const localuser& record)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_trelvox_to_localuser_map[name] = record;
    set_owner(record.localports, record.uid);
    ++m_version;
}

bool registry::take_out(const std::string& name, time_t now, localuser& record)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_trelvox_to_localuser_map.find(name);
    if (it == m_trelvox_to_localuser_map.end())
        return false;
    record = it->second;
    record.end = std::min(record.end, now);
    m_leaving[record.username] = {name, record, record.localports, true, true};
    set_owner(record.localports, 0);
    m_trelvox_to_localuser_map.erase(it);
    ++m_version;
    return true;
}

int registry::check_acl(const std::string& name, localuser& record) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_trelvox_to_localuser_map.find(name);
    if (it == m_trelvox_to_localuser_map.end())
        return 1;
    record = it->second;
    return record.acl.empty() ? 0 : 2;
}

localuser* registry::grant_of(const std::string& name, const std::string& user)
{
    const auto live = m_trelvox_to_localuser_map.find(name);
    if (live != m_trelvox_to_localuser_map.end() && live->second.username == user)
        return &live->second;
    const auto leaving = m_leaving.find(user);
    return leaving == m_leaving.end() ? nullptr : &leaving->second.record;
}

bool registry::set_acl(const std::string& name, const localuser& record, const std::string& acl)
{
    std::lock_guard<std::mutex> hold(m_lock);
    localuser* grant = grant_of(name, record.username);
    if (!grant)
        return false;
    grant->acl = acl;
    ++m_version;
    return m_leaving.count(record.username) == 0;
}

void registry::mark_stray_rules(const std::string& name, const std::string& user)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (localuser* grant = grant_of(name, user)) {
        grant->stray_rules = true;
        ++m_version;
    }
}

bool registry::set_end(const std::string& name, const std::string& user, time_t end)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_trelvox_to_localuser_map.find(name);
    if (it == m_trelvox_to_localuser_map.end() || it->second.username != user)
        return false;
    it->second.end = end;
    ++m_version;
    return true;
}

grant_list registry::take_out_ended(time_t now)
{
    grant_list ended;
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto it = m_trelvox_to_localuser_map.begin(); it != m_trelvox_to_localuser_map.end();) {
        if (it->second.end <= now) {
            // What the state file says of it holds: it ended. So no write is
            // needed before its removal, only once it is gone.
            ended.emplace_back(it->first, it->second);
            m_leaving[it->second.username] = {it->first, it->second, it->second.localports, true, true};
            set_owner(it->second.localports, 0);
            it = m_trelvox_to_localuser_map.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

void registry::end_all(time_t now)
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto& entry : m_trelvox_to_localuser_map)
        entry.second.end = std::min(entry.second.end, now);
    ++m_version;
}

size_t registry::grant_count() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_trelvox_to_localuser_map.size();
}

void registry::add_leaving(const std::string& name, const localuser& record, bool key_copy)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_leaving[record.username] = {name, record, record.localports, key_copy, false};
    ++m_version;
}

void registry::claim_leaving(const std::string& name, const localuser& record)
{
    std::lock_guard<std::mutex> hold(m_lock);
    leaving_grant& grant = m_leaving[record.username] = {name, record, {}, true, true};
    for (int port : record.localports) {
        const auto free = std::find(m_free_ports.begin(), m_free_ports.end(), port);
        if (free != m_free_ports.end()) {
            m_free_ports.erase(free);
            grant.held.push_back(port);
        }
    }
    ++m_version;
}

bool registry::find_leaving(const std::string& user, leaving_grant& grant) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_leaving.find(user);
    if (it == m_leaving.end())
        return false;
    grant = it->second;
    return true;
}

void registry::finish_removal(const std::string& user)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const auto it = m_leaving.find(user);
    if (it == m_leaving.end())
        return;
    const port_list& held = it->second.held;
    m_free_ports.insert(it->second.made ? m_free_ports.end() : m_free_ports.begin(), held.begin(), held.end());
    m_leaving.erase(it);
    ++m_version;
}

size_t registry::leaving_count() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_leaving.size();
}

grant_list registry::grants() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return grant_list(m_trelvox_to_localuser_map.begin(), m_trelvox_to_localuser_map.end());
}

std::string registry::list(time_t now) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::string answer;
    for (const auto& entry : m_trelvox_to_localuser_map) {
        const localuser& u = entry.second;
        answer += entry.first + " => " + port_list_to_string(u.remoteports) + " => " +
                  port_list_to_string(u.localports) + " => " +
                  to_string(u.end > now ? static_cast<long long>(u.end - now) : 0LL, std::dec) + " => " +
                  u.username + "\n";
    }
    return answer;
}

bool registry::claim(const std::string& name, const localuser& record)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_trelvox_to_localuser_map.count(name))
        return false;
    const std::set<int> distinct(record.localports.begin(), record.localports.end());
    if (distinct.size() != record.localports.size())
        return false;
    for (int port : record.localports)
        if (std::find(m_free_ports.begin(), m_free_ports.end(), port) == m_free_ports.end())
            return false;
    m_free_ports.remove_if([&](int port) { return distinct.count(port) != 0; });
    m_trelvox_to_localuser_map[name] = record;
    set_owner(record.localports, record.uid);
    ++m_version;
    return true;
}

bool registry::in_range(const port_list& ports) const
{
    return std::all_of(ports.begin(), ports.end(),
                       [this](int port) { return port >= m_range_start && port < m_range_stop; });
}
