// The free-port pool: local forwarding ports that no grant holds, used as a
// first-in, first-out queue so that returned ports are reused in rotation.
#include <cstdlib>

#include "../log.h"
#include "../telnet_server.h"

int parse_port_range(const std::string& portrange, int& start, int& stop)
{
    std::vector<std::string> pieces;
    explode_string(portrange, "-", pieces);
    if (pieces.size() != 2)
        return -1;
    int first = atoi(pieces[0].c_str());
    int last = atoi(pieces[1].c_str());
    if (first <= 0 || last > 65534 || first >= last)
        return -1;
    start = first;
    stop = last;
    return 0;
}

int telnet_server::fill_free_port_list(std::string portrange)
{
    int start, stop;
    if (parse_port_range(portrange, start, stop) != 0)
        return -1;
    for (int port = start; port < stop; ++port)
        m_free_ports.push_back(port);
    return 0;
}

// Takes `count` ports from the front of the pool into `taken`, skipping the
// ports that something on the host listens on: those move to the back. False,
// with the pool unchanged, when fewer usable ports are free. The caller holds
// m_lock.
bool telnet_server::take_free_ports(size_t count, const std::vector<bool>& busy, port_list& taken)
{
    size_t usable = 0;
    for (int port : m_free_ports)
        usable += busy[static_cast<size_t>(port)] ? 0 : 1;
    if (usable < count)
        return false;
    while (taken.size() < count) {
        int port = m_free_ports.front();
        m_free_ports.pop_front();
        if (busy[static_cast<size_t>(port)]) {
            log_msg("add_temp_user", "port %d is in use, skipped\n", port);
            m_free_ports.push_back(port);
        } else {
            taken.push_back(port);
        }
    }
    return true;
}

// Appends ports at the end of the pool, in their order. The caller holds m_lock.
void telnet_server::return_free_ports(const port_list& ports)
{
    m_free_ports.insert(m_free_ports.end(), ports.begin(), ports.end());
}
