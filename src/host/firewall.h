// The source filter's firewall rules: per local port an ACCEPT rule for the
// filter's source and a DROP rule for everyone else (IPv4), and a DROP rule
// for IPv6. What the firewall lists is matched in one canonical form.
#ifndef TUNNEL_KEEPER_HOST_FIREWALL_H
#define TUNNEL_KEEPER_HOST_FIREWALL_H

#include <string>
#include <utility>
#include <vector>

#include "../text.h"

// A rule of the daemon's shape: the ACCEPT rule of `tool` "iptables" from
// `acl` (as "iptables -S INPUT" lists it: canonical), or, with `acl` empty,
// the DROP rule of `tool` ("iptables" or "ip6tables").
struct filter_rule {
    std::string tool;
    int port;
    std::string acl;
};
inline bool operator==(const filter_rule& a, const filter_rule& b)
{
    return a.tool == b.tool && a.port == b.port && a.acl == b.acl;
}

// Appends the filter's three rules for each port, in order. When one
// fails, those already appended are deleted again: false; `undone` tells
// whether that left no rule of it behind.
bool add_filter_rules(const char* function, const std::string& acl, const port_list& ports, bool& undone);
// Deletes the filter's three rules for each port that the firewall lists
// (all of them when it cannot be listed), all of them even when one fails;
// false when any failed.
bool delete_filter_rules(const char* function, const std::string& acl, const port_list& ports);
// Deletes every rule of the daemon's shape that the firewall lists on the
// ports, whatever its source (a retry after a delete failed, or rules an
// undo left); false when the list cannot be read or a delete fails.
bool delete_listed_filter_rules(const char* function, const port_list& ports);

// The rules of the daemon's shape in both INPUT chains; false when a chain
// cannot be listed.
bool list_filter_rules(const char* function, std::vector<filter_rule>& rules);
bool delete_filter_rule(const char* function, const filter_rule& rule);

// For each grant (its filter, empty for none, and its ports) makes the rules
// of the daemon's shape on its ports exactly its own: the three of its
// filter once each, in order, or none. Returns the grants (their positions
// in `held`) whose rules could not be put right.
std::vector<size_t> restore_filter_rules(const char* function, const std::vector<std::pair<std::string, port_list>>& held);

#endif
