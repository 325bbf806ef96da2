// The source filter: limits a grant's local ports to one IPv4 source address
// or network with an ACCEPT and a DROP rule per port.

#include "../log.h"
#include "commands.h"
#include "firewall.h"

namespace {

void run_accept_rule(const char* function, const char* action, const std::string& acl, int port)
{
    run_command(function, firewall_command,
                {"iptables", action, "INPUT", "-s", acl, "-p", "tcp", "-j", "ACCEPT", "--dport", to_string(port, std::dec)});
}

// `tool` is "iptables" or "ip6tables".
void run_drop_rule(const char* function, const char* action, const char* tool, int port)
{
    run_command(function, firewall_command, {tool, action, "INPUT", "-p", "tcp", "-j", "DROP", "--dport", to_string(port, std::dec)});
}

} // namespace

void run_filter_rules(const char* function, const char* action, const std::string& acl, const port_list& ports)
{
    // Per port, the ACCEPT rule for the filter's source stands before the
    // DROP rule for everyone else: the first rule that matches decides. The
    // filter is IPv4, so no IPv6 source may pass at all.
    for (int port : ports) {
        run_accept_rule(function, action, acl, port);
        run_drop_rule(function, action, "iptables", port);
        run_drop_rule(function, action, "ip6tables", port);
    }
}

std::vector<filter_rule> list_filter_rules(const char* function)
{
    std::vector<filter_rule> rules;
    for (const char* tool : {"iptables", "ip6tables"}) {
        const command_result listed = run_command(function, query_command, {tool, "-S", "INPUT"}, true);
        if (!listed.ok())
            continue;
        std::vector<std::string> lines;
        explode_string(listed.output, "\n", lines);
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
                rules.push_back({tool, port, canonical_filter(acl)});
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

void restore_filter_rules(const char* function, const std::vector<std::pair<std::string, port_list>>& held)
{
    if (held.empty())
        return;
    const std::vector<filter_rule> present = list_filter_rules(function);
    for (const auto& grant : held) {
        const std::string acl = canonical_filter(grant.first);
        for (int port : grant.second) {
            // The grant's three rules for the port, each exactly once, the
            // ACCEPT rule before the DROP rule, and no other rule of this
            // daemon's shape there; otherwise all of them go and the three
            // are appended again in their order.
            std::vector<filter_rule> wanted, found;
            if (!acl.empty())
                wanted = {{"iptables", port, acl}, {"iptables", port, ""}, {"ip6tables", port, ""}};
            for (const filter_rule& rule : present)
                if (rule.port == port)
                    found.push_back(rule);
            if (found == wanted)
                continue;
            for (const filter_rule& rule : found)
                delete_filter_rule(function, rule);
            if (!acl.empty())
                run_filter_rules(function, "-A", grant.first, {port});
        }
    }
}
