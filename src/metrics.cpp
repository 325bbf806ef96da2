#include "metrics.h"

#include <cstdio>
#include <cstring>

#include "text.h"

daemon_metrics metrics;

const char* const daemon_metrics::commands[command_count] = {"request", "acl",      "extend",  "release",
                                                            "status",  "localports", "remoteports", "key",
                                                            "list",    "shutdown", "metrics", "other"};
const double daemon_metrics::buckets[bucket_count] = {0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

void daemon_metrics::count_request(const std::string& command, bool ok)
{
    int i = 0;
    while (i < command_count - 1 && command != commands[i])
        ++i;
    ++m_requests[i][ok ? 0 : 1];
}

void daemon_metrics::observe_grant(double seconds)
{
    for (int i = 0; i < bucket_count; ++i)
        if (seconds <= buckets[i])
            ++m_grant_buckets[i];
    ++m_grant_count;
    m_grant_microseconds += static_cast<unsigned long long>(seconds * 1e6);
}

namespace {

// "# HELP", "# TYPE" and the lines of one metric family.
void family(std::string& text, const char* name, const char* type, const char* help, const std::string& lines)
{
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + lines;
}

std::string sample(const char* name, const std::string& labels, unsigned long long value)
{
    return std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + to_string(value, std::dec) + "\n";
}

std::string seconds_text(double value)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%g", value);
    return buf;
}

} // namespace

std::string daemon_metrics::exposition(const metrics_gauges& g) const
{
    std::string text, lines;
    family(text, "tunnel_keeper_grants", "gauge", "Live grants.", sample("tunnel_keeper_grants", "", g.grants));
    family(text, "tunnel_keeper_pool_ports", "gauge", "Ports in the pool's range.",
           sample("tunnel_keeper_pool_ports", "", g.pool_ports));
    family(text, "tunnel_keeper_pool_ports_free", "gauge", "Pool ports that no grant holds.",
           sample("tunnel_keeper_pool_ports_free", "", g.free_ports));
    family(text, "tunnel_keeper_removals_pending", "gauge",
           "Grants out of the registry whose removal from the host is not finished (being made or to be retried).",
           sample("tunnel_keeper_removals_pending", "", g.leaving));
    family(text, "tunnel_keeper_grant_ports", "gauge",
           "Local ports of the grants: the device's tunnel listens (connected), nothing listens (waiting), another "
           "user's socket listens or is bound there (taken).",
           sample("tunnel_keeper_grant_ports", "state=\"connected\"", g.connected) +
               sample("tunnel_keeper_grant_ports", "state=\"waiting\"", g.waiting) +
               sample("tunnel_keeper_grant_ports", "state=\"taken\"", g.taken));
    family(text, "tunnel_keeper_pool_ports_held", "gauge",
           "Pool ports that a socket of neither the daemon nor the port's grant holds, listening or only bound: a free "
           "one goes to no grant, a grant's one is taken.",
           sample("tunnel_keeper_pool_ports_held", "", g.held));
    for (int i = 0; i < command_count; ++i)
        for (int ok = 0; ok < 2; ++ok)
            lines += sample("tunnel_keeper_requests_total",
                            std::string("command=\"") + commands[i] + "\",result=\"" + (ok == 0 ? "ok" : "error") + "\"",
                            m_requests[i][ok]);
    family(text, "tunnel_keeper_requests_total", "counter", "Control requests answered, by command and result.", lines);
    family(text, "tunnel_keeper_refused_callers_total", "counter",
           "Control connections refused because their owner is neither root nor an allowed account.",
           sample("tunnel_keeper_refused_callers_total", "", refused_callers));
    const struct {
        const char* name;
        const char* help;
        const std::atomic<unsigned long>& value;
    } events[] = {{"tunnel_keeper_grants_made_total", "Grants made.", grants_made},
                  {"tunnel_keeper_grants_released_total", "Grants removed by release or by a new request.", grants_released},
                  {"tunnel_keeper_grants_expired_total", "Grants removed at their end.", grants_expired},
                  {"tunnel_keeper_grants_taken_back_total", "Grants taken back from the state file at start.",
                   grants_taken_back},
                  {"tunnel_keeper_extended_total", "Grants whose end an extend moved.", grants_extended},
                  {"tunnel_keeper_state_file_write_failures_total", "State file writes that failed.",
                   state_write_failures},
                  {"tunnel_keeper_command_failures_total",
                   "Host commands that failed: a status other than 0, not started, or killed at the time limit.",
                   command_failures},
                  {"tunnel_keeper_command_timeouts_total", "Host commands killed at the time limit.", command_timeouts},
                  {"tunnel_keeper_grant_failures_total", "Grants undone because a host command failed.", grant_failures},
                  {"tunnel_keeper_removal_retries_total", "Retried removals of grants whose removal had not finished.",
                   removal_retries},
                  {"tunnel_keeper_changes_refused_total",
                   "Changes refused at once because too many callers' changes were waiting for the host.",
                   changes_refused}};
    for (const auto& e : events)
        family(text, e.name, "counter", e.help, sample(e.name, "", e.value));
    lines.clear();
    for (int i = 0; i < bucket_count; ++i)
        lines += sample("tunnel_keeper_grant_duration_seconds_bucket", "le=\"" + seconds_text(buckets[i]) + "\"",
                        m_grant_buckets[i]);
    lines += sample("tunnel_keeper_grant_duration_seconds_bucket", "le=\"+Inf\"", m_grant_count);
    lines += "tunnel_keeper_grant_duration_seconds_sum " + seconds_text(m_grant_microseconds / 1e6) + "\n";
    lines += sample("tunnel_keeper_grant_duration_seconds_count", "", m_grant_count);
    family(text, "tunnel_keeper_grant_duration_seconds", "histogram", "Time to make a grant on the host.", lines);
    family(text, "tunnel_keeper_port_guard", "gauge",
           "1 while binds to pool ports are refused but for root and each port's grant, 0 when the guard is off.",
           sample("tunnel_keeper_port_guard", "", m_port_guard ? 1 : 0));
    family(text, "tunnel_keeper_build_info", "gauge", "Always 1; its label names the daemon's version.",
           sample("tunnel_keeper_build_info", "version=\"" TK_VERSION "\"", 1));
    family(text, "tunnel_keeper_start_time_seconds", "gauge", "Start time of the daemon, seconds since the epoch.",
           sample("tunnel_keeper_start_time_seconds", "", static_cast<unsigned long long>(m_start_time)));
    text.pop_back();
    return text;
}
