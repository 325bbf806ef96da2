// The source filter: limits a grant's local ports to one IPv4 source address
// or network with an ACCEPT and a DROP rule per port.
#include <cstdlib>

#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

namespace {

// One decimal octet 0 to 255, without leading zeros (the firewall would read
// "010" as octal).
bool parse_octet(const std::string& text, unsigned& value)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    if (text.size() > 1 && text[0] == '0')
        return false;
    value = static_cast<unsigned>(atoi(text.c_str()));
    return value <= 255;
}

bool parse_dotted_quad(const std::string& text, unsigned long& address)
{
    // Split by hand: empty pieces must count as errors here.
    address = 0;
    std::string::size_type begin = 0;
    for (int i = 0; i < 4; ++i) {
        std::string::size_type end = text.find('.', begin);
        if ((i < 3) != (end != std::string::npos))
            return false;
        unsigned octet;
        if (!parse_octet(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin), octet))
            return false;
        address = (address << 8) | octet;
        begin = end + 1;
    }
    return true;
}

} // namespace

bool is_valid_source_filter(const std::string& filter)
{
    std::string::size_type slash = filter.find('/');
    unsigned long address;
    if (!parse_dotted_quad(filter.substr(0, slash), address))
        return false;
    if (slash == std::string::npos)
        return true;
    std::string mask = filter.substr(slash + 1);
    if (mask.find('.') == std::string::npos) {
        if (mask.empty() || mask.size() > 2 || mask.find_first_not_of("0123456789") != std::string::npos)
            return false;
        return atoi(mask.c_str()) <= 32;
    }
    unsigned long bits;
    if (!parse_dotted_quad(mask, bits))
        return false;
    // A netmask is a run of ones followed by a run of zeros.
    unsigned long inverted = ~bits & 0xffffffffUL;
    return (inverted & (inverted + 1)) == 0;
}

std::string telnet_server::filter_ports(std::string name, std::string acl)
{
    if (!is_valid_source_filter(acl)) {
        log_msg("filter_ports", "acl for %s |%s| seems to be invalid\n", name.c_str(), escape_text(acl).c_str());
        return "ERROR";
    }

    lock_hold hold(m_lock);
    std::map<std::string, localuser>::iterator it = m_trelvox_to_localuser_map.find(name);
    if (it == m_trelvox_to_localuser_map.end()) {
        log_msg("filter_ports", "couldn't find |%s|\n", name.c_str());
        return "ERROR";
    }
    localuser& record = it->second;
    if (!record.acl.empty()) {
        log_msg("filter_ports", "acl for %s |%s| already set\n", name.c_str(), record.acl.c_str());
        return "ERROR";
    }
    record.acl = acl;
    run_filter_rules("filter_ports", "-A", record);
    save_grants();
    return "OK";
}

namespace {

void run_accept_rule(const char* function, const char* action, const std::string& acl, int port)
{
    run_command(function, firewall_command, "iptables %s INPUT -s %s -p tcp -j ACCEPT --dport %d", action,
                acl.c_str(), port);
}

// `tool` is "iptables" or "ip6tables".
void run_drop_rule(const char* function, const char* action, const char* tool, int port)
{
    run_command(function, firewall_command, "%s %s INPUT -p tcp -j DROP --dport %d", tool, action, port);
}

} // namespace

void run_filter_rules(const char* function, const char* action, const localuser& record)
{
    // Per port, the ACCEPT rule for the filter's source stands before the
    // DROP rule for everyone else: the first rule that matches decides. The
    // filter is IPv4, so no IPv6 source may pass at all.
    for (int port : record.localports) {
        run_accept_rule(function, action, record.acl, port);
        run_drop_rule(function, action, "iptables", port);
        run_drop_rule(function, action, "ip6tables", port);
    }
}

std::vector<filter_rule> list_filter_rules(const char* function)
{
    std::vector<filter_rule> rules;
    for (const char* tool : {"iptables", "ip6tables"}) {
        std::vector<std::string> lines;
        if (read_command_output(function, std::string(tool) + " -S INPUT", lines) != 0)
            continue;
        // The chain lists this daemon's rules as
        //   -A INPUT -s 10.1.2.0/24 -p tcp -m tcp --dport 20000 -j ACCEPT
        //   -A INPUT -p tcp -m tcp --dport 20000 -j DROP
        // Only a checked filter and a checked port are taken from a line.
        for (const std::string& line : lines) {
            std::vector<std::string> words;
            explode_string(line, " ", words);
            int port;
            if (words.size() < 10 || !parse_port_number(words[words.size() - 3], port))
                continue;
            const std::string tail = " -p tcp -m tcp --dport " + to_string(port, std::dec) + " -j ";
            const std::string acl = words[3];
            if (std::string(tool) == "iptables" && line == "-A INPUT -s " + acl + tail + "ACCEPT" && is_valid_source_filter(acl))
                rules.push_back({tool, port, acl});
            else if (line == "-A INPUT" + tail + "DROP")
                rules.push_back({tool, port, ""});
        }
    }
    return rules;
}

void delete_filter_rule(const char* function, const filter_rule& rule)
{
    if (rule.acl.empty())
        run_drop_rule(function, "-D", rule.tool.c_str(), rule.port);
    else
        run_accept_rule(function, "-D", rule.acl, rule.port);
}

void restore_filter_rules(const char* function, const std::vector<localuser>& grants)
{
    std::vector<filter_rule> present;
    bool listed = false;
    for (const localuser& grant : grants) {
        if (grant.acl.empty())
            continue;
        if (!listed)
            present = list_filter_rules(function);
        listed = true;
        for (int port : grant.localports) {
            // The grant's three rules for the port, each exactly once, and
            // the ACCEPT rule before the DROP rule: otherwise all copies go
            // and the three are appended again in their order.
            std::vector<filter_rule> copies;
            int accept = 0, drop = 0, drop6 = 0;
            for (const filter_rule& rule : present) {
                if (rule.port != port || !(rule.acl.empty() || rule.acl == grant.acl))
                    continue;
                copies.push_back(rule);
                if (!rule.acl.empty())
                    ++accept;
                else if (rule.tool == "iptables")
                    ++drop;
                else
                    ++drop6;
            }
            const bool ordered = !copies.empty() && !copies.front().acl.empty();
            if (accept == 1 && drop == 1 && drop6 == 1 && ordered)
                continue;
            for (const filter_rule& rule : copies)
                delete_filter_rule(function, rule);
            localuser one = grant;
            one.localports = {port};
            run_filter_rules(function, "-A", one);
        }
    }
}
