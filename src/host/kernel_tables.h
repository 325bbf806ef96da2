// The kernel's socket tables, asked through NETLINK_SOCK_DIAG, and binds
// that prove a port free: whether a pool port may go to a grant, the state
// of a grant's ports ("status"), and the owner of one connection (for the
// caller check). Cost follows what is asked for, not the number of other
// sockets on the host, but for a port that a bind finds taken and no
// listener explains.
#ifndef TUNNEL_KEEPER_HOST_KERNEL_TABLES_H
#define TUNNEL_KEEPER_HOST_KERNEL_TABLES_H

#include <netinet/in.h>
#include <vector>

// A TCP socket, IPv4 or IPv6: its own port and the uid that owns it; a
// remnant of a closed connection (time-wait or orphaned) belongs to no one.
struct tcp_socket {
    int port;
    unsigned uid;
    bool remnant;
};

// Every listening TCP socket of the host's network namespace. Empty when the
// kernel cannot be asked.
std::vector<tcp_socket> read_listening_sockets();

// True when no socket holds `port`: the daemon can bind it on 0.0.0.0 and
// on [::] (IPv6 only) without SO_REUSEADDR, which any other socket bound to
// the port refuses, listening or not, with or without SO_REUSEADDR; so does a
// remnant of a closed connection, for as long as it lasts.
bool port_is_free(int port);

// The TCP sockets of the namespace, as one answer needs them: the listeners
// at once, the others (connections, remnants) when a port first needs them.
struct socket_tables {
    std::vector<tcp_socket> listeners = read_listening_sockets();
    std::vector<tcp_socket> others;
    bool others_read = false;
};

// True when a socket that is not `owner`'s (0: no one's) holds `port`: a
// listener, a connection, or a socket that is only bound (one bound before
// the port guard was on, say). Remnants of closed connections do not count.
bool port_is_held(int port, unsigned owner, socket_tables& tables);

// A NETLINK_SOCK_DIAG socket for connection_owner_uid; -1 on failure.
int open_sock_diag();

// The uid that owns the client's end of the IPv4 TCP connection from `peer`
// to `local`, asked of the kernel for exactly that socket. False when the
// kernel knows no such connected socket: none, one closed or orphaned (a
// time-wait or orphaned socket reports uid 0 and inode 0), or another socket
// on the client's address (a listener, say).
bool connection_owner_uid(int diag_fd, const struct sockaddr_in& local, const struct sockaddr_in& peer, unsigned& uid);

// Finds the hardware and IPv4 address of the first usable non-loopback
// interface. `mac` needs 18 characters, `ip` 16. 0 on success, else -1 with
// both texts empty.
int get_net_info_for_first_non_loopback(char* mac, char* ip);

#endif
