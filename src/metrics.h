// The daemon's counters, for the "metrics" command: every thread counts
// here, without a lock.
#ifndef TUNNEL_KEEPER_METRICS_H
#define TUNNEL_KEEPER_METRICS_H

#include <atomic>
#include <ctime>
#include <string>

// What only the registry and the host know at the time of asking.
struct metrics_gauges {
    unsigned long grants = 0;
    unsigned long free_ports = 0;
    unsigned long pool_ports = 0;  // the whole pool range
    unsigned long leaving = 0;     // grants whose removal is unfinished
    unsigned long connected = 0, waiting = 0, taken = 0;  // grant ports by state
    unsigned long held = 0;  // pool ports that a socket not of the daemon or the port's grant holds
};

class daemon_metrics {
public:
    // The control commands, and "other" for a request that names none.
    static const int command_count = 12;
    static const char* const commands[command_count];

    void count_request(const std::string& command, bool ok);
    void observe_grant(double seconds);
    void set_start_time(time_t t) { m_start_time = t; }
    void set_port_guard(bool on) { m_port_guard = on; }

    std::atomic<unsigned long> refused_callers{0};
    std::atomic<unsigned long> grants_made{0};
    std::atomic<unsigned long> grants_released{0};
    std::atomic<unsigned long> grants_expired{0};
    std::atomic<unsigned long> grants_taken_back{0};
    std::atomic<unsigned long> grants_extended{0};
    std::atomic<unsigned long> state_write_failures{0};
    std::atomic<unsigned long> command_failures{0};
    std::atomic<unsigned long> command_timeouts{0};
    std::atomic<unsigned long> grant_failures{0};
    std::atomic<unsigned long> removal_retries{0};
    std::atomic<unsigned long> changes_refused{0};

    // The Prometheus text exposition format, version 0.0.4, without the
    // line feed after its last line.
    std::string exposition(const metrics_gauges& gauges) const;

private:
    static const int bucket_count = 8;
    static const double buckets[bucket_count];
    std::atomic<unsigned long> m_requests[command_count][2] = {};
    std::atomic<unsigned long> m_grant_buckets[bucket_count] = {};
    std::atomic<unsigned long> m_grant_count{0};
    std::atomic<unsigned long long> m_grant_microseconds{0};
    time_t m_start_time = 0;
    bool m_port_guard = false;
};

extern daemon_metrics metrics;

#endif
