// The control server: the loopback listening socket, the connection loop,
// the caller check and the control protocol. Reads are answered at once;
// changes go to the host's queue, which answers their callers when they are
// made and saved.
#ifndef TUNNEL_KEEPER_TELNET_SERVER_H
#define TUNNEL_KEEPER_TELNET_SERVER_H

#include <functional>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "../host/host.h"
#include "../registry/registry.h"

class telnet_server {
public:
    // Opens the control port on 127.0.0.1; init_success tells whether it
    // could. Root and `allowed_uids` may call.
    telnet_server(registry& grants, host& changes, int port, std::vector<unsigned> allowed_uids);

    int init_success();
    // The connection loop; ends the process after "shutdown".
    int run();

    // What a request is answered with: the answer text, or a change for the
    // host queue whose result is the answer.
    struct answer {
        std::string text;
        std::function<std::string()> change;
        std::string command;  // for the request counters
    };
    answer create_answer_for_request(std::string request);

private:
    int init();
    // Accepts a client; its address goes into `peer`.
    int new_client(struct sockaddr_in& peer);
    int read_tcp(int fd, char* buf, int* buflen);
    // Logs and answers the request that one read of `msgbuflen` bytes
    // (0 or less: the client is gone) put into `msgbuf`, which has room for
    // one more byte; the connection is closed once it is answered.
    void serve_client(int fd, char* msgbuf, int msgbuflen);
    // Whether the client's end of the accepted connection `fd` belongs to
    // root or an allowed uid; logs the refusal otherwise.
    bool caller_is_allowed(int fd, const struct sockaddr_in& peer);
    void shutdown_wait();

    registry& m_grants;
    host& m_host;
    int m_init_success = 0;
    int m_socket_fd = -1;
    int m_listen_port;
    std::vector<unsigned> m_allowed_uids;
    int m_diag_fd = -1;  // NETLINK_SOCK_DIAG, for the owner of each caller's socket
    struct sockaddr_in m_address;  // the control port's, the callers' destination
};

#endif
