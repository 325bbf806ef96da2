// The free-port pool: local forwarding ports that no grant holds, used as a
// first-in, first-out queue so that returned ports are reused in rotation.
#include <cstdlib>

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

// Takes the first port of the pool. The caller holds m_lock and has made
// sure that the pool is not empty.
int telnet_server::take_free_port()
{
    int port = m_free_ports.front();
    m_free_ports.pop_front();
    return port;
}

// Appends ports at the end of the pool, in their order. The caller holds m_lock.
void telnet_server::return_free_ports(const port_list& ports)
{
    m_free_ports.insert(m_free_ports.end(), ports.begin(), ports.end());
}
