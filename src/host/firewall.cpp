// The source filter: limits a grant's local ports to one IPv4 source address
// or network with an ACCEPT and a DROP rule per port, made whole or not at
// all.
#include <algorithm>

#include "../log.h"
#include "commands.h"
#include "firewall.h"

namespace {

// The filter's three rules for a port, in the order they are appended: per
// port, the ACCEPT rule for the filter's source stands before the DROP rule
// for everyone else (the first rule that matches decides). The filter is
// IPv4, so no IPv6 source may pass at all.
std::vector<filter_rule> rules_of(const std::string& acl, int port)
{
    return {{"iptables", port, acl}, {"iptables", port, ""}, {"ip6tables", port, ""}};
}

bool run_rule(const char* function, const char* action, const filter_rule& rule)
{
    std::vector<std::string> words = {rule.tool, action, "INPUT"};
    if (!rule.acl.empty())
        words.insert(words.end(), {"-s", rule.acl});
    words.insert(words.end(), {"-p", "tcp", "-j", rule.acl.empty() ? "DROP" : "ACCEPT", "--dport", to_string(rule.port, std::dec)});
    return run_command(function, firewall_command, words).ok();
}

} // namespace

bool add_filter_rules(const char* function, const std::string& acl, const port_list& ports, bool& undone)
{
    std::vector<filter_rule> added;
    undone = true;
    for (int port : ports)
        for (const filter_rule& rule : rules_of(acl, port)) {
            if (!run_rule(function, "-A", rule)) {
                // Half a filter could leave a port open that the operator
                // believes filtered, or closed to its own source.
                for (auto it = added.rbegin(); it != added.rend(); ++it)
                    undone = run_rule(function, "-D", *it) && undone;
                return false;
            }
            added.push_back(rule);
        }
    return true;
}

bool delete_filter_rules(const char* function, const std::string& acl, const port_list& ports)
{
    // The chains are listed once, and only the rules that are there are
    // deleted: after a reboot, or a delete by hand, none may be. Where a
    // chain cannot be listed, every rule is deleted.
    std::vector<filter_rule> present;
    const bool listed = list_filter_rules(function, present);
    bool done = true;
    for (int port : ports)
        for (const filter_rule& rule : rules_of(acl, port)) {
            const filter_rule seen{rule.tool, port, rule.acl.empty() ? "" : canonical_filter(rule.acl)};
            if (!listed || std::find(present.begin(), present.end(), seen) != present.end())
                done = run_rule(function, "-D", rule) && done;
        }
    return done;
}

bool delete_listed_filter_rules(const char* function, const port_list& ports)
{
    // A grant's ports are its own: every rule of this shape there is its.
    std::vector<filter_rule> present;
    bool done = list_filter_rules(function, present);
    for (const filter_rule& rule : present)
        if (std::find(ports.begin(), ports.end(), rule.port) != ports.end())
            done = delete_filter_rule(function, rule) && done;
    return done;
}

bool list_filter_rules(const char* function, std::vector<filter_rule>& rules)
{
    bool listed_all = true;
    for (const char* tool : {"iptables", "ip6tables"}) {
        const command_result listed = run_command(function, query_command, {tool, "-S", "INPUT"}, true);
        if (!listed.ok()) {
            listed_all = false;
            continue;
        }
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
    return listed_all;
}

bool delete_filter_rule(const char* function, const filter_rule& rule)
{
    return run_rule(function, "-D", rule);
}

std::vector<size_t> restore_filter_rules(const char* function, const std::vector<std::pair<std::string, port_list>>& held)
{
    std::vector<size_t> failed;
    if (held.empty())
        return failed;
    std::vector<filter_rule> present;
    const bool listed = list_filter_rules(function, present);
    for (size_t i = 0; i < held.size(); ++i) {
        const std::string acl = canonical_filter(held[i].first);
        // A filter whose rules cannot be seen cannot be vouched for.
        if (!listed && !acl.empty()) {
            failed.push_back(i);
            continue;
        }
        bool right = true;
        for (int port : held[i].second) {
            // The grant's three rules for the port, each exactly once, the
            // ACCEPT rule before the DROP rule, and no other rule of this
            // daemon's shape there; otherwise all of them go and the three
            // are appended again in their order.
            std::vector<filter_rule> wanted, found;
            if (!acl.empty())
                wanted = rules_of(acl, port);
            for (const filter_rule& rule : present)
                if (rule.port == port)
                    found.push_back(rule);
            if (found == wanted)
                continue;
            for (const filter_rule& rule : found)
                right = delete_filter_rule(function, rule) && right;
            bool undone;
            if (!acl.empty())
                right = right && add_filter_rules(function, held[i].first, {port}, undone);
        }
        if (!right)
            failed.push_back(i);
    }
    return failed;
}
