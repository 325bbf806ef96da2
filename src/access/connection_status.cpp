// Connection status: for each local port of a grant, whether the device's
// tunnel listens there, nothing does, or another user's socket took it.
#include "../log.h"
#include "../telnet_server.h"
#include "host.h"

std::string telnet_server::connection_status(std::string name)
{
    localuser record;
    {
        lock_hold hold(m_lock);
        std::map<std::string, localuser>::const_iterator it = m_trelvox_to_localuser_map.find(name);
        if (it == m_trelvox_to_localuser_map.end()) {
            log_msg("connection_status", "couldn't find |%s|\n", name.c_str());
            return "ERROR";
        }
        record = it->second;
    }
    // The ssh server opens a device's listeners with the account's uid. A
    // listener of anyone else on the port, on any address, may receive the
    // connections meant for the device.
    unsigned uid;
    const bool exists = account_uid(record.username, uid);
    const std::vector<listening_socket> sockets = read_listening_sockets();
    std::string answer;
    for (int port : record.localports) {
        const char* word = "waiting";
        for (const listening_socket& s : sockets) {
            if (s.port != port)
                continue;
            if (!exists || s.uid != uid) {
                word = "taken";
                break;
            }
            word = "connected";
        }
        answer += answer.empty() ? word : std::string(",") + word;
    }
    return answer;
}
