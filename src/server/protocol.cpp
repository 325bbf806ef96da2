// The control protocol: one request text in, its answer out. Reports are
// read from the registry at once; grants, filters, extensions, releases and
// the shutdown are changes for the host queue.
#include <sys/stat.h>

#include "../log.h"
#include "../metrics.h"
#include "telnet_server.h"

telnet_server::answer telnet_server::create_answer_for_request(std::string request)
{
    chomp(request);
    std::vector<std::string> fields;
    explode_string(request, ":", fields);
    const std::string command = fields.empty() ? std::string() : fields[0];
    // A device name goes into log lines and "list" lines: a control byte
    // in it could write lines of the caller's choosing.
    if (fields.size() >= 2 && has_control_byte(fields[1])) {
        log_msg("create_answer_for_request", "refused device name |%s|\n", escape_text(fields[1]).c_str());
        return {"ERROR", nullptr, command};
    }
    host& changes = m_host;
    if ((fields.size() == 3 || fields.size() == 4) && command == "request")
        return {"", [&changes, fields] {
                    return changes.request(fields[1], fields[2], fields.size() == 4 ? &fields[3] : nullptr);
                }, command};
    if (fields.size() == 3 && command == "acl")
        return {"", [&changes, fields] { return changes.filter_ports(fields[1], fields[2]); }, command};
    if (fields.size() == 3 && command == "extend")
        return {"", [&changes, fields] { return changes.extend(fields[1], fields[2]); }, command};
    if (fields.size() == 2 && command == "release")
        return {"", [&changes, fields] { return std::string(changes.remove_temp_user(fields[1]) == 0 ? "OK" : "ERROR"); },
                command};
    if (fields.size() == 2 && command == "status")
        return {m_host.connection_status(fields[1]), nullptr, command};
    if (fields.size() == 2 && (command == "localports" || command == "remoteports" || command == "key")) {
        localuser record;
        if (!m_grants.find(fields[1], record))
            return {"ERROR", nullptr, command};
        if (command == "localports")
            return {port_list_to_string(record.localports), nullptr, command};
        if (command == "remoteports")
            return {port_list_to_string(record.remoteports), nullptr, command};
        // A grant whose home was built again after a reboot has no key copy:
        // the private key is kept nowhere. Its device keeps the key it has.
        const std::string copy = "/tmp/" + record.username + ".key";
        struct stat st;
        if (lstat(copy.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            log_msg("create_answer_for_request", "|%s| has no key copy at %s\n", fields[1].c_str(), copy.c_str());
            return {"ERROR", nullptr, command};
        }
        return {copy, nullptr, command};
    }
    if (fields.size() == 1 && command == "list")
        return {m_grants.list(wall_clock_seconds()), nullptr, command};
    if (fields.size() == 1 && command == "metrics")
        return {metrics.exposition(m_host.gauges()), nullptr, command};
    if (fields.size() == 1 && command == "shutdown")
        return {"SHUTDOWN", [&changes] { changes.shutdown(); return std::string(); }, command};
    return {"ERROR", nullptr, command};
}
