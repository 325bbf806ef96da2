// The kernel's socket tables, asked through NETLINK_SOCK_DIAG: the listening
// TCP sockets (for the busy-port skip and "status") and the owner of one
// connection (for the caller check). Cost follows what is asked for, not the
// number of other sockets on the host.
#ifndef TUNNEL_KEEPER_HOST_KERNEL_TABLES_H
#define TUNNEL_KEEPER_HOST_KERNEL_TABLES_H

#include <netinet/in.h>
#include <vector>

// A TCP socket in the LISTEN state, IPv4 or IPv6, and the uid that owns it.
struct listening_socket {
    int port;
    unsigned uid;
};

// Every listening TCP socket of the host's network namespace. Empty when the
// kernel cannot be asked.
std::vector<listening_socket> read_listening_sockets();

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
