// The port guard: a cgroup-BPF program on the root of the cgroup v2
// hierarchy that refuses (EPERM) every TCP bind() to a pool port in the
// daemon's network namespace, but for root and the account of the grant
// that holds the port. Without it, any local account could listen on a
// grant's port before its device does, and receive the operator's
// connections meant for the device.
#ifndef TUNNEL_KEEPER_HOST_PORT_GUARD_H
#define TUNNEL_KEEPER_HOST_PORT_GUARD_H

#include <string>

// Arms the guard for the pool ports `start` to `stop` - 1, each at first
// root's alone. Its links are pinned in the BPF file system, one guard per
// network namespace, so that it stays while the daemon is down: a start
// puts its program into the links the last run left, never leaving the
// ports unguarded. A guard that an earlier run attached the old way (no
// link) is detached. False, with the reason in `why`, when the kernel or
// the host cannot have it (the daemon then works without it).
bool arm_port_guard(int start, int stop, std::string& why);

// Detaches the guard and removes its pins: once no grant is left (a
// shutdown that leaves the host clean).
void remove_port_guard();

// Detaches and unpins the guard that an earlier run left in this network
// namespace, if any (a start with the guard turned off).
void remove_leftover_guard();

// The pool ports (`start` to `stop` - 1) that the kernel may give a socket
// that listens or connects without a bind, which no bind hook sees: those in
// net.ipv4.ip_local_port_range and not in net.ipv4.ip_local_reserved_ports,
// as "a-b,c"; empty when there are none. `reserved` gets the reserved ports
// as the kernel lists them.
std::string unreserved_ephemeral_ports(int start, int stop, std::string& reserved);

// Adds the pool ports (`start` to `stop` - 1) that are not reserved yet to
// net.ipv4.ip_local_reserved_ports, beside the ports reserved there already
// (the operator's, say), never in their place; logged before, and when it
// fails.
void reserve_pool_ports(int start, int stop);

// True once the guard is armed.
bool port_guard_armed();

// Lets `uid` bind `port` besides root (0: root alone). Ports outside the
// pool, and every call while the guard is off, change nothing.
void guard_port(int port, unsigned uid);

#endif
