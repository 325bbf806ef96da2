#include "telnet_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

namespace {

// Client descriptors must be below this number to be served. Clients are the
// descriptors in the select set besides the listening socket; the answer is
// written to the socket directly (see send_all), so no stream is needed.
const int max_client_fd = 128;
// One request is what a single read returns, at most this many bytes.
const int max_request = 2048;

// Writes the whole text to a client. MSG_NOSIGNAL keeps a client that has
// already gone from raising SIGPIPE, without changing the signal disposition
// that the shell commands inherit.
void send_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// The uid that owns the client's end of a loopback TCP connection, asked of
// the kernel for exactly that socket: one NETLINK_SOCK_DIAG lookup by the
// connection's four addresses and ports, whatever the number of sockets on
// the host. False when the kernel does not know the socket or it has no
// owner any more (closed: a time-wait or orphaned socket reports uid 0).
bool connection_owner_uid(int diag_fd, int fd, unsigned& uid)
{
    struct sockaddr_in local, peer;
    socklen_t local_len = sizeof local, peer_len = sizeof peer;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &local_len) != 0 ||
        getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0)
        return false;
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 request;
    } message;
    memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    static unsigned sequence = 0;  // the main thread alone asks
    message.header.nlmsg_seq = ++sequence;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0U;
    // The client's socket: its source is our peer, its destination us.
    message.request.id.idiag_sport = peer.sin_port;
    message.request.id.idiag_dport = local.sin_port;
    message.request.id.idiag_src[0] = peer.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = local.sin_addr.s_addr;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (sendto(diag_fd, &message, sizeof message, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) < 0)
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
    const struct inet_diag_msg* found = static_cast<const struct inet_diag_msg*>(NLMSG_DATA(&reply.header));
    if (found->idiag_inode == 0)
        return false;
    uid = found->idiag_uid;
    return true;
}

} // namespace

telnet_server::telnet_server()
    : m_init_success(0), m_socket_fd(-1), m_listen_port(55444), m_timeout(3600),
      m_timer_thread(), m_lock()
{
    fill_free_port_list("20000-21000");
    init();
}

telnet_server::telnet_server(std::string sship, int port, std::string port_range, int timeout)
    : m_init_success(0), m_socket_fd(-1), m_listen_port(port), m_sship(sship),
      m_timeout(timeout), m_timer_thread(), m_lock()
{
    fill_free_port_list(port_range);
    init();
}

telnet_server::~telnet_server() {}

int telnet_server::init_success()
{
    return m_init_success;
}

int telnet_server::set_ssh_ip(std::string ip)
{
    m_sship = ip;
    return 0;
}

void telnet_server::set_allowed_uids(std::vector<unsigned> uids)
{
    m_allowed_uids = uids;
}

void telnet_server::set_key_type(std::string type)
{
    m_key_type = type;
}

int telnet_server::init()
{
    struct sockaddr_in addr;
    int one = 1;

    // Close-on-exec, so that the shell commands do not inherit the socket.
    m_socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket_fd < 0)
        goto error;
    if (setsockopt(m_socket_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        goto error;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    addr.sin_port = htons(static_cast<uint16_t>(m_listen_port));
    if (bind(m_socket_fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
        goto error;
    if (listen(m_socket_fd, 5) < 0)
        goto error;
    // Without it no caller can be checked, and so none served. The kernel
    // answers at once; the time-out only keeps a lost answer from stopping
    // the loop.
    m_diag_fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (m_diag_fd < 0)
        goto error;
    {
        struct timeval limit = {1, 0};
        if (setsockopt(m_diag_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0)
            goto error;
    }

    m_init_success = 1;

    if (m_sship.empty()) {
        char mac[64] = "";
        char ip[64] = "";
        get_net_info_for_first_non_loopback(mac, ip);
        m_sship = ip;
        log_msg("init", "hostname %s\n", ip);
        log_msg("init", "hostmac %s\n", mac);
    }

    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_lock, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    pthread_create(&m_timer_thread, nullptr, timer, this);
    return 1;

error:
    log_msg("init", "Error setting up status server!");
    m_init_success = 0;
    return -1;
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

int telnet_server::new_client()
{
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    return accept4(m_socket_fd, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_CLOEXEC);
}

int telnet_server::read_tcp(int fd, char* buf, int* buflen)
{
    errno = 0;
    ssize_t n = read(fd, buf, static_cast<size_t>(*buflen));
    *buflen = static_cast<int>(n);
    return n > 0 ? 1 : 0;
}

bool telnet_server::caller_is_allowed(int fd)
{
    unsigned uid;
    if (!connection_owner_uid(m_diag_fd, fd, uid)) {
        log_msg("run", "refused control connection from an unknown uid\n");
        return false;
    }
    if (uid == 0 || std::find(m_allowed_uids.begin(), m_allowed_uids.end(), uid) != m_allowed_uids.end())
        return true;
    log_msg("run", "refused control connection from uid %u\n", uid);
    return false;
}

void telnet_server::shutdown_wait()
{
    // The registry is emptied by the expiry thread; its size is read under
    // m_lock, and the process exits still holding it so that no new pass
    // can start while the process ends.
    int counter = 0;
    for (int i = 0; i < 20; ++i) {
        pthread_mutex_lock(&m_lock);
        if (m_trelvox_to_localuser_map.empty()) {
            log_msg("run", "shutting down took %i seconds\n", counter);
            exit(0);
        }
        pthread_mutex_unlock(&m_lock);
        ++counter;
        sleep(1);
    }
    log_msg("run", "shutting down took more than %i seconds\n", counter);
    exit(0);
}

void telnet_server::serve_client(int fd, char* msgbuf, int msgbuflen)
{
    if (msgbuflen <= 0) {
        log_msg("run", "client disconnect %i\n", fd);
        close(fd);
        return;
    }
    // The request ends at the first NUL byte, if there is one.
    msgbuf[msgbuflen] = '\0';
    std::string request(msgbuf);
    // Control bytes inside the request are logged escaped, so that no
    // request writes a log line of its own; its line end stays.
    const std::string::size_type end = request.find_last_not_of("\r\n") + 1;
    log_msg("run", "read %s%s", escape_text(request.substr(0, end)).c_str(), request.c_str() + end);
    std::string answer = create_answer_for_request(request);
    if (answer == "SHUTDOWN")
        shutdown_wait();
    send_all(fd, answer + "\n");
    log_msg("run", "answering: %s\n", answer.c_str());
    close(fd);
}

int telnet_server::run()
{
    fd_set state;
    fd_set readfds;
    int maxfd = m_socket_fd;
    char msgbuf[max_request + 1];

    FD_ZERO(&state);
    FD_SET(m_socket_fd, &state);

    for (;;) {
        readfds = state;
        struct timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = 100000;
        errno = 0;
        int ready = select(maxfd + 1, &readfds, nullptr, nullptr, &tv);
        if (ready == 0)
            continue;
        if (ready < 0) {
            int err = errno;
            log_msg("run", "TELNET ERROR: select returned %i (%s) - sleeping for 0.5 seconds\n",
                    err, strerror(err));
            errno = 0;
            usleep(500000);
            continue;
        }

        bool flag = false;
        if (FD_ISSET(m_socket_fd, &readfds)) {
            flag = true;
            int fd = new_client();
            if (fd < 0) {
                int err = errno;
                log_msg("run", "accept of new client failed: rfd %i errno %i (%s)\n",
                        fd, err, strerror(err));
                errno = 0;
            } else if (fd >= max_client_fd) {
                log_msg("run", "NOT ENOUGH FILE DESCRIPTORS: got fd %i", fd);
                close(fd);
                continue;
            } else if (caller_is_allowed(fd)) {
                // A client sends its request right after it connects: when
                // it is there already, it is served without another select.
                const ssize_t n = recv(fd, msgbuf, max_request, MSG_DONTWAIT);
                if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    serve_client(fd, msgbuf, static_cast<int>(n));
                } else {
                    FD_SET(fd, &state);
                    if (fd > maxfd)
                        maxfd = fd;
                }
            } else {
                // Refused before anything is read: the request changes nothing.
                send_all(fd, "ERROR\n");
                close(fd);
            }
        }

        for (int fd = 0; fd <= maxfd; ++fd) {
            if (fd == m_socket_fd || !FD_ISSET(fd, &readfds))
                continue;
            flag = true;
            int msgbuflen = max_request;
            read_tcp(fd, msgbuf, &msgbuflen);
            FD_CLR(fd, &state);
            serve_client(fd, msgbuf, msgbuflen);
        }

        if (!flag) {
            log_msg("run", "status server fail - nothing to do though select said so: %s",
                    strerror(errno));
            errno = 0;
            usleep(500000);
        }
    }
    return 0;
}

std::string telnet_server::create_answer_for_request(std::string request)
{
    chomp(request);
    std::vector<std::string> fields;
    explode_string(request, ":", fields);
    const std::string command = fields.empty() ? std::string() : fields[0];
    // A device name goes into log lines and "list" lines: a control byte
    // in it could write lines of the caller's choosing.
    if (fields.size() >= 2 && has_control_byte(fields[1])) {
        log_msg("create_answer_for_request", "refused device name |%s|\n", escape_text(fields[1]).c_str());
        return "ERROR";
    }

    if (fields.size() == 3 && command == "request") {
        remove_temp_user(fields[1]);
        std::vector<std::string> ports;
        explode_string(fields[2], ",", ports);
        std::string answer;
        add_temp_user(fields[1], ports, answer);
        return answer;
    }
    if (fields.size() == 3 && command == "acl")
        return filter_ports(fields[1], fields[2]);
    if (fields.size() == 2 && command == "status")
        return connection_status(fields[1]);
    if (fields.size() == 2 && command == "release")
        return remove_temp_user(fields[1]) == -1 ? "ERROR" : "OK";
    if (fields.size() == 2 &&
        (command == "localports" || command == "remoteports" || command == "key")) {
        localuser record;
        {
            lock_hold hold(m_lock);
            std::map<std::string, localuser>::const_iterator it =
                m_trelvox_to_localuser_map.find(fields[1]);
            if (it == m_trelvox_to_localuser_map.end())
                return "ERROR";
            record = it->second;
        }
        if (command == "localports")
            return port_list_to_string(record.localports);
        if (command == "remoteports")
            return port_list_to_string(record.remoteports);
        return "/tmp/" + record.username + ".key";
    }
    if (fields.size() == 1 && command == "list") {
        lock_hold hold(m_lock);
        std::string answer;
        for (const auto& entry : m_trelvox_to_localuser_map) {
            const localuser& u = entry.second;
            answer += entry.first + " => " + port_list_to_string(u.remoteports) + " => " +
                      port_list_to_string(u.localports) + " => " +
                      to_string(u.time_left, std::dec) + " => " + u.username + "\n";
        }
        return answer;
    }
    if (fields.size() == 1 && command == "shutdown") {
        lock_hold hold(m_lock);
        for (auto& entry : m_trelvox_to_localuser_map)
            entry.second.time_left = 1;
        return "SHUTDOWN";
    }
    return "ERROR";
}
