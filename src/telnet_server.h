// The daemon's central object: the registry of grants, the free-port pool,
// the status server socket and the expiry thread, all behind one lock.
#ifndef TUNNEL_KEEPER_TELNET_SERVER_H
#define TUNNEL_KEEPER_TELNET_SERVER_H

#include <map>
#include <ctime>
#include <pthread.h>
#include <string>
#include <vector>

#include "text.h"

// One device's grant: its temporary account, its ports and its lifetime.
struct localuser {
    std::string username;   // temporary account, "sshtmp_" + 8 characters
    port_list localports;   // pool ports on this host, in request order
    port_list remoteports;  // device ports, same length and order
    int time_left = 0;      // seconds until the expiry thread removes it
    time_t end = 0;         // the grant's end, as its key line says
    std::string acl;        // source filter; empty until "acl" sets it once
};

class telnet_server {
public:
    telnet_server();
    telnet_server(std::string sship, int port, std::string port_range, int timeout);
    ~telnet_server();

    // The connection loop; ends the process after "shutdown".
    int run();
    int init_success();
    int set_ssh_ip(std::string ip);
    // Who besides root may use the control port.
    void set_allowed_uids(std::vector<unsigned> uids);
    // Where the registry is kept across restarts; empty: nowhere.
    void set_state_file(std::string path);
    // Reads the state file: takes back each live grant whose account still
    // exists and removes the others (access/grant_state.cpp). Returns the
    // grants taken back.
    std::vector<localuser> take_back_grants();
    // Type of the key pairs that grants get: "ed25519", "rsa" or "ecdsa".
    void set_key_type(std::string type);

private:
    int init();

    // Connection loop (telnet_server.cpp).
    int new_client();
    int read_tcp(int fd, char* buf, int* buflen);
    void shutdown_wait();
    // Logs and answers the request that one read of `msgbuflen` bytes
    // (0 or less: the client is gone) put into `msgbuf`, which has room for
    // one more byte, and closes the connection.
    void serve_client(int fd, char* msgbuf, int msgbuflen);
    // Whether the client's end of the connection belongs to root or an
    // allowed uid; logs the refusal otherwise.
    bool caller_is_allowed(int fd);

    // Control protocol (telnet_server.cpp).
    std::string create_answer_for_request(std::string request);

    // Port pool (access/port_pool.cpp).
    int fill_free_port_list(std::string portrange);
    bool take_free_ports(size_t count, const std::vector<bool>& busy, port_list& taken);
    void return_free_ports(const port_list& ports);

    // Host operations (access/).
    int add_temp_user(std::string name, std::vector<std::string> ports,
                      std::string& forward_string);
    int remove_temp_user(std::string name);
    std::string filter_ports(std::string name, std::string acl);
    std::string connection_status(std::string name);
    // Writes the registry to the state file; the caller holds m_lock
    // (access/grant_state.cpp).
    int save_grants();

    friend void* timer(void* t);
    friend struct telnet_server_test_access;

    port_list m_free_ports;
    std::map<std::string, localuser> m_trelvox_to_localuser_map;
    int m_init_success;
    int m_socket_fd;
    int m_listen_port;
    std::string m_sship;
    int m_timeout;
    pthread_t m_timer_thread;
    pthread_mutex_t m_lock;
    std::string m_key_type = "ed25519";
    std::vector<unsigned> m_allowed_uids;
    std::string m_state_path;
    int m_diag_fd = -1;  // NETLINK_SOCK_DIAG, for the owner of each caller's socket
};

// Holds a mutex for the lifetime of the object.
class lock_hold {
public:
    explicit lock_hold(pthread_mutex_t& m) : m_mutex(m) { pthread_mutex_lock(&m_mutex); }
    ~lock_hold() { pthread_mutex_unlock(&m_mutex); }
    lock_hold(const lock_hold&) = delete;
    lock_hold& operator=(const lock_hold&) = delete;

private:
    pthread_mutex_t& m_mutex;
};

// Body of the expiry thread (access/timer.cpp); `t` is the telnet_server.
void* timer(void* t);

// Finds the hardware and IPv4 address of the first usable non-loopback
// interface. `mac` needs 18 characters, `ip` 16. 0 on success, else -1 with
// both texts empty.
int get_net_info_for_first_non_loopback(char* mac, char* ip);

// Deletes accounts left by an earlier run, and the filter rules it left for
// the pool range `portrange`, but not the accounts and ports of the grants in
// `kept` (access/remove_tmp_users_and_connections.cpp).
int remove_tmp_users_and_connections(const std::string& portrange, const std::vector<localuser>& kept);

// Reads a range text "start-stop" (stop excluded). 0 and the two ends when
// the pool would accept it, -1 otherwise (access/port_pool.cpp).
int parse_port_range(const std::string& portrange, int& start, int& stop);

// Runs the filter's rules for each local port of `record` (the IPv4 pair
// and the IPv6 DROP rule), with `action` "-A" to append them or "-D" to
// delete them (access/filter_ports.cpp).
void run_filter_rules(const char* function, const char* action, const localuser& record);

// A rule of the forms run_filter_rules makes, as "iptables -S INPUT" and
// "ip6tables -S INPUT" list it now: the ACCEPT rule from `acl`, or (with
// `acl` empty) the DROP rule of `tool` (access/filter_ports.cpp).
struct filter_rule {
    std::string tool;
    int port;
    std::string acl;
};
std::vector<filter_rule> list_filter_rules(const char* function);
void delete_filter_rule(const char* function, const filter_rule& rule);

// Makes the filter rules of each grant with a filter present exactly once,
// in their order (access/filter_ports.cpp).
void restore_filter_rules(const char* function, const std::vector<localuser>& grants);

// True for a source filter the firewall rules can carry: a dotted-quad IPv4
// address, optionally "/" and a prefix length 0 to 32 or a dotted-quad
// netmask (access/filter_ports.cpp).
bool is_valid_source_filter(const std::string& filter);

#endif
