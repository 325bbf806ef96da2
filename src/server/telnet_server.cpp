// The connection loop and the caller check.
#include "telnet_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../host/commands.h"
#include "../host/kernel_tables.h"
#include "../host/port_guard.h"
#include "../log.h"
#include "../metrics.h"

namespace {

// Client descriptors must be below this number to be served. Clients are the
// descriptors in the select set besides the listening socket; the answer is
// written to the socket directly (see send_all), so no stream is needed.
const int max_client_fd = 128;
// One request is what a single read returns, at most this many bytes.
const int max_request = 2048;

// Writes the whole text to a client. MSG_NOSIGNAL keeps a client that has
// already gone from raising SIGPIPE, without changing the signal disposition
// that the host commands inherit.
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

// Sends the answer of one request and closes its connection.
void answer_client(int fd, const std::string& command, const std::string& answer)
{
    metrics.count_request(command, answer != "ERROR");
    send_all(fd, answer + "\n");
    // A monitoring poll every few seconds would otherwise fill the log with
    // its figures: a metrics answer is logged as its size only.
    if (command == "metrics" && answer != "ERROR")
        log_msg("run", "answering: metrics, %zu bytes\n", answer.size() + 1);
    else
        log_msg("run", "answering: %s\n", answer.c_str());
    close(fd);
}

// True while our end of a connection still stands: the client may have
// half-closed it (CLOSE_WAIT), but it was not reset or closed.
bool connection_stands(int fd)
{
    struct tcp_info info;
    socklen_t len = sizeof info;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
           (info.tcpi_state == TCP_ESTABLISHED || info.tcpi_state == TCP_CLOSE_WAIT);
}

// Ends the process without running the destructors of static objects, which
// the host's threads may still be using.
[[noreturn]] void end_process(int status)
{
    fflush(nullptr);  // the log, or standard output when it is the log
    _exit(status);
}

} // namespace

telnet_server::telnet_server(registry& grants, host& changes, int port, std::vector<unsigned> allowed_uids)
    : m_grants(grants), m_host(changes), m_listen_port(port), m_allowed_uids(std::move(allowed_uids))
{
    init();
}

int telnet_server::init_success()
{
    return m_init_success;
}

int telnet_server::init()
{
    struct sockaddr_in addr;
    int one = 1;

    // Close-on-exec, so that the host commands do not inherit the socket.
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
    {
        // Every caller connects to this address (its port is the one bound
        // when the control port was given as 0).
        socklen_t len = sizeof m_address;
        if (getsockname(m_socket_fd, reinterpret_cast<struct sockaddr*>(&m_address), &len) != 0)
            goto error;
    }
    // Without it no caller can be checked, and so none served.
    m_diag_fd = open_sock_diag();
    if (m_diag_fd < 0)
        goto error;
    m_init_success = 1;
    return 1;

error:
    log_msg("init", "Error setting up status server!");
    m_init_success = 0;
    return -1;
}

int telnet_server::new_client(struct sockaddr_in& peer)
{
    socklen_t len = sizeof peer;
    return accept4(m_socket_fd, reinterpret_cast<struct sockaddr*>(&peer), &len, SOCK_CLOEXEC);
}

int telnet_server::read_tcp(int fd, char* buf, int* buflen)
{
    errno = 0;
    ssize_t n = read(fd, buf, static_cast<size_t>(*buflen));
    *buflen = static_cast<int>(n);
    return n > 0 ? 1 : 0;
}

bool telnet_server::caller_is_allowed(int fd, const struct sockaddr_in& peer)
{
    // The lookup names the owner of whatever connected socket holds the
    // client's address now. While our end stands, the client's end cannot
    // have been replaced (a connection's states only move forward), so
    // checking ours after the lookup binds the answer to this connection.
    unsigned uid;
    if (!connection_owner_uid(m_diag_fd, m_address, peer, uid) || !connection_stands(fd)) {
        log_msg("run", "refused control connection from an unknown uid\n");
        ++metrics.refused_callers;
        return false;
    }
    if (uid == 0 || std::find(m_allowed_uids.begin(), m_allowed_uids.end(), uid) != m_allowed_uids.end())
        return true;
    log_msg("run", "refused control connection from uid %u\n", uid);
    ++metrics.refused_callers;
    return false;
}

void telnet_server::shutdown_wait()
{
    // The queue runs the shutdown behind every change asked for before it;
    // then the expiry thread takes every grant out and queues its removal.
    // The process ends once none is left on the host and the queue is idle.
    // It gives up only when the host's work has not moved on (no command
    // succeeded, no change finished, no grant gone) for longer than a
    // command may run, and 3 seconds more: the expiry pass that queues a
    // removal, and the kill of a command at the limit. The state file then
    // lists what is left, for the next start.
    using namespace std::chrono;
    const auto read_at = steady_clock::now();
    const auto limit = seconds(command_limit_seconds + 3);
    auto moved = read_at;
    unsigned long progress = m_host.progress();
    for (;;) {
        const size_t left = m_grants.grant_count() + m_grants.leaving_count();
        const auto now = steady_clock::now();
        const long taken = duration_cast<seconds>(now - read_at).count();
        if (m_host.shutting_down() && left == 0 && m_host.idle()) {
            // No grant is left whose ports the guard keeps.
            remove_port_guard();
            log_msg("run", "shutting down took %li seconds\n", taken);
            end_process(0);
        }
        // Until the queue reaches the shutdown, its clock does not run.
        if (!m_host.shutting_down() || m_host.progress() != progress) {
            progress = m_host.progress();
            moved = now;
        }
        if (now - moved > limit) {
            log_msg("run", "shutting down gave up after %li seconds: %zu grants are still on the host\n", taken, left);
            end_process(2);
        }
        usleep(20000);
    }
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
    answer reply = create_answer_for_request(request);
    if (reply.text == "SHUTDOWN") {
        // After every change asked for before it; nothing is answered.
        metrics.count_request(reply.command, true);
        m_host.submit([reply] { reply.change(); });
        shutdown_wait();
    }
    if (!reply.change) {
        answer_client(fd, reply.command, reply.text);
        return;
    }
    // The connection stays open, and so its descriptor taken, until the
    // change is made and its answer sent; beyond a bound the change is
    // refused at once, so that descriptors are left for reads.
    if (!m_host.submit_for_caller([fd, reply] { answer_client(fd, reply.command, reply.change()); })) {
        log_msg("run", "refusing |%s|: %zu changes are waiting for the host\n", reply.command.c_str(),
                host::max_caller_changes);
        ++metrics.changes_refused;
        answer_client(fd, reply.command, "ERROR");
    }
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
            struct sockaddr_in peer;
            int fd = new_client(peer);
            if (fd < 0) {
                int err = errno;
                log_msg("run", "accept of new client failed: rfd %i errno %i (%s)\n",
                        fd, err, strerror(err));
                errno = 0;
            } else if (fd >= max_client_fd) {
                log_msg("run", "NOT ENOUGH FILE DESCRIPTORS: got fd %i", fd);
                close(fd);
                continue;
            } else if (caller_is_allowed(fd, peer)) {
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

