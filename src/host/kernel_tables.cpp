#include "kernel_tables.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <cstdio>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct diag_request {
    struct nlmsghdr header;
    struct inet_diag_req_v2 request;
};

bool send_request(int diag_fd, diag_request& message)
{
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    return sendto(diag_fd, &message, sizeof message, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) ==
           static_cast<ssize_t>(sizeof message);
}

diag_request make_request(unsigned char family, unsigned states, unsigned short flags, unsigned sequence)
{
    diag_request message;
    memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = flags;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = states;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return message;
}

// Appends the TCP sockets of one address family whose state is in `states`
// (a mask of 1 << TCP_*); false when the dump failed.
bool dump_sockets(int diag_fd, unsigned char family, unsigned states, std::vector<tcp_socket>& found)
{
    // The kernel walks only the tables that hold these states: its table of
    // listening sockets for TCP_LISTEN alone.
    diag_request message = make_request(family, states, NLM_F_REQUEST | NLM_F_DUMP, family);
    if (!send_request(diag_fd, message))
        return false;
    alignas(struct nlmsghdr) char buf[32768];
    for (;;) {
        const ssize_t n = recv(diag_fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        size_t left = static_cast<size_t>(n);
        for (const struct nlmsghdr* h = reinterpret_cast<const struct nlmsghdr*>(buf); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != family)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR)
                return false;
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
                continue;
            const struct inet_diag_msg* socket = static_cast<const struct inet_diag_msg*>(NLMSG_DATA(h));
            found.push_back({ntohs(socket->id.idiag_sport), socket->idiag_uid, socket->idiag_inode == 0});
        }
    }
}

std::vector<tcp_socket> read_sockets(unsigned states)
{
    std::vector<tcp_socket> found;
    const int fd = open_sock_diag();
    if (fd < 0)
        return found;
    if (dump_sockets(fd, AF_INET, states, found))
        dump_sockets(fd, AF_INET6, states, found);
    close(fd);
    return found;
}

// False when a bind of `port` on the wildcard address of `family` (IPv6
// alone for AF_INET6), without SO_REUSEADDR, finds the port in use. Any
// other failure says nothing of other sockets: no IPv6 on the host, or a
// port below 1024 that the unit's capabilities do not let the daemon bind.
bool binds(int family, int port)
{
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    const int on = 1;
    struct sockaddr_in6 any6 = {};
    struct sockaddr_in any4 = {};
    any6.sin6_family = AF_INET6;
    any6.sin6_port = htons(static_cast<uint16_t>(port));
    any4.sin_family = AF_INET;
    any4.sin_port = any6.sin6_port;
    const bool bound = family == AF_INET6
                           ? setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0 &&
                                 bind(fd, reinterpret_cast<const struct sockaddr*>(&any6), sizeof any6) == 0
                           : bind(fd, reinterpret_cast<const struct sockaddr*>(&any4), sizeof any4) == 0;
    const bool in_use = !bound && errno == EADDRINUSE;
    close(fd);
    return !in_use;
}

} // namespace

int open_sock_diag()
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    // The kernel answers at once; the time-out only keeps a lost answer
    // from stopping the caller.
    struct timeval limit = {1, 0};
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<tcp_socket> read_listening_sockets()
{
    return read_sockets(1U << TCP_LISTEN);
}

bool port_is_free(int port)
{
    return binds(AF_INET, port) && binds(AF_INET6, port);
}

bool port_is_held(int port, unsigned owner, socket_tables& tables)
{
    bool listened = false;
    for (const tcp_socket& s : tables.listeners) {
        if (s.port != port)
            continue;
        if (owner == 0 || s.uid != owner)
            return true;
        listened = true;
    }
    if (listened || port_is_free(port))
        return false;
    // Taken by a socket that does not listen: a connection of anyone else,
    // or, when no connection uses the port, a socket that is only bound.
    // Remnants of closed connections (time-wait, orphaned: inode 0) hold it
    // only until they end.
    if (!tables.others_read)
        tables.others = read_sockets(~(1U << TCP_LISTEN));
    tables.others_read = true;
    bool remnant = false;
    for (const tcp_socket& s : tables.others) {
        if (s.port != port)
            continue;
        if (!s.remnant && (owner == 0 || s.uid != owner))
            return true;
        remnant = true;
    }
    return !remnant;
}

bool connection_owner_uid(int diag_fd, const struct sockaddr_in& local, const struct sockaddr_in& peer, unsigned& uid)
{
    static unsigned sequence = 0;  // the control loop alone asks on its socket
    diag_request message = make_request(AF_INET, ~0U, NLM_F_REQUEST, ++sequence);
    // The client's socket: its source is our peer, its destination us.
    message.request.id.idiag_sport = peer.sin_port;
    message.request.id.idiag_dport = local.sin_port;
    message.request.id.idiag_src[0] = peer.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = local.sin_addr.s_addr;
    if (!send_request(diag_fd, message))
        return false;
    union {
        struct nlmsghdr header;
        char bytes[1024];
    } reply;
    // A reply to an earlier request that timed out is skipped.
    ssize_t n;
    do
        n = recv(diag_fd, &reply, sizeof reply, 0);
    while (n >= static_cast<ssize_t>(sizeof reply.header) && reply.header.nlmsg_seq != sequence);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(struct inet_diag_msg))) ||
        !NLMSG_OK(&reply.header, static_cast<size_t>(n)) || reply.header.nlmsg_type != SOCK_DIAG_BY_FAMILY)
        return false;
    // The kernel answers with whatever socket holds the client's address: a
    // connection of another process, or a listening socket, once the
    // client's own is gone. Only a socket connected to us counts: from the
    // peer's address to the control port, not closed (an orphaned socket
    // reports inode 0), its state one a client's end can be in while we
    // hold ours (it may have half-closed after sending).
    const struct inet_diag_msg* found = static_cast<const struct inet_diag_msg*>(NLMSG_DATA(&reply.header));
    const unsigned connected = 1U << TCP_ESTABLISHED | 1U << TCP_FIN_WAIT1 | 1U << TCP_FIN_WAIT2;
    if (found->idiag_inode == 0 || !(connected & (1U << found->idiag_state)) || found->id.idiag_sport != peer.sin_port ||
        found->id.idiag_src[0] != peer.sin_addr.s_addr || found->id.idiag_dport != local.sin_port ||
        found->id.idiag_dst[0] != local.sin_addr.s_addr)
        return false;
    uid = found->idiag_uid;
    return true;
}

int get_net_info_for_first_non_loopback(char* mac, char* ip)
{
    mac[0] = '\0';
    ip[0] = '\0';
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return -1;

    char buf[1024];
    struct ifconf ifc;
    ifc.ifc_len = sizeof buf;
    ifc.ifc_buf = buf;
    int count = 0;
    // A failed list query is treated as an empty list.
    if (ioctl(sock, SIOCGIFCONF, &ifc) == 0)
        count = ifc.ifc_len / static_cast<int>(sizeof(struct ifreq));

    bool found = false;
    for (int i = 0; i < count; ++i) {
        struct ifreq ifr;
        memset(&ifr, 0, sizeof ifr);
        memcpy(ifr.ifr_name, ifc.ifc_req[i].ifr_name, IFNAMSIZ);
        ifr.ifr_name[IFNAMSIZ - 1] = '\0';
        if (strcmp(ifr.ifr_name, "lo") == 0)
            continue;
        mac[0] = '\0';
        ip[0] = '\0';
        if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0 || (ifr.ifr_flags & IFF_LOOPBACK))
            break;
        if (ioctl(sock, SIOCGIFHWADDR, &ifr) != 0)
            continue;
        // Unsigned bytes: a signed 0xc0 would print as ffffffc0.
        const unsigned char* hw = reinterpret_cast<const unsigned char*>(ifr.ifr_hwaddr.sa_data);
        snprintf(mac, 18, "%02x:%02x:%02x:%02x:%02x:%02x",
                 hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
        if (ioctl(sock, SIOCGIFADDR, &ifr) != 0)
            break;
        const struct sockaddr_in* sin = reinterpret_cast<const struct sockaddr_in*>(&ifr.ifr_addr);
        uint32_t a = ntohl(sin->sin_addr.s_addr);
        snprintf(ip, 16, "%i.%i.%i.%i", static_cast<int>((a >> 24) & 0xff),
                 static_cast<int>((a >> 16) & 0xff), static_cast<int>((a >> 8) & 0xff),
                 static_cast<int>(a & 0xff));
        found = true;
        break;
    }
    close(sock);
    if (found)
        return 0;
    mac[0] = '\0';
    ip[0] = '\0';
    return -1;
}

