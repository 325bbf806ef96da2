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
// root's alone. The program stays attached through links that the kernel
// drops when the process ends, however it ends; a guard that an earlier
// run left attached the old way is detached first. False, with the reason
// in `why`, when the kernel or the host cannot have it (the daemon then
// works without it).
bool arm_port_guard(int start, int stop, std::string& why);

// True once the guard is armed.
bool port_guard_armed();

// Lets `uid` bind `port` besides root (0: root alone). Ports outside the
// pool, and every call while the guard is off, change nothing.
void guard_port(int port, unsigned uid);

#endif
