// Entry point: options, usage text and log file; then the registry, the
// host and the control server, wired together.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <getopt.h>
#include <pwd.h>
#include <string>
#include <vector>
#include <unistd.h>

#include "log.h"
#include "metrics.h"
#include "host/commands.h"
#include "host/host.h"
#include "host/kernel_tables.h"
#include "host/port_guard.h"
#include "registry/registry.h"
#include "server/telnet_server.h"

namespace {

// Reports a value that the daemon cannot run with, as an option error.
int bad_value(const char* option, const char* value)
{
    fprintf(stderr, "invalid value |%s| for option %s\n", value, option);
    return -1;
}

} // namespace

int print_usage()
{
    fprintf(stderr, "Usage:\n");
    fprintf(stderr, "-c: remove existing sshtmp users, home folders and kill all existing inbound sshtmp connections\n");
    fprintf(stderr, "-p N: listen on port N (default 55444)\n");
    fprintf(stderr, "-r N: port range of tcp ports for forwarding (default 20000-21000)\n");
    fprintf(stderr, "-i N: ip to use when generating forwarding request\n");
    fprintf(stderr, "-t N: time in seconds after which a connection is removed (default 3600)\n");
    fprintf(stderr, "-m N: longest lifetime in seconds that a request may ask for (default: the -t value)\n");
    fprintf(stderr, "-l P: path to logfile (default /var/log/tunnel_keeper.log)\n");
    fprintf(stderr, "-s P: path to state file (default /var/lib/tunnel_keeper/grants)\n");
    fprintf(stderr, "-a U: users besides root allowed to send commands, comma separated (default www-data)\n");
    fprintf(stderr, "-k T: type of the generated ssh keys: ed25519, rsa or ecdsa (default ed25519)\n");
    fprintf(stderr, "-x N: longest time in seconds that a host command may run before it is killed (default 30)\n");
    fprintf(stderr, "-g: let every user bind the pool's ports, not only root and each port's grant\n");
    fprintf(stderr, "\n");
    fprintf(stderr, "Telnet Options:\n");
    fprintf(stderr, "request:name:port1,port2,...   => generate request for trelvox with given name and comma separated port list\n");
    fprintf(stderr, "request:name:ports:seconds     => the same, with a lifetime of its own in seconds (at most the -m value)\n");
    fprintf(stderr, "extend:name:seconds            => let the grant of trelvox with given name end in seconds from now, its connection kept (at most the -m value)\n");
    fprintf(stderr, "release:name                   => remove trelvox with given name from list and its local user and existing ssh connections\n");
    fprintf(stderr, "localports:name                => shows local ports for trelvox with given name\n");
    fprintf(stderr, "remoteports:name               => shows remote ports for trelvox with given name\n");
    fprintf(stderr, "key:name                       => shows path to corresponding key file\n");
    fprintf(stderr, "status:name                    => shows for each local port whether trelvox is connected, waiting or port is taken\n");
    fprintf(stderr, "acl:name:filter                => limits access to forwarded ports only by host defined in filter\n");
    fprintf(stderr, "list                           => list all currently managed trelvoces\n");
    fprintf(stderr, "metrics                        => shows the daemon's counters and gauges in the Prometheus text format\n");
    return 0;
}

int parse_commandline(int argc, char** argv, std::string& ip, std::string& portrange,
                      std::string& logfile, std::string& statefile, std::string& keytype, std::vector<unsigned>& allowed, int* listenport, int* timeout, int* max_lifetime, int* command_limit, int* clean, int* guard)
{
    static const struct option long_options[] = {
        {"ip", required_argument, nullptr, 'i'},
        {"portrange", required_argument, nullptr, 'r'},
        {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        {"clean", no_argument, nullptr, 'c'},
        {"logfile", required_argument, nullptr, 'l'},
        {"key-type", required_argument, nullptr, 'k'},
        {"allow", required_argument, nullptr, 'a'},
        {"state", required_argument, nullptr, 's'},
        {"max-lifetime", required_argument, nullptr, 'm'},
        {"command-limit", required_argument, nullptr, 'x'},
        {"no-port-guard", no_argument, nullptr, 'g'},
        {nullptr, 0, nullptr, 0},
    };
    bool timeout_given = false;
    for (;;) {
        int c = getopt_long(argc, argv, "i:p:t:m:r:l:k:a:s:x:cgh", long_options, nullptr);
        switch (c) {
        case -1:
            // Without -m the longest lifetime is -t. A -t beyond -m could
            // never be asked for; the default lifetime gives way to a lower
            // -m.
            if (*max_lifetime == 0)
                *max_lifetime = *timeout;
            else if (*timeout > *max_lifetime && timeout_given)
                return bad_value("-t", to_string(*timeout, std::dec).c_str());
            *timeout = std::min(*timeout, *max_lifetime);
            return 0;
        case 'c':
            *clean = 1;
            break;
        case 'g':
            *guard = 0;
            break;
        case 'i':
            ip = optarg;
            break;
        case 'p':
            // Numbers are read as atoi reads them (trailing junk tolerated),
            // but a port the daemon cannot listen on is an option error.
            *listenport = atoi(optarg);
            if (*listenport < 1 || *listenport > 65535)
                return bad_value("-p", optarg);
            break;
        case 't':
            // A lifetime below 1 would hand out "sleep 0" and never expire.
            *timeout = atoi(optarg);
            timeout_given = true;
            if (*timeout < 1)
                return bad_value("-t", optarg);
            break;
        case 'x':
            *command_limit = atoi(optarg);
            if (*command_limit < 1)
                return bad_value("-x", optarg);
            break;
        case 'm':
            *max_lifetime = atoi(optarg);
            if (*max_lifetime < 1)
                return bad_value("-m", optarg);
            break;
        case 'r': {
            int start, stop;
            if (parse_port_range(optarg, start, stop) != 0)
                return bad_value("-r", optarg);
            portrange = optarg;
            break;
        }
        case 'l':
            logfile = optarg;
            break;
        case 's':
            statefile = optarg;
            break;
        case 'a': {
            // The named accounts replace the default; each must exist now.
            std::vector<std::string> names;
            explode_string(optarg, ",", names);
            allowed.clear();
            for (const std::string& name : names) {
                const struct passwd* account = getpwnam(name.c_str());
                if (!account)
                    return bad_value("-a", optarg);
                allowed.push_back(account->pw_uid);
            }
            if (names.empty())
                return bad_value("-a", optarg);
            break;
        }
        case 'k':
            keytype = optarg;
            if (keytype != "ed25519" && keytype != "rsa" && keytype != "ecdsa")
                return bad_value("-k", optarg);
            break;
        default:  // 'h' and the parser's own errors
            return -1;
        }
    }
}

int main(int argc, char** argv)
{
    std::string sship;
    std::string portrange = "20000-21000";
    int clean = 0;
    int guard = 1;
    int listenport = 55444;
    int timeout = 3600;
    int max_lifetime = 0;
    int command_limit = 30;
    std::string logfilepath = "/var/log/tunnel_keeper.log";
    std::string keytype = "ed25519";
    std::string statefile = "/var/lib/tunnel_keeper/grants";
    // By default the account that receives the key copies may call too,
    // so that the management client can run as it.
    std::vector<unsigned> allowed;
    if (const struct passwd* www_data = getpwnam("www-data"))
        allowed.push_back(www_data->pw_uid);

    if (parse_commandline(argc, argv, sship, portrange, logfilepath, statefile, keytype, allowed, &listenport, &timeout, &max_lifetime, &command_limit, &clean, &guard) == -1) {
        print_usage();
        return -1;
    }

    // A refusal below goes to the caller's standard error too, which the
    // log replaces.
    const int console = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    // "e": the stream's own descriptor is not inherited by the host
    // commands; they write to the log through standard error instead.
    logfile = fopen(logfilepath.c_str(), "ae");
    if (logfile)
        dup2(fileno(logfile), STDERR_FILENO);
    else
        fprintf(stderr, "couldn't open logfile %s for writing\n", logfilepath.c_str());

    // The pool's ports are reserved beside the ports reserved already. A
    // pool port that the kernel may still give to a socket that listens or
    // connects without a bind (the reservation failed, or was replaced since)
    // escapes the port guard: such a pool is refused until it is reserved.
    int start, stop;
    parse_port_range(portrange, start, stop);
    reserve_pool_ports(start, stop);
    std::string reserved;
    const std::string open = unreserved_ephemeral_ports(start, stop, reserved);
    if (!open.empty()) {
        const std::string refusal = "pool ports " + open + " lie in the kernel's ephemeral range (net.ipv4.ip_local_port_range), "
                                    "which it gives to sockets that listen or connect without a bind; reserve them: sysctl -w "
                                    "net.ipv4.ip_local_reserved_ports=" + (reserved.empty() ? "" : reserved + ",") + open + "\n";
        if (logfile && console >= 0)
            dprintf(console, "%s", refusal.c_str());
        log_msg("main", "%s", refusal.c_str());
        return -1;
    }
    if (console >= 0)
        close(console);

    command_limit_seconds = command_limit;
    registry grants(portrange, statefile);
    host_settings settings;
    settings.timeout = timeout;
    settings.max_lifetime = max_lifetime;
    settings.key_type = keytype;
    host changes(grants, settings);
    telnet_server server(grants, changes, listenport, allowed);
    if (!server.init_success()) {
        log_msg("main", "starting tunnel_keeper failed\n");
        return 1;
    }
    if (sship.empty()) {
        char mac[64] = "";
        char ip[64] = "";
        get_net_info_for_first_non_loopback(mac, ip);
        sship = ip;
        log_msg("init", "hostname %s\n", ip);
        log_msg("init", "hostmac %s\n", mac);
    }
    changes.set_ssh_ip(sship);
    log_msg("main", "started tunnel_keeper\n");
    metrics.set_start_time(wall_clock_seconds());
    // Armed before any grant comes back, so that each one's ports are its
    // account's again before anything else may bind them. Off (-g, or a
    // kernel that refuses it), the guard that the last run left goes too:
    // its owners would keep the ports from the grants to come.
    std::string why = "-g given";
    if (guard && arm_port_guard(start, stop, why)) {
        grants.watch_ports(guard_port);
    } else {
        remove_leftover_guard();
        log_msg("main", "port guard off: %s; any user may listen on a pool port\n", why.c_str());
    }
    metrics.set_port_guard(port_guard_armed());
    // Before serving, with or without -c: the grants of the last run come
    // back, and -c purges only what none of them owns. Their host work is
    // the first in the host queue; reads are served meanwhile.
    const grant_list kept = changes.take_back_grants();
    if (clean)
        changes.submit([portrange, kept] { remove_tmp_users_and_connections(portrange, kept); });
    changes.start();
    return server.run();
}
