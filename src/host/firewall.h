// The source filter's firewall rules: per local port an ACCEPT rule for the
// filter's source and a DROP rule for everyone else (IPv4), and a DROP rule
// for IPv6. What the firewall lists is matched in one canonical form.
#ifndef TUNNEL_KEEPER_HOST_FIREWALL_H
#define TUNNEL_KEEPER_HOST_FIREWALL_H

#include <string>
#include <utility>
#include <vector>

#include "../text.h"

// Runs the filter's three rules for each port, with `action` "-A" to append
// them or "-D" to delete them.
void run_filter_rules(const char* function, const char* action, const std::string& acl, const port_list& ports);

// A rule of the daemon's shape as "iptables -S INPUT" and "ip6tables -S
// INPUT" list it now: the ACCEPT rule from `acl` (canonical), or (with `acl`
// empty) the DROP rule of `tool`.
struct filter_rule {
    std::string tool;
    int port;
    std::string acl;
};
inline bool operator==(const filter_rule& a, const filter_rule& b)
{
    return a.tool == b.tool && a.port == b.port && a.acl == b.acl;
}
std::vector<filter_rule> list_filter_rules(const char* function);
void delete_filter_rule(const char* function, const filter_rule& rule);

// For each grant (its filter, empty for none, and its ports) makes the rules
// of the daemon's shape on its ports exactly its own: the three of its
// filter once each, in order, or none.
void restore_filter_rules(const char* function, const std::vector<std::pair<std::string, port_list>>& held);

#endif
